#include "format/gcm.h"

#include <gtest/gtest.h>

#include "tests/format/der_bytes.h"
#include "format/auth_enveloped.h"
#include "tests/format/gcm_vectors.h"
#include "tests/format/modern_fixtures.h"

namespace {

using test_der::Bytes;
using test_der::FromHex;

// The tag of a vector from its H and E(K, Y0), the ciphertext fed in pieces of the given size.
Bytes TagOf(const gcm_vectors::Vector& v, size_t piece) {
    Bytes h = FromHex(v.hashKey), c = FromHex(v.ciphertext), a = FromHex(v.aad), ej0 = FromHex(v.encryptedJ0);
    gcm::Authenticator ghash(h.data());
    for (size_t done = 0; done < c.size(); done += piece)
        ghash.AbsorbText(c.data() + done, std::min(piece, c.size() - done));
    Bytes tag(gcm::kBlock);
    ghash.Finish(a.data(), a.size(), tag.data());
    for (size_t i = 0; i < tag.size(); ++i) tag[i] ^= ej0[i];
    return tag;
}

TEST(Gcm, GhashGivesThePublishedTagsWhateverThePieces) {
    for (const auto& v : gcm_vectors::kVectors)
        for (size_t piece : {1, 5, 16, 17, 64, 1000}) EXPECT_EQ(TagOf(v, piece), FromHex(v.tag)) << v.testCase << "/" << piece;
}

TEST(Gcm, GhashGivesTheTagOpenSslWrote) {
    const Bytes file = FromHex(modern_fixtures::kGcmEnvelope);
    const Bytes keys = FromHex(modern_fixtures::kGcmHashKeyAndEncryptedJ0);
    auth_enveloped::Header header;
    ASSERT_EQ(auth_enveloped::ReadHeader(file.data(), file.size(), header), auth_enveloped::Status::kOk);
    gcm::Authenticator ghash(keys.data());
    ghash.AbsorbText(file.data() + header.contentOffset, header.contentLength);
    Bytes tag(gcm::kBlock);
    ghash.Finish(nullptr, 0, tag.data());
    for (size_t i = 0; i < tag.size(); ++i) tag[i] ^= keys[gcm::kBlock + i];
    EXPECT_EQ(tag, Bytes(file.end() - 16, file.end()));
}

TEST(Gcm, PowerOfHMatchesRepeatedMultiplication) {
    Bytes hBytes = FromHex(gcm_vectors::kVectors[2].hashKey);
    gcm::Element h = gcm::Load(hBytes.data()), product{0x8000000000000000ull, 0};
    for (uint64_t n = 0; n < 40; ++n) {
        gcm::Element power = gcm::Power(h, n);
        EXPECT_TRUE(power.hi == product.hi && power.lo == product.lo) << n;
        product = gcm::Multiply(product, h);
    }
}

TEST(Gcm, CounterBlocksFollowTheInitialCounterAndWrapIn32Bits) {
    const uint8_t iv[gcm::kIvSize] = {0xCA, 0xFE, 0xBA, 0xBE, 0xFA, 0xCE, 0xDB, 0xAD, 0xDE, 0xCA, 0xF8, 0x88};
    uint8_t j0[gcm::kBlock];
    gcm::InitialCounter(iv, j0);
    EXPECT_EQ(Bytes(j0, j0 + 16), FromHex("cafebabefacedbaddecaf88800000001"));
    uint8_t blocks[3 * gcm::kBlock];
    gcm::CounterBlocks(j0, 0, 2, blocks);
    EXPECT_EQ(Bytes(blocks, blocks + 32), FromHex("cafebabefacedbaddecaf88800000002cafebabefacedbaddecaf88800000003"));
    gcm::CounterBlocks(j0, 0xFFFFFFFDull, 3, blocks);
    EXPECT_EQ(Bytes(blocks + 16, blocks + 48),
              FromHex("cafebabefacedbaddecaf88800000000cafebabefacedbaddecaf88800000001"));
}

TEST(Gcm, TagsEqualLooksAtEveryByte) {
    const uint8_t a[16] = {1, 2, 3}, b[16] = {1, 2, 3};
    uint8_t c[16] = {1, 2, 3};
    c[15] = 1;
    EXPECT_TRUE(gcm::TagsEqual(a, b, 16));
    EXPECT_FALSE(gcm::TagsEqual(a, c, 16));
    EXPECT_TRUE(gcm::TagsEqual(a, c, 12));
}

}  // namespace
