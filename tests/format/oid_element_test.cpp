#include "format/oid_element.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

// Reads from a byte vector and reports how far it got.
struct Source {
    explicit Source(Bytes bytes) : data(std::move(bytes)) {}
    bool Read(Bytes& value, uint32_t& consumed) {
        auto next = [this](uint8_t& b) {
            if (position >= data.size()) return false;
            b = data[position++];
            return true;
        };
        return der::ReadOidElement(next, value, consumed);
    }
    Bytes data;
    size_t position = 0;
};

TEST(OidElement, ReadsTheValueOfAnOidElement) {
    Source source({0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03, 0xA0});
    Bytes value;
    uint32_t consumed = 0;
    ASSERT_TRUE(source.Read(value, consumed));
    EXPECT_EQ(value, (Bytes{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03}));
    EXPECT_EQ(consumed, 11u);
    EXPECT_EQ(source.position, 11u) << "the byte after the element is left for the caller";
}

TEST(OidElement, WrongTagConsumesOnlyTheTag) {
    Source source({0x30, 0x03, 0x06, 0x01, 0x00});
    Bytes value;
    uint32_t consumed = 0;
    EXPECT_FALSE(source.Read(value, consumed));
    EXPECT_EQ(consumed, 1u);
    EXPECT_TRUE(value.empty());
}

TEST(OidElement, EmptyLongFormAndShortValuesGiveNothing) {
    Bytes value;
    uint32_t consumed = 0;
    Source empty({0x06, 0x00});
    EXPECT_FALSE(empty.Read(value, consumed));
    EXPECT_EQ(consumed, 2u);
    Source longForm({0x06, 0x81, 0x01, 0x2A});
    EXPECT_FALSE(longForm.Read(value, consumed));
    Source cut({0x06, 0x05, 0x2B, 0x0E});
    EXPECT_FALSE(cut.Read(value, consumed));
    EXPECT_TRUE(value.empty());
    EXPECT_EQ(consumed, 4u);
    Source nothing({});
    EXPECT_FALSE(nothing.Read(value, consumed));
    EXPECT_EQ(consumed, 0u);
}

}  // namespace
