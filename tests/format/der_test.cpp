#include "format/der.h"

#include <gtest/gtest.h>

namespace {

std::vector<uint8_t> Length(uint32_t value) {
    std::vector<uint8_t> out;
    der::AppendLength(out, value);
    return out;
}

TEST(DerLength, WritesShortAndLongForms) {
    EXPECT_EQ(Length(0), (std::vector<uint8_t>{0x00}));
    EXPECT_EQ(Length(127), (std::vector<uint8_t>{0x7F}));
    EXPECT_EQ(Length(128), (std::vector<uint8_t>{0x81, 0x80}));
    EXPECT_EQ(Length(200), (std::vector<uint8_t>{0x81, 0xC8}));
    EXPECT_EQ(Length(300), (std::vector<uint8_t>{0x82, 0x01, 0x2C}));
    EXPECT_EQ(Length(70000), (std::vector<uint8_t>{0x83, 0x01, 0x11, 0x70}));
    EXPECT_EQ(Length(1000016), (std::vector<uint8_t>{0x83, 0x0F, 0x42, 0x50}));
    EXPECT_EQ(Length(0xFFFFFFFFu), (std::vector<uint8_t>{0x84, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(der::LengthSize(0xFFFFFF), 4u);
    EXPECT_EQ(der::LengthSize(0x1000000), 5u);
}

TEST(DerLength, ParsesWhatItWrites) {
    for (uint32_t value : {0u, 1u, 127u, 128u, 255u, 256u, 65535u, 65536u, 0xFFFFFFu, 0x1000000u, 0xFFFFFFFFu}) {
        std::vector<uint8_t> bytes = Length(value);
        der::ParsedLength parsed = der::ParseDerLength(bytes.data(), bytes.size());
        EXPECT_EQ(parsed.value, value);
        EXPECT_EQ(parsed.used, bytes.size());
        EXPECT_FALSE(parsed.open);
    }
}

TEST(DerLength, OpenFormTooLongFormsAndShortBuffers) {
    const uint8_t open[] = {0x80};
    der::ParsedLength parsed = der::ParseDerLength(open, 1);
    EXPECT_TRUE(parsed.open);
    EXPECT_EQ(parsed.value, 0u);
    EXPECT_EQ(parsed.used, 1u);

    const uint8_t fiveBytes[] = {0x85, 1, 2, 3, 4, 5};
    parsed = der::ParseDerLength(fiveBytes, sizeof fiveBytes);
    EXPECT_EQ(parsed.value, 0u);
    EXPECT_EQ(parsed.used, 1u);

    const uint8_t truncated[] = {0x82, 0x01};
    parsed = der::ParseDerLength(truncated, sizeof truncated);
    EXPECT_EQ(parsed.value, 0u);
    EXPECT_EQ(parsed.used, 1u);

    parsed = der::ParseDerLength(nullptr, 0);
    EXPECT_EQ(parsed.used, 0u);
}

// First bytes above 0x84 state more length bytes than the rule takes, whatever follows them.
TEST(DerLength, RefusesLongFormsBeyondFourBytes) {
    for (uint8_t first : {0x85, 0x8F, 0x90, 0x91, 0xA2, 0xC4, 0xFF}) {
        SCOPED_TRACE(static_cast<int>(first));
        const uint8_t bytes[] = {first, 0x2A, 0x2A, 0x7B, 0x01, 0x02};
        der::ParsedLength parsed = der::ParseDerLength(bytes, sizeof bytes);
        EXPECT_EQ(parsed.used, 1u);
        EXPECT_EQ(parsed.value, 0u);
        size_t position = 0;
        parsed = der::ReadDerLength([&](uint8_t& b) {
            if (position >= sizeof bytes) return false;
            b = bytes[position++];
            return true;
        });
        EXPECT_EQ(parsed.used, 1u);
        EXPECT_EQ(parsed.value, 0u);
        const uint8_t element[] = {der::kSequence, first, 0x00, 0x01, 0x05};
        der::Reader reader(element, sizeof element), content;
        EXPECT_FALSE(reader.ReadElement(der::kSequence, content));
    }
}

TEST(DerReader, ReadsNestedElementsAndRefusesOverruns) {
    const uint8_t bytes[] = {0x30, 0x06, 0x02, 0x01, 0x05, 0x04, 0x01, 0xAA, 0x31};
    der::Reader input(bytes, sizeof bytes), sequence, octets;
    ASSERT_TRUE(input.ReadElement(der::kSequence, sequence));
    uint32_t version = 0;
    ASSERT_TRUE(sequence.ReadSmallInteger(version));
    EXPECT_EQ(version, 5u);
    ASSERT_TRUE(sequence.ReadElement(der::kOctetString, octets));
    EXPECT_EQ(octets.size(), 1u);
    EXPECT_TRUE(sequence.empty());
    der::Reader rest;
    EXPECT_FALSE(input.ReadElement(der::kSet, rest));  // no length byte
    EXPECT_EQ(input.size(), 1u);                          // a failed read does not advance

    const uint8_t overrun[] = {0x04, 0x05, 0x01};
    der::Reader bad(overrun, sizeof overrun);
    EXPECT_FALSE(bad.ReadElement(der::kOctetString, octets));
    const uint8_t open[] = {0x30, 0x80, 0x00, 0x00};
    der::Reader indefinite(open, sizeof open);
    EXPECT_FALSE(indefinite.ReadElement(der::kSequence, sequence));
}

}  // namespace
