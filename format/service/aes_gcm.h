// AES-GCM encryption and decryption streamed in constant memory. The platform's GCM cannot be
// trusted when its calls are chained (under Wine they succeed with wrong bytes), so the stream is
// built from calls that are right everywhere: the key stream is AES-ECB over counter blocks, a
// whole batch per call, and GHASH is the system's own (format/gcm.h). The ECB calls go to the
// CryptoAPI AES provider rather than CNG: Wine's CNG ECB costs the same per block whatever the call
// size, and was the slowest part of the stream (about 130 MB/s against 280). On two processors or
// more, long runs of key stream are made on two threads, a key handle each (540 MB/s). Every text
// byte passes through here once; the output of a decryption must not be trusted before CheckTag.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "format/gcm.h"
#include "format/service/background_job.h"
#include "format/service/crypto_handles.h"

// The last error a wrong tag leaves: STATUS_AUTH_TAG_MISMATCH as an HRESULT, as CNG reports it.
constexpr DWORD kGcmTagMismatch = 0xD000A002;

class AesGcmStream {
public:
    AesGcmStream() = default;
    AesGcmStream(const AesGcmStream&) = delete;
    AesGcmStream& operator=(const AesGcmStream&) = delete;
    ~AesGcmStream();

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
    static bool EncryptBlocks(HCRYPTKEY key, uint8_t* blocks, size_t count);
    bool ApplyWholeBlocks(HCRYPTKEY key, uint64_t firstBlock, const uint8_t* in, uint8_t* out, size_t blocks,
                          uint8_t* scratch) const;
    bool ApplyOnTwoLanes(const uint8_t* in, uint8_t* out, size_t blocks, bool hashOutput);
    bool Apply(const uint8_t* in, uint8_t* out, size_t size, bool hashOutput);

    ProviderHandle provider_;
    KeyHandle key_;
    std::optional<gcm::Authenticator> ghash_;
    uint8_t j0_[gcm::kBlock] = {};
    uint8_t encryptedJ0_[gcm::kBlock] = {};
    std::vector<uint8_t> keyStream_;  // one batch of encrypted counter blocks
    // The second lane: on a machine of two processors or more, long runs of blocks are split, and
    // the upper half is made on a thread of its own with a key handle of its own.
    KeyHandle laneKey_;
    std::vector<uint8_t> laneKeyStream_;
    BackgroundJob lane_;
    size_t keyStreamUsed_ = 0, keyStreamSize_ = 0;
    uint64_t nextBlock_ = 0;          // index of the next counter block to encrypt
    uint64_t textBytes_ = 0;
    bool finished_ = false;
};
