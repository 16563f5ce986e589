#include "format/pkcs8.h"

#include <gtest/gtest.h>

#include "tests/format/der_bytes.h"

namespace {

using test_der::Bytes;
using test_der::Cat;
using test_der::Tlv;

Bytes Int(const Bytes& content) { return Tlv(der::kInteger, content); }

const Bytes kRsaAlgorithm = Tlv(der::kSequence, Cat({Tlv(der::kOid, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01}),
                                                    {0x05, 0x00}}));

// A toy 32-bit key laid out as OpenSSL writes one: sign bytes where the top bit is set, and d and
// exponent1 a byte short of their widths.
struct ToyKey {
    Bytes version = Int({0x00});
    Bytes n = Int({0x00, 0xC1, 0x02, 0x03, 0x04});
    Bytes e = Int({0x01, 0x00, 0x01});
    Bytes d = Int({0x11, 0x22, 0x33});
    Bytes p = Int({0x00, 0xF1, 0x02});
    Bytes q = Int({0x00, 0xE1, 0x03});
    Bytes dp = Int({0x05});
    Bytes dq = Int({0x00, 0x80, 0x06});
    Bytes qinv = Int({0x07, 0x08});
    Bytes Rsa() const { return Tlv(der::kSequence, Cat({version, n, e, d, p, q, dp, dq, qinv})); }
    Bytes Info() const {
        return Tlv(der::kSequence, Cat({Int({0x00}), kRsaAlgorithm, Tlv(der::kOctetString, Rsa())}));
    }
};

TEST(Pkcs8, BuildsAFullWidthLittleEndianKeyBlob) {
    ToyKey toy;
    Bytes info = toy.Info();
    pkcs8::RsaPrivateKey key;
    ASSERT_TRUE(pkcs8::ParsePrivateKeyInfo(der::Reader(info), key));
    Bytes blob;
    ASSERT_TRUE(pkcs8::BuildPrivateKeyBlob(key, blob));
    const Bytes expected = {
        0x07, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00,  // PRIVATEKEYBLOB, version 2, CALG_RSA_KEYX
        'R', 'S', 'A', '2', 32, 0, 0, 0, 0x01, 0x00, 0x01, 0x00,  // magic, bit length, public exponent
        0x04, 0x03, 0x02, 0xC1,  // modulus
        0x02, 0xF1, 0x03, 0xE1,  // prime1, prime2
        0x05, 0x00, 0x06, 0x80,  // exponent1 (padded), exponent2
        0x08, 0x07,              // coefficient
        0x33, 0x22, 0x11, 0x00,  // private exponent (padded)
    };
    EXPECT_EQ(blob, expected);
    EXPECT_EQ(blob.size(), pkcs8::PrivateKeyBlobSize(32));
}

TEST(Pkcs8, RefusesWhatTheBlobCannotHold) {
    struct Case {
        const char* label;
        void (*change)(ToyKey&);
        bool parses;
    };
    const Case cases[] = {
        {"a prime wider than half the modulus", [](ToyKey& k) { k.p = Int({0x01, 0x02, 0x03}); }, true},
        {"a public exponent over 32 bits", [](ToyKey& k) { k.e = Int({0x01, 0x00, 0x00, 0x00, 0x01}); }, true},
        {"a negative part", [](ToyKey& k) { k.qinv = Int({0x87}); }, false},
        {"a zero modulus", [](ToyKey& k) { k.n = Int({0x00}); }, false},
        {"more than two primes", [](ToyKey& k) { k.version = Int({0x01}); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ToyKey toy;
        c.change(toy);
        Bytes info = toy.Info();
        pkcs8::RsaPrivateKey key;
        ASSERT_EQ(pkcs8::ParsePrivateKeyInfo(der::Reader(info), key), c.parses);
        Bytes blob;
        if (c.parses) {
            EXPECT_FALSE(pkcs8::BuildPrivateKeyBlob(key, blob));
        }
    }
}

TEST(Pkcs8, RefusesAnotherAlgorithm) {
    ToyKey toy;
    const Bytes ecAlgorithm = Tlv(der::kSequence, Tlv(der::kOid, {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01}));
    Bytes info = Tlv(der::kSequence, Cat({Int({0x00}), ecAlgorithm, Tlv(der::kOctetString, toy.Rsa())}));
    pkcs8::RsaPrivateKey key;
    EXPECT_FALSE(pkcs8::ParsePrivateKeyInfo(der::Reader(info), key));
}

TEST(Pkcs8, MatchesOnlyItsOwnPublicKey) {
    ToyKey toy;
    Bytes info = toy.Info();
    pkcs8::RsaPrivateKey key;
    ASSERT_TRUE(pkcs8::ParsePrivateKeyInfo(der::Reader(info), key));
    auto publicKey = [](const Bytes& n, const Bytes& e) { return Tlv(der::kSequence, Cat({Int(n), Int(e)})); };
    EXPECT_TRUE(pkcs8::MatchesPublicKey(key, der::Reader(publicKey({0x00, 0xC1, 0x02, 0x03, 0x04}, {0x01, 0x00, 0x01}))));
    EXPECT_FALSE(pkcs8::MatchesPublicKey(key, der::Reader(publicKey({0x00, 0xC1, 0x02, 0x03, 0x05}, {0x01, 0x00, 0x01}))));
    EXPECT_FALSE(pkcs8::MatchesPublicKey(key, der::Reader(publicKey({0x00, 0xC1, 0x02, 0x03, 0x04}, {0x03}))));
}

}  // namespace
