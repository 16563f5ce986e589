#include "format/gzip_member.h"

namespace gzip {
namespace {

void PutLittleEndian32(uint32_t value, uint8_t* out) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLittleEndian32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 | static_cast<uint32_t>(in[2]) << 16 |
           static_cast<uint32_t>(in[3]) << 24;
}

}  // namespace

void EncodeTrailer(uint32_t crc, uint64_t size, uint8_t out[kTrailerSize]) {
    PutLittleEndian32(crc, out);
    PutLittleEndian32(static_cast<uint32_t>(size & 0xFFFFFFFFu), out + 4);
}

Trailer DecodeTrailer(const uint8_t in[kTrailerSize]) {
    Trailer trailer;
    trailer.crc = GetLittleEndian32(in);
    trailer.size = GetLittleEndian32(in + 4);
    return trailer;
}

}  // namespace gzip
