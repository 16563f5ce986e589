#include "format/service/aes_gcm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "format/auth_enveloped.h"
#include "tests/format/der_bytes.h"
#include "tests/format/gcm_vectors.h"
#include "tests/format/modern_fixtures.h"

namespace {

using test_der::Bytes;
using test_der::FromHex;

struct Sealed {
    Bytes text, tag;
};

// The whole text through the stream in pieces of the given sizes (the last repeated).
Sealed Pass(bool encrypt, const Bytes& key, const Bytes& iv, const Bytes& input, const Bytes& aad,
           std::initializer_list<size_t> pieces, size_t tagSize = 16,
           gcm::Authenticator::Method method = gcm::Authenticator::Method::kAuto) {
    AesGcmStream stream;
    EXPECT_TRUE(stream.Start(key.data(), key.size(), iv.data(), method)) << GetLastError();
    Sealed out{Bytes(input.size()), Bytes(tagSize)};
    auto piece = pieces.begin();
    for (size_t done = 0; done < input.size();) {
        size_t size = std::min(*piece, input.size() - done);
        if (piece + 1 != pieces.end()) ++piece;
        bool ok = encrypt ? stream.Encrypt(input.data() + done, out.text.data() + done, size)
                          : stream.Decrypt(input.data() + done, out.text.data() + done, size);
        EXPECT_TRUE(ok) << GetLastError();
        done += size;
    }
    EXPECT_TRUE(stream.ComputeTag(aad.data(), aad.size(), out.tag.data(), tagSize));
    return out;
}

// Bytes that are not all alike, the same on every run.
Bytes Pattern(size_t size, uint32_t seed) {
    Bytes out(size);
    for (auto& b : out) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 16);
    }
    return out;
}

// The platform's one-shot GCM, which is right under Wine when it is not chained.
Sealed OneShotCng(const Bytes& key, const Bytes& iv, const Bytes& plaintext, const Bytes& aad) {
    CngAlgorithmHandle algorithm;
    CngKeyHandle cngKey;
    Sealed out{Bytes(plaintext.size()), Bytes(16)};
    EXPECT_EQ(BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_AES_ALGORITHM, nullptr, 0), 0);
    EXPECT_EQ(BCryptSetProperty(algorithm.get(), BCRYPT_CHAINING_MODE,
                                reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_GCM)),
                                sizeof BCRYPT_CHAIN_MODE_GCM, 0), 0);
    EXPECT_EQ(BCryptGenerateSymmetricKey(algorithm.get(), cngKey.put(), nullptr, 0, const_cast<PUCHAR>(key.data()),
                                         static_cast<ULONG>(key.size()), 0), 0);
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    BCRYPT_INIT_AUTH_MODE_INFO(info);
    info.pbNonce = const_cast<PUCHAR>(iv.data());
    info.cbNonce = static_cast<ULONG>(iv.size());
    info.pbAuthData = const_cast<PUCHAR>(aad.data());
    info.cbAuthData = static_cast<ULONG>(aad.size());
    info.pbTag = out.tag.data();
    info.cbTag = 16;
    ULONG written = 0;
    EXPECT_EQ(BCryptEncrypt(cngKey.get(), const_cast<PUCHAR>(plaintext.data()), static_cast<ULONG>(plaintext.size()),
                            &info, nullptr, 0, out.text.data(), static_cast<ULONG>(out.text.size()), &written, 0), 0);
    return out;
}

TEST(AesGcmStream, GivesThePublishedCiphertextsAndTagsInAnyPieces) {
    for (const auto& v : gcm_vectors::kVectors) {
        Bytes key = FromHex(v.key), iv = FromHex(v.iv), p = FromHex(v.plaintext), a = FromHex(v.aad);
        Bytes c = FromHex(v.ciphertext), t = FromHex(v.tag);
        for (auto pieces : {std::initializer_list<size_t>{1}, {7}, {16}, {17, 3}, {1000}}) {
            Sealed sealed = Pass(true, key, iv, p, a, pieces);
            EXPECT_EQ(sealed.text, c) << v.testCase;
            EXPECT_EQ(sealed.tag, t) << v.testCase;
            EXPECT_EQ(Pass(false, key, iv, c, a, pieces).text, p) << v.testCase;
        }
    }
}

// The text is long enough for the key stream's second thread, with pieces that end inside a block.
TEST(AesGcmStream, MatchesOneShotCngOverManyBatchesWithLateData) {
    const Bytes key = Pattern(32, 1), iv = Pattern(12, 2), aad = Pattern(37, 3);
    const Bytes plaintext = Pattern(64 * 65536 + 4099, 4);
    Sealed expected = OneShotCng(key, iv, plaintext, aad);
    for (auto method : {gcm::Authenticator::Method::kTables, gcm::Authenticator::Method::kAuto})
        for (auto pieces : {std::initializer_list<size_t>{65536}, {1, 15, 4095, 300001}, {plaintext.size()}}) {
            Sealed sealed = Pass(true, key, iv, plaintext, aad, pieces, 16, method);
            EXPECT_TRUE(sealed.text == expected.text);
            EXPECT_EQ(sealed.tag, expected.tag) << static_cast<int>(method);
            Sealed opened = Pass(false, key, iv, expected.text, aad, pieces, 16, method);
            EXPECT_TRUE(opened.text == plaintext);
            EXPECT_EQ(opened.tag, expected.tag);
        }
    // Started over while the second thread is ahead in the first text.
    AesGcmStream stream;
    Bytes text = plaintext;
    ASSERT_TRUE(stream.Start(key.data(), key.size(), iv.data()));
    ASSERT_TRUE(stream.Encrypt(text.data(), text.data(), 300001));
    text = plaintext;
    ASSERT_TRUE(stream.Start(key.data(), key.size(), iv.data()));
    ASSERT_TRUE(stream.Encrypt(text.data(), text.data(), text.size()));
    Bytes tag(16);
    ASSERT_TRUE(stream.ComputeTag(aad.data(), aad.size(), tag.data(), tag.size()));
    EXPECT_TRUE(text == expected.text);
    EXPECT_EQ(tag, expected.tag);
}

TEST(AesGcmStream, OpensOpenSslsEnvelopeAndRefusesAChangedTagOrText) {
    const Bytes file = FromHex(modern_fixtures::kGcmEnvelope), key = FromHex(modern_fixtures::kGcmKey);
    auth_enveloped::Header header;
    ASSERT_EQ(auth_enveloped::ReadHeader(file.data(), file.size(), header), auth_enveloped::Status::kOk);
    const Bytes iv(header.gcm.nonce, header.gcm.nonce + gcm::kIvSize);
    const Bytes ciphertext(file.begin() + header.contentOffset, file.begin() + header.contentOffset + header.contentLength);
    const Bytes mac(file.end() - header.gcm.tagSize, file.end());

    auto open = [&](const Bytes& text, const Bytes& tag, Bytes& plaintext) {
        AesGcmStream stream;
        EXPECT_TRUE(stream.Start(key.data(), key.size(), iv.data()));
        plaintext = text;  // decrypted in place
        EXPECT_TRUE(stream.Decrypt(plaintext.data(), plaintext.data(), plaintext.size()));
        return stream.CheckTag(nullptr, 0, tag.data(), tag.size());
    };
    Bytes plaintext;
    ASSERT_TRUE(open(ciphertext, mac, plaintext));
    EXPECT_EQ(std::string(plaintext.begin(), plaintext.end()), modern_fixtures::kGcmPlaintext);

    Bytes badTag = mac, badText = ciphertext;
    badTag[15] ^= 1;
    badText[0] ^= 0x80;
    EXPECT_FALSE(open(ciphertext, badTag, plaintext));
    EXPECT_EQ(GetLastError(), kGcmTagMismatch);
    EXPECT_FALSE(open(badText, mac, plaintext));
    EXPECT_EQ(GetLastError(), kGcmTagMismatch);
    // A 12-byte tag is the first 12 bytes of the full one.
    const std::string original = modern_fixtures::kGcmPlaintext;
    Sealed shortTag = Pass(true, key, iv, Bytes(original.begin(), original.end()), {}, {64}, 12);
    EXPECT_EQ(shortTag.text, ciphertext);
    EXPECT_EQ(shortTag.tag, Bytes(mac.begin(), mac.begin() + 12));
}

TEST(AesGcmStream, RefusesBadKeysAndUseAfterTheTag) {
    AesGcmStream stream;
    const uint8_t key[32] = {}, iv[12] = {};
    EXPECT_FALSE(stream.Start(key, 20, iv));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    uint8_t byte = 0, tag[16];
    EXPECT_FALSE(stream.Encrypt(&byte, &byte, 1));
    ASSERT_TRUE(stream.Start(key, 32, iv));
    ASSERT_TRUE(stream.ComputeTag(nullptr, 0, tag, 16));
    EXPECT_FALSE(stream.Encrypt(&byte, &byte, 1));
    EXPECT_FALSE(stream.ComputeTag(nullptr, 0, tag, 16));
}

}  // namespace
