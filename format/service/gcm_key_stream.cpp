#include "format/service/gcm_key_stream.h"

#include <cstring>

#include "format/secret_bytes.h"

bool EncryptEcbBlocks(HCRYPTKEY key, uint8_t* blocks, size_t count) {
    DWORD size = static_cast<DWORD>(count * gcm::kBlock);
    DWORD written = size;
    if (!CryptEncrypt(key, 0, FALSE, 0, blocks, &written, size)) return false;
    if (written == size) return true;
    SetLastError(static_cast<DWORD>(NTE_FAIL));
    return false;
}

void GcmKeyStream::Start(HCRYPTKEY key, HCRYPTKEY laneKey, const uint8_t j0[gcm::kBlock]) {
    Stop();
    key_ = key;
    laneKey_ = laneKey;
    std::memcpy(j0_, j0, gcm::kBlock);
    // One batch until the lane starts: a short message needs no more.
    slotCount_ = 1;
    ring_.resize(kBatchBytes);
    current_ = nextToMake_ = 0;
}

void GcmKeyStream::Stop() {
    if (lane_) {
        AcquireSRWLockExclusive(&lock_);
        stopping_ = true;
        ReleaseSRWLockExclusive(&lock_);
        WakeAllConditionVariable(&changed_);
        WaitForSingleObject(lane_, INFINITE);
        CloseHandle(lane_);
        lane_ = nullptr;
        stopping_ = false;
    }
    WipeBytes(ring_);
    for (Slot& slot : slots_) slot = Slot();
}

// Blocks [from, to) of the batch into its slot.
bool GcmKeyStream::MakeBlocks(HCRYPTKEY key, uint64_t batch, size_t from, size_t to) {
    uint8_t* bytes = SlotBytes(batch) + from * gcm::kBlock;
    gcm::CounterBlocks(j0_, batch * kBatchBlocks + from, to - from, bytes);
    return EncryptEcbBlocks(key, bytes, to - from);
}

bool GcmKeyStream::Xor(uint64_t position, const uint8_t* in, uint8_t* out, size_t size) {
    const uint64_t batch = position / kBatchBytes;
    const size_t offset = static_cast<size_t>(position % kBatchBytes);
    if (size == 0) return true;
    if (offset + size > kBatchBytes || batch < current_) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (batch != current_) MoveTo(batch);
    const size_t endBlock = (offset + size + gcm::kBlock - 1) / gcm::kBlock;
    if (!(lane_ ? EnsureMadeWithLane(batch) : EnsureMade(batch, endBlock))) return false;
    gcm::XorBytes(in, SlotBytes(batch) + offset, out, size);
    return true;
}

// The caller leaves the batches before this one: their slots are free for the lane.
void GcmKeyStream::MoveTo(uint64_t batch) {
    if (!lane_) {
        current_ = nextToMake_ = batch;
        // Where no thread can be started, everything stays on this one: slower, the same bytes.
        if (laneKey_ && batch >= kLaneFromBatch) {
            // The ring grows to its full size; the batch it held is through.
            WipeBytes(ring_);
            slotCount_ = kSlots;
            ring_.resize(kSlots * kBatchBytes);
            lane_ = CreateThread(nullptr, 0, LaneProc, this, 0, nullptr);
            if (!lane_) laneKey_ = 0;
        }
        return;
    }
    AcquireSRWLockExclusive(&lock_);
    current_ = batch;
    if (nextToMake_ < batch) nextToMake_ = batch;
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&changed_);
}

// Alone: the slot holds the caller's batch, made as far as the caller has needed it.
bool GcmKeyStream::EnsureMade(uint64_t batch, size_t endBlock) {
    Slot& slot = slots_[batch % slotCount_];
    if (slot.batch != batch) {
        slot.batch = batch;
        slot.madeBlocks = 0;
    }
    if (slot.madeBlocks >= endBlock) return true;
    if (!MakeBlocks(key_, batch, slot.madeBlocks, endBlock)) return false;
    slot.madeBlocks = endBlock;
    return true;
}

// With the lane every batch is made whole, by whichever thread takes it first. While the batch
// the caller needs is still being made, the caller makes a later one rather than wait.
bool GcmKeyStream::EnsureMadeWithLane(uint64_t batch) {
    Slot& slot = slots_[batch % slotCount_];
    AcquireSRWLockExclusive(&lock_);
    while (slot.batch != batch || slot.busy) {
        if (CanTakeNext())
            MakeNext(key_);
        else
            SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
    }
    const DWORD error = slot.error;
    ReleaseSRWLockExclusive(&lock_);
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

// Under the lock: a slot is free for the batch nobody has taken yet.
bool GcmKeyStream::CanTakeNext() const { return nextToMake_ < current_ + slotCount_; }

// Under the lock, which is let go while the batch is made: takes the batch nobody has taken yet
// and makes it whole with key.
void GcmKeyStream::MakeNext(HCRYPTKEY key) {
    const uint64_t batch = nextToMake_++;
    Slot& slot = slots_[batch % slotCount_];
    slot.batch = batch;
    slot.busy = true;
    ReleaseSRWLockExclusive(&lock_);
    const bool made = MakeBlocks(key, batch, 0, kBatchBlocks);
    const DWORD error = made ? ERROR_SUCCESS : GetLastError();
    AcquireSRWLockExclusive(&lock_);
    slot.busy = false;
    slot.madeBlocks = made ? kBatchBlocks : 0;
    slot.error = made ? ERROR_SUCCESS : error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
    WakeAllConditionVariable(&changed_);
}

DWORD WINAPI GcmKeyStream::LaneProc(void* self) {
    static_cast<GcmKeyStream*>(self)->RunLane();
    return 0;
}

// The lane's thread: makes the next batch nobody has taken while a slot is free, until Stop.
void GcmKeyStream::RunLane() {
    AcquireSRWLockExclusive(&lock_);
    for (;;) {
        while (!stopping_ && !CanTakeNext()) SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
        if (stopping_) break;
        MakeNext(laneKey_);
    }
    ReleaseSRWLockExclusive(&lock_);
}
