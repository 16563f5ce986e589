#include "format/service/aes_gcm.h"

#include <cstring>

#include "format/service/plain_key.h"

namespace {

bool HasTwoProcessors() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors >= 2;
}

}  // namespace

bool AesGcmStream::Start(const uint8_t* key, size_t keySize, const uint8_t iv[gcm::kIvSize],
                         gcm::Authenticator::Method method) {
    keyStream_.Stop();
    ghash_.reset();
    key_.reset();
    laneKey_.reset();
    textBytes_ = 0;
    finished_ = false;
    if (keySize != 16 && keySize != 24 && keySize != 32) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!provider_ && !CryptAcquireContextW(provider_.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return false;
    if (!ImportKey(key, keySize, key_)) return false;
    // Without a second handle the key stream is made on the caller's thread alone.
    if (HasTwoProcessors()) ImportKey(key, keySize, laneKey_);
    // H = E(K, 0^128) and E(K, J0) in one call.
    uint8_t blocks[2 * gcm::kBlock] = {};
    uint8_t j0[gcm::kBlock];
    gcm::InitialCounter(iv, j0);
    std::memcpy(blocks + gcm::kBlock, j0, gcm::kBlock);
    if (!EncryptEcbBlocks(key_.get(), blocks, 2)) {
        PreserveLastError keep;
        key_.reset();
        laneKey_.reset();
        return false;
    }
    ghash_.emplace(blocks, method);
    keyStream_.Start(key_.get(), laneKey_.get(), j0);
    std::memcpy(encryptedJ0_, blocks + gcm::kBlock, gcm::kBlock);
    SecureZeroMemory(blocks, sizeof blocks);
    return true;
}

// The key's bytes imported plain, set to ECB.
bool AesGcmStream::ImportKey(const uint8_t* key, size_t keySize, KeyHandle& into) {
    const ALG_ID algId = keySize == 16 ? CALG_AES_128 : keySize == 24 ? CALG_AES_192 : CALG_AES_256;
    DWORD mode = CRYPT_MODE_ECB;
    if (ImportPlainKey(provider_.get(), algId, key, keySize, 0, into.put()) &&
        CryptSetKeyParam(into.get(), KP_MODE, reinterpret_cast<BYTE*>(&mode), 0))
        return true;
    PreserveLastError keep;
    into.reset();
    return false;
}

// size bytes at the text offset position, a batch of key stream at a time. GHASH takes the
// ciphertext of each piece while it is in the cache: an encryption's output once made, a
// decryption's input before out (which may be the same buffer) overwrites it.
bool AesGcmStream::Apply(uint64_t position, const uint8_t* in, uint8_t* out, size_t size, bool encrypting) {
    while (size > 0) {
        const size_t toBatchEnd = GcmKeyStream::kBatchBytes - static_cast<size_t>(position % GcmKeyStream::kBatchBytes);
        const size_t take = size < toBatchEnd ? size : toBatchEnd;
        if (!encrypting) ghash_->AbsorbText(in, take);
        if (!keyStream_.Xor(position, in, out, take)) return false;
        if (encrypting) ghash_->AbsorbText(out, take);
        position += take;
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
    if (!Apply(textBytes_, in, out, size, true)) return false;
    textBytes_ += size;
    return true;
}

bool AesGcmStream::Decrypt(const uint8_t* in, uint8_t* out, size_t size) {
    if (!ghash_ || finished_ || size > gcm::kMaxTextBytes - textBytes_) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!Apply(textBytes_, in, out, size, false)) return false;
    textBytes_ += size;
    return true;
}

bool AesGcmStream::ComputeTag(const uint8_t* aad, size_t aadSize, uint8_t* tag, size_t tagSize) {
    if (!ghash_ || finished_ || tagSize < 12 || tagSize > gcm::kBlock) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    uint8_t s[gcm::kBlock];
    ghash_->Finish(aad, aadSize, s);
    finished_ = true;
    keyStream_.Stop();
    gcm::XorBytes(s, encryptedJ0_, s, gcm::kBlock);
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
