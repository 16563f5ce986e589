// Byte layout of the gzip member that ".gz.pkcs7" envelopes carry, and of the eight-byte trailer
// that also closes the self-decoding payload's raw deflate stream.
#pragma once
#include <cstddef>
#include <cstdint>

namespace gzip {

constexpr size_t kHeaderSize = 10;
constexpr size_t kTrailerSize = 8;

// Deflate, no flags, modification time 0, no extra flags, operating system 11.
constexpr uint8_t kHeader[kHeaderSize] = {0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0B};

// CRC-32 of the source bytes, then their count modulo 2^32, each least significant byte first.
void EncodeTrailer(uint32_t crc, uint64_t size, uint8_t out[kTrailerSize]);

struct Trailer {
    uint32_t crc = 0;
    uint32_t size = 0;
};
Trailer DecodeTrailer(const uint8_t in[kTrailerSize]);

}  // namespace gzip
