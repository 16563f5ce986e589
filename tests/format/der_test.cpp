#include "format/der.h"

#include <gtest/gtest.h>

namespace {

std::vector<uint8_t> Length(uint64_t value) {
    std::vector<uint8_t> out;
    der::AppendLength(out, value);
    return out;
}

// Each length beside its encoding: lengths below 4 GiB keep their one to five bytes, longer ones
// take as many bytes as they need, up to eight after the 0x88 byte.
TEST(DerLength, WritesAndParsesEveryWidth) {
    struct Row {
        uint64_t value;
        std::vector<uint8_t> bytes;
    };
    const Row rows[] = {
        {0, {0x00}},
        {127, {0x7F}},
        {128, {0x81, 0x80}},
        {200, {0x81, 0xC8}},
        {300, {0x82, 0x01, 0x2C}},
        {70000, {0x83, 0x01, 0x11, 0x70}},
        {1000016, {0x83, 0x0F, 0x42, 0x50}},
        {0xFFFFFF, {0x83, 0xFF, 0xFF, 0xFF}},
        {0x1000000, {0x84, 0x01, 0x00, 0x00, 0x00}},
        {0xFFFFFFFFull, {0x84, 0xFF, 0xFF, 0xFF, 0xFF}},
        {0x100000000ull, {0x85, 0x01, 0x00, 0x00, 0x00, 0x00}},
        {0x100000001ull, {0x85, 0x01, 0x00, 0x00, 0x00, 0x01}},
        {0x140000000ull, {0x85, 0x01, 0x40, 0x00, 0x00, 0x00}},
        {0xFFFFFFFFFFull, {0x85, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {0x10000000000ull, {0x86, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {0x10000000007ull, {0x86, 0x01, 0x00, 0x00, 0x00, 0x00, 0x07}},
        {0x0123456789ABCDEFull, {0x88, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}},
        {UINT64_MAX, {0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value);
        EXPECT_EQ(Length(row.value), row.bytes);
        EXPECT_EQ(der::LengthSize(row.value), row.bytes.size());
        const der::ParsedLength parsed = der::ParseDerLength(row.bytes.data(), row.bytes.size());
        EXPECT_EQ(parsed.value, row.value);
        EXPECT_EQ(parsed.used, row.bytes.size());
        EXPECT_FALSE(parsed.open);
        size_t position = 0;
        const der::ParsedLength streamed = der::ReadDerLength([&](uint8_t& b) {
            if (position >= row.bytes.size()) return false;
            b = row.bytes[position++];
            return true;
        });
        EXPECT_EQ(streamed.value, row.value);
        EXPECT_EQ(streamed.used, row.bytes.size());
        // One length byte missing: the buffer rule leaves no value.
        if (row.bytes.size() > 1) {
            const der::ParsedLength cut = der::ParseDerLength(row.bytes.data(), row.bytes.size() - 1);
            EXPECT_EQ(cut.value, 0u);
        }
    }
}

TEST(DerLength, OpenFormTooLongFormsAndShortBuffers) {
    const uint8_t open[] = {0x80};
    der::ParsedLength parsed = der::ParseDerLength(open, 1);
    EXPECT_TRUE(parsed.open);
    EXPECT_EQ(parsed.value, 0u);
    EXPECT_EQ(parsed.used, 1u);

    const uint8_t nineBytes[] = {0x89, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    parsed = der::ParseDerLength(nineBytes, sizeof nineBytes);
    EXPECT_EQ(parsed.value, 0u);
    EXPECT_EQ(parsed.used, 1u);

    const uint8_t truncated[] = {0x82, 0x01};
    parsed = der::ParseDerLength(truncated, sizeof truncated);
    EXPECT_EQ(parsed.value, 0u);
    EXPECT_EQ(parsed.used, 1u);

    parsed = der::ParseDerLength(nullptr, 0);
    EXPECT_EQ(parsed.used, 0u);
}

// First bytes above 0x88 state more length bytes than the rule takes, whatever follows them.
TEST(DerLength, RefusesLongFormsBeyondEightBytes) {
    for (uint8_t first : {0x89, 0x8F, 0x90, 0x91, 0xA2, 0xC4, 0xFF}) {
        SCOPED_TRACE(static_cast<int>(first));
        const uint8_t bytes[] = {first, 0x2A, 0x2A, 0x7B, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00};
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
    // Eight length bytes saying far more than the buffer holds, up to the largest value.
    for (uint8_t top : {0x00, 0x01, 0x80, 0xFF}) {
        const uint8_t huge[] = {0x04, 0x88, top, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
        der::Reader far(huge, sizeof huge);
        EXPECT_FALSE(far.ReadElement(der::kOctetString, octets));
    }
    const uint8_t open[] = {0x30, 0x80, 0x00, 0x00};
    der::Reader indefinite(open, sizeof open);
    EXPECT_FALSE(indefinite.ReadElement(der::kSequence, sequence));
}

}  // namespace
