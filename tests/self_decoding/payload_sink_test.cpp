#include "self_decoding/payload_sink.h"

#include "self_decoding/decode_status.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using quendrix::ExtractedFiles;
using quendrix::PayloadSink;
using testing_support::Narrow;
using testing_support::PatternBytes;
using testing_support::ReadFileBytes;
using testing_support::TempDir;

// Output files of the given sizes in the folder, as the decoder creates them.
void CreateFiles(const TempDir& dir, const std::vector<DWORD>& sizes, ExtractedFiles& files) {
    for (size_t i = 0; i < sizes.size(); ++i) {
        quendrix::ExtractedFile file;
        file.path = Narrow(dir.File(L"out" + std::to_wstring(i)));
        file.remaining = sizes[i];
        file.handle = CreateFileA(file.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file.handle, INVALID_HANDLE_VALUE);
        files.items().push_back(file);
    }
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
    return std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + from + count);
}

// Raw deflate at level 9 followed by the CRC-32 and size, as the builder writes a compressed payload.
std::vector<uint8_t> Compress(const std::vector<uint8_t>& plain) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<uint8_t> out(deflateBound(&stream, static_cast<uLong>(plain.size())) + 16);
    stream.next_in = const_cast<Bytef*>(plain.data());
    stream.avail_in = static_cast<uInt>(plain.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    uLong crc = crc32(0, plain.data(), static_cast<uInt>(plain.size()));
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(plain.size() >> (8 * i)));
    return out;
}

// Feeds the data in blocks of the given size.
bool Feed(PayloadSink& sink, const std::vector<uint8_t>& data, size_t block) {
    for (size_t done = 0; done < data.size() || data.empty();) {
        size_t chunk = std::min(block, data.size() - done);
        bool final = done + chunk == data.size();
        if (!sink.Write(data.data() + done, static_cast<DWORD>(chunk), final)) return false;
        done += chunk;
        if (final) break;
    }
    return true;
}

TEST(QuendrixSink, SplitsThePlaintextOverTheFilesInOrder) {
    TempDir dir;
    std::vector<uint8_t> plain = PatternBytes(1000 + 1 + 2500, 7);
    {
        ExtractedFiles files;
        CreateFiles(dir, {1000, 1, 2500}, files);
        PayloadSink sink(files, false, nullptr);
        ASSERT_TRUE(sink.Start());
        ASSERT_TRUE(Feed(sink, plain, 333));
        EXPECT_EQ(sink.Finish(), 0);
        EXPECT_EQ(files.items()[2].remaining, 0u);
    }
    EXPECT_EQ(ReadFileBytes(dir.File(L"out0")), Slice(plain, 0, 1000));
    EXPECT_EQ(ReadFileBytes(dir.File(L"out1")), Slice(plain, 1000, 1));
    EXPECT_EQ(ReadFileBytes(dir.File(L"out2")), Slice(plain, 1001, 2500));
}

TEST(QuendrixSink, DataBeyondTheLastFileIsDropped) {
    TempDir dir;
    std::vector<uint8_t> plain = PatternBytes(300, 3);
    {
        ExtractedFiles files;
        CreateFiles(dir, {100, 0, 50}, files);
        PayloadSink sink(files, false, nullptr);
        ASSERT_TRUE(sink.Start());
        ASSERT_TRUE(Feed(sink, plain, 64));
    }
    EXPECT_EQ(ReadFileBytes(dir.File(L"out0")), Slice(plain, 0, 100));
    EXPECT_TRUE(ReadFileBytes(dir.File(L"out1")).empty());
    EXPECT_EQ(ReadFileBytes(dir.File(L"out2")), Slice(plain, 100, 50));
}

TEST(QuendrixSink, AFailedWriteIsReported) {
    TempDir dir;
    ExtractedFiles files;
    CreateFiles(dir, {10}, files);
    CloseHandle(files.items()[0].handle);
    // A handle that cannot be written to.
    files.items()[0].handle = CreateFileA(files.items()[0].path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
    PayloadSink sink(files, false, nullptr);
    ASSERT_TRUE(sink.Start());
    std::vector<uint8_t> data(10, 1);
    EXPECT_FALSE(sink.Write(data.data(), 10, true));
    EXPECT_NE(GetLastError(), 0u);
}

TEST(QuendrixSink, InflatesAndChecksTheTrailer) {
    TempDir dir;
    std::vector<uint8_t> plain = PatternBytes(200000, 11);
    std::vector<uint8_t> packed = Compress(plain);
    {
        ExtractedFiles files;
        CreateFiles(dir, {150000, 50000}, files);
        PayloadSink sink(files, true, nullptr);
        ASSERT_TRUE(sink.Start());
        // Blocks of 5 bytes split the trailer over several writes.
        ASSERT_TRUE(Feed(sink, packed, 5));
        EXPECT_EQ(sink.Finish(), 0);
    }
    EXPECT_EQ(ReadFileBytes(dir.File(L"out0")), Slice(plain, 0, 150000));
    EXPECT_EQ(ReadFileBytes(dir.File(L"out1")), Slice(plain, 150000, 50000));
}

LONG StatusOf(const std::vector<uint8_t>& packed, DWORD size) {
    TempDir dir;
    ExtractedFiles files;
    CreateFiles(dir, {size}, files);
    PayloadSink sink(files, true, nullptr);
    EXPECT_TRUE(sink.Start());
    EXPECT_TRUE(Feed(sink, packed, 4096));
    return sink.Finish();
}

TEST(QuendrixSink, TrailerFaultsHaveTheirOwnStatus) {
    std::vector<uint8_t> plain = PatternBytes(5000, 5);
    std::vector<uint8_t> packed = Compress(plain);
    std::vector<uint8_t> badCrc = packed;
    badCrc[badCrc.size() - 8] ^= 1;
    EXPECT_EQ(StatusOf(badCrc, 5000), quendrix::kCrcMismatch);
    std::vector<uint8_t> badSize = packed;
    badSize[badSize.size() - 4] ^= 1;
    EXPECT_EQ(StatusOf(badSize, 5000), quendrix::kSizeMismatch);
    std::vector<uint8_t> shortTrailer(packed.begin(), packed.end() - 3);
    EXPECT_EQ(StatusOf(shortTrailer, 5000), Z_DATA_ERROR);
    std::vector<uint8_t> cutStream(packed.begin(), packed.begin() + packed.size() / 2);
    EXPECT_EQ(StatusOf(cutStream, 5000), Z_DATA_ERROR);
    std::vector<uint8_t> garbage(100, 0xFF);
    EXPECT_LT(StatusOf(garbage, 5000), 0);
    EXPECT_EQ(StatusOf(packed, 5000), 0);
}

}  // namespace

// Names come from the payload: only a plain name inside the target folder is created.
TEST(QuendrixOutputNames, OnlyPlainNamesInTheFolderAreCreated) {
    struct Row {
        std::u16string name;
        bool plain;
    };
    const Row rows[] = {
        {u"report.txt", true},      {u"\u043e\u0442\u0447\u0451\u0442.txt", true}, {u"..notes", true},
        {u"", false},               {u".", false},                                 {u"..", false},
        {u"..\\up.txt", false},     {u"sub/x.txt", false},                         {u"C:x.txt", false},
        {u"x.txt:stream", false},
        // Fullwidth look-alikes that a best-fit conversion to the ANSI code page turns into "..\".
        {u"\uFF0E\uFF0E\uFF3Cup.txt", false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(quendrix::IsPlainOutputName(row.name), row.plain) << Narrow(std::wstring(row.name.begin(), row.name.end()));
}
