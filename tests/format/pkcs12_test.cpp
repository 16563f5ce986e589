#include "format/pkcs12.h"

#include <gtest/gtest.h>

#include <string>

#include "format/algorithms.h"
#include "tests/format/der_bytes.h"

namespace {

using test_der::Bytes;
using test_der::Cat;
using test_der::Tlv;

Bytes Seq(std::initializer_list<Bytes> parts) { return Tlv(der::kSequence, Cat(parts)); }
Bytes Oid(const Bytes& value) { return Tlv(der::kOid, value); }
Bytes Octets(const Bytes& value) { return Tlv(der::kOctetString, value); }
Bytes Int(uint8_t value) { return Tlv(der::kInteger, {value}); }
Bytes Explicit0(const Bytes& inner) { return Tlv(der::kContext0, inner); }

const Bytes kData = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
const Bytes kEncryptedData = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x06};
const Bytes kKeyBag = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x0A, 0x01, 0x01};
const Bytes kShroudedKeyBag = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x0A, 0x01, 0x02};
const Bytes kCertBag = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x0A, 0x01, 0x03};
const Bytes kX509 = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x16, 0x01};
const Bytes kLocalKeyId = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x15};
const Bytes kFriendlyName = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x14};
const Bytes kPbeSha3Des = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x01, 0x03};
const Bytes kPbeShaRc2_40 = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x01, 0x06};
const Bytes kPbes2 = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x05, 0x0D};
const Bytes kPbkdf2 = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x05, 0x0C};
const Bytes kHmacSha256 = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x09};
const Bytes kAes256Cbc = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x2A};
const Bytes kAes128Cbc = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x02};
const Bytes kDesEde3Cbc = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x07};
const Bytes kSha1 = {0x2B, 0x0E, 0x03, 0x02, 0x1A};
const Bytes kNull = {0x05, 0x00};
const Bytes kSalt = {1, 2, 3, 4, 5, 6, 7, 8};
const Bytes kIv16 = Bytes(16, 0xAB);
const Bytes kIv8 = Bytes(8, 0xCD);

Bytes Pbes1(const Bytes& oid, const Bytes& iterations = Int(8)) { return Seq({Oid(oid), Seq({Octets(kSalt), iterations})}); }
Bytes Pbkdf2Params(const Bytes& extra) { return Seq({Oid(kPbkdf2), Seq({Octets(kSalt), Tlv(der::kInteger, {0x08, 0x00}), extra})}); }
Bytes Pbes2(const Bytes& kdf, const Bytes& cipherOid, const Bytes& iv) {
    return Seq({Oid(kPbes2), Seq({kdf, Seq({Oid(cipherOid), Octets(iv)})})});
}

struct EncryptionCase {
    const char* label;
    Bytes algorithm;
    bool pbes2;
    uint32_t cipher;
    size_t keySize;
    uint32_t digest;
    uint32_t iterations;
    size_t ivSize;
    uint32_t rc2Bits;
};

TEST(Pkcs12Encryption, ReadsTheSchemesOfOpenSslFiles) {
    const Bytes prfSha256 = Seq({Oid(kHmacSha256), kNull});
    const EncryptionCase cases[] = {
        {"pbeWithSHAAnd3-KeyTripleDES-CBC", Pbes1(kPbeSha3Des), false, alg::k3Des, 24, alg::kSha1, 8, 0, 0},
        {"pbeWithSHAAnd40BitRC2-CBC", Pbes1(kPbeShaRc2_40), false, alg::kRc2, 5, alg::kSha1, 8, 0, 40},
        {"PBES2 AES-256 hmacWithSHA256", Pbes2(Pbkdf2Params(prfSha256), kAes256Cbc, kIv16), true, alg::kAes256,
         32, alg::kSha256, 2048, 16, 0},
        {"PBES2 no prf: hmacWithSHA1", Pbes2(Pbkdf2Params({}), kAes128Cbc, kIv16), true, alg::kAes128, 16,
         alg::kSha1, 2048, 16, 0},
        {"PBES2 des-ede3-cbc, key length given", Pbes2(Pbkdf2Params(Int(24)), kDesEde3Cbc, kIv8), true,
         alg::k3Des, 24, alg::kSha1, 2048, 8, 0},
    };
    for (const EncryptionCase& c : cases) {
        SCOPED_TRACE(c.label);
        pkcs12::Encryption e;
        ASSERT_TRUE(pkcs12::ParseEncryption(der::Reader(c.algorithm), e));
        EXPECT_EQ(e.pbes2, c.pbes2);
        EXPECT_EQ(e.cipher, c.cipher);
        EXPECT_EQ(e.keySize, c.keySize);
        EXPECT_EQ(e.digest.algId, c.digest);
        EXPECT_EQ(e.iterations, c.iterations);
        EXPECT_EQ(e.iv.size(), c.ivSize);
        EXPECT_EQ(e.rc2EffectiveBits, c.rc2Bits);
        EXPECT_EQ(Bytes(e.salt.data(), e.salt.data() + e.salt.size()), kSalt);
    }
}

TEST(Pkcs12Encryption, RefusesWhatItCannotDecrypt) {
    const struct {
        const char* label;
        Bytes algorithm;
    } cases[] = {
        {"PBES2 key length not the cipher's", Pbes2(Pbkdf2Params(Int(16)), kAes256Cbc, kIv16)},
        {"PBES2 IV of the wrong size", Pbes2(Pbkdf2Params({}), kAes256Cbc, kIv8)},
        {"PBES2 unknown prf", Pbes2(Pbkdf2Params(Seq({Oid(kSha1)})), kAes256Cbc, kIv16)},
        {"PBES2 unknown cipher", Pbes2(Pbkdf2Params({}), kSha1, kIv16)},
        {"no iterations", Pbes1(kPbeSha3Des, Int(0))},
        {"unknown scheme", Pbes1(kSha1)},
        {"trailing bytes", Cat({Pbes1(kPbeSha3Des), kNull})},
    };
    for (const auto& c : cases) {
        pkcs12::Encryption e;
        EXPECT_FALSE(pkcs12::ParseEncryption(der::Reader(c.algorithm), e)) << c.label;
    }
}

// A file as OpenSSL lays it out: a plain part with a shrouded key and a key bag, an encrypted part
// (the certificates), and a SHA-1 MAC.
struct SampleFile {
    Bytes privateKeyInfo = Seq({Int(0), Seq({Oid({0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01}), kNull}),
                                Octets({0x30, 0x00})});
    Bytes ciphertext = Bytes(24, 0x5A);
    Bytes localKeyId = {0xA1, 0xB2, 0xC3};
    Bytes attributes = Tlv(der::kSet, Cat({Seq({Oid(kFriendlyName), Tlv(der::kSet, Tlv(0x1E, {0, 'k'}))}),
                                          Seq({Oid(kLocalKeyId), Tlv(der::kSet, Octets(localKeyId))})}));
    Bytes safeContents = Seq({
        Seq({Oid(kShroudedKeyBag), Explicit0(Seq({Pbes1(kPbeSha3Des), Octets(ciphertext)})), attributes}),
        Seq({Oid(kKeyBag), Explicit0(privateKeyInfo)}),
        Seq({Oid(kCertBag), Explicit0(Seq({Oid(kX509), Explicit0(Octets({0x30, 0x01, 0x07}))}))}),
    });
    Bytes encryptedPart = Seq({Oid(kEncryptedData),
                               Explicit0(Seq({Int(0), Seq({Oid(kData), Pbes1(kPbeShaRc2_40),
                                                           Tlv(der::kContext0Primitive, ciphertext)})}))});
    Bytes authSafe = Seq({Seq({Oid(kData), Explicit0(Octets(safeContents))}), encryptedPart});
    Bytes mac = Seq({Seq({Seq({Oid(kSha1), kNull}), Octets(Bytes(20, 0x11))}), Octets(kSalt), Tlv(der::kInteger, {0x08, 0x00})});
    Bytes version = Int(3);
    Bytes file = Seq({version, Seq({Oid(kData), Explicit0(Octets(authSafe))}), mac});
};

Bytes View(const der::Reader& r) { return Bytes(r.data(), r.data() + r.size()); }

TEST(Pkcs12File, ReadsDownToTheBags) {
    SampleFile sample;
    pkcs12::Pfx pfx;
    ASSERT_TRUE(pkcs12::ParsePfx(der::Reader(sample.file), pfx));
    EXPECT_EQ(View(pfx.authSafe), sample.authSafe);
    ASSERT_TRUE(pfx.hasMac);
    EXPECT_EQ(pfx.mac.digest.algId, alg::kSha1);
    EXPECT_EQ(pfx.mac.iterations, 2048u);
    EXPECT_EQ(View(pfx.mac.salt), kSalt);

    std::vector<pkcs12::SafePart> parts;
    ASSERT_TRUE(pkcs12::ParseAuthenticatedSafe(pfx.authSafe, parts));
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_FALSE(parts[0].encrypted);
    EXPECT_TRUE(parts[1].encrypted);
    EXPECT_EQ(parts[1].sealed.encryption.rc2EffectiveBits, 40u);
    EXPECT_EQ(View(parts[1].sealed.ciphertext), sample.ciphertext);

    std::vector<pkcs12::SafeBag> bags;
    ASSERT_TRUE(pkcs12::ParseSafeContents(parts[0].contents, bags));
    ASSERT_EQ(bags.size(), 3u);
    EXPECT_EQ(bags[0].type, pkcs12::BagType::kShroudedKey);
    EXPECT_EQ(bags[0].shrouded.encryption.cipher, alg::k3Des);
    EXPECT_EQ(View(bags[0].shrouded.ciphertext), sample.ciphertext);
    EXPECT_EQ(View(bags[0].localKeyId), sample.localKeyId);
    EXPECT_EQ(bags[1].type, pkcs12::BagType::kKey);
    EXPECT_EQ(View(bags[1].privateKeyInfo), sample.privateKeyInfo);
    EXPECT_TRUE(bags[1].localKeyId.empty());
    EXPECT_EQ(bags[2].type, pkcs12::BagType::kCertificate);
    EXPECT_EQ(View(bags[2].certificate), (Bytes{0x30, 0x01, 0x07}));
}

TEST(Pkcs12File, RefusesEveryCutAndAWrongVersion) {
    SampleFile sample;
    pkcs12::Pfx pfx;
    for (size_t size = 0; size < sample.file.size(); ++size)
        EXPECT_FALSE(pkcs12::ParsePfx(der::Reader(sample.file.data(), size), pfx)) << size;
    SampleFile version2;
    version2.version = Int(2);
    version2.file = Seq({version2.version, Seq({Oid(kData), Explicit0(Octets(version2.authSafe))}), version2.mac});
    EXPECT_FALSE(pkcs12::ParsePfx(der::Reader(version2.file), pfx));
}

TEST(Pkcs12Password, BmpAndUtf8Forms) {
    EXPECT_EQ(pkcs12::BmpPassword(u""), (Bytes{0, 0}));
    EXPECT_EQ(pkcs12::BmpPassword(u"Aя"), (Bytes{0x00, 0x41, 0x04, 0x4F, 0, 0}));
    EXPECT_EQ(pkcs12::Utf8Password(u""), Bytes{});
    EXPECT_EQ(pkcs12::Utf8Password(u"Aя€"), (Bytes{0x41, 0xD1, 0x8F, 0xE2, 0x82, 0xAC}));
    EXPECT_EQ(pkcs12::Utf8Password(u"\U0001F511"), (Bytes{0xF0, 0x9F, 0x94, 0x91}));
    EXPECT_EQ(pkcs12::Utf8Password(std::u16string(1, char16_t(0xD800))), (Bytes{0xEF, 0xBF, 0xBD}));
}

// A recording hash: returns fixed digests in turn and keeps what it was given.
struct RecordingHash {
    std::vector<Bytes> inputs;
    std::vector<Bytes> outputs;
    pkcs12::HashFunction Function() {
        return [this](const uint8_t* data, size_t size, Bytes& digest) {
            inputs.emplace_back(data, data + size);
            digest = outputs[(inputs.size() - 1) % outputs.size()];
            return true;
        };
    }
};

TEST(Pkcs12Derive, BuildsTheBlocksAndAddsEachOutputToTheNext) {
    // Block 4 bytes, digest 2 bytes: D = id x4, S = salt repeated to 4, P = password repeated to 4.
    const pkcs12::Digest digest{0, 2, 4};
    const Bytes salt = {0x01, 0x02};
    const Bytes password = {0x00, 0x41, 0xFF, 0xFF, 0xFF};  // 5 bytes: repeated to 8
    RecordingHash hash;
    hash.outputs = {{0x00, 0x01}, {0x10, 0x20}};
    Bytes out;
    ASSERT_TRUE(pkcs12::Pkcs12Derive(digest, hash.Function(), pkcs12::kKeyMaterial, password, der::Reader(salt), 1, 3,
                                     out));
    ASSERT_EQ(hash.inputs.size(), 2u);
    EXPECT_EQ(hash.inputs[0], (Bytes{1, 1, 1, 1, 0x01, 0x02, 0x01, 0x02, 0x00, 0x41, 0xFF, 0xFF, 0xFF, 0x00, 0x41,
                                     0xFF}));
    // Each block of I plus B (00 01 00 01) plus 1, the carry running through the block.
    EXPECT_EQ(hash.inputs[1], (Bytes{1, 1, 1, 1, 0x01, 0x03, 0x01, 0x04, 0x00, 0x43, 0x00, 0x01, 0xFF, 0x01, 0x42,
                                     0x01}));
    EXPECT_EQ(out, (Bytes{0x00, 0x01, 0x10}));
}

TEST(Pkcs12Derive, IteratesTheHashOverItsOwnOutput) {
    const pkcs12::Digest digest{0, 2, 4};
    RecordingHash hash;
    hash.outputs = {{0xAA, 0xBB}, {0xCC, 0xDD}, {0xEE, 0xFF}};
    Bytes out;
    ASSERT_TRUE(pkcs12::Pkcs12Derive(digest, hash.Function(), pkcs12::kMacMaterial, {}, der::Reader(), 3, 2, out));
    ASSERT_EQ(hash.inputs.size(), 3u);
    EXPECT_EQ(hash.inputs[0], (Bytes{3, 3, 3, 3}));  // no salt, no password: D alone
    EXPECT_EQ(hash.inputs[1], (Bytes{0xAA, 0xBB}));
    EXPECT_EQ(hash.inputs[2], (Bytes{0xCC, 0xDD}));
    EXPECT_EQ(out, (Bytes{0xEE, 0xFF}));
}

TEST(Pbkdf2, XorsTheRoundsOfEachNumberedBlock) {
    RecordingHash prf;
    prf.outputs = {{0x01, 0x02}, {0x10, 0x20}, {0x0F, 0x0F}};
    const Bytes salt = {0x73};
    Bytes out;
    ASSERT_TRUE(pkcs12::Pbkdf2(prf.Function(), 2, der::Reader(salt), 3, 3, out));
    ASSERT_EQ(prf.inputs.size(), 6u);
    EXPECT_EQ(prf.inputs[0], (Bytes{0x73, 0, 0, 0, 1}));
    EXPECT_EQ(prf.inputs[1], (Bytes{0x01, 0x02}));
    EXPECT_EQ(prf.inputs[3], (Bytes{0x73, 0, 0, 0, 2}));
    // 01 02 ^ 10 20 ^ 0F 0F, then the first byte of the second block's value, the same.
    EXPECT_EQ(out, (Bytes{0x1E, 0x2D, 0x1E}));
}

}  // namespace
