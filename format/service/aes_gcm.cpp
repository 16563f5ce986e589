#include "format/service/aes_gcm.h"

#include <cstring>

#include "format/service/plain_key.h"

namespace {

// Counter blocks encrypted per call: 64 KiB of key stream, the memory the stream keeps.
constexpr size_t kBatchBlocks = 4096;

void Xor(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t size) {
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        x ^= y;
        std::memcpy(out + i, &x, 8);
    }
    for (; i < size; ++i) out[i] = a[i] ^ b[i];
}

}  // namespace

bool AesGcmStream::Start(const uint8_t* key, size_t keySize, const uint8_t iv[gcm::kIvSize],
                         gcm::Authenticator::Method method) {
    ghash_.reset();
    key_.reset();
    keyStreamUsed_ = keyStreamSize_ = 0;
    nextBlock_ = textBytes_ = 0;
    finished_ = false;
    if (keySize != 16 && keySize != 24 && keySize != 32) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!provider_ && !CryptAcquireContextW(provider_.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return false;
    if (!ImportKey(key, keySize)) return false;
    keyStream_.resize(kBatchBlocks * gcm::kBlock);
    // H = E(K, 0^128) and E(K, J0) in one call.
    uint8_t blocks[2 * gcm::kBlock] = {};
    gcm::InitialCounter(iv, j0_);
    std::memcpy(blocks + gcm::kBlock, j0_, gcm::kBlock);
    if (!EncryptBlocks(blocks, 2)) {
        PreserveLastError keep;
        key_.reset();
        return false;
    }
    ghash_.emplace(blocks, method);
    std::memcpy(encryptedJ0_, blocks + gcm::kBlock, gcm::kBlock);
    SecureZeroMemory(blocks, sizeof blocks);
    return true;
}

// The key's bytes imported plain, set to ECB.
bool AesGcmStream::ImportKey(const uint8_t* key, size_t keySize) {
    const ALG_ID algId = keySize == 16 ? CALG_AES_128 : keySize == 24 ? CALG_AES_192 : CALG_AES_256;
    DWORD mode = CRYPT_MODE_ECB;
    if (ImportPlainKey(provider_.get(), algId, key, keySize, 0, key_.put()) &&
        CryptSetKeyParam(key_.get(), KP_MODE, reinterpret_cast<BYTE*>(&mode), 0))
        return true;
    PreserveLastError keep;
    key_.reset();
    return false;
}

// ECB in place; not the final call, so no padding block is added.
bool AesGcmStream::EncryptBlocks(uint8_t* blocks, size_t count) {
    DWORD size = static_cast<DWORD>(count * gcm::kBlock);
    DWORD written = size;
    if (!CryptEncrypt(key_.get(), 0, FALSE, 0, blocks, &written, size)) return false;
    if (written == size) return true;
    SetLastError(static_cast<DWORD>(NTE_FAIL));
    return false;
}

bool AesGcmStream::Apply(const uint8_t* in, uint8_t* out, size_t size) {
    while (size > 0) {
        if (keyStreamUsed_ == keyStreamSize_) {
            // As many counter blocks as this call still needs, at most one batch.
            size_t blocks = (size + gcm::kBlock - 1) / gcm::kBlock;
            if (blocks > kBatchBlocks) blocks = kBatchBlocks;
            gcm::CounterBlocks(j0_, nextBlock_, blocks, keyStream_.data());
            if (!EncryptBlocks(keyStream_.data(), blocks)) return false;
            nextBlock_ += blocks;
            keyStreamUsed_ = 0;
            keyStreamSize_ = blocks * gcm::kBlock;
        }
        size_t take = keyStreamSize_ - keyStreamUsed_;
        if (take > size) take = size;
        Xor(in, keyStream_.data() + keyStreamUsed_, out, take);
        keyStreamUsed_ += take;
        in += take;
        out += take;
        size -= take;
    }
    return true;
}

bool AesGcmStream::Encrypt(const uint8_t* in, uint8_t* out, size_t size) {
    if (!ghash_ || finished_ || size > gcm::kMaxTextBytes - textBytes_) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!Apply(in, out, size)) return false;
    ghash_->AbsorbText(out, size);
    textBytes_ += size;
    return true;
}

bool AesGcmStream::Decrypt(const uint8_t* in, uint8_t* out, size_t size) {
    if (!ghash_ || finished_ || size > gcm::kMaxTextBytes - textBytes_) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // The ciphertext is hashed before out, which may be the same buffer, is overwritten.
    ghash_->AbsorbText(in, size);
    textBytes_ += size;
    return Apply(in, out, size);
}

bool AesGcmStream::ComputeTag(const uint8_t* aad, size_t aadSize, uint8_t* tag, size_t tagSize) {
    if (!ghash_ || finished_ || tagSize < 12 || tagSize > gcm::kBlock) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    uint8_t s[gcm::kBlock];
    ghash_->Finish(aad, aadSize, s);
    finished_ = true;
    Xor(s, encryptedJ0_, s, gcm::kBlock);
    std::memcpy(tag, s, tagSize);
    return true;
}

bool AesGcmStream::CheckTag(const uint8_t* aad, size_t aadSize, const uint8_t* expected, size_t tagSize) {
    uint8_t tag[gcm::kBlock];
    if (!ComputeTag(aad, aadSize, tag, tagSize)) return false;
    if (gcm::TagsEqual(tag, expected, tagSize)) return true;
    SetLastError(kGcmTagMismatch);
    return false;
}
