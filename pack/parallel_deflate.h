// Deflate on several threads into one raw deflate stream. The input is cut into blocks; each is
// compressed on its own with the 32 KiB before it as its dictionary and ended on a byte boundary
// with a sync flush (the last with finish), so that the blocks' output, joined in order, is one
// stream any inflater reads. The CRC-32 of the input is combined from the blocks' CRCs.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace parallel_deflate {

constexpr size_t kBlockSize = 128 * 1024;
constexpr size_t kDictionarySize = 32 * 1024;
constexpr unsigned kMaxThreads = 16;
// Blocks in flight per thread: enough that the workers get ahead while the caller encrypts a run of
// poorly compressible input, which leaves them less to wait for on the next well-compressed run.
constexpr unsigned kBlocksPerThread = 8;

// Threads for the setting: 0 means one per processor; at least 1, at most kMaxThreads.
unsigned ThreadCount(unsigned setting, unsigned processors);

// The most output size bytes of input can give, whatever they hold: deflate's own bound for each
// block with room for its flush.
uint64_t OutputBound(uint64_t size, size_t blockSize = kBlockSize);

enum class InputStatus { kOk, kFailed, kCancelled };
// Fills up to room bytes of buffer and sets got; got = 0 with kOk is the end of the input.
using Input = std::function<InputStatus(uint8_t* buffer, size_t room, size_t* got)>;

enum class Result { kMore, kEnd, kInputFailed, kCancelled, kDeflateFailed };

// Raw deflate (no wrapper, 32 KiB window, memory level 8, default strategy) at the given level.
// Memory stays bounded: a fixed number of blocks, kBlocksPerThread per thread, is in flight at any time.
class Deflater {
public:
    Deflater(int level, unsigned threads, size_t blockSize = kBlockSize);
    // Stops the workers; a block being compressed is finished first and dropped.
    ~Deflater();
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // Fills out with the next compressed bytes, reading input as blocks become free and waiting
    // for the workers. kMore: out is full; kEnd: the stream ended here (produced may be less than
    // room, and later calls produce nothing). A failure or cancel is final: every later call
    // returns it again without output.
    Result Produce(const Input& input, uint8_t* out, size_t room, size_t* produced);

    // Of the input whose compressed bytes were produced; the whole input's after kEnd.
    uint32_t Crc() const;
    uint64_t Size() const;
    // Z_OK, or the zlib error that failed the set-up or a block.
    int Status() const;

private:
    struct Shared;
    std::unique_ptr<Shared> shared_;
};

}  // namespace parallel_deflate
