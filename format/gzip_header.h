// The gzip member header (RFC 1952) in front of a ".gz" content's deflate stream.
// No platform types here: this file builds natively as well.
#pragma once
#include <cstddef>
#include <cstdint>

namespace gzip_header {

enum class HeaderResult {
    kComplete,  // the header ends at `used`
    kNeedMore,  // a valid start, but the header goes on beyond the bytes given
    kBad,       // not a gzip header this reader accepts
};

// Flag bits of the FLG byte.
constexpr uint8_t kFlagText = 0x01;
constexpr uint8_t kFlagHeaderCrc = 0x02;
constexpr uint8_t kFlagExtra = 0x04;
constexpr uint8_t kFlagName = 0x08;
constexpr uint8_t kFlagComment = 0x10;

// Parses ID1 ID2 CM FLG MTIME XFL OS and the optional fields FEXTRA, FNAME, FCOMMENT and FHCRC (the
// header CRC is skipped, not checked). CM must be 8 (deflate) and the reserved flag bits clear.
HeaderResult ParseHeader(const uint8_t* data, size_t size, size_t& used);

// The trailer after the deflate stream: CRC-32 and size modulo 2^32, least significant first.
constexpr size_t kTrailerSize = 8;
uint32_t ReadLittleEndian32(const uint8_t* bytes);

}  // namespace gzip_header
