#include "format/algorithms.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::vector<uint8_t> OidValue(const alg::AlgorithmRow* row) {
    // The row keeps 06 L value; readers see only the value.
    return std::vector<uint8_t>(row->oidElement + 2, row->oidElement + row->oidElementSize);
}

TEST(AlgorithmTable, WriterOidsRoundTripThroughTheReaderLookup) {
    for (uint32_t algId : {alg::kRc2, alg::kRc4, alg::kDes, alg::k3Des, alg::kAes128, alg::kAes192, alg::kAes256}) {
        const alg::AlgorithmRow* row = alg::ContentEncryptionRow(algId);
        ASSERT_NE(row, nullptr) << std::hex << algId;
        std::vector<uint8_t> value = OidValue(row);
        EXPECT_EQ(row->oidElement[0], 0x06);
        EXPECT_EQ(row->oidElement[1], value.size());
        EXPECT_EQ(alg::AlgorithmFromOid(value.data(), value.size()), algId);
        EXPECT_EQ(alg::OidToDottedString(value.data(), value.size()), row->dottedOid);
    }
    EXPECT_EQ(alg::ContentEncryptionRow(alg::kSha1), nullptr);
    EXPECT_EQ(alg::ContentEncryptionRow(0x6609), nullptr);
}

TEST(AlgorithmTable, AesRowsCompareEightBytesAndDefaultToAes128) {
    const uint8_t aes1[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x01};  // 2.16.840.1.101.3.4.1.1
    EXPECT_EQ(alg::AlgorithmFromOid(aes1, sizeof aes1), alg::kAes128);
    const uint8_t aes192[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x16};
    EXPECT_EQ(alg::AlgorithmFromOid(aes192, sizeof aes192), alg::kAes192);
    const uint8_t shortAes[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01};
    EXPECT_EQ(alg::AlgorithmFromOid(shortAes, sizeof shortAes), 0u);
    const uint8_t unknown[] = {0x2A, 0x03};
    EXPECT_EQ(alg::AlgorithmFromOid(unknown, sizeof unknown), 0u);
}

TEST(AlgorithmTable, DigestRuleKeepsMdFamilyAndSha2AndMakesTheRestSha1) {
    const uint8_t sha[] = {0x2B, 0x0E, 0x03, 0x02, 0x12};  // 1.3.14.3.2.18
    EXPECT_EQ(alg::DigestAlgorithmFromOid(sha, sizeof sha), alg::kSha1);
    const uint8_t md5[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05};
    EXPECT_EQ(alg::DigestAlgorithmFromOid(md5, sizeof md5), alg::kMd5);
    const uint8_t md2[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x02};
    EXPECT_EQ(alg::DigestAlgorithmFromOid(md2, sizeof md2), alg::kMd2);
    const uint8_t sha256[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
    EXPECT_EQ(alg::DigestAlgorithmFromOid(sha256, sizeof sha256), alg::kSha256);
    const uint8_t sha512[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03};
    EXPECT_EQ(alg::DigestAlgorithmFromOid(sha512, sizeof sha512), alg::kSha512);
    const uint8_t sha224[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x04};
    EXPECT_EQ(alg::DigestAlgorithmFromOid(sha224, sizeof sha224), alg::kSha1);
    const uint8_t rc2[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x02};
    EXPECT_EQ(alg::DigestAlgorithmFromOid(rc2, sizeof rc2), alg::kSha1);
}

TEST(AlgorithmTable, DisplayIdsFollowTheRowOrder) {
    EXPECT_EQ(alg::DisplayStringId(26625, nullptr), 751u);
    EXPECT_EQ(alg::DisplayStringId(0, "1.3.14.3.2.26"), 757u);
    EXPECT_EQ(alg::DisplayStringId(alg::kMd5, nullptr), 758u);
    EXPECT_EQ(alg::DisplayStringId(0, "1.2.3.4"), 0u);
    EXPECT_EQ(alg::DisplayStringId(alg::kMd4, nullptr), 0u);
    // An ALG_ID match on an earlier row wins over an OID match on a later one.
    EXPECT_EQ(alg::DisplayStringId(alg::kRc2, "2.16.840.1.101.3.4.1.42"), 750u);
}

TEST(AlgorithmTable, DottedTextOfLongAndMalformedOids) {
    const uint8_t rsa[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
    EXPECT_EQ(alg::OidToDottedString(rsa, sizeof rsa), "1.2.840.113549.1.1.1");
    const uint8_t joint[] = {0x88, 0x37, 0x03};  // 2.999.3
    EXPECT_EQ(alg::OidToDottedString(joint, sizeof joint), "2.999.3");
    const uint8_t unfinished[] = {0x2A, 0x86};
    EXPECT_EQ(alg::OidToDottedString(unfinished, sizeof unfinished), "");
}

TEST(Rc2Version, TableBothWays) {
    EXPECT_EQ(alg::Rc2VersionForBits(40), 160u);
    EXPECT_EQ(alg::Rc2VersionForBits(56), 52u);
    EXPECT_EQ(alg::Rc2VersionForBits(64), 120u);
    EXPECT_EQ(alg::Rc2VersionForBits(128), 58u);
    EXPECT_EQ(alg::Rc2VersionForBits(48), 160u);
    for (uint32_t bits : {40u, 56u, 64u, 128u}) EXPECT_EQ(alg::Rc2BitsForVersion(alg::Rc2VersionForBits(bits)), bits);
    EXPECT_EQ(alg::Rc2BitsForVersion(7), 0u);
}

TEST(KeyLengths, Rc2StopsAtTheFirstValueOutsideTheRange) {
    EXPECT_EQ(alg::OfferedKeyLengths(alg::kRc2, 128, 40, 128), (std::vector<uint32_t>{40, 56, 64, 128}));
    EXPECT_EQ(alg::OfferedKeyLengths(alg::kRc2, 40, 40, 56), (std::vector<uint32_t>{40, 56}));
    EXPECT_TRUE(alg::OfferedKeyLengths(alg::kRc2, 128, 64, 128).empty());  // 40 is already outside
}

TEST(KeyLengths, OthersDoubleFromMinimumThroughDefaultToMaximum) {
    EXPECT_EQ(alg::OfferedKeyLengths(alg::kRc4, 128, 40, 128), (std::vector<uint32_t>{40, 80, 128}));
    EXPECT_EQ(alg::OfferedKeyLengths(alg::k3Des, 168, 168, 168), (std::vector<uint32_t>{168}));
    EXPECT_EQ(alg::OfferedKeyLengths(alg::kRc4, 40, 40, 56), (std::vector<uint32_t>{40, 56}));
}

}  // namespace
