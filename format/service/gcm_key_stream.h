// The key stream of one GCM message: the provider's AES-ECB over its counter blocks, in batches
// of 64 KiB. CryptoAPI's provider rather than CNG: Wine's CNG ECB costs the same per block
// whatever the call size (about 130 MB/s against 280). The key stream does not depend on the
// text, so on a machine of two processors or more a thread of its own keeps the next batches made
// while the caller XORs, hashes, reads and writes; the caller makes a later batch itself rather
// than wait for that thread. The thread has a key handle of its own: the provider's AES runs on
// one processor per handle. Alone, the caller makes only the blocks it needs, so a short message
// costs no more than its own blocks.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/gcm.h"

// ECB in place with a key set to that mode; not the final call, so no padding block is added.
bool EncryptEcbBlocks(HCRYPTKEY key, uint8_t* blocks, size_t count);

class GcmKeyStream {
public:
    static constexpr size_t kBatchBlocks = 4096;
    static constexpr size_t kBatchBytes = kBatchBlocks * gcm::kBlock;

    GcmKeyStream() = default;
    GcmKeyStream(const GcmKeyStream&) = delete;
    GcmKeyStream& operator=(const GcmKeyStream&) = delete;
    ~GcmKeyStream() { Stop(); }

    // Starts over with the counter blocks that follow j0. Without laneKey everything is made on
    // the caller's thread. Both keys must stay valid until Stop.
    void Start(HCRYPTKEY key, HCRYPTKEY laneKey, const uint8_t j0[gcm::kBlock]);
    // out = in XOR the key stream at the text offset position, out may be in. The bytes lie in
    // one batch, and each call's position is at or after the last one's. False with the
    // platform's last error when a batch could not be made.
    bool Xor(uint64_t position, const uint8_t* in, uint8_t* out, size_t size);
    // Ends the thread's work and wipes the batches: XORed with the ciphertext they give the text.
    void Stop();

private:
    struct Slot {
        uint64_t batch = UINT64_MAX;
        size_t madeBlocks = 0;  // from the batch's start
        bool busy = false;      // a thread is making it
        DWORD error = ERROR_SUCCESS;
    };
    static constexpr size_t kSlots = 16;  // 1 MiB, a read batch of the pack and unpack
    // The lane starts once the text reaches this batch: shorter messages stay on one thread.
    static constexpr uint64_t kLaneFromBatch = 2;

    uint8_t* SlotBytes(uint64_t batch) { return ring_.data() + (batch % slotCount_) * kBatchBytes; }
    bool MakeBlocks(HCRYPTKEY key, uint64_t batch, size_t from, size_t to);
    bool EnsureMade(uint64_t batch, size_t endBlock);
    bool EnsureMadeWithLane(uint64_t batch);
    bool CanTakeNext() const;
    void MakeNext(HCRYPTKEY key);
    void MoveTo(uint64_t batch);
    static DWORD WINAPI LaneProc(void* self);
    void RunLane();

    HCRYPTKEY key_ = 0, laneKey_ = 0;
    uint8_t j0_[gcm::kBlock] = {};
    std::vector<uint8_t> ring_;
    size_t slotCount_ = 1;
    Slot slots_[kSlots];
    // Shared with the lane under lock_ once it runs.
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    uint64_t current_ = 0;   // the batch the caller works in; the ones before it are free
    uint64_t nextToMake_ = 0;  // the first batch nobody has taken yet
    bool stopping_ = false;
    HANDLE lane_ = nullptr;  // the thread, while it runs
};
