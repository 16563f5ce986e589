// The content stream's output end: plain writes, gzip header and trailer checks, and the faults of
// compressed content, fed in every split a reader or a nested message might produce.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

#include <zlib.h>

#include "tests/support/test_support.h"
#include "unpack/unpack_job.h"

namespace {

using testing_support::ReadFileBytes;
using testing_support::TempDir;
using Bytes = std::vector<uint8_t>;

void AppendLittleEndian(Bytes& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A gzip file made here: the given header, raw deflate, CRC-32 and size.
Bytes Gzip(const Bytes& plain, Bytes header = {0x1F, 0x8B, 0x08, 0x00, 0, 0, 0, 0, 0x00, 0x0B}) {
    z_stream stream = {};
    deflateInit2(&stream, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    Bytes deflated(deflateBound(&stream, plain.size()));
    stream.next_in = const_cast<Bytef*>(plain.data());
    stream.avail_in = static_cast<uInt>(plain.size());
    stream.next_out = deflated.data();
    stream.avail_out = static_cast<uInt>(deflated.size());
    deflate(&stream, Z_FINISH);
    deflated.resize(stream.total_out);
    deflateEnd(&stream);
    Bytes out = header;
    out.insert(out.end(), deflated.begin(), deflated.end());
    AppendLittleEndian(out, crc32(0, plain.data(), static_cast<uInt>(plain.size())));
    AppendLittleEndian(out, static_cast<uint32_t>(plain.size()));
    return out;
}

class ContentSinkTest : public ::testing::Test {
protected:
    // Feeds the bytes in pieces cut at the given positions; returns the sink's final status.
    LONG Feed(const Bytes& bytes, std::vector<size_t> cuts, BYTE compressed = 1, BYTE mode = kModeUnpack) {
        UnpackJob job;
        job.decodeMode = mode;
        job.compressedContent = compressed;
        FileHandle output(CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ContentSink sink;
        StartContentSink(&sink, &job, output.get());
        cuts.push_back(bytes.size());
        size_t from = 0;
        for (size_t cut : cuts) {
            Bytes piece(bytes.begin() + from, bytes.begin() + cut);
            EXPECT_TRUE(WriteContent(&sink, piece.data(), static_cast<DWORD>(piece.size()), cut == bytes.size()));
            from = cut;
        }
        return FinishContentSink(&sink);
    }
    Bytes Written() const { return ReadFileBytes(path_); }

    TempDir temp_;
    std::wstring path_ = temp_.File(L"sink.out");
};

TEST_F(ContentSinkTest, PlainContentIsWrittenAsItComes) {
    Bytes plain = testing_support::PatternBytes(70000, 3);
    EXPECT_EQ(Feed(plain, {1, 65535, 65536}, 0), -1);
    EXPECT_EQ(Written(), plain);
    EXPECT_EQ(Feed(plain, {}, 0, kModeCheck), -1);
    EXPECT_TRUE(Written().empty()) << "check mode writes nothing";
}

TEST_F(ContentSinkTest, GzipSplitAnywhereInflatesAndChecks) {
    Bytes plain;
    for (int i = 0; i < 300; ++i) plain.push_back(static_cast<uint8_t>("compressible text "[i % 18]));
    // A header with every optional field, so that the header split is exercised too.
    Bytes header = {0x1F, 0x8B, 0x08, 0x1E, 0, 0, 0, 0, 0, 3, 0x01, 0x00, 0x77, 'n', 0, 'c', 0, 0xAB, 0xCD};
    Bytes gzip = Gzip(plain, header);
    for (size_t cut = 1; cut < gzip.size(); ++cut) {
        SCOPED_TRACE(cut);
        ASSERT_EQ(Feed(gzip, {cut}), 0);
        ASSERT_EQ(Written(), plain);
    }
    // The trailer arriving one byte at a time.
    std::vector<size_t> cuts;
    for (size_t i = gzip.size() - 8; i < gzip.size(); ++i) cuts.push_back(i);
    EXPECT_EQ(Feed(gzip, cuts), 0);
}

TEST_F(ContentSinkTest, LargeOutputCrossesTheOutputWindow) {
    // Inflates to three full 256 KiB output windows and one byte from a small input, fed whole and
    // cut inside the deflate stream.
    Bytes plain((3u << 18) + 1);
    for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>('a' + (i / 4099) % 26);
    const Bytes gzip = Gzip(plain);
    EXPECT_EQ(Feed(gzip, {}), 0);
    EXPECT_TRUE(Written() == plain);
    EXPECT_EQ(Feed(gzip, {gzip.size() / 3, gzip.size() / 2}), 0);
    EXPECT_TRUE(Written() == plain);
    EXPECT_EQ(Feed(gzip, {}, 1, kModeCheck), 0);
    EXPECT_TRUE(Written().empty());
}

TEST_F(ContentSinkTest, TrailerMismatchesAreReportedAfterTheFullOutput) {
    Bytes plain = testing_support::PatternBytes(5000, 9);
    Bytes badCrc = Gzip(plain);
    badCrc[badCrc.size() - 8] ^= 1;
    EXPECT_EQ(Feed(badCrc, {}), kGzipCrcMismatch);
    EXPECT_EQ(Written(), plain);
    Bytes badSize = Gzip(plain);
    badSize[badSize.size() - 1] ^= 1;
    EXPECT_EQ(Feed(badSize, {badSize.size() - 3}), kGzipSizeMismatch);
}

TEST_F(ContentSinkTest, IncompleteOrForeignDataIsADecompressionFailure) {
    Bytes plain = testing_support::PatternBytes(5000, 5);
    Bytes gzip = Gzip(plain);
    // The deflate stream never reaches its end.
    EXPECT_EQ(Feed(Bytes(gzip.begin(), gzip.end() - 20), {}), Z_DATA_ERROR);
    // The stream ends but the trailer is cut short.
    EXPECT_EQ(Feed(Bytes(gzip.begin(), gzip.end() - 3), {}), Z_DATA_ERROR);
    // Not gzip at all: nothing is written.
    EXPECT_EQ(Feed(plain, {100}), Z_DATA_ERROR);
    EXPECT_TRUE(Written().empty());
    // A header that never ends.
    Bytes endlessName = {0x1F, 0x8B, 0x08, 0x08, 0, 0, 0, 0, 0, 3, 'n', 'a', 'm', 'e'};
    EXPECT_EQ(Feed(endlessName, {}), Z_DATA_ERROR);
}

TEST_F(ContentSinkTest, WriteFailureIsReturned) {
    UnpackJob job;
    ContentSink sink;
    // A handle opened for reading cannot be written.
    FileHandle readOnly(CreateFileW(path_.c_str(), GENERIC_READ, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    StartContentSink(&sink, &job, readOnly.get());
    BYTE data[4] = {1, 2, 3, 4};
    EXPECT_FALSE(WriteContent(&sink, data, 4, TRUE));
    FinishContentSink(&sink);
    job.compressedContent = 1;
    ContentSink gzipSink;
    StartContentSink(&gzipSink, &job, readOnly.get());
    Bytes gzip = Gzip(Bytes(1000, 'a'));
    EXPECT_FALSE(WriteContent(&gzipSink, gzip.data(), static_cast<DWORD>(gzip.size()), TRUE));
    FinishContentSink(&gzipSink);
}

// A job that stops before its final call (a failed decryption, a cancel) still leaves what it had
// decrypted; whether that file stays is the driver's decision.
TEST_F(ContentSinkTest, OutputOfAContentCutShortIsKept) {
    UnpackJob job;
    const Bytes plain = testing_support::PatternBytes(3 << 20, 5);
    for (BYTE compressed : {0, 1}) {
        job.compressedContent = compressed;
        const Bytes content = compressed ? Gzip(plain) : plain;
        {
            FileHandle output(CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
            ContentSink sink;
            StartContentSink(&sink, &job, output.get());
            Bytes first(content.begin(), content.begin() + content.size() / 2);
            EXPECT_TRUE(WriteContent(&sink, first.data(), static_cast<DWORD>(first.size()), FALSE));
            EXPECT_EQ(FinishContentSink(&sink), compressed ? Z_DATA_ERROR : -1);
        }
        const Bytes written = Written();
        ASSERT_FALSE(written.empty()) << "compressed " << int{compressed};
        ASSERT_LT(written.size(), plain.size());
        EXPECT_TRUE(std::equal(written.begin(), written.end(), plain.begin()));
    }
}

TEST(UnpackJobTest, DestructorRemovesOnlyUnconfirmedOutputsOfFailedJobs) {
    TempDir temp;
    struct Case {
        DWORD jobResult;
        DWORD writeError;
        BYTE confirmed;
        bool kept;
    };
    for (const Case& c : {Case{5, 0, 0, false}, Case{0, 0, 0, true}, Case{5, 112, 0, true}, Case{5, 0, 1, true},
                          Case{0xFFFFFFFF, 0, 0, false}}) {
        std::wstring path = temp.File(L"job.out");
        testing_support::WriteFileBytes(path, {1});
        {
            UnpackJob job;
            job.outputPath = path;
            job.jobResult = c.jobResult;
            job.writeError = c.writeError;
            job.outputConfirmed = c.confirmed;
        }
        EXPECT_EQ(testing_support::FileExists(path), c.kept) << c.jobResult << " " << c.writeError;
        DeleteFileW(path.c_str());
    }
}

}  // namespace
