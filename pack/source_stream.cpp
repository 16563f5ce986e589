#include "pack/source_stream.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "format/gzip_member.h"
#include "format/service/file_write.h"
#include "format/service/resources.h"

namespace {

constexpr DWORD kInputBufferSize = 65535;
constexpr UINT kAnimationId = 422;
constexpr UINT kCaptionText = 503;
constexpr UINT kCancelledText = 551;
constexpr UINT kPackingFileText = 553;
constexpr UINT kTargetText = 554;

// Raw deflate: negative window bits leave out the zlib wrapper; the gzip framing is our own.
constexpr int kRawWindowBits = -MAX_WBITS;
constexpr int kMemoryLevel = 8;

}  // namespace

CSourceFileStream::CSourceFileStream(SourceFile* files, DWORD count, const wchar_t* targetText, bool compress,
                                     HWND ownerWindow, unsigned threads, int level)
    : files_(files), count_(count) {
    // Without the platform dialog the stream still works, silently.
    if (FAILED(CoCreateInstance(CLSID_ProgressDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IProgressDialog,
                                reinterpret_cast<void**>(&progress_))))
        progress_ = nullptr;
    StartProgress(targetText, ownerWindow);
    if (compress) StartDeflate(threads, level);
}

CSourceFileStream::CSourceFileStream(SourceFile* files, DWORD count, const wchar_t* targetText, bool compress,
                                     HWND ownerWindow, IProgressDialog* progress, unsigned threads, int level)
    : files_(files), count_(count), progress_(progress) {
    if (progress_) progress_->AddRef();
    StartProgress(targetText, ownerWindow);
    if (compress) StartDeflate(threads, level);
}

CSourceFileStream::~CSourceFileStream() {
    EndDeflate();
    delete[] input_;
    if (progress_) {
        progress_->StopProgressDialog();
        progress_->Release();
    }
}

void CSourceFileStream::StartProgress(const wchar_t* targetText, HWND ownerWindow) {
    if (progress_) {
        progress_->SetAnimation(ResourceModule(), kAnimationId);
        progress_->SetTitle(LoadText(kCaptionText).c_str());
        progress_->SetCancelMsg(LoadText(kCancelledText).c_str(), nullptr);
        ShowFileLines(targetText);
        progress_->StartProgressDialog(ownerWindow, nullptr, PROGDLG_NOTIME | PROGDLG_NOMINIMIZE, nullptr);
    }
}

void CSourceFileStream::StartDeflate(unsigned threads, int level) {
    if (threads > 1) {
        blocks_.reset(new (std::nothrow) parallel_deflate::Deflater(level, threads));
        deflateStatus_ = blocks_ ? blocks_->Status() : Z_MEM_ERROR;
        if (deflateStatus_ == Z_OK) return;
        blocks_.reset();
        failed_ = true;
        failedError_ = ERROR_NOT_ENOUGH_MEMORY;
        return;
    }
    deflate_ = new (std::nothrow) z_stream();
    input_ = new (std::nothrow) BYTE[kInputBufferSize];
    if (deflate_ && input_) {
        deflateStatus_ = deflateInit2(deflate_, level, Z_DEFLATED, kRawWindowBits, kMemoryLevel,
                                      Z_DEFAULT_STRATEGY);
        if (deflateStatus_ == Z_OK) return;
    } else {
        deflateStatus_ = Z_MEM_ERROR;
    }
    // The caller has already announced compressed content (the self-decoding directory says so),
    // so plain bytes in its place would be unreadable: fail every Read instead.
    delete deflate_;
    deflate_ = nullptr;
    failed_ = true;
    failedError_ = ERROR_NOT_ENOUGH_MEMORY;
}

void CSourceFileStream::ShowFileLines(const wchar_t* targetText) {
    if (!progress_ || index_ >= count_) return;
    const SourceFile& file = files_[index_];
    progress_->SetProgress64(0, file.size);
    progress_->SetLine(1, FormatText(kPackingFileText, file.path.c_str()).c_str(), TRUE, nullptr);
    if (targetText) progress_->SetLine(2, FormatText(kTargetText, targetText).c_str(), TRUE, nullptr);
}

bool CSourceFileStream::Cancelled() const {
    BOOL cancelled = progress_ ? progress_->HasUserCancelled() : FALSE;
    return cancelled != FALSE;
}

const SourceFile* CSourceFileStream::CurrentFile() const { return index_ < count_ ? &files_[index_] : nullptr; }

// Moves past every file that has delivered its whole size, so that the call which reads the last
// byte already knows it was the last (trailing empty files included).
void CSourceFileStream::SkipFinishedFiles() {
    while (index_ < count_ && files_[index_].done >= files_[index_].size) {
        ++index_;
        ShowFileLines(nullptr);
    }
    if (index_ >= count_) finished_ = true;
}

bool CSourceFileStream::ReadCurrentFile(BYTE* buffer, DWORD wanted, DWORD* read) {
    SourceFile& file = files_[index_];
    *read = 0;
    if (!ReadFile(file.handle, buffer, wanted, read, nullptr)) return false;
    if (*read == 0 && wanted > 0) {
        // The file is shorter than the size the caller recorded for it.
        SetLastError(ERROR_HANDLE_EOF);
        return false;
    }
    file.done += *read;
    total_ += *read;
    if (deflate_) crc_ = crc32(crc_, buffer, *read);
    if (progress_) progress_->SetProgress64(file.done, file.size);
    return true;
}

HRESULT CSourceFileStream::Fail(DWORD error) {
    failed_ = true;
    failedError_ = error;
    SetLastError(error);
    return E_FAIL;
}

HRESULT STDMETHODCALLTYPE CSourceFileStream::Read(void* buffer, ULONG wanted, ULONG* got) {
    ULONG ignored = 0;
    if (!got) got = &ignored;
    *got = 0;
    if (Cancelled()) return E_ABORT;
    if (failed_) {
        SetLastError(failedError_);
        return E_FAIL;
    }
    BYTE* out = static_cast<BYTE*>(buffer);
    if (deflate_ || blocks_ || trailerCursor_ >= 0) return ReadCompressed(out, wanted, got);
    return ReadPlain(out, wanted, got);
}

HRESULT CSourceFileStream::ReadPlain(BYTE* buffer, ULONG wanted, ULONG* got) {
    SkipFinishedFiles();
    while (*got < wanted && index_ < count_) {
        const SourceFile& file = files_[index_];
        DWORD chunk = static_cast<DWORD>(std::min<uint64_t>(wanted - *got, file.size - file.done));
        DWORD read = 0;
        if (!ReadCurrentFile(buffer + *got, chunk, &read)) return Fail(GetLastError());
        *got += read;
        SkipFinishedFiles();
    }
    return finished_ ? S_FALSE : S_OK;
}

// Reads the next piece of the current file into the deflate input; at the end of the files it
// leaves the input empty.
bool CSourceFileStream::FillDeflateInput() {
    SkipFinishedFiles();
    if (index_ >= count_) return true;
    const SourceFile& file = files_[index_];
    DWORD chunk = static_cast<DWORD>(std::min<uint64_t>(kInputBufferSize, file.size - file.done));
    DWORD read = 0;
    if (!ReadCurrentFile(input_, chunk, &read)) return false;
    deflate_->next_in = input_;
    deflate_->avail_in = read;
    SkipFinishedFiles();
    return true;
}

HRESULT CSourceFileStream::ReadCompressed(BYTE* buffer, ULONG wanted, ULONG* got) {
    if (trailerCursor_ < 0) {
        HRESULT hr = blocks_ ? ProduceBlocks(buffer, wanted, got) : DeflateInto(buffer, wanted, got);
        if (hr != S_OK) return hr;
    }
    *got += CopyTrailer(buffer + *got, wanted - *got);
    if (trailerCursor_ < static_cast<int>(gzip::kTrailerSize)) return S_OK;
    EndDeflate();
    return S_FALSE;
}

HRESULT CSourceFileStream::DeflateInto(BYTE* buffer, ULONG wanted, ULONG* got) {
    deflate_->next_out = buffer;
    deflate_->avail_out = wanted;
    while (deflate_->avail_out > 0 && trailerCursor_ < 0) {
        if (deflate_->avail_in == 0 && index_ < count_) {
            if (!FillDeflateInput()) {
                *got = wanted - deflate_->avail_out;
                return Fail(GetLastError());
            }
            continue;
        }
        int flush = (deflate_->avail_in == 0 && index_ >= count_) ? Z_FINISH : Z_NO_FLUSH;
        deflateStatus_ = deflate(deflate_, flush);
        if (deflateStatus_ == Z_STREAM_END) {
            gzip::EncodeTrailer(static_cast<uint32_t>(crc_), total_, trailer_);
            trailerCursor_ = 0;
        } else if (deflateStatus_ != Z_OK) {
            // With input or output room left deflate always progresses; anything else is broken.
            *got = wanted - deflate_->avail_out;
            const int error = deflateStatus_;
            EndDeflate();
            deflateStatus_ = error;
            return Fail(ERROR_INVALID_DATA);
        }
    }
    *got = wanted - deflate_->avail_out;
    return S_OK;
}

HRESULT CSourceFileStream::ProduceBlocks(BYTE* buffer, ULONG wanted, ULONG* got) {
    using parallel_deflate::Result;
    size_t produced = 0;
    Result result = blocks_->Produce([this](uint8_t* block, size_t room, size_t* read) {
        return FillBlock(block, room, read);
    }, buffer, wanted, &produced);
    *got = static_cast<ULONG>(produced);
    switch (result) {
    case Result::kMore: return S_OK;
    case Result::kEnd:
        gzip::EncodeTrailer(blocks_->Crc(), total_, trailer_);
        trailerCursor_ = 0;
        return S_OK;
    case Result::kCancelled: return E_ABORT;
    case Result::kInputFailed: return Fail(failedError_);
    case Result::kDeflateFailed: break;
    }
    deflateStatus_ = blocks_->Status();
    return Fail(deflateStatus_ == Z_MEM_ERROR ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_DATA);
}

// The workers' input: the files back to back, asking the dialog about cancel before every piece.
parallel_deflate::InputStatus CSourceFileStream::FillBlock(uint8_t* block, size_t room, size_t* read) {
    using parallel_deflate::InputStatus;
    *read = 0;
    if (Cancelled()) return InputStatus::kCancelled;
    SkipFinishedFiles();
    if (index_ >= count_) return InputStatus::kOk;
    const SourceFile& file = files_[index_];
    DWORD chunk = static_cast<DWORD>(std::min<uint64_t>({room, kInputBufferSize, file.size - file.done}));
    DWORD got = 0;
    if (!ReadCurrentFile(block, chunk, &got)) {
        failedError_ = GetLastError();
        return InputStatus::kFailed;
    }
    *read = got;
    SkipFinishedFiles();
    return InputStatus::kOk;
}

ULONG CSourceFileStream::CopyTrailer(BYTE* buffer, ULONG room) {
    if (trailerCursor_ < 0) return 0;
    ULONG count = std::min<ULONG>(room, static_cast<ULONG>(gzip::kTrailerSize - trailerCursor_));
    memcpy(buffer, trailer_ + trailerCursor_, count);
    trailerCursor_ += count;
    return count;
}

void CSourceFileStream::EndDeflate() {
    if (blocks_) {
        blocks_.reset();
        deflateStatus_ = -1;
    }
    if (!deflate_) return;
    deflateEnd(deflate_);
    delete deflate_;
    deflate_ = nullptr;
    deflateStatus_ = -1;
}

namespace {

// Ends a deflate state on every path out of CompressFileToGzip.
class DeflateState {
public:
    explicit DeflateState(z_stream* stream) : stream_(stream) {}
    ~DeflateState() {
        if (stream_) deflateEnd(stream_);
    }
    int End() { return deflateEnd(std::exchange(stream_, nullptr)); }

private:
    z_stream* stream_;
};

// Writes the output buffer once full (or when flushing at the end) and hands it back to deflate.
bool DrainOutput(z_stream& zs, HANDLE target, BYTE* out, bool final) {
    if (zs.avail_out != 0 && !final) return true;
    DWORD produced = kInputBufferSize - zs.avail_out;
    if (produced > 0 && !WriteAll(target, out, produced)) return false;
    zs.next_out = out;
    zs.avail_out = kInputBufferSize;
    return true;
}

// One gzip member from blocks deflated on several threads. A -1 leaves its reason in error: the
// workers' ending, after it, may change the thread's last error.
int CompressBlocksToGzip(HANDLE source, HANDLE target, int level, unsigned threads,
                         const std::function<bool()>& cancelled, DWORD& error) {
    using parallel_deflate::InputStatus;
    using parallel_deflate::Result;
    parallel_deflate::Deflater blocks(level, threads);
    if (blocks.Status() != Z_OK) return blocks.Status();
    std::unique_ptr<BYTE[]> out(new (std::nothrow) BYTE[kInputBufferSize]);
    if (!out) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return -1;
    }
    auto written = [&](const void* data, size_t size) {
        if (WriteAll(target, data, static_cast<DWORD>(size))) return true;
        error = GetLastError();
        return false;
    };
    if (!written(gzip::kHeader, gzip::kHeaderSize)) return -1;

    auto input = [&](uint8_t* block, size_t room, size_t* got) {
        if (cancelled && cancelled()) {
            error = ERROR_CANCELLED;
            return InputStatus::kCancelled;
        }
        DWORD read = 0;
        if (!ReadFile(source, block, static_cast<DWORD>(std::min<size_t>(room, kInputBufferSize)), &read, nullptr)) {
            error = GetLastError();
            return InputStatus::kFailed;
        }
        *got = read;
        return InputStatus::kOk;
    };
    for (Result result = Result::kMore; result != Result::kEnd;) {
        size_t produced = 0;
        result = blocks.Produce(input, out.get(), kInputBufferSize, &produced);
        if (result == Result::kDeflateFailed) return blocks.Status();
        if (result == Result::kInputFailed || result == Result::kCancelled) return -1;
        if (produced > 0 && !written(out.get(), produced)) return -1;
    }
    uint8_t trailer[gzip::kTrailerSize];
    gzip::EncodeTrailer(blocks.Crc(), blocks.Size(), trailer);
    return written(trailer, sizeof trailer) ? Z_OK : -1;
}

}  // namespace

int CompressFileToGzip(HANDLE source, HANDLE target, int level) {
    return CompressFileToGzip(source, target, level, 1, nullptr);
}

int CompressFileToGzip(HANDLE source, HANDLE target, int level, unsigned threads,
                       const std::function<bool()>& cancelled) {
    if (threads > 1) {
        DWORD error = 0;
        int result = CompressBlocksToGzip(source, target, level, threads, cancelled, error);
        if (result == -1) SetLastError(error);
        return result;
    }
    z_stream zs = {};
    int result = deflateInit2(&zs, level, Z_DEFLATED, kRawWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY);
    if (result != Z_OK) return result;
    DeflateState state(&zs);

    std::unique_ptr<BYTE[]> in(new (std::nothrow) BYTE[kInputBufferSize]);
    std::unique_ptr<BYTE[]> out(new (std::nothrow) BYTE[kInputBufferSize]);
    if (!in || !out) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    if (!WriteAll(target, gzip::kHeader, gzip::kHeaderSize)) return -1;

    uLong crc = crc32(0, nullptr, 0);
    uint64_t size = 0;
    zs.next_out = out.get();
    zs.avail_out = kInputBufferSize;
    for (;;) {
        if (cancelled && cancelled()) {
            SetLastError(ERROR_CANCELLED);
            return -1;
        }
        DWORD read = 0;
        if (!ReadFile(source, in.get(), kInputBufferSize, &read, nullptr)) return -1;
        if (read == 0) break;
        size += read;
        crc = crc32(crc, in.get(), read);
        zs.next_in = in.get();
        zs.avail_in = read;
        while (zs.avail_in > 0) {
            result = deflate(&zs, Z_NO_FLUSH);
            if (result != Z_OK) return result;
            if (!DrainOutput(zs, target, out.get(), false)) return -1;
        }
    }
    do {
        result = deflate(&zs, Z_FINISH);
        if (result != Z_OK && result != Z_STREAM_END) return result;
        if (!DrainOutput(zs, target, out.get(), result == Z_STREAM_END)) return -1;
    } while (result != Z_STREAM_END);

    uint8_t trailer[gzip::kTrailerSize];
    gzip::EncodeTrailer(static_cast<uint32_t>(crc), size, trailer);
    if (!WriteAll(target, trailer, sizeof trailer)) return -1;
    return state.End();
}
