#include "unpack/signed_message.h"

#include <new>

#include "format/algorithms.h"
#include "unpack/signature_verify.h"

SignedMessage::SignedMessage(bool withContentInfo, PFN_CMSG_STREAM_OUTPUT output, void* outputArg)
    : stream_(withContentInfo, this), output_(output), outputArg_(outputArg) {}

bool SignedMessage::Open() {
    // SHA-2 digests exist only in the RSA/AES provider type; the full type still does SHA-1/MD5.
    if (CryptAcquireContextW(provider_.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return true;
    return CryptAcquireContextW(provider_.put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) != FALSE;
}

BOOL SignedMessage::Update(const BYTE* data, DWORD length, BOOL final) {
    if (error_ == 0 && finalSeen_) error_ = static_cast<DWORD>(CRYPT_E_MSG_ERROR);
    if (error_ == 0) {
        bool ok = stream_.Feed(data, length) && (!final || stream_.Finish());
        if (!ok) {
            ber::StreamError reason = stream_.error();
            error_ = reason == ber::StreamError::kHandlerFailed && handlerError_ ? handlerError_
                                                                                : StreamErrorCode(reason);
        }
    }
    if (error_ != 0) {
        SetLastError(error_);
        return FALSE;
    }
    if (final) {
        finalSeen_ = true;
        if (output_ && !output_(outputArg_, nullptr, 0, TRUE)) {
            outputFailed_ = true;
            error_ = GetLastError() ? GetLastError() : static_cast<DWORD>(ERROR_WRITE_FAULT);
            SetLastError(error_);
            return FALSE;
        }
        finished_ = true;
    }
    return TRUE;
}

HCRYPTHASH SignedMessage::HashFor(ALG_ID algId) const {
    for (const Digest& digest : digests_)
        if (digest.algId == algId) return digest.hash.get();
    return 0;
}

bool SignedMessage::OnContentBegin() {
    // One hash object per digest algorithm named in the digest set; one the provider cannot make
    // simply leaves its signers unchecked.
    for (const std::vector<uint8_t>& oid : stream_.digestAlgorithms()) {
        ALG_ID algId = alg::DigestAlgorithmFromOid(oid.data(), oid.size());
        if (HashFor(algId)) continue;
        Digest digest{algId, HashHandle()};
        if (CryptCreateHash(provider_.get(), algId, 0, 0, digest.hash.put())) digests_.push_back(std::move(digest));
    }
    return true;
}

bool SignedMessage::OnContent(const uint8_t* data, size_t size) {
    for (const Digest& digest : digests_) {
        if (!CryptHashData(digest.hash.get(), data, static_cast<DWORD>(size), 0)) {
            handlerError_ = GetLastError();
            return false;
        }
    }
    if (output_ && !output_(outputArg_, const_cast<BYTE*>(data), static_cast<DWORD>(size), FALSE)) {
        handlerError_ = GetLastError();
        outputFailed_ = true;
        if (handlerError_ == 0) handlerError_ = ERROR_WRITE_FAULT;
        return false;
    }
    return true;
}

// The output hears of the end with the final update, as from the platform's decoder.
bool SignedMessage::OnContentEnd() { return true; }

DWORD StreamErrorCode(ber::StreamError error) {
    switch (error) {
    case ber::StreamError::kNone:
        return 0;
    case ber::StreamError::kBadTag:
        return static_cast<DWORD>(CRYPT_E_ASN1_BADTAG);
    case ber::StreamError::kTooDeep:
    case ber::StreamError::kTooLarge:
        return static_cast<DWORD>(CRYPT_E_ASN1_LARGE);
    case ber::StreamError::kTruncated:
        return static_cast<DWORD>(CRYPT_E_ASN1_EOD);
    case ber::StreamError::kNotSignedData:
        return static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE);
    case ber::StreamError::kBadLength:
    case ber::StreamError::kOverrun:
    case ber::StreamError::kTrailingData:
    case ber::StreamError::kHandlerFailed:
        return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    }
    return static_cast<DWORD>(CRYPT_E_ASN1_ERROR);
}

SignedMessage* OpenSignedMessage(bool withContentInfo, PFN_CMSG_STREAM_OUTPUT output, void* outputArg) {
    SignedMessage* message = new (std::nothrow) SignedMessage(withContentInfo, output, outputArg);
    if (!message) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!message->Open()) {
        PreserveLastError keep;
        delete message;
        return nullptr;
    }
    return message;
}

BOOL UpdateSignedMessage(SignedMessage* message, const BYTE* data, DWORD length, BOOL final) {
    if (!message || (!data && length)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return message->Update(data, length, final);
}

void CloseSignedMessage(SignedMessage* message) { delete message; }
