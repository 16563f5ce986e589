#include "format/gzip_header.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using gzip_header::HeaderResult;
using gzip_header::ParseHeader;
using Bytes = std::vector<uint8_t>;

HeaderResult Parse(const Bytes& bytes, size_t& used) { return ParseHeader(bytes.data(), bytes.size(), used); }

TEST(GzipHeader, PlainHeaderIsTenBytes) {
    Bytes header = {0x1F, 0x8B, 0x08, 0x00, 0, 0, 0, 0, 0x00, 0x0B, 0xAA};
    size_t used = 99;
    EXPECT_EQ(Parse(header, used), HeaderResult::kComplete);
    EXPECT_EQ(used, 10u);
}

TEST(GzipHeader, OptionalFieldsAreSkipped) {
    // FEXTRA (2 bytes of extra), FNAME "ab", FCOMMENT "c", FHCRC; FTEXT is ignored.
    Bytes header = {0x1F, 0x8B, 0x08, 0x1F, 1, 2, 3, 4, 0, 3, 0x02, 0x00, 0xE1, 0xE2, 'a', 'b', 0, 'c', 0, 0x12, 0x34};
    size_t used = 0;
    EXPECT_EQ(Parse(header, used), HeaderResult::kComplete);
    EXPECT_EQ(used, header.size());
    // Every shorter prefix needs more bytes, none is taken as complete.
    for (size_t size = 0; size < header.size(); ++size) {
        SCOPED_TRACE(size);
        EXPECT_EQ(ParseHeader(header.data(), size, used), HeaderResult::kNeedMore);
    }
}

TEST(GzipHeader, RefusesWrongMagicMethodAndReservedFlags) {
    size_t used = 0;
    EXPECT_EQ(Parse({0x1F, 0x8C}, used), HeaderResult::kBad);
    EXPECT_EQ(Parse({0x50, 0x4B}, used), HeaderResult::kBad);
    EXPECT_EQ(Parse({0x1F, 0x8B, 0x07, 0, 0, 0, 0, 0, 0, 0}, used), HeaderResult::kBad);
    EXPECT_EQ(Parse({0x1F, 0x8B, 0x08, 0x20, 0, 0, 0, 0, 0, 0}, used), HeaderResult::kBad);
    EXPECT_EQ(Parse({0x1F, 0x8B, 0x08, 0x1F}, used), HeaderResult::kNeedMore);
}

TEST(GzipHeader, TrailerWordsAreLittleEndian) {
    const uint8_t bytes[] = {0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(gzip_header::ReadLittleEndian32(bytes), 0x12345678u);
}

}  // namespace
