#include "format/gzip_header.h"

namespace gzip_header {

namespace {

// Skips up to and including the zero byte that ends a FNAME or FCOMMENT field.
bool SkipZeroTerminated(const uint8_t* data, size_t size, size_t& position) {
    while (position < size) {
        if (data[position++] == 0) return true;
    }
    return false;
}

}  // namespace

HeaderResult ParseHeader(const uint8_t* data, size_t size, size_t& used) {
    used = 0;
    if (size >= 1 && data[0] != 0x1F) return HeaderResult::kBad;
    if (size >= 2 && data[1] != 0x8B) return HeaderResult::kBad;
    if (size >= 3 && data[2] != 8) return HeaderResult::kBad;
    if (size >= 4 && data[3] >= 0x20) return HeaderResult::kBad;
    if (size < 10) return HeaderResult::kNeedMore;
    const uint8_t flags = data[3];
    size_t position = 10;  // past MTIME, XFL and OS
    if (flags & kFlagExtra) {
        if (size < position + 2) return HeaderResult::kNeedMore;
        size_t extraLength = data[position] | (static_cast<size_t>(data[position + 1]) << 8);
        position += 2;
        if (size - position < extraLength) return HeaderResult::kNeedMore;
        position += extraLength;
    }
    if ((flags & kFlagName) && !SkipZeroTerminated(data, size, position)) return HeaderResult::kNeedMore;
    if ((flags & kFlagComment) && !SkipZeroTerminated(data, size, position)) return HeaderResult::kNeedMore;
    if (flags & kFlagHeaderCrc) {
        if (size - position < 2) return HeaderResult::kNeedMore;
        position += 2;
    }
    used = position;
    return HeaderResult::kComplete;
}

uint32_t ReadLittleEndian32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

}  // namespace gzip_header
