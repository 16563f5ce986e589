#include "format/service/aes_gcm.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "format/secret_bytes.h"
#include "format/service/plain_key.h"

namespace {

// Counter blocks encrypted per call: 64 KiB of key stream, the memory each lane keeps.
constexpr size_t kBatchBlocks = 4096;
// A run of whole blocks at least this long is shared between two lanes; below it, handing part
// of it to the other thread costs more than it saves.
constexpr size_t kTwoLaneBlocks = 2 * kBatchBlocks;

bool HasTwoProcessors() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors >= 2;
}

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

// The key stream XORed with the ciphertext gives the plaintext: it is not left in freed memory.
AesGcmStream::~AesGcmStream() {
    WipeBytes(keyStream_);
    WipeBytes(laneKeyStream_);
}

bool AesGcmStream::Start(const uint8_t* key, size_t keySize, const uint8_t iv[gcm::kIvSize],
                         gcm::Authenticator::Method method) {
    ghash_.reset();
    key_.reset();
    laneKey_.reset();
    keyStreamUsed_ = keyStreamSize_ = 0;
    nextBlock_ = textBytes_ = 0;
    finished_ = false;
    if (keySize != 16 && keySize != 24 && keySize != 32) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!provider_ && !CryptAcquireContextW(provider_.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return false;
    if (!ImportKey(key, keySize, key_)) return false;
    keyStream_.resize(kBatchBlocks * gcm::kBlock);
    // The provider's AES runs on one processor per key handle; a second handle of the same key
    // lets a second thread share each long run of key stream.
    if (HasTwoProcessors() && ImportKey(key, keySize, laneKey_)) laneKeyStream_.resize(kBatchBlocks * gcm::kBlock);
    // H = E(K, 0^128) and E(K, J0) in one call.
    uint8_t blocks[2 * gcm::kBlock] = {};
    gcm::InitialCounter(iv, j0_);
    std::memcpy(blocks + gcm::kBlock, j0_, gcm::kBlock);
    if (!EncryptBlocks(key_.get(), blocks, 2)) {
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

// ECB in place; not the final call, so no padding block is added.
bool AesGcmStream::EncryptBlocks(HCRYPTKEY key, uint8_t* blocks, size_t count) {
    DWORD size = static_cast<DWORD>(count * gcm::kBlock);
    DWORD written = size;
    if (!CryptEncrypt(key, 0, FALSE, 0, blocks, &written, size)) return false;
    if (written == size) return true;
    SetLastError(static_cast<DWORD>(NTE_FAIL));
    return false;
}

// Whole blocks from in to out under the counter blocks from firstBlock on, through scratch (one
// batch of key stream).
bool AesGcmStream::ApplyWholeBlocks(HCRYPTKEY key, uint64_t firstBlock, const uint8_t* in, uint8_t* out,
                                    size_t blocks, uint8_t* scratch) const {
    while (blocks > 0) {
        const size_t batch = blocks < kBatchBlocks ? blocks : kBatchBlocks;
        gcm::CounterBlocks(j0_, firstBlock, batch, scratch);
        if (!EncryptBlocks(key, scratch, batch)) return false;
        Xor(in, scratch, out, batch * gcm::kBlock);
        firstBlock += batch;
        in += batch * gcm::kBlock;
        out += batch * gcm::kBlock;
        blocks -= batch;
    }
    return true;
}

// The run is cut into batches; this thread takes them from the front and the lane's thread from
// the back until they meet, so neither waits long for the other when a third thread (the caller's
// reads and writes) takes a processor from one of them for a while. What this thread made is a
// prefix of the run: an encryption hashes it while the lane still works.
bool AesGcmStream::ApplyOnTwoLanes(const uint8_t* in, uint8_t* out, size_t blocks, bool hashOutput) {
    const size_t batches = (blocks + kBatchBlocks - 1) / kBatchBlocks;
    std::atomic<ptrdiff_t> unclaimed(static_cast<ptrdiff_t>(batches));
    auto claim = [&unclaimed] { return unclaimed.fetch_sub(1) > 0; };
    auto applyBatch = [&](size_t index, HCRYPTKEY key, uint8_t* scratch) {
        const size_t first = index * kBatchBlocks;
        const size_t count = std::min(kBatchBlocks, blocks - first);
        return ApplyWholeBlocks(key, nextBlock_ + first, in + first * gcm::kBlock, out + first * gcm::kBlock, count,
                                scratch);
    };
    const bool started = lane_.Start([&] {
        for (size_t back = batches; claim();)
            if (!applyBatch(--back, laneKey_.get(), laneKeyStream_.data())) return false;
        return true;
    });
    if (!started) return false;
    size_t front = 0;
    bool frontDone = true;
    while (frontDone && claim()) frontDone = applyBatch(front++, key_.get(), keyStream_.data());
    const DWORD frontError = GetLastError();
    const size_t prefix = std::min(front * kBatchBlocks, blocks) * gcm::kBlock;
    if (frontDone && hashOutput) ghash_->AbsorbText(out, prefix);
    // Always waited for, even after a failure here: the lane writes into the caller's buffer.
    if (!lane_.Wait()) return false;
    if (!frontDone) {
        SetLastError(frontError);
        return false;
    }
    if (hashOutput) ghash_->AbsorbText(out + prefix, blocks * gcm::kBlock - prefix);
    nextBlock_ += blocks;
    return true;
}

// With hashOutput, GHASH takes each piece of out as soon as it is made.
bool AesGcmStream::Apply(const uint8_t* in, uint8_t* out, size_t size, bool hashOutput) {
    while (size > 0) {
        const size_t wholeBlocks = size / gcm::kBlock;
        if (keyStreamUsed_ == keyStreamSize_ && laneKey_ && wholeBlocks >= kTwoLaneBlocks) {
            if (!ApplyOnTwoLanes(in, out, wholeBlocks, hashOutput)) return false;
            in += wholeBlocks * gcm::kBlock;
            out += wholeBlocks * gcm::kBlock;
            size -= wholeBlocks * gcm::kBlock;
            continue;
        }
        if (keyStreamUsed_ == keyStreamSize_) {
            // As many counter blocks as this call still needs, at most one batch.
            size_t blocks = (size + gcm::kBlock - 1) / gcm::kBlock;
            if (blocks > kBatchBlocks) blocks = kBatchBlocks;
            gcm::CounterBlocks(j0_, nextBlock_, blocks, keyStream_.data());
            if (!EncryptBlocks(key_.get(), keyStream_.data(), blocks)) return false;
            nextBlock_ += blocks;
            keyStreamUsed_ = 0;
            keyStreamSize_ = blocks * gcm::kBlock;
        }
        size_t take = keyStreamSize_ - keyStreamUsed_;
        if (take > size) take = size;
        Xor(in, keyStream_.data() + keyStreamUsed_, out, take);
        if (hashOutput) ghash_->AbsorbText(out, take);
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
    if (!Apply(in, out, size, true)) return false;
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
    return Apply(in, out, size, false);
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
