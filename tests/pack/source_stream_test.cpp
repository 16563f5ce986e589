#include "pack/source_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "format/gzip_member.h"
#include "format/service/resources.h"
#include "tests/support/test_support.h"

using testing_support::PatternBytes;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Concat(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Source files written to a temporary folder and opened for reading, sized as they are on disk.
class Sources {
public:
    explicit Sources(const std::vector<Bytes>& contents) {
        for (size_t i = 0; i < contents.size(); ++i) {
            std::wstring path = dir_.File(L"source" + std::to_wstring(i) + L".bin");
            WriteFileBytes(path, contents[i]);
            handles_.emplace_back(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              nullptr, OPEN_EXISTING, 0, nullptr));
            SourceFile file;
            file.path = path;
            file.handle = handles_.back().get();
            file.size = static_cast<DWORD>(contents[i].size());
            files_.push_back(file);
        }
    }
    SourceFile* files() { return files_.data(); }
    DWORD count() const { return static_cast<DWORD>(files_.size()); }
    const TempDir& dir() const { return dir_; }

private:
    TempDir dir_;
    std::vector<FileHandle> handles_;
    std::vector<SourceFile> files_;
};

// One Read of the stream.
struct ReadResult {
    HRESULT hr;
    Bytes bytes;
};

ReadResult ReadOnce(ISequentialStream& stream, ULONG wanted) {
    ReadResult result;
    result.bytes.resize(wanted);
    ULONG got = 0xDEAD;
    result.hr = stream.Read(result.bytes.data(), wanted, &got);
    result.bytes.resize(got <= wanted ? got : 0);
    return result;
}

// Reads until S_FALSE or an error; the calls' results in order.
std::vector<ReadResult> ReadToEnd(ISequentialStream& stream, ULONG chunk) {
    std::vector<ReadResult> calls;
    for (int i = 0; i < 100000; ++i) {
        calls.push_back(ReadOnce(stream, chunk));
        if (calls.back().hr != S_OK) break;
    }
    return calls;
}

Bytes Joined(const std::vector<ReadResult>& calls) {
    Bytes all;
    for (const ReadResult& call : calls) all.insert(all.end(), call.bytes.begin(), call.bytes.end());
    return all;
}

struct Inflated {
    int status = Z_OK;
    Bytes output;
    size_t consumed = 0;
};

// Inflates with the given window bits (-15 raw, 16 + 15 gzip as gunzip reads it).
Inflated Inflate(const Bytes& input, int windowBits) {
    Inflated result;
    z_stream zs = {};
    if (inflateInit2(&zs, windowBits) != Z_OK) {
        result.status = Z_STREAM_ERROR;
        return result;
    }
    zs.next_in = const_cast<Bytef*>(input.data());
    zs.avail_in = static_cast<uInt>(input.size());
    Bytes buffer(65536);
    do {
        zs.next_out = buffer.data();
        zs.avail_out = static_cast<uInt>(buffer.size());
        result.status = inflate(&zs, Z_NO_FLUSH);
        result.output.insert(result.output.end(), buffer.data(), buffer.data() + (buffer.size() - zs.avail_out));
    } while (result.status == Z_OK);
    result.consumed = input.size() - zs.avail_in;
    inflateEnd(&zs);
    return result;
}

uint32_t Crc(const Bytes& bytes) { return crc32(0, bytes.data(), static_cast<uInt>(bytes.size())); }

constexpr size_t kInputPiece = 65535;  // the most the stream reads at a time

Bytes Compressible(size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>("packing sources "[i % 16] + (i / 4096) % 3);
    return bytes;
}

// A progress dialog that records what the stream shows and can report a pressed cancel button.
class RecordingProgress : public IProgressDialog {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE StartProgressDialog(HWND, IUnknown*, DWORD flags, LPCVOID) override {
        ++starts;
        startFlags = flags;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE StopProgressDialog() override {
        ++stops;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetTitle(PCWSTR text) override {
        title = text;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetAnimation(HINSTANCE, UINT id) override {
        animation = id;
        return S_OK;
    }
    BOOL STDMETHODCALLTYPE HasUserCancelled() override {
        ++queries;
        return cancelled || (cancelAtQuery > 0 && queries >= cancelAtQuery);
    }
    HRESULT STDMETHODCALLTYPE SetProgress(DWORD done, DWORD total) override { return SetProgress64(done, total); }
    HRESULT STDMETHODCALLTYPE SetProgress64(ULONGLONG done, ULONGLONG total) override {
        progress.push_back({done, total});
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetLine(DWORD line, PCWSTR text, BOOL compact, LPCVOID) override {
        lines.push_back({line, text});
        compactPaths = compactPaths && compact;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetCancelMsg(PCWSTR text, LPCVOID) override {
        cancelMessage = text;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Timer(DWORD, LPCVOID) override { return S_OK; }

    struct Line {
        DWORD number;
        std::wstring text;
    };
    struct Progress {
        ULONGLONG done, total;
    };
    int references = 0;
    int starts = 0;
    int stops = 0;
    DWORD startFlags = 0;
    UINT animation = 0;
    std::wstring title;
    std::wstring cancelMessage;
    std::vector<Line> lines;
    std::vector<Progress> progress;
    bool compactPaths = true;
    BOOL cancelled = FALSE;
    int queries = 0;
    int cancelAtQuery = 0;  // when above 0: the button is pressed as this query comes
};

TEST(SourceStream, DeliversFilesBackToBackWithSFalseOnTheLastByte) {
    const std::vector<Bytes> contents = {PatternBytes(10, 1), Bytes(), PatternBytes(5, 2)};
    Sources sources(contents);
    CSourceFileStream stream(sources.files(), sources.count(), nullptr, false, nullptr, nullptr);

    ReadResult first = ReadOnce(stream, 100);
    EXPECT_EQ(first.hr, S_FALSE);
    EXPECT_EQ(first.bytes, Concat(contents));
    EXPECT_EQ(stream.TotalRead(), 15u);
    EXPECT_EQ(stream.CurrentFile(), nullptr);
    // Later calls keep saying the end has come, with no data.
    ReadResult after = ReadOnce(stream, 100);
    EXPECT_EQ(after.hr, S_FALSE);
    EXPECT_TRUE(after.bytes.empty());
}

TEST(SourceStream, SmallReadsSignalTheEndWithTheCallThatReadsTheLastByte) {
    const std::vector<Bytes> contents = {PatternBytes(10, 1), Bytes(), PatternBytes(5, 2), Bytes()};
    for (ULONG chunk : {1u, 4u, 5u, 15u}) {
        Sources sources(contents);
        CSourceFileStream stream(sources.files(), sources.count(), nullptr, false, nullptr, nullptr);
        std::vector<ReadResult> calls = ReadToEnd(stream, chunk);
        ASSERT_EQ(calls.back().hr, S_FALSE) << "chunk " << chunk;
        EXPECT_FALSE(calls.back().bytes.empty()) << "chunk " << chunk;
        EXPECT_EQ(Joined(calls), Concat(contents)) << "chunk " << chunk;
        EXPECT_EQ(calls.size(), (15u + chunk - 1) / chunk) << "chunk " << chunk;
        EXPECT_EQ(sources.files()[0].done, 10u);
        EXPECT_EQ(sources.files()[2].done, 5u);
    }
}

TEST(SourceStream, NoFilesEndAtOnce) {
    CSourceFileStream stream(nullptr, 0, nullptr, false, nullptr, nullptr);
    ReadResult result = ReadOnce(stream, 16);
    EXPECT_EQ(result.hr, S_FALSE);
    EXPECT_TRUE(result.bytes.empty());
}

TEST(SourceStream, AFileShorterThanItsSizeFailsInsteadOfEndingSilently) {
    Sources sources({PatternBytes(10, 1), PatternBytes(5, 2)});
    sources.files()[0].size = 12;  // the file shrank after it was sized
    CSourceFileStream stream(sources.files(), sources.count(), nullptr, false, nullptr, nullptr);
    ReadResult result = ReadOnce(stream, 100);
    EXPECT_EQ(result.hr, E_FAIL);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(result.bytes, PatternBytes(10, 1));
    EXPECT_EQ(ReadOnce(stream, 100).hr, E_FAIL);
}

TEST(SourceStream, AFileLongerThanItsSizeGivesOnlyItsSize) {
    // The sizes are what the self-decoding directory announces: bytes a file gained must not shift the rest.
    const Bytes first = PatternBytes(10, 1), second = PatternBytes(5, 2);
    Sources sources({first, second});
    sources.files()[0].size = 6;
    CSourceFileStream stream(sources.files(), sources.count(), nullptr, false, nullptr, nullptr);
    ReadResult result = ReadOnce(stream, 100);
    EXPECT_EQ(result.hr, S_FALSE);
    EXPECT_EQ(result.bytes, Concat({Bytes(first.begin(), first.begin() + 6), second}));
}

TEST(SourceStream, ShowsTitleLinesAndProgressOfEachFile) {
    Sources sources({PatternBytes(10, 1), PatternBytes(7, 2)});
    RecordingProgress progress;
    {
        CSourceFileStream stream(sources.files(), sources.count(), L"C:\\out\\all.exe", false, nullptr, &progress);
        EXPECT_EQ(progress.starts, 1);
        EXPECT_EQ(progress.startFlags, static_cast<DWORD>(PROGDLG_NOTIME | PROGDLG_NOMINIMIZE));
        EXPECT_EQ(progress.animation, 422u);
        EXPECT_EQ(progress.title, L"Quillarent 1.0");
        EXPECT_EQ(progress.cancelMessage, L"Упаковывание отменено.");
        ASSERT_EQ(progress.lines.size(), 2u);
        EXPECT_EQ(progress.lines[0].number, 1u);
        EXPECT_EQ(progress.lines[0].text, L"Упаковывание '" + sources.files()[0].path + L"'");
        EXPECT_EQ(progress.lines[1].number, 2u);
        EXPECT_EQ(progress.lines[1].text, L"в 'C:\\out\\all.exe'");
        EXPECT_EQ(ReadToEnd(stream, 4).back().hr, S_FALSE);
        EXPECT_EQ(progress.stops, 0);
    }
    EXPECT_EQ(progress.stops, 1);
    EXPECT_EQ(progress.references, 0);
    EXPECT_TRUE(progress.compactPaths);
    // The second file gets its own first line; the target line stays as it was.
    ASSERT_EQ(progress.lines.size(), 3u);
    EXPECT_EQ(progress.lines[2].number, 1u);
    EXPECT_EQ(progress.lines[2].text, L"Упаковывание '" + sources.files()[1].path + L"'");
    // Progress is per file: it restarts at 0 of 7 and ends at 7 of 7.
    bool restarted = false;
    for (const auto& step : progress.progress) restarted = restarted || (step.done == 0 && step.total == 7);
    EXPECT_TRUE(restarted);
    ASSERT_FALSE(progress.progress.empty());
    EXPECT_EQ(progress.progress.back().done, 7u);
    EXPECT_EQ(progress.progress.back().total, 7u);
}

TEST(SourceStream, CancelBeforeAnyReadAborts) {
    Sources sources({PatternBytes(10, 1)});
    RecordingProgress progress;
    progress.cancelled = TRUE;
    CSourceFileStream stream(sources.files(), sources.count(), nullptr, false, nullptr, &progress);
    Bytes buffer(64);
    ULONG got = 77;
    EXPECT_EQ(stream.Read(buffer.data(), 64, &got), E_ABORT);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(sources.files()[0].done, 0u);
    EXPECT_TRUE(stream.Cancelled());
}

TEST(SourceStream, CancelInTheMiddleStopsTheNextRead) {
    Sources sources({PatternBytes(100, 1)});
    RecordingProgress progress;
    CSourceFileStream stream(sources.files(), sources.count(), nullptr, true, nullptr, &progress);
    EXPECT_EQ(ReadOnce(stream, 10).hr, S_OK);
    progress.cancelled = TRUE;
    ReadResult result = ReadOnce(stream, 1000);
    EXPECT_EQ(result.hr, E_ABORT);
    EXPECT_TRUE(result.bytes.empty());
}

// Waits while handling this thread's messages, as an apartment thread must while another thread
// talks to it.
void PumpMessagesFor(DWORD milliseconds) {
    const DWORD start = GetTickCount();
    do {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    } while (GetTickCount() - start < milliseconds);
}

// The platform dialog's own Cancel button, pressed the way a user would.
TEST(SourceStream, CancelButtonOfThePlatformDialogAborts) {
    Sources sources({PatternBytes(10, 1)});
    CSourceFileStream stream(sources.files(), sources.count(), nullptr, false, nullptr);
    const std::wstring caption = LoadText(503);
    bool clicked = false;
    // The dialog shows after the platform's own delay; the deadline only guards against a hang.
    const DWORD start = GetTickCount();
    while (!stream.Cancelled() && GetTickCount() - start < testing_support::kPatientWaitMs) {
        HWND dialog = FindWindowW(nullptr, caption.c_str());
        HWND button = dialog ? FindWindowExW(dialog, nullptr, L"Button", nullptr) : nullptr;
        if (button && !clicked) {
            PostMessageW(button, BM_CLICK, 0, 0);
            clicked = true;
        }
        PumpMessagesFor(25);
    }
    if (!clicked) GTEST_SKIP() << "the platform progress dialog did not appear (no display?)";
    ASSERT_TRUE(stream.Cancelled());
    Bytes buffer(64);
    ULONG got = 5;
    EXPECT_EQ(stream.Read(buffer.data(), 64, &got), E_ABORT);
    EXPECT_EQ(got, 0u);
}

TEST(SourceStream, CompressedOutputInflatesToTheFilesFollowedByTheirTrailer) {
    const std::vector<Bytes> contents = {Compressible(200000), Bytes(), PatternBytes(70000, 3),
                                         Compressible(65535), Bytes{'x'}};
    const Bytes all = Concat(contents);
    // Three threads deflate in blocks, with block edges inside the first and the third file.
    for (unsigned threads : {1u, 3u}) {
        for (ULONG chunk : {7u, 1000u, 65536u, 1000000u}) {
            SCOPED_TRACE(std::to_string(threads) + " threads");
            Sources sources(contents);
            CSourceFileStream stream(sources.files(), sources.count(), nullptr, true, nullptr, nullptr, threads);
            std::vector<ReadResult> calls = ReadToEnd(stream, chunk);
            ASSERT_EQ(calls.back().hr, S_FALSE) << "chunk " << chunk;
            for (size_t i = 0; i + 1 < calls.size(); ++i) ASSERT_EQ(calls[i].bytes.size(), chunk);
            const Bytes payload = Joined(calls);

            Inflated inflated = Inflate(payload, -MAX_WBITS);
            ASSERT_EQ(inflated.status, Z_STREAM_END) << "chunk " << chunk;
            EXPECT_TRUE(inflated.output == all) << "chunk " << chunk;
            ASSERT_EQ(payload.size(), inflated.consumed + gzip::kTrailerSize) << "chunk " << chunk;
            gzip::Trailer trailer = gzip::DecodeTrailer(payload.data() + inflated.consumed);
            EXPECT_EQ(trailer.crc, Crc(all));
            EXPECT_EQ(trailer.size, all.size());
            EXPECT_LT(payload.size(), all.size());
            EXPECT_EQ(stream.DeflateStatus(), -1) << "the deflate state is ended after the trailer";
        }
    }
}

TEST(SourceStream, CompressedEmptyInputIsAnEmptyStreamAndAZeroTrailer) {
    Sources sources({Bytes(), Bytes()});
    CSourceFileStream stream(sources.files(), sources.count(), nullptr, true, nullptr, nullptr);
    std::vector<ReadResult> calls = ReadToEnd(stream, 100);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].hr, S_FALSE);
    EXPECT_EQ(calls[0].bytes, (Bytes{0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(SourceStream, TrailerSplitAcrossReadsEndsOnlyAfterItsLastByte) {
    const std::vector<Bytes> contents = {Compressible(30000), PatternBytes(3000, 9)};
    size_t deflated = 0;
    {
        Sources sources(contents);
        CSourceFileStream stream(sources.files(), sources.count(), nullptr, true, nullptr, nullptr);
        ReadResult whole = ReadOnce(stream, 1000000);
        ASSERT_EQ(whole.hr, S_FALSE);
        deflated = whole.bytes.size() - gzip::kTrailerSize;
    }
    for (size_t trailerInFirst = 0; trailerInFirst < gzip::kTrailerSize; ++trailerInFirst) {
        Sources sources(contents);
        CSourceFileStream stream(sources.files(), sources.count(), nullptr, true, nullptr, nullptr);
        ReadResult first = ReadOnce(stream, static_cast<ULONG>(deflated + trailerInFirst));
        EXPECT_EQ(first.hr, S_OK) << trailerInFirst;
        EXPECT_EQ(first.bytes.size(), deflated + trailerInFirst);
        ReadResult second = ReadOnce(stream, 100);
        EXPECT_EQ(second.hr, S_FALSE) << trailerInFirst;
        ASSERT_EQ(second.bytes.size(), gzip::kTrailerSize - trailerInFirst);

        Bytes payload = first.bytes;
        payload.insert(payload.end(), second.bytes.begin(), second.bytes.end());
        gzip::Trailer trailer = gzip::DecodeTrailer(payload.data() + deflated);
        EXPECT_EQ(trailer.crc, Crc(Concat(contents)));
        EXPECT_EQ(trailer.size, 33000u);
    }
}

TEST(SourceStream, CompressedReadOfAShrunkFileFails) {
    Sources sources({PatternBytes(100, 1)});
    sources.files()[0].size = 200;
    CSourceFileStream stream(sources.files(), sources.count(), nullptr, true, nullptr, nullptr);
    std::vector<ReadResult> calls = ReadToEnd(stream, 50);
    EXPECT_EQ(calls.back().hr, E_FAIL);
}

TEST(SourceStream, ReadFailureOfTheHandleIsReported) {
    TempDir dir;
    std::wstring path = dir.File(L"writeonly.bin");
    WriteFileBytes(path, PatternBytes(10));
    FileHandle handle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(handle);
    SourceFile file;
    file.path = path;
    file.handle = handle.get();
    file.size = 10;
    // Uncompressed, deflated on this thread, and in blocks on two workers.
    for (unsigned threads : {0u, 1u, 2u}) {
        file.done = 0;
        CSourceFileStream stream(&file, 1, nullptr, threads > 0, nullptr, nullptr, std::max(threads, 1u));
        EXPECT_EQ(ReadOnce(stream, 100).hr, E_FAIL) << threads;
        EXPECT_EQ(ReadOnce(stream, 100).hr, E_FAIL) << threads;
    }
}

constexpr size_t kBlock = parallel_deflate::kBlockSize;

TEST(SourceStream, OnThreadsCancelStopsWithinABlock) {
    Sources sources({Compressible(40 * kBlock)});
    RecordingProgress progress;
    progress.cancelAtQuery = 6;  // the first comes with the Read, then one before each piece of input
    CSourceFileStream stream(sources.files(), sources.count(), nullptr, true, nullptr, &progress, 2);
    EXPECT_EQ(ReadOnce(stream, 10000000).hr, E_ABORT);
    EXPECT_LE(sources.files()[0].done, 4 * kInputPiece);
}

// CompressFileToGzip

struct GzipRun {
    int result;
    DWORD error;
    Bytes output;
};

GzipRun Gzip(const Bytes& input, int level, unsigned threads = 1, const std::function<bool()>& cancelled = nullptr) {
    TempDir dir;
    WriteFileBytes(dir.File(L"in.bin"), input);
    GzipRun run;
    {
        FileHandle source(CreateFileW(dir.File(L"in.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        FileHandle target(CreateFileW(dir.File(L"out.gz").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        run.result = CompressFileToGzip(source.get(), target.get(), level, threads, cancelled);
        run.error = GetLastError();
    }
    run.output = ReadFileBytes(dir.File(L"out.gz"));
    return run;
}

TEST(CompressFileToGzip, EmptyFileGivesHeaderEmptyStreamAndZeroTrailer) {
    GzipRun run = Gzip(Bytes(), 9);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, (Bytes{0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0B,  // header
                                 0x03, 0x00,                                               // empty final block
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(CompressFileToGzip, OutputIsAGzipMemberThatGunzipReads) {
    // Sizes around the 65,535-byte pieces, compressible and not.
    const Bytes inputs[] = {Bytes{'a'}, Compressible(65535), Compressible(65536), PatternBytes(300000, 5),
                            Concat({Compressible(150000), PatternBytes(80000, 6)})};
    for (int level : {1, 6, 9}) {
        for (const Bytes& input : inputs) {
            GzipRun run = Gzip(input, level);
            ASSERT_EQ(run.result, 0);
            ASSERT_GT(run.output.size(), gzip::kHeaderSize + gzip::kTrailerSize);
            EXPECT_EQ(Bytes(run.output.begin(), run.output.begin() + gzip::kHeaderSize),
                      Bytes(gzip::kHeader, gzip::kHeader + gzip::kHeaderSize));
            // zlib's gzip mode checks the header, CRC-32 and size itself, as gunzip does.
            Inflated inflated = Inflate(run.output, 16 + MAX_WBITS);
            ASSERT_EQ(inflated.status, Z_STREAM_END) << "level " << level << ", " << input.size() << " bytes";
            EXPECT_TRUE(inflated.output == input) << "level " << level << ", " << input.size() << " bytes";
            EXPECT_EQ(inflated.consumed, run.output.size());
            gzip::Trailer trailer = gzip::DecodeTrailer(run.output.data() + run.output.size() - gzip::kTrailerSize);
            EXPECT_EQ(trailer.crc, Crc(input));
            EXPECT_EQ(trailer.size, input.size());
        }
    }
}

// What the routine wrote before threads came: the header, one deflate call over the whole input
// and the trailer.
Bytes SingleDeflateGzip(const Bytes& input) {
    z_stream zs = {};
    deflateInit2(&zs, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    Bytes out(gzip::kHeader, gzip::kHeader + gzip::kHeaderSize);
    out.resize(gzip::kHeaderSize + deflateBound(&zs, static_cast<uLong>(input.size())));
    zs.next_in = const_cast<Bytef*>(input.data());
    zs.avail_in = static_cast<uInt>(input.size());
    zs.next_out = out.data() + gzip::kHeaderSize;
    zs.avail_out = static_cast<uInt>(out.size() - gzip::kHeaderSize);
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(gzip::kHeaderSize + zs.total_out);
    deflateEnd(&zs);
    uint8_t trailer[gzip::kTrailerSize];
    gzip::EncodeTrailer(Crc(input), static_cast<uint32_t>(input.size()), trailer);
    out.insert(out.end(), trailer, trailer + sizeof trailer);
    return out;
}

TEST(CompressFileToGzip, OneThreadKeepsItsBytesAndMoreThreadsWriteAGzipMemberToo) {
    const Bytes inputs[] = {Bytes(), Bytes{'a'}, Compressible(kBlock + 1),
                            Concat({Compressible(2 * kBlock), PatternBytes(kBlock + 5, 7)})};
    for (unsigned threads : {1u, 2u, 4u}) {
        for (const Bytes& input : inputs) {
            SCOPED_TRACE(std::to_string(threads) + " threads, " + std::to_string(input.size()) + " bytes");
            GzipRun run = Gzip(input, 9, threads);
            ASSERT_EQ(run.result, 0);
            if (threads == 1) {
                EXPECT_TRUE(run.output == SingleDeflateGzip(input));
                continue;
            }
            EXPECT_EQ(Bytes(run.output.begin(), run.output.begin() + gzip::kHeaderSize),
                      Bytes(gzip::kHeader, gzip::kHeader + gzip::kHeaderSize));
            // zlib's gzip mode checks the CRC-32 and size as gunzip does.
            Inflated inflated = Inflate(run.output, 16 + MAX_WBITS);
            ASSERT_EQ(inflated.status, Z_STREAM_END);
            EXPECT_TRUE(inflated.output == input);
            EXPECT_EQ(inflated.consumed, run.output.size());
        }
    }
}

TEST(CompressFileToGzip, CancelAndReadFailuresFailOnAnyNumberOfThreads) {
    const Bytes input = Compressible(20 * kBlock);
    for (unsigned threads : {1u, 4u}) {
        int asked = 0;
        GzipRun run = Gzip(input, 9, threads, [&asked] { return ++asked == 3; });
        EXPECT_EQ(run.result, -1) << threads;
        EXPECT_EQ(run.error, static_cast<DWORD>(ERROR_CANCELLED)) << threads;
        EXPECT_EQ(asked, 3) << "read on after the cancel, " << threads << " threads";
    }
    TempDir dir;
    WriteFileBytes(dir.File(L"in.bin"), input);
    FileHandle writeOnlySource(
        CreateFileW(dir.File(L"in.bin").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    FileHandle target(CreateFileW(dir.File(L"out.gz").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(writeOnlySource && target);
    EXPECT_EQ(CompressFileToGzip(writeOnlySource.get(), target.get(), 9, 4, nullptr), -1);
    EXPECT_EQ(CompressFileToGzip(writeOnlySource.get(), target.get(), 12, 4, nullptr), Z_STREAM_ERROR);
}

TEST(CompressFileToGzip, LevelChangesTheDeflateEffort) {
    const Bytes input = Concat({Compressible(200000), PatternBytes(1000, 2), Compressible(100000)});
    GzipRun fast = Gzip(input, 1);
    GzipRun best = Gzip(input, 9);
    ASSERT_EQ(fast.result, 0);
    ASSERT_EQ(best.result, 0);
    EXPECT_NE(fast.output, best.output);
    EXPECT_EQ(fast.output[8], 0x00) << "the header is fixed whatever the level";
}

TEST(CompressFileToGzip, FailuresAreReported) {
    const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;
    TempDir dir;
    WriteFileBytes(dir.File(L"in.bin"), PatternBytes(1000));
    WriteFileBytes(dir.File(L"out.gz"), Bytes());
    FileHandle source(CreateFileW(dir.File(L"in.bin").c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    FileHandle readOnlyTarget(CreateFileW(dir.File(L"out.gz").c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    FileHandle writeOnlySource(CreateFileW(dir.File(L"in.bin").c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    FileHandle target(CreateFileW(dir.File(L"out2.gz").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(source && readOnlyTarget && writeOnlySource && target);

    EXPECT_EQ(CompressFileToGzip(source.get(), readOnlyTarget.get(), 9), -1);
    EXPECT_EQ(CompressFileToGzip(writeOnlySource.get(), target.get(), 9), -1);
    EXPECT_EQ(CompressFileToGzip(source.get(), target.get(), 12), Z_STREAM_ERROR);
}

}  // namespace

namespace {

// The progress animations must be playable AVI resources of the module that shows the dialog.
TEST(SourceStreamResources, AnimationsAreAviClips) {
    for (UINT id : {422u, 423u}) {
        HRSRC found = FindResourceW(ResourceModule(), MAKEINTRESOURCEW(id), L"AVI");
        ASSERT_NE(found, nullptr) << id;
        DWORD size = SizeofResource(ResourceModule(), found);
        const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(ResourceModule(), found)));
        ASSERT_NE(data, nullptr);
        ASSERT_GT(size, 12u);
        EXPECT_EQ(memcmp(data, "RIFF", 4), 0);
        EXPECT_EQ(memcmp(data + 8, "AVI ", 4), 0);
        EXPECT_EQ(data[4] | data[5] << 8 | data[6] << 16 | static_cast<DWORD>(data[7]) << 24, size - 8);
    }
}

}  // namespace
