#include "self_decoding/payload_sink.h"

#include <cstring>
#include <string>

#include "self_decoding/texts.h"

namespace quendrix {

namespace {
constexpr UINT kToFileText = 554;

uint32_t Le32(const BYTE* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
}  // namespace

void ExtractedFiles::Close(size_t index) {
    if (index >= items_.size()) return;
    HANDLE& handle = items_[index].handle;
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr) CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}

void ExtractedFiles::CloseAll() {
    for (size_t i = 0; i < items_.size(); ++i) Close(i);
}

PayloadSink::PayloadSink(ExtractedFiles& files, bool compressed, IProgressDialog* progress)
    : files_(files), compressed_(compressed), progress_(progress) {}

PayloadSink::~PayloadSink() {
    if (inflating_) inflateEnd(&stream_);
}

bool PayloadSink::Start() {
    if (!compressed_) return true;
    buffer_.reset(new BYTE[kSinkBufferSize]);
    int result = inflateInit2_(&stream_, -15, ZLIB_VERSION, static_cast<int>(sizeof(z_stream)));
    if (result != Z_OK) {
        status_ = result;
        return false;
    }
    inflating_ = true;
    return true;
}

void PayloadSink::ShowCurrentFile() {
    if (!progress_ || current_ >= files_.items().size()) return;
    std::string line = FormatText(kToFileText, files_.items()[current_].path.c_str());
    int units = MultiByteToWideChar(CP_ACP, 0, line.c_str(), -1, nullptr, 0);
    if (units <= 0) return;
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, line.c_str(), -1, &wide[0], units);
    progress_->SetLine(2, wide.c_str(), TRUE, nullptr);
}

bool PayloadSink::Deliver(const BYTE* data, DWORD length) {
    auto& items = files_.items();
    while (length > 0) {
        // Data beyond the last file's size is dropped: the directory decides what is written.
        if (current_ >= items.size()) return true;
        ExtractedFile& file = items[current_];
        const DWORD part = length > file.remaining ? file.remaining : length;
        DWORD written = 0;
        if (part > 0 && (!WriteFile(file.handle, data, part, &written, nullptr) || written != part)) {
            if (written != part && GetLastError() == 0) SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        file.remaining -= part;
        data += part;
        length -= part;
        if (length > 0) {
            files_.Close(current_);
            ++current_;
            ShowCurrentFile();
        }
    }
    return true;
}

void PayloadSink::TakeTrailer(const BYTE* data, DWORD length) {
    while (length > 0 && trailerHave_ < sizeof trailer_) {
        trailer_[trailerHave_++] = *data++;
        --length;
    }
    if (trailerHave_ == sizeof trailer_) CheckTrailer();
}

void PayloadSink::CheckTrailer() {
    if (trailerChecked_) return;
    trailerChecked_ = true;
    if (Le32(trailer_) != static_cast<uint32_t>(crc_)) {
        status_ = kCrcMismatch;
    } else if (Le32(trailer_ + 4) != static_cast<uint32_t>(stream_.total_out)) {
        status_ = kSizeMismatch;
    }
}

bool PayloadSink::Inflate(const BYTE* data, DWORD length) {
    if (streamEnded_) {
        TakeTrailer(data, length);
        return true;
    }
    if (!inflating_) return true;  // the decompressor already failed: the rest is not written
    stream_.next_in = const_cast<Bytef*>(data);
    stream_.avail_in = length;
    while (stream_.avail_in > 0) {
        stream_.next_out = buffer_.get();
        stream_.avail_out = kSinkBufferSize;
        int result = inflate(&stream_, Z_NO_FLUSH);
        const DWORD produced = kSinkBufferSize - stream_.avail_out;
        crc_ = crc32(crc_, buffer_.get(), produced);
        if (produced && !Deliver(buffer_.get(), produced)) return false;
        if (result == Z_STREAM_END) {
            files_.Close(current_);
            streamEnded_ = true;
            const uLong totalOut = stream_.total_out;
            const BYTE* rest = stream_.next_in;
            const DWORD restLength = stream_.avail_in;
            inflateEnd(&stream_);
            inflating_ = false;
            stream_.total_out = totalOut;
            TakeTrailer(rest, restLength);
            return true;
        }
        if (result != Z_OK && !(result == Z_BUF_ERROR && produced)) {
            status_ = result == Z_BUF_ERROR ? Z_DATA_ERROR : result;
            inflateEnd(&stream_);
            inflating_ = false;
            return true;
        }
    }
    return true;
}

bool PayloadSink::Write(const BYTE* data, DWORD length, bool final) {
    bool ok = compressed_ ? Inflate(data, length) : Deliver(data, length);
    if (final) files_.Close(current_);
    return ok;
}

LONG PayloadSink::Finish() {
    if (!compressed_) return 0;
    if (status_ == 0 && (!streamEnded_ || trailerHave_ < sizeof trailer_)) status_ = Z_DATA_ERROR;
    if (inflating_) {
        inflateEnd(&stream_);
        inflating_ = false;
    }
    return status_;
}

}  // namespace quendrix
