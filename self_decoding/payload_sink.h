// The output end of the decode: the plaintext split over the extracted files in directory order,
// inflated first when the payload is compressed (raw deflate, then CRC-32 and size).
#pragma once
#include <windows.h>
#include <shlobj.h>

#include <memory>

#include <zlib.h>

#include "self_decoding/decode_status.h"

namespace quendrix {

constexpr LONG kCrcMismatch = -128;
constexpr LONG kSizeMismatch = -129;

class PayloadSink {
public:
    PayloadSink(ExtractedFiles& files, bool compressed, IProgressDialog* progress);
    ~PayloadSink();
    PayloadSink(const PayloadSink&) = delete;
    PayloadSink& operator=(const PayloadSink&) = delete;

    // Sets the decompressor up; false when zlib refuses (status then holds its code).
    bool Start();
    // One block of plaintext; false when a write failed (last error set). Decompression faults
    // do not stop the content: they end in the status.
    bool Write(const BYTE* data, DWORD length, bool final);
    // After the content: a deflate stream that did not end or a trailer cut short is a failure.
    // Returns the status (0 when all was well).
    LONG Finish();

private:
    bool Deliver(const BYTE* data, DWORD length);
    bool Inflate(const BYTE* data, DWORD length);
    void TakeTrailer(const BYTE* data, DWORD length);
    void CheckTrailer();
    void ShowCurrentFile();

    ExtractedFiles& files_;
    bool compressed_;
    IProgressDialog* progress_;
    size_t current_ = 0;
    z_stream stream_{};
    bool inflating_ = false;
    bool streamEnded_ = false;
    LONG status_ = 0;
    uLong crc_ = 0;
    BYTE trailer_[8] = {};
    DWORD trailerHave_ = 0;
    bool trailerChecked_ = false;
    std::unique_ptr<BYTE[]> buffer_;
};

constexpr DWORD kSinkBufferSize = 0xFFFF;

}  // namespace quendrix
