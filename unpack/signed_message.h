// The signed-data decoder behind OpenSignedMessage: our own BER reader feeds the content to the
// output function and to one hash object per digest algorithm, and keeps the certificates and
// SignerInfos for VerifyMessageSigners. Internal to the unpack engine.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "format/ber_stream.h"
#include "format/service/crypto_handles.h"

class SignedMessage : public ber::ContentHandler {
public:
    SignedMessage(bool withContentInfo, PFN_CMSG_STREAM_OUTPUT output, void* outputArg);

    // Acquires the verify-only provider the digests are computed on.
    bool Open();
    BOOL Update(const BYTE* data, DWORD length, BOOL final);

    // True once the final update parsed a complete message.
    bool finished() const { return finished_; }
    HCRYPTPROV provider() const { return provider_.get(); }
    // The content digest of an algorithm, or 0 when the digest set did not name it.
    HCRYPTHASH HashFor(ALG_ID algId) const;
    const ber::SignedDataStream& stream() const { return stream_; }
    // The update failed because the output function refused the content.
    bool outputFailed() const { return outputFailed_; }

    bool OnContentBegin() override;
    bool OnContent(const uint8_t* data, size_t size) override;
    bool OnContentEnd() override;

private:
    struct Digest {
        ALG_ID algId;
        HashHandle hash;
    };

    ber::SignedDataStream stream_;
    PFN_CMSG_STREAM_OUTPUT output_;
    void* outputArg_;
    ProviderHandle provider_;
    std::vector<Digest> digests_;
    DWORD handlerError_ = 0;  // the output's or the hash's error that stopped the stream
    DWORD error_ = 0;         // sticky error of a failed update
    bool outputFailed_ = false;
    bool finished_ = false;
    bool finalSeen_ = false;
};

// Maps a stream error of the BER reader to the platform's CRYPT_E_ASN1_* codes.
DWORD StreamErrorCode(ber::StreamError error);
