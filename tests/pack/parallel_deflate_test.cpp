#include "pack/parallel_deflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using parallel_deflate::InputStatus;
using parallel_deflate::Result;
constexpr size_t kBlock = parallel_deflate::kBlockSize;

// Words in a pseudo-random order, which compress about as text does, or pseudo-random bytes.
Bytes MakeInput(size_t size, bool compressible) {
    static const char* const kWords[] = {"block ", "edge ", "window ", "dictionary ", "flush ", "stream ",
                                         "the ", "of ", "deflate ", "worker ", "ring ", "input\n"};
    Bytes bytes;
    bytes.reserve(size + 16);
    uint32_t state = 2463534242u;
    while (bytes.size() < size) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        if (!compressible) {
            bytes.push_back(static_cast<uint8_t>(state));
            continue;
        }
        const char* word = kWords[state % 12];
        bytes.insert(bytes.end(), word, word + strlen(word));
    }
    bytes.resize(size);
    return bytes;
}

// Hands out the bytes in pieces of at most `piece`; after `failAfter` bytes it answers `failure`.
struct MemoryInput {
    const Bytes& bytes;
    size_t piece;
    size_t failAfter = SIZE_MAX;
    InputStatus failure = InputStatus::kOk;
    size_t at = 0;
    int refusals = 0;

    parallel_deflate::Input Function() {
        return [this](uint8_t* buffer, size_t room, size_t* got) {
            if (at >= failAfter) {
                ++refusals;
                return failure;
            }
            *got = std::min({room, piece, bytes.size() - at});
            memcpy(buffer, bytes.data() + at, *got);
            at += *got;
            return InputStatus::kOk;
        };
    }
};

struct Produced {
    Result result = Result::kMore;
    Bytes output;
    int calls = 0;
};

Produced ProduceAll(parallel_deflate::Deflater& deflater, MemoryInput& input, size_t room) {
    Produced run;
    parallel_deflate::Input function = input.Function();
    Bytes chunk(room);
    while (run.result == Result::kMore) {
        size_t produced = 0;
        run.result = deflater.Produce(function, chunk.data(), room, &produced);
        run.output.insert(run.output.end(), chunk.begin(), chunk.begin() + produced);
        ++run.calls;
    }
    return run;
}

// Raw inflate as every reader does it; ok only for one complete stream with nothing behind it.
bool InflateRaw(const Bytes& stream, Bytes& output) {
    z_stream zs = {};
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) return false;
    zs.next_in = const_cast<Bytef*>(stream.data());
    zs.avail_in = static_cast<uInt>(stream.size());
    Bytes buffer(65536);
    int status = Z_OK;
    while (status == Z_OK) {
        zs.next_out = buffer.data();
        zs.avail_out = static_cast<uInt>(buffer.size());
        status = inflate(&zs, Z_NO_FLUSH);
        output.insert(output.end(), buffer.data(), buffer.data() + (buffer.size() - zs.avail_out));
    }
    bool whole = status == Z_STREAM_END && zs.avail_in == 0;
    inflateEnd(&zs);
    return whole;
}

// The same input through one deflate call, as the one-thread path makes it.
size_t SingleDeflateSize(const Bytes& input) {
    z_stream zs = {};
    deflateInit2(&zs, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&zs, static_cast<uLong>(input.size())));
    zs.next_in = const_cast<Bytef*>(input.data());
    zs.avail_in = static_cast<uInt>(input.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    size_t size = zs.total_out;
    deflateEnd(&zs);
    return size;
}

TEST(ParallelDeflate, BlocksJoinIntoOneStreamWithTheInputsCrcAndSize) {
    struct Case {
        size_t size;
        bool compressible;
        size_t piece;  // input read at most this much at a time
        size_t room;   // output asked for per call
    };
    const Case cases[] = {
        {0, true, 65535, 65536},
        {1, true, 65535, 65536},
        {kBlock - 1, true, 65535, 1000},
        {kBlock, true, kBlock, 65536},
        {kBlock + 1, true, 7000, 65536},
        {5 * kBlock + 17, true, 65535, 3},
        {3 * kBlock + 5, false, 65535, 65536},
        {12 * kBlock, true, 65535, 65536},  // the ring comes round several times
    };
    for (unsigned threads : {2u, 3u}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::to_string(c.size) + " bytes, " + std::to_string(threads) + " threads");
            const Bytes input = MakeInput(c.size, c.compressible);
            parallel_deflate::Deflater deflater(9, threads);
            MemoryInput source{input, c.piece};
            Produced run = ProduceAll(deflater, source, c.room);
            ASSERT_EQ(run.result, Result::kEnd);
            Bytes inflated;
            ASSERT_TRUE(InflateRaw(run.output, inflated));
            EXPECT_TRUE(inflated == input);
            EXPECT_EQ(deflater.Crc(), static_cast<uint32_t>(crc32(0, input.data(), static_cast<uInt>(input.size()))));
            EXPECT_EQ(deflater.Size(), input.size());
            EXPECT_EQ(deflater.Status(), Z_OK);
            // Blocks cost little: within 1 % (and a few bytes) of one deflate over the whole input.
            EXPECT_LE(run.output.size(), SingleDeflateSize(input) * 101 / 100 + 8);
            // After the end nothing more comes.
            size_t produced = 1;
            uint8_t byte = 0;
            EXPECT_EQ(deflater.Produce(source.Function(), &byte, 1, &produced), Result::kEnd);
            EXPECT_EQ(produced, 0u);
        }
    }
}

TEST(ParallelDeflate, CancelAndFailuresEndTheRunForGood) {
    // The input fails past what the ring of four threads holds, so some output came before.
    const size_t ring = parallel_deflate::kBlocksPerThread * 4;
    const Bytes input = MakeInput((ring + 4) * kBlock, true);
    struct Case {
        int level;
        InputStatus failure;
        Result expected;
        bool anyOutput;
    };
    const Case cases[] = {
        {9, InputStatus::kCancelled, Result::kCancelled, true},
        {9, InputStatus::kFailed, Result::kInputFailed, true},
        {12, InputStatus::kOk, Result::kDeflateFailed, false},  // a level zlib refuses: before any input
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level);
        parallel_deflate::Deflater deflater(c.level, 4);
        MemoryInput source{input, 65535, (ring + 2) * kBlock + 100, c.failure};
        Produced run = ProduceAll(deflater, source, 4096);
        EXPECT_EQ(run.result, c.expected);
        EXPECT_EQ(!run.output.empty(), c.anyOutput);
        EXPECT_EQ(deflater.Status(), c.expected == Result::kDeflateFailed ? Z_STREAM_ERROR : Z_OK);
        size_t produced = 1;
        uint8_t byte = 0;
        EXPECT_EQ(deflater.Produce(source.Function(), &byte, 1, &produced), c.expected);
        EXPECT_EQ(produced, 0u);
        EXPECT_EQ(source.refusals, c.failure == InputStatus::kOk ? 0 : 1) << "input is asked for after the stop";
    }
}

TEST(ParallelDeflate, ThreadCountFollowsTheSetting) {
    struct Case {
        unsigned setting, processors, expected;
    };
    const Case cases[] = {{0, 2, 2}, {0, 64, 16}, {0, 0, 1}, {1, 8, 1}, {3, 2, 3}, {40, 8, 16}};
    for (const Case& c : cases)
        EXPECT_EQ(parallel_deflate::ThreadCount(c.setting, c.processors), c.expected)
            << c.setting << " set, " << c.processors << " processors";
}

}  // namespace
