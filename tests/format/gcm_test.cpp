#include "format/gcm.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/format/der_bytes.h"
#include "format/auth_enveloped.h"
#include "tests/format/gcm_vectors.h"
#include "tests/format/modern_fixtures.h"

namespace {

using test_der::Bytes;
using test_der::FromHex;
using Method = gcm::Authenticator::Method;

// The multiply methods this processor can run: the tables always, the carry-less one where present.
std::vector<Method> Methods() {
    std::vector<Method> methods{Method::kTables};
    if (gcm::Authenticator::CarrylessAvailable()) methods.push_back(Method::kCarryless);
    return methods;
}

// S over the text fed in pieces of the given size (the last piece shorter), the data last.
Bytes GhashOf(Method method, const Bytes& h, const Bytes& text, const Bytes& aad, size_t piece) {
    gcm::Authenticator ghash(h.data(), method);
    EXPECT_EQ(ghash.UsedMethod(), method);
    for (size_t done = 0; done < text.size(); done += piece)
        ghash.AbsorbText(text.data() + done, std::min(piece, text.size() - done));
    Bytes s(gcm::kBlock);
    ghash.Finish(aad.data(), aad.size(), s.data());
    return s;
}

// The tag of a vector from its H and E(K, Y0), the ciphertext fed in pieces of the given size.
Bytes TagOf(const gcm_vectors::Vector& v, Method method, size_t piece) {
    Bytes tag = GhashOf(method, FromHex(v.hashKey), FromHex(v.ciphertext), FromHex(v.aad), piece);
    Bytes ej0 = FromHex(v.encryptedJ0);
    for (size_t i = 0; i < tag.size(); ++i) tag[i] ^= ej0[i];
    return tag;
}

TEST(Gcm, GhashGivesThePublishedTagsWhateverThePiecesAndMethod) {
    for (Method method : Methods())
        for (const auto& v : gcm_vectors::kVectors)
            for (size_t piece : {1, 5, 16, 17, 48, 64, 65, 1000})
                EXPECT_EQ(TagOf(v, method, piece), FromHex(v.tag))
                    << "method " << static_cast<int>(method) << " case " << v.testCase << "/" << piece;
}

TEST(Gcm, CarrylessMultiplyAgreesWithTheTablesOverManyLengths) {
    if (!gcm::Authenticator::CarrylessAvailable()) GTEST_SKIP() << "no carry-less multiply on this processor";
    // Fixed seed: lengths and bytes are the same on every run. Lengths cover the four-block
    // stride and its remainders, text and data alike.
    std::mt19937 random(20261210);
    auto bytes = [&](size_t size) {
        Bytes out(size);
        for (auto& b : out) b = static_cast<uint8_t>(random());
        return out;
    };
    for (int round = 0; round < 200; ++round) {
        const Bytes h = bytes(gcm::kBlock), text = bytes(random() % 700), aad = bytes(random() % 100);
        const size_t piece = 1 + random() % 130;
        const Bytes expected = GhashOf(Method::kTables, h, text, aad, text.size() + 1);
        EXPECT_EQ(GhashOf(Method::kCarryless, h, text, aad, piece), expected)
            << "round " << round << " text " << text.size() << " aad " << aad.size() << " piece " << piece;
    }
}

TEST(Gcm, GhashGivesTheTagOpenSslWrote) {
    const Bytes file = FromHex(modern_fixtures::kGcmEnvelope);
    const Bytes keys = FromHex(modern_fixtures::kGcmHashKeyAndEncryptedJ0);
    auth_enveloped::Header header;
    ASSERT_EQ(auth_enveloped::ReadHeader(file.data(), file.size(), header), auth_enveloped::Status::kOk);
    const Bytes h(keys.begin(), keys.begin() + gcm::kBlock);
    const Bytes text(file.begin() + header.contentOffset, file.begin() + header.contentOffset + header.contentLength);
    for (Method method : Methods()) {
        Bytes tag = GhashOf(method, h, text, {}, text.size());
        for (size_t i = 0; i < tag.size(); ++i) tag[i] ^= keys[gcm::kBlock + i];
        EXPECT_EQ(tag, Bytes(file.end() - 16, file.end())) << static_cast<int>(method);
    }
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
