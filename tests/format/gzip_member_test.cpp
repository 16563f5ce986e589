#include "format/gzip_member.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint8_t> Trailer(uint32_t crc, uint64_t size) {
    std::vector<uint8_t> out(gzip::kTrailerSize);
    gzip::EncodeTrailer(crc, size, out.data());
    return out;
}

TEST(GzipMember, HeaderIsDeflateWithoutFlags) {
    EXPECT_EQ(std::vector<uint8_t>(gzip::kHeader, gzip::kHeader + gzip::kHeaderSize),
              (std::vector<uint8_t>{0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0B}));
}

TEST(GzipMember, TrailerIsCrcThenSizeLeastSignificantFirst) {
    EXPECT_EQ(Trailer(0, 0), (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0}));
    // CRC-32 of "123456789" and its length.
    EXPECT_EQ(Trailer(0xCBF43926u, 9), (std::vector<uint8_t>{0x26, 0x39, 0xF4, 0xCB, 0x09, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Trailer(0x01020304u, 0xA0B0C0D0u),
              (std::vector<uint8_t>{0x04, 0x03, 0x02, 0x01, 0xD0, 0xC0, 0xB0, 0xA0}));
    // Sources of 4 GiB and more keep their size modulo 2^32.
    EXPECT_EQ(Trailer(0, 0xFFFFFFFFull), (std::vector<uint8_t>{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Trailer(0, 0x100000000ull), (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Trailer(0, 0x140000005ull), (std::vector<uint8_t>{0, 0, 0, 0, 0x05, 0x00, 0x00, 0x40}));
    EXPECT_EQ(Trailer(0, 0x10000000007ull), (std::vector<uint8_t>{0, 0, 0, 0, 0x07, 0, 0, 0}));
}

TEST(GzipMember, DecodeReadsWhatEncodeWrote) {
    for (uint32_t value : {0u, 1u, 0x80u, 0xFFFFu, 0x12345678u, 0xFFFFFFFFu}) {
        std::vector<uint8_t> bytes = Trailer(value, ~value);
        gzip::Trailer decoded = gzip::DecodeTrailer(bytes.data());
        EXPECT_EQ(decoded.crc, value);
        EXPECT_EQ(decoded.size, ~value);
    }
}

}  // namespace
