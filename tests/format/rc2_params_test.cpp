#include "format/rc2_params.h"

#include <gtest/gtest.h>

namespace {

const uint8_t kIv[8] = {1, 2, 3, 4, 5, 6, 7, 8};

TEST(Rc2Parameters, EncodesTheBytesOpenSslWrites) {
    EXPECT_EQ(rc2::EncodeParameters(160, kIv, 8),
              (std::vector<uint8_t>{0x30, 0x0E, 0x02, 0x02, 0x00, 0xA0, 0x04, 0x08, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(rc2::EncodeParameters(120, kIv, 8),
              (std::vector<uint8_t>{0x30, 0x0D, 0x02, 0x01, 0x78, 0x04, 0x08, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(rc2::EncodeParameters(58, kIv, 8),
              (std::vector<uint8_t>{0x30, 0x0D, 0x02, 0x01, 0x3A, 0x04, 0x08, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(rc2::EncodeParameters(52, nullptr, 0), (std::vector<uint8_t>{0x30, 0x03, 0x02, 0x01, 0x34}));
}

TEST(Rc2Parameters, DecodesWithAndWithoutIv) {
    std::vector<uint8_t> bytes = rc2::EncodeParameters(160, kIv, 8);
    rc2::Parameters params;
    ASSERT_TRUE(rc2::DecodeParameters(bytes.data(), bytes.size(), params));
    EXPECT_EQ(params.version, 160u);
    EXPECT_TRUE(params.hasIv);
    EXPECT_EQ(params.iv[7], 8);

    bytes = rc2::EncodeParameters(58, nullptr, 0);
    ASSERT_TRUE(rc2::DecodeParameters(bytes.data(), bytes.size(), params));
    EXPECT_EQ(params.version, 58u);
    EXPECT_FALSE(params.hasIv);
}

TEST(Rc2Parameters, RefusesMalformedInput) {
    rc2::Parameters params;
    const uint8_t shortIv[] = {0x30, 0x08, 0x02, 0x01, 0x3A, 0x04, 0x03, 1, 2, 3};
    EXPECT_FALSE(rc2::DecodeParameters(shortIv, sizeof shortIv, params));
    const uint8_t nullParams[] = {0x05, 0x00};
    EXPECT_FALSE(rc2::DecodeParameters(nullParams, sizeof nullParams, params));
    const uint8_t trailing[] = {0x30, 0x03, 0x02, 0x01, 0x3A, 0x00};
    EXPECT_FALSE(rc2::DecodeParameters(trailing, sizeof trailing, params));
    const uint8_t negative[] = {0x30, 0x03, 0x02, 0x01, 0xA0};
    EXPECT_FALSE(rc2::DecodeParameters(negative, sizeof negative, params));
}

}  // namespace
