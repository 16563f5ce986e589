#include "format/envelope_rules.h"

#include <gtest/gtest.h>

#include "format/algorithms.h"
#include "tests/format/der_bytes.h"

namespace {

using Bytes = std::vector<uint8_t>;
using envelope_rules::LengthRule;
using envelope_rules::Verdict;

der::ParsedLength Length(const Bytes& bytes) { return der::ParseDerLength(bytes.data(), bytes.size()); }

// Each rule on the same lengths; the element is taken to start 10 bytes before the end.
TEST(EnvelopeRules, EveryLengthRuleOnDefiniteOpenAndLongZeroLengths) {
    const Bytes exact = {0x08};                   // 1 + 1 + 8 = 10: ends at the end
    const Bytes beyond = {0x82, 0x00, 0x09};      // 1 + 3 + 9: beyond the end
    const Bytes open = {0x80};
    const Bytes longZero = {0x84, 0, 0, 0, 0};
    const Bytes shortZero = {0x00};
    struct Case {
        LengthRule rule;
        Verdict exact, beyond, open, longZero, shortZero;
    } cases[] = {
        {LengthRule::kAny, Verdict::kOk, Verdict::kOk, Verdict::kOk, Verdict::kOk, Verdict::kOk},
        {LengthRule::kEndsAtEnd, Verdict::kOk, Verdict::kBadEncode, Verdict::kOk, Verdict::kBadEncode,
         Verdict::kBadEncode},
        {LengthRule::kInsideEnd, Verdict::kOk, Verdict::kBadEncode, Verdict::kOk, Verdict::kOk, Verdict::kOk},
        {LengthRule::kAtLeastOne, Verdict::kOk, Verdict::kOk, Verdict::kUnexpected, Verdict::kUnexpected,
         Verdict::kUnexpected},
        {LengthRule::kDefinite, Verdict::kOk, Verdict::kOk, Verdict::kUnexpected, Verdict::kOk, Verdict::kOk},
        {LengthRule::kZeroOnlyShort, Verdict::kOk, Verdict::kOk, Verdict::kOk, Verdict::kUnexpected, Verdict::kOk},
        {LengthRule::kContentLength, Verdict::kOk, Verdict::kOk, Verdict::kOk, Verdict::kBadEncode, Verdict::kOk},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.rule));
        EXPECT_EQ(envelope_rules::CheckLength(Length(exact), c.rule, 10), c.exact);
        EXPECT_EQ(envelope_rules::CheckLength(Length(beyond), c.rule, 10), c.beyond);
        EXPECT_EQ(envelope_rules::CheckLength(Length(open), c.rule, 10), c.open);
        EXPECT_EQ(envelope_rules::CheckLength(Length(longZero), c.rule, 10), c.longZero);
        EXPECT_EQ(envelope_rules::CheckLength(Length(shortZero), c.rule, 10), c.shortZero);
    }
}

// Lengths of more than four bytes against a file past 4 GiB: the check runs in 64 bits, and a
// length near 2^64 cannot wrap around to fit.
TEST(EnvelopeRules, LengthsPastFourGiBAreCheckedInSixtyFourBits) {
    const uint64_t fiveGiB = 5ull << 30;
    struct Case {
        Bytes length;
        uint64_t bytesToEnd;
        Verdict endsAtEnd, insideEnd;
    } cases[] = {
        {{0x85, 0x01, 0x3F, 0xFF, 0xFF, 0xF9}, fiveGiB, Verdict::kOk, Verdict::kOk},
        {{0x85, 0x01, 0x3F, 0xFF, 0xFF, 0xFA}, fiveGiB, Verdict::kBadEncode, Verdict::kBadEncode},
        {{0x85, 0x01, 0x3F, 0xFF, 0xFF, 0xF0}, fiveGiB, Verdict::kBadEncode, Verdict::kOk},
        {{0x84, 0xFF, 0xFF, 0xFF, 0xFF}, 0x100000005ull, Verdict::kOk, Verdict::kOk},
        {{0x84, 0xFF, 0xFF, 0xFF, 0xFF}, 0x100000004ull, Verdict::kBadEncode, Verdict::kBadEncode},
        {{0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, fiveGiB, Verdict::kBadEncode, Verdict::kBadEncode},
        {{0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF6}, 0, Verdict::kBadEncode, Verdict::kBadEncode},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytesToEnd);
        EXPECT_EQ(envelope_rules::CheckLength(Length(c.length), LengthRule::kEndsAtEnd, c.bytesToEnd), c.endsAtEnd);
        EXPECT_EQ(envelope_rules::CheckLength(Length(c.length), LengthRule::kInsideEnd, c.bytesToEnd), c.insideEnd);
    }
}

TEST(EnvelopeRules, ContentParametersGiveKeyBitsAndIv) {
    const Bytes iv8 = {1, 2, 3, 4, 5, 6, 7, 8};
    struct Case {
        const char* what;
        uint32_t algId;
        Bytes parameters;
        uint32_t rc2Bits;
        Bytes iv;
    } cases[] = {
        {"RC2 version 58 with IV", alg::kRc2, {0x30, 0x0D, 0x02, 0x01, 0x3A, 0x04, 0x08, 1, 2, 3, 4, 5, 6, 7, 8}, 128,
         iv8},
        {"RC2 version 120 alone", alg::kRc2, {0x30, 0x03, 0x02, 0x01, 0x78}, 64, {}},
        {"RC2 with an IV cut short", alg::kRc2, {0x30, 0x08, 0x02, 0x01, 0x3A, 0x04, 0x03, 1, 2, 3}, 0, {}},
        {"AES IV", alg::kAes256, {0x04, 0x08, 1, 2, 3, 4, 5, 6, 7, 8}, 0, iv8},
        {"RC4 salt, trailing bytes ignored", alg::kRc4, {0x04, 0x02, 9, 9, 0x05, 0x00}, 0, {9, 9}},
        {"NULL", alg::k3Des, {0x05, 0x00}, 0, {}},
        {"an IV that reaches past the parameters", alg::kDes, {0x04, 0x09, 1, 2}, 0, {}},
        {"no parameters", alg::kAes128, {}, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        envelope_rules::ContentParameters read =
            envelope_rules::ReadContentParameters(c.algId, c.parameters.data(), c.parameters.size());
        EXPECT_EQ(read.rc2Bits, c.rc2Bits);
        EXPECT_EQ(read.iv, c.iv);
    }
}

TEST(EnvelopeRules, NestedContentTypeOfTheFirstPlaintext) {
    const Bytes oid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07};
    auto block = [&oid](const Bytes& lengthBytes, uint8_t type, size_t padding) {
        return test_der::Cat({Bytes{0x30}, lengthBytes, oid, Bytes{type}, Bytes(padding, 0xA0)});
    };
    struct Case {
        const char* what;
        Bytes data;
        uint64_t contentLength;
        uint8_t expected;
    } cases[] = {
        {"signedData, definite", block({0x81, 0x90}, 2, 4), 0x93, 2},
        {"envelopedData", block({0x20}, 3, 4), 0x22, 3},
        {"open length", block({0x80}, 2, 4), 1000, 2},
        {"outer length beyond the content", block({0x81, 0x90}, 2, 4), 0x92, envelope_rules::kPlainContent},
        {"outer length no larger than the OID", block({0x0B}, 2, 4), 100, envelope_rules::kPlainContent},
        {"type byte is the block's last", block({0x20}, 2, 0), 0x22, envelope_rules::kPlainContent},
        {"another OID", Bytes{0x30, 0x20, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x02, 0, 0},
         0x22, envelope_rules::kPlainContent},
        {"no SEQUENCE", Bytes{0x04, 0x20, 0x06}, 0x22, envelope_rules::kPlainContent},
        {"one byte", Bytes{0x30}, 1, envelope_rules::kPlainContent},
        {"signedData past 4 GiB", block({0x85, 0x01, 0, 0, 0, 0}, 2, 4), 0x100000007ull, 2},
        {"past 4 GiB, beyond the content", block({0x85, 0x01, 0, 0, 0, 0}, 2, 4), 0x100000006ull,
         envelope_rules::kPlainContent},
        {"a length that would wrap past 2^64", block({0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF6}, 2, 4),
         1000, envelope_rules::kPlainContent},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(envelope_rules::NestedContentType(c.data.data(), c.data.size(), c.contentLength), c.expected);
    }
}

}  // namespace
