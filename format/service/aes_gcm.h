// AES-GCM encryption and decryption streamed in constant memory. The platform's GCM cannot be
// trusted when its calls are chained (under Wine they succeed with wrong bytes), so the stream is
// built from calls that are right everywhere: the key stream is AES-ECB over counter blocks
// (gcm_key_stream.h, on two threads where there are two processors), and GHASH is the system's
// own (format/gcm.h). Every text byte passes through here once; the output of a decryption must
// not be trusted before CheckTag.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>

#include "format/gcm.h"
#include "format/service/crypto_handles.h"
#include "format/service/gcm_key_stream.h"

// The last error a wrong tag leaves: STATUS_AUTH_TAG_MISMATCH as an HRESULT, as CNG reports it.
constexpr DWORD kGcmTagMismatch = 0xD000A002;

class AesGcmStream {
public:
    AesGcmStream() = default;
    AesGcmStream(const AesGcmStream&) = delete;
    AesGcmStream& operator=(const AesGcmStream&) = delete;

    // A key of 16, 24 or 32 bytes and a 96-bit IV. False with the last error set when the platform
    // cannot make the key (or the sizes are wrong: ERROR_INVALID_PARAMETER).
    // GHASH takes the processor's carry-less multiply when it has one, unless method says otherwise.
    bool Start(const uint8_t* key, size_t keySize, const uint8_t iv[gcm::kIvSize],
               gcm::Authenticator::Method method = gcm::Authenticator::Method::kAuto);

    // size bytes from in to out, which may be the same buffer. False when the text passes what
    // one IV may cover, when Start did not succeed, or when the platform call fails.
    bool Encrypt(const uint8_t* in, uint8_t* out, size_t size);
    bool Decrypt(const uint8_t* in, uint8_t* out, size_t size);

    // The tag (12 to 16 bytes) over the text so far and the additional data, which may come
    // last (it is hashed in front of the text all the same).
    bool ComputeTag(const uint8_t* aad, size_t aadSize, uint8_t* tag, size_t tagSize);
    // Compares the tag in constant time; a mismatch leaves kGcmTagMismatch.
    bool CheckTag(const uint8_t* aad, size_t aadSize, const uint8_t* expected, size_t tagSize);

private:
    bool ImportKey(const uint8_t* key, size_t keySize, KeyHandle& into);
    bool Apply(uint64_t position, const uint8_t* in, uint8_t* out, size_t size, bool encrypting);

    ProviderHandle provider_;
    KeyHandle key_;
    // A second handle of the same key for the key stream's second thread: the provider's AES runs
    // on one processor per handle.
    KeyHandle laneKey_;
    std::optional<gcm::Authenticator> ghash_;
    uint8_t encryptedJ0_[gcm::kBlock] = {};
    GcmKeyStream keyStream_;  // after the keys: it stops using them before they go
    uint64_t textBytes_ = 0;
    bool finished_ = false;
};
