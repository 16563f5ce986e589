// The per-file unpack record and the output end of the content stream.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <string>
#include <vector>

#include <zlib.h>

#include "unpack/core/envelope_outcome.h"

// One packed file's paths, mode and outcome. -1 / 0xFFFFFFFF mean "not set", 0 means success.
struct UnpackJob : reader_core::EnvelopeOutcome {
    UnpackJob() = default;
    ~UnpackJob();  // deletes an unconfirmed output of a failed job
    UnpackJob(const UnpackJob&) = delete;
    UnpackJob& operator=(const UnpackJob&) = delete;

    BYTE innerContentType = 0;         // 0 not examined; 255 plain content; 2 nested signed
    BYTE compressedContent = 0;        // the content is a gzip file
    BYTE decodeMode = 0;               // 0 unpack, 1 check, 2 describe
    BYTE outputConfirmed = 0;          // output name confirmed in a save dialog
    std::wstring outputPath;
    std::wstring inputPath;
};

// Modes of decodeMode.
constexpr BYTE kModeUnpack = 0;
constexpr BYTE kModeCheck = 1;
constexpr BYTE kModeDescribe = 2;

// Results of an AES-GCM envelope that was damaged or changed: its tag does not match the content
// (STATUS_AUTH_TAG_MISMATCH as an HRESULT, as CNG gives it), or there is no tag to check because
// the file ends early or its trailer is broken (ERROR_HANDLE_EOF as an HRESULT).
constexpr DWORD kResultTagMismatch = 0xD000A002;
constexpr DWORD kResultTagMissing = 0x80070026;

// Statuses of the gzip layer beyond zlib's own codes.
constexpr LONG kGzipCrcMismatch = -128;
constexpr LONG kGzipSizeMismatch = -129;

// The state behind the content stream: writes (mode 0), inflates ".gz" content and checks its
// gzip header and trailer.
struct ContentSink {
    BYTE mode = 0;
    bool compressed = false;           // the content is a gzip file
    z_stream* decompressor = nullptr;  // raw inflate, or none
    LONG status = -1;
    HANDLE output = INVALID_HANDLE_VALUE;
    uLong crc = 0;
    bool headerParsed = false;
    Bytef* buffer = nullptr;
    DWORD bufferSize = 0;
    // Gzip trailer bytes collected across content blocks after the deflate stream ended.
    BYTE trailer[8] = {};
    DWORD trailerHave = 0;
    bool trailerPending = false;
    uint32_t totalOut = 0;  // bytes the deflate stream produced, kept for the trailer check
    // Start of a gzip header that did not fit in the first data handed over.
    std::vector<BYTE> headerBytes;
};

// Sets the sink up for a job: mode, output, and a raw-inflate decompressor when the job's content
// is compressed (status 0), else status -1.
void StartContentSink(ContentSink* sink, const UnpackJob* job, HANDLE output);
// After the last content byte: a deflate stream that did not end (or a trailer still incomplete)
// becomes a decompression failure. Frees the decompressor and buffer; returns the sink's status.
LONG FinishContentSink(ContentSink* sink);

// The content stream's output function, in the form of PFN_CMSG_STREAM_OUTPUT.
// TRUE to continue, FALSE when a write failed (last error set).
BOOL WINAPI WriteContent(const void* sink, BYTE* data, DWORD length, BOOL final);
