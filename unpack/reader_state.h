// What one ReadEnvelope call holds while it works, shared by the reader's helper files: the
// shared library's side of the common envelope reading.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <shlobj.h>

#include <cstdint>
#include <vector>

#include "format/service/crypto_handles.h"
#include "unpack/core/envelope_core.h"
#include "unpack/signature_verify.h"
#include "unpack/unpack_job.h"
#include "unpack/unpack_settings.h"
#include "unpack/unpack_view.h"

class ReaderState : public reader_core::EnvelopeClient {
public:
    IProgressDialog* progress = nullptr;
    UnpackSettings* settings = nullptr;
    UnpackJob* job = nullptr;
    UnpackView* view = nullptr;

    reader_core::EnvelopeHeader header;
    reader_core::SessionKey session;

    // The content pass: the sink, or the nested signed message in front of it.
    ContentSink sink;
    SignedMessage* message = nullptr;

    ~ReaderState() override {
        if (message) CloseSignedMessage(message);
    }

    void OnAlgorithm(const reader_core::ContentAlgorithm& algorithm) override;
    int ListRecipient(const reader_core::RecipientListing& listing, PCCERT_CONTEXT certificate) override;
    BOOL AcquireCertificateKey(PCCERT_CONTEXT certificate, HCRYPTPROV* provider, DWORD* keySpec) override;
    bool ImportThroughOtherProviders(const reader_core::KeyImport& request, reader_core::SessionKey& key,
                                     DWORD& result) override;
    void OnKeyRefused(int row) override;
    bool Deliver(BYTE* data, DWORD length, bool first, bool final, uint64_t contentBound) override;
};

// The content cipher as the user reads it, with its mode where that is not CBC.
std::wstring ContentAlgorithmName(const reader_core::ContentAlgorithm& algorithm);

// The signers of a nested signed message, once its content has passed (and, for AES-GCM, its tag
// verified).
void VerifyNestedSigners(ReaderState& state);

// Whether the file is an AuthEnvelopedData (AES-GCM) envelope; the file stays at its start.
bool IsAuthEnvelope(reader_core::EnvelopeFile& file);
// The AuthEnvelopedData (AES-GCM) reading after the file was recognised as one: header, recipient
// scan, the content decrypted and its tag checked, the nested signers. Returns as ReadEnvelope.
LONG ReadAuthEnvelope(ReaderState& state, reader_core::EnvelopeFile& file, FileHandle& output);

// Opens the output of mode 0: asks for another name when it cannot be created. False with
// jobResult and writeError set.
bool OpenReaderOutput(ReaderState& state, FileHandle& output);
