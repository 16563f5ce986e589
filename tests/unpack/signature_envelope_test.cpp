// VerifyEnvelopeSigners on signedAndEnvelopedData trailers: OpenSSL's plain signatures and
// signatures encrypted with the content key, with hash objects fed by the test.
#include <gtest/gtest.h>

#include <cstring>

#include "format/der.h"
#include "format/service/encoding.h"
#include "tests/support/test_support.h"
#include "tests/unpack/signature_test_support.h"
#include "unpack/signature_verify.h"

namespace {

using namespace signature_test;
using testing_support::ReadFileBytes;
using testing_support::TestDataFile;

// The signer trailer of a signedAndEnvelopedData file: the certificates' and SignerInfos' contents.
struct Trailer {
    Bytes certificates;
    Bytes signerInfos;
};

bool ReadTrailer(const Bytes& file, Trailer& trailer) {
    der::Reader input(file), info, oid, explicitContent, body, skipped, certificates, signers;
    uint8_t tag = 0;
    bool hasCertificates = false;
    bool ok = input.ReadElement(der::kSequence, info) && info.ReadElement(der::kOid, oid) &&
              info.ReadElement(der::kContext0, explicitContent) &&
              explicitContent.ReadElement(der::kSequence, body);
    // version, recipientInfos, digestAlgorithms, encryptedContentInfo
    for (int i = 0; ok && i < 4; ++i) ok = body.ReadAnyElement(tag, skipped);
    ok = ok && body.ReadOptionalElement(der::kContext0, certificates, hasCertificates) &&
         body.ReadElement(der::kSet, signers) && body.empty();
    if (!ok) return false;
    trailer.certificates.assign(certificates.data(), certificates.data() + certificates.size());
    trailer.signerInfos.assign(signers.data(), signers.data() + signers.size());
    return true;
}

class EnvelopeSigners : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CryptAcquireContextW(provider_.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
        // Fixed keys: what the other key makes of a signature encrypted under the first is the
        // same on every run.
        ASSERT_TRUE(ImportFixedKey(0x11, sessionKey_));
        ASSERT_TRUE(ImportFixedKey(0x5A, otherKey_));
        content_ = ReadFileBytes(TestDataFile(L"sig-content.bin"));
        emptyStore_ = StoreWith({});
    }

    // An AES-128 key whose 16 bytes are all the given one.
    bool ImportFixedKey(BYTE fill, KeyHandle& key) {
        struct {
            BLOBHEADER header;
            DWORD size;
            BYTE bytes[16];
        } blob = {{PLAINTEXTKEYBLOB, CUR_BLOB_VERSION, 0, CALG_AES_128}, 16, {}};
        memset(blob.bytes, fill, sizeof blob.bytes);
        return CryptImportKey(provider_.get(), reinterpret_cast<const BYTE*>(&blob), sizeof blob, 0, 0, key.put()) != FALSE;
    }

    HashHandle HashOf(ALG_ID algId, const Bytes& content) {
        HashHandle hash;
        EXPECT_TRUE(CryptCreateHash(provider_.get(), algId, 0, 0, hash.put()));
        EXPECT_TRUE(CryptHashData(hash.get(), content.data(), static_cast<DWORD>(content.size()), 0));
        return hash;
    }

    // Runs the verification and returns the single entry's status (-2 when not exactly one).
    LONG Verify(const Trailer& trailer, HCRYPTHASH hash, HCRYPTKEY sessionKey, HCERTSTORE store, DWORD* verified,
                bool withCertificates = true) {
        std::vector<SignerCheck> checks;
        HCRYPTHASH hashes[] = {hash};
        *verified = VerifyEnvelopeSigners(
            store, provider_.get(), hash ? hashes : nullptr, hash ? 1 : 0, sessionKey,
            withCertificates ? trailer.certificates.data() : nullptr,
            withCertificates ? static_cast<DWORD>(trailer.certificates.size()) : 0, trailer.signerInfos.data(),
            static_cast<DWORD>(trailer.signerInfos.size()), checks);
        if (checks.size() != 1) return -2;
        lastHadCertificate_ = checks[0].certificate != nullptr;
        CertFreeCertificateContext(checks[0].certificate);
        return checks[0].status;
    }

    // The same trailer with its signature encrypted under the key, as the format prescribes.
    Trailer EncryptSignature(const Trailer& trailer, HCRYPTKEY key) {
        std::vector<uint64_t> decoded;
        EXPECT_TRUE(DecodeObject(PKCS7_SIGNER_INFO, trailer.signerInfos.data(),
                                 static_cast<DWORD>(trailer.signerInfos.size()), 0, decoded));
        CMSG_SIGNER_INFO info = *::Decoded<CMSG_SIGNER_INFO>(decoded);
        Bytes signature(info.EncryptedHash.pbData, info.EncryptedHash.pbData + info.EncryptedHash.cbData);
        DWORD size = static_cast<DWORD>(signature.size());
        signature.resize(signature.size() + 16);
        EXPECT_TRUE(CryptEncrypt(key, 0, TRUE, 0, signature.data(), &size, static_cast<DWORD>(signature.size())));
        signature.resize(size);
        info.EncryptedHash = {size, signature.data()};
        Trailer encrypted = trailer;
        EXPECT_TRUE(EncodeObject(PKCS7_SIGNER_INFO, &info, encrypted.signerInfos));
        return encrypted;
    }

    ProviderHandle provider_;
    KeyHandle sessionKey_, otherKey_;
    Bytes content_;
    StoreHandle emptyStore_;
    bool lastHadCertificate_ = false;
};

TEST_F(EnvelopeSigners, OpenSslPlainSignaturesVerifyWithOrWithoutSessionKey) {
    struct Case {
        const wchar_t* file;
        ALG_ID algId;
    };
    for (const Case& c : {Case{L"sig-type4-sha1.p7", CALG_SHA1}, Case{L"sig-type4-sha256.p7", CALG_SHA_256}}) {
        SCOPED_TRACE(testing_support::Narrow(c.file));
        Trailer trailer;
        ASSERT_TRUE(ReadTrailer(ReadFileBytes(TestDataFile(c.file)), trailer));
        DWORD verified = 0;
        HashHandle hash = HashOf(c.algId, content_);
        EXPECT_EQ(Verify(trailer, hash.get(), sessionKey_.get(), emptyStore_.get(), &verified), 0);
        EXPECT_EQ(verified, 1u);
        EXPECT_TRUE(lastHadCertificate_);
        EXPECT_EQ(Verify(trailer, hash.get(), 0, emptyStore_.get(), &verified), 0);

        // Other content: the signature does not match.
        Bytes altered = content_;
        altered[100] ^= 1;
        HashHandle wrong = HashOf(c.algId, altered);
        EXPECT_EQ(Verify(trailer, wrong.get(), sessionKey_.get(), emptyStore_.get(), &verified),
                  static_cast<LONG>(NTE_BAD_SIGNATURE));
        EXPECT_EQ(verified, 0u);
    }
}

TEST_F(EnvelopeSigners, SignatureEncryptedWithTheContentKeyVerifies) {
    Trailer trailer;
    ASSERT_TRUE(ReadTrailer(ReadFileBytes(TestDataFile(L"sig-type4-sha1.p7")), trailer));
    Trailer encrypted = EncryptSignature(trailer, sessionKey_.get());
    ASSERT_NE(encrypted.signerInfos, trailer.signerInfos);
    HashHandle hash = HashOf(CALG_SHA1, content_);
    DWORD verified = 0;
    EXPECT_EQ(Verify(encrypted, hash.get(), sessionKey_.get(), emptyStore_.get(), &verified), 0);
    EXPECT_EQ(verified, 1u);
    // Without the key, or with another one, the encrypted value is no signature.
    EXPECT_EQ(Verify(encrypted, hash.get(), 0, emptyStore_.get(), &verified), static_cast<LONG>(NTE_BAD_SIGNATURE));
    EXPECT_EQ(Verify(encrypted, hash.get(), otherKey_.get(), emptyStore_.get(), &verified),
              static_cast<LONG>(NTE_BAD_SIGNATURE));
    EXPECT_EQ(verified, 0u);
}

TEST_F(EnvelopeSigners, UncheckedWithoutHashOrCertificate) {
    Trailer trailer;
    ASSERT_TRUE(ReadTrailer(ReadFileBytes(TestDataFile(L"sig-type4-sha256.p7")), trailer));
    DWORD verified = 5;
    // Describe mode has no hash objects: listed with the certificate, not checked.
    EXPECT_EQ(Verify(trailer, 0, sessionKey_.get(), emptyStore_.get(), &verified), -1);
    EXPECT_EQ(verified, 0u);
    EXPECT_TRUE(lastHadCertificate_);
    // A hash of another algorithm than the signer's digest does not count as one.
    HashHandle sha1 = HashOf(CALG_SHA1, content_);
    EXPECT_EQ(Verify(trailer, sha1.get(), sessionKey_.get(), emptyStore_.get(), &verified), -1);
    // No certificate in the trailer: the user's store supplies it, else the signer stays unchecked.
    HashHandle sha256 = HashOf(CALG_SHA_256, content_);
    EXPECT_EQ(Verify(trailer, sha256.get(), 0, emptyStore_.get(), &verified, false), -1);
    EXPECT_FALSE(lastHadCertificate_);
    StoreHandle withCarol = StoreWith({L"carol.cer"});
    EXPECT_EQ(Verify(trailer, sha256.get(), 0, withCarol.get(), &verified, false), 0);
    EXPECT_EQ(verified, 1u);
}

// A SignerInfo that cannot be read ends the walk as a failed entry, so that the signers before it
// cannot add up to "all signatures valid".
TEST_F(EnvelopeSigners, UndecodableSignerInfoEndsTheWalkAsAFailure) {
    Trailer trailer;
    ASSERT_TRUE(ReadTrailer(ReadFileBytes(TestDataFile(L"sig-type4-sha1.p7")), trailer));
    const Bytes good = trailer.signerInfos, undecodable = {0x30, 0x03, 0x02, 0x01, 0x01};
    HashHandle hash = HashOf(CALG_SHA1, content_);
    HCRYPTHASH hashes[] = {hash.get()};
    for (bool goodFirst : {false, true}) {
        Bytes signerInfos = goodFirst ? good : Bytes();
        signerInfos.insert(signerInfos.end(), undecodable.begin(), undecodable.end());
        signerInfos.insert(signerInfos.end(), good.begin(), good.end());  // never reached
        std::vector<SignerCheck> checks;
        const DWORD verified = VerifyEnvelopeSigners(
            emptyStore_.get(), provider_.get(), hashes, 1, 0, trailer.certificates.data(),
            static_cast<DWORD>(trailer.certificates.size()), signerInfos.data(),
            static_cast<DWORD>(signerInfos.size()), checks);
        ASSERT_EQ(checks.size(), goodFirst ? 2u : 1u);
        EXPECT_EQ(verified, goodFirst ? 1u : 0u);
        if (goodFirst) {
            EXPECT_EQ(checks[0].status, 0);
        }
        EXPECT_NE(checks.back().status, 0);
        EXPECT_NE(checks.back().status, -1);
        EXPECT_EQ(checks.back().signerInfo, nullptr);
        for (SignerCheck& check : checks) CertFreeCertificateContext(check.certificate);
    }
}

}  // namespace
