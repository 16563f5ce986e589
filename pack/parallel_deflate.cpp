#include "pack/parallel_deflate.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace parallel_deflate {

namespace {

constexpr int kRawWindowBits = -MAX_WBITS;
constexpr int kMemoryLevel = 8;
// deflateBound covers a finished stream; a sync flush adds an empty stored block and a few bits.
constexpr size_t kFlushRoom = 16;

enum class BlockState { kFilling, kQueued, kDone };

struct Block {
    std::vector<uint8_t> input;  // the dictionary, then the block's own bytes
    size_t dictionary = 0;
    size_t size = 0;
    bool last = false;
    BlockState state = BlockState::kFilling;
    // Set by the worker.
    std::vector<uint8_t> output;
    size_t outputSize = 0;
    uint32_t crc = 0;
    int status = Z_OK;
};

int InitStream(z_stream& stream, int level) {
    return deflateInit2(&stream, level, Z_DEFLATED, kRawWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY);
}

// Deflates one block with a worker's own stream. A block other than the last ends with a sync
// flush: on a byte boundary and without the final-block bit, so the next block's bytes follow on.
int CompressBlock(z_stream& stream, Block& block) {
    int result = deflateReset(&stream);
    if (result == Z_OK && block.dictionary)
        result = deflateSetDictionary(&stream, block.input.data(), static_cast<uInt>(block.dictionary));
    if (result != Z_OK) return result;
    uint8_t* data = block.input.data() + block.dictionary;
    block.crc = static_cast<uint32_t>(crc32(0, data, static_cast<uInt>(block.size)));
    block.output.resize(deflateBound(&stream, static_cast<uLong>(block.size)) + kFlushRoom);
    stream.next_in = data;
    stream.avail_in = static_cast<uInt>(block.size);
    const int flush = block.last ? Z_FINISH : Z_SYNC_FLUSH;
    size_t used = 0;
    for (;;) {
        stream.next_out = block.output.data() + used;
        stream.avail_out = static_cast<uInt>(block.output.size() - used);
        result = deflate(&stream, flush);
        used = block.output.size() - stream.avail_out;
        if (result == Z_STREAM_END) break;
        if (result != Z_OK) return result;
        if (stream.avail_out != 0) {
            // A sync flush is complete when it leaves room; a finish always ends or fills the buffer.
            if (!block.last) break;
            return Z_STREAM_ERROR;
        }
        block.output.resize(block.output.size() * 2);
    }
    block.outputSize = used;
    return Z_OK;
}

}  // namespace

unsigned ThreadCount(unsigned setting, unsigned processors) {
    return std::clamp(setting ? setting : processors, 1u, kMaxThreads);
}

uint64_t OutputBound(uint64_t size, size_t blockSize) {
    const uint64_t blocks = size / std::max<size_t>(blockSize, 1) + 1;
    return size + (size >> 11) + blocks * 32 + 64;
}

// The ring of blocks in flight and the workers. Blocks are handed out and produced in the order of
// their sequence numbers; the counters say how far each side has come.
struct Deflater::Shared {
    Block& At(uint64_t sequence) { return blocks[sequence % blocks.size()]; }
    void Work(z_stream& stream);
    bool HeadDone(bool wait);
    void Deliver(uint8_t* out, size_t room, size_t* produced);
    // Input is left and a slot of the ring is free.
    bool RoomToFill() const { return !inputEnded && filled - released < blocks.size(); }
    bool Fill(const Input& input);
    bool StartBlock();
    bool Submit();
    bool AddWorker();
    void Fail(Result result, int zlibStatus);

    std::mutex mutex;
    std::condition_variable work;  // workers: a block was queued, or stop
    std::condition_variable done;  // the caller: a block was compressed
    uint64_t filled = 0;  // blocks queued for the workers
    uint64_t taken = 0;   // blocks a worker has started
    bool stop = false;

    // Only the caller's thread touches the rest.
    int level = 0;
    size_t blockSize = kBlockSize;
    std::vector<Block> blocks;
    std::vector<z_stream> streams;  // one per worker; never resized once made
    size_t initialised = 0;
    std::vector<std::thread> workers;
    uint64_t released = 0;  // blocks whose output has been produced whole
    size_t cursor = 0;      // of the oldest block's output
    bool filling = false;   // the block at `filled` has been started
    bool inputEnded = false;
    Result final = Result::kMore;
    int status = Z_OK;
    uint32_t crc = 0;
    uint64_t size = 0;
};

void Deflater::Shared::Work(z_stream& stream) {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        work.wait(lock, [this] { return stop || taken < filled; });
        if (stop) return;
        Block& block = At(taken++);
        lock.unlock();
        // Nothing may leave a thread's procedure: whatever the block's compression throws (no memory
        // for its output, a size past what a vector holds) fails that block, and with it the run.
        int result = Z_MEM_ERROR;
        try {
            result = CompressBlock(stream, block);
        } catch (...) {
        }
        lock.lock();
        block.status = result;
        block.state = BlockState::kDone;
        done.notify_one();
    }
}

bool Deflater::Shared::HeadDone(bool wait) {
    std::unique_lock<std::mutex> lock(mutex);
    Block& head = At(released);
    if (wait) done.wait(lock, [&head] { return head.state == BlockState::kDone; });
    return head.state == BlockState::kDone;
}

void Deflater::Shared::Deliver(uint8_t* out, size_t room, size_t* produced) {
    Block& head = At(released);
    if (head.status != Z_OK) return Fail(Result::kDeflateFailed, head.status);
    size_t count = std::min(head.outputSize - cursor, room - *produced);
    memcpy(out + *produced, head.output.data() + cursor, count);
    *produced += count;
    cursor += count;
    if (cursor < head.outputSize) return;
    crc = static_cast<uint32_t>(crc32_combine(crc, head.crc, static_cast<z_off_t>(head.size)));
    size += head.size;
    cursor = 0;
    ++released;
    if (head.last) final = Result::kEnd;
}

bool Deflater::Shared::Fill(const Input& input) {
    if (!filling && !StartBlock()) return false;
    Block& block = At(filled);
    size_t got = 0;
    InputStatus read = input(block.input.data() + block.dictionary + block.size, blockSize - block.size, &got);
    if (read != InputStatus::kOk) {
        Fail(read == InputStatus::kCancelled ? Result::kCancelled : Result::kInputFailed, Z_OK);
        return false;
    }
    block.size += got;
    if (got == 0) {
        inputEnded = true;
        block.last = true;
        return Submit();
    }
    return block.size < blockSize || Submit();
}

// The next block's dictionary is the end of the block before it, which stays in its slot until
// the ring comes round to it again.
bool Deflater::Shared::StartBlock() {
    Block& block = At(filled);
    try {
        block.input.resize(kDictionarySize + blockSize);
    } catch (const std::bad_alloc&) {
        Fail(Result::kDeflateFailed, Z_MEM_ERROR);
        return false;
    }
    block.dictionary = 0;
    block.size = 0;
    block.last = false;
    block.state = BlockState::kFilling;
    if (filled > 0) {
        const Block& previous = At(filled - 1);
        size_t end = previous.dictionary + previous.size;
        block.dictionary = std::min(kDictionarySize, end);
        memcpy(block.input.data(), previous.input.data() + end - block.dictionary, block.dictionary);
    }
    filling = true;
    return true;
}

bool Deflater::Shared::Submit() {
    // Workers start as blocks come, so that a small input does not start them all.
    if (workers.size() < streams.size() && !AddWorker()) return false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        At(filled).state = BlockState::kQueued;
        ++filled;
    }
    work.notify_one();
    filling = false;
    return true;
}

// False only when not even one worker runs; with some running the run goes on with those.
bool Deflater::Shared::AddWorker() {
    size_t index = workers.size();
    if (index == initialised) {
        int result = InitStream(streams[index], level);
        if (result != Z_OK) {
            if (workers.empty()) Fail(Result::kDeflateFailed, result);
            return !workers.empty();
        }
        ++initialised;
    }
    try {
        workers.emplace_back(&Shared::Work, this, std::ref(streams[index]));
    } catch (const std::system_error&) {
        if (workers.empty()) Fail(Result::kDeflateFailed, Z_MEM_ERROR);
    }
    return !workers.empty();
}

void Deflater::Shared::Fail(Result result, int zlibStatus) {
    final = result;
    status = zlibStatus;
}

Deflater::Deflater(int level, unsigned threads, size_t blockSize) : shared_(new (std::nothrow) Shared) {
    if (!shared_) return;
    Shared& shared = *shared_;
    shared.level = level;
    shared.blockSize = std::max<size_t>(blockSize, 1);
    threads = std::clamp(threads, 1u, kMaxThreads);
    try {
        shared.blocks.resize(kBlocksPerThread * threads);
        shared.streams.resize(threads);
    } catch (const std::bad_alloc&) {
        shared.Fail(Result::kDeflateFailed, Z_MEM_ERROR);
        return;
    }
    // The first worker's stream is made here: a level zlib refuses fails the run before any input.
    int result = InitStream(shared.streams[0], level);
    if (result != Z_OK) {
        shared.Fail(Result::kDeflateFailed, result);
        return;
    }
    shared.initialised = 1;
}

Deflater::~Deflater() {
    if (!shared_) return;
    Shared& shared = *shared_;
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.stop = true;
    }
    shared.work.notify_all();
    for (std::thread& worker : shared.workers) worker.join();
    for (size_t i = 0; i < shared.initialised; ++i) deflateEnd(&shared.streams[i]);
}

Result Deflater::Produce(const Input& input, uint8_t* out, size_t room, size_t* produced) {
    *produced = 0;
    if (!shared_) return Result::kDeflateFailed;
    Shared& shared = *shared_;
    // Output that is ready goes first; otherwise the ring is kept full; only then is there a wait.
    while (shared.final == Result::kMore && *produced < room) {
        bool inFlight = shared.released < shared.filled;
        if (inFlight && shared.HeadDone(false)) {
            shared.Deliver(out, room, produced);
        } else if (shared.RoomToFill()) {
            shared.Fill(input);
        } else if (inFlight) {
            shared.HeadDone(true);
        }
    }
    // The caller now works on what it got (the envelope encrypts it): the workers go on meanwhile
    // with every free block filled.
    while (shared.final == Result::kMore && shared.RoomToFill()) shared.Fill(input);
    return shared.final;
}

uint32_t Deflater::Crc() const { return shared_ ? shared_->crc : 0; }

uint64_t Deflater::Size() const { return shared_ ? shared_->size : 0; }

int Deflater::Status() const { return shared_ ? shared_->status : Z_MEM_ERROR; }

}  // namespace parallel_deflate
