#include "unpack/unpack_job.h"

#include <algorithm>
#include <cstring>

#include "format/gzip_header.h"
#include "format/service/file_write.h"

namespace {

// Inflated output is written in pieces of this size.
constexpr DWORD kSinkBufferSize = 256u << 10;
// A gzip header longer than this (a huge FEXTRA or FNAME) is treated as damaged.
constexpr size_t kMaxHeaderSize = 0x10000;

void DropDecompressor(ContentSink* sink, bool end) {
    if (!sink->decompressor) return;
    if (end) inflateEnd(sink->decompressor);
    delete sink->decompressor;
    sink->decompressor = nullptr;
}

// Takes trailer bytes from the input; once all eight are there, compares CRC-32 and size.
void CollectTrailer(ContentSink* sink, const BYTE*& data, DWORD& length) {
    DWORD take = std::min<DWORD>(length, gzip_header::kTrailerSize - sink->trailerHave);
    std::memcpy(sink->trailer + sink->trailerHave, data, take);
    sink->trailerHave += take;
    data += take;
    length -= take;
    if (sink->trailerHave < gzip_header::kTrailerSize) return;
    sink->trailerPending = false;
    if (gzip_header::ReadLittleEndian32(sink->trailer) != static_cast<uint32_t>(sink->crc))
        sink->status = kGzipCrcMismatch;
    else if (gzip_header::ReadLittleEndian32(sink->trailer + 4) != sink->totalOut)
        sink->status = kGzipSizeMismatch;
}

// Parses the gzip header from the first data; a header split over several calls is collected.
// Returns false while more bytes are needed; the data pointer moves past the header once parsed.
bool ParseHeader(ContentSink* sink, const BYTE*& data, DWORD& length) {
    const BYTE* bytes = data;
    size_t size = length;
    if (!sink->headerBytes.empty()) {
        sink->headerBytes.insert(sink->headerBytes.end(), data, data + length);
        bytes = sink->headerBytes.data();
        size = sink->headerBytes.size();
    }
    size_t used = 0;
    gzip_header::HeaderResult result = gzip_header::ParseHeader(bytes, size, used);
    if (result == gzip_header::HeaderResult::kBad || (result == gzip_header::HeaderResult::kNeedMore && size > kMaxHeaderSize)) {
        sink->status = Z_DATA_ERROR;
        return false;
    }
    if (result == gzip_header::HeaderResult::kNeedMore) {
        if (sink->headerBytes.empty()) sink->headerBytes.assign(data, data + length);
        data += length;
        length = 0;
        return false;
    }
    // What follows the header in the collected bytes all came from this call's data.
    size_t rest = size - used;
    data = data + length - rest;
    length = static_cast<DWORD>(rest);
    sink->headerBytes.clear();
    sink->headerBytes.shrink_to_fit();
    sink->headerParsed = true;
    return true;
}

// Inflates the input; FALSE only when writing the output failed.
BOOL Inflate(ContentSink* sink, const BYTE* data, DWORD length) {
    z_stream* stream = sink->decompressor;
    stream->next_in = const_cast<Bytef*>(data);
    stream->avail_in = length;
    while (sink->status == Z_OK) {
        stream->next_out = sink->buffer;
        stream->avail_out = sink->bufferSize;
        int result = inflate(stream, Z_NO_FLUSH);
        // No progress with all input taken: zlib waits for the next block.
        if (result == Z_BUF_ERROR && stream->avail_in == 0) break;
        if (result != Z_OK && result != Z_STREAM_END) {
            sink->status = result;
            break;
        }
        DWORD produced = sink->bufferSize - stream->avail_out;
        sink->crc = crc32(sink->crc, sink->buffer, produced);
        if (sink->mode == kModeUnpack && produced > 0 && !WriteAll(sink->output, sink->buffer, produced)) {
            DropDecompressor(sink, true);
            return FALSE;
        }
        if (result == Z_STREAM_END) {
            sink->totalOut = static_cast<uint32_t>(stream->total_out);
            const BYTE* rest = stream->next_in;
            DWORD restLength = stream->avail_in;
            sink->status = inflateEnd(stream);
            delete stream;
            sink->decompressor = nullptr;
            if (sink->status == Z_OK) {
                sink->trailerPending = true;
                CollectTrailer(sink, rest, restLength);
            }
            return TRUE;
        }
        // A full output window may hide more output; otherwise stop once the input is used up.
        if (stream->avail_in == 0 && stream->avail_out != 0) break;
    }
    if (sink->status != Z_OK) DropDecompressor(sink, true);
    return TRUE;
}

}  // namespace

void StartContentSink(ContentSink* sink, const UnpackJob* job, HANDLE output) {
    sink->mode = job->decodeMode;
    sink->output = output;
    sink->status = -1;
    sink->crc = crc32(0, Z_NULL, 0);
    sink->compressed = job->compressedContent != 0;
    if (!sink->compressed) return;
    auto* stream = new z_stream();
    int result = inflateInit2(stream, -MAX_WBITS);  // raw deflate, 32 KiB window
    if (result != Z_OK) {
        delete stream;
        sink->status = result;
        return;
    }
    sink->decompressor = stream;
    sink->buffer = new Bytef[kSinkBufferSize];
    sink->bufferSize = kSinkBufferSize;
    sink->status = Z_OK;
}

LONG FinishContentSink(ContentSink* sink) {
    // A deflate stream that never ended, or a trailer cut short, means the content is incomplete.
    if (sink->decompressor) {
        DropDecompressor(sink, true);
        if (sink->status == Z_OK || sink->status == Z_STREAM_END) sink->status = Z_DATA_ERROR;
    }
    if (sink->trailerPending) {
        sink->trailerPending = false;
        if (sink->status == Z_OK) sink->status = Z_DATA_ERROR;
    }
    delete[] sink->buffer;
    sink->buffer = nullptr;
    sink->bufferSize = 0;
    sink->headerBytes.clear();
    return sink->status;
}

BOOL WINAPI WriteContent(const void* arg, BYTE* data, DWORD length, BOOL /*final*/) {
    auto* sink = static_cast<ContentSink*>(const_cast<void*>(arg));
    if (length == 0) return TRUE;
    if (!sink->compressed) {
        if (sink->mode == kModeUnpack && !WriteAll(sink->output, data, length)) return FALSE;
        return TRUE;
    }
    const BYTE* input = data;
    if (sink->trailerPending) {
        CollectTrailer(sink, input, length);
        return TRUE;
    }
    if (!sink->decompressor) return TRUE;  // never set up, failed, or ended: discard
    if (!sink->headerParsed && !ParseHeader(sink, input, length)) {
        if (sink->status != Z_OK) DropDecompressor(sink, true);
        return TRUE;
    }
    if (length == 0) return TRUE;
    return Inflate(sink, input, length);
}
