#include "format/service/pkcs12_keys.h"

#include <gtest/gtest.h>

#include <string>

#include "format/algorithms.h"
#include "format/pkcs8.h"
#include "format/secret_bytes.h"
#include "format/service/crypto_handles.h"
#include "tests/support/test_support.h"

namespace {

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string ToHex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

const pkcs12::Digest kSha1{alg::kSha1, 20, 64};
const pkcs12::Digest kSha256{alg::kSha256, 32, 64};

// Expected values from OpenSSL's PKCS12KDF and PBKDF2 with the same inputs.
struct DeriveCase {
    const char* label;
    bool pbes2;
    pkcs12::Digest digest;
    uint32_t cipher;
    const wchar_t* password;
    const char* saltHex;
    uint32_t iterations;
    const char* keyHex;
    const char* ivHex;  // PKCS#12 derivation only
};

const DeriveCase kDeriveCases[] = {
    {"3des sha1", false, kSha1, alg::k3Des, L"test", "0102030405060708", 2048,
     "F559D31654951FDA49F213311C1B8EBF8B35905EBDBBEDF1", "A397BD4CB53D270D"},
    {"several blocks, non-ASCII", false, kSha1, alg::k3Des, L"Quill пароль", "0102030405060708", 3,
     "E3682A5D7C42B923D19430AAF9E8CDE5D6339684ECCD27B5FCE617A8F20F5EB8D53CF123876EA624", "3F36A468D108A15B"},
    {"sha256, 16-byte iv", false, kSha256, alg::kAes256, L"test", "0102030405060708", 2048,
     "5112571BB9960D8D893C5DEF1782F01088FF841FDB81C393ED9838999E61C995", "9FA34D404D43FD437AF2B614E0260780"},
    {"pbkdf2 sha256 utf-8", true, kSha256, alg::kAes256, L"пароль", "0102030405060708", 2048,
     "3B838703A3EAC7D1692BA2C46B89A9733DE7681B32A2D16C5BAF8F62F1D740B9", nullptr},
    {"pbkdf2 sha1", true, kSha1, alg::k3Des, L"password", "73616C74", 2, "EA6C014DC72D6F8CCD1ED92ACE1D41F0D8DE8957",
     nullptr},
    {"pbkdf2 key longer than the block, two blocks", true, kSha256, alg::kAes256,
     L"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx",
     "73616C74", 3,
     "59BFA49750DD5462CE38370A1E7ABE0736FF334CF1C2F0D84F23A03435D660D1537367BCFB776A103C5CCEE2FB714FB7", nullptr},
    {"pbkdf2 empty password", true, kSha1, alg::k3Des, L"", "0102030405060708", 5,
     "69AA2AC7ECED6E82736194C22035F91A8C0C1D7DAB2E76D0", nullptr},
};

TEST(Pkcs12Keys, DerivesWhatOpenSslDerives) {
    for (const DeriveCase& c : kDeriveCases) {
        SCOPED_TRACE(c.label);
        std::vector<uint8_t> salt = FromHex(c.saltHex);
        std::vector<uint8_t> givenIv = FromHex("000102030405060708090A0B0C0D0E0F");
        pkcs12::Encryption encryption;
        encryption.pbes2 = c.pbes2;
        encryption.digest = c.digest;
        encryption.cipher = c.cipher;
        encryption.keySize = std::string(c.keyHex).size() / 2;
        encryption.salt = der::Reader(salt);
        encryption.iterations = c.iterations;
        encryption.iv = der::Reader(givenIv);
        SecretBytes key;
        std::vector<uint8_t> iv;
        ASSERT_TRUE(DerivePkcs12KeyAndIv(encryption, c.password, key, iv)) << GetLastError();
        EXPECT_EQ(ToHex(key.bytes()), c.keyHex);
        EXPECT_EQ(ToHex(iv), c.ivHex ? c.ivHex : ToHex(givenIv));
    }
}

TEST(Pkcs12Keys, RefusesWhatIsNotAPkcs12File) {
    std::vector<SecretBytes> keys;
    for (const std::string& hex : {std::string(), std::string("3000"), std::string("3003020103")}) {
        SetLastError(0);
        EXPECT_FALSE(ReadPkcs12PrivateKeys(FromHex(hex), L"test", keys)) << hex;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA)) << hex;
    }
    EXPECT_TRUE(keys.empty());
}

}  // namespace

namespace {

// The importer's own reading of the suite's key files, whatever their part widths came out as: the
// key read from the file is the certificate's (it signs what the certificate's public key verifies).
TEST(Pkcs12Keys, KeysReadFromTheFileSignForTheirCertificates) {
    for (const wchar_t* name : {L"alice", L"bob", L"carol", L"dave"}) {
        SCOPED_TRACE(testing_support::Narrow(name));
        std::vector<BYTE> file = testing_support::ReadFileBytes(testing_support::TestDataFile(std::wstring(name) + L".p12"));
        CertHandle certificate = testing_support::LoadCertificateFile(testing_support::TestDataFile(std::wstring(name) + L".cer"));
        ASSERT_TRUE(certificate);
        std::vector<SecretBytes> keys;
        ASSERT_TRUE(ReadPkcs12PrivateKeys(file, L"test", keys));
        const CRYPT_BIT_BLOB& publicKey = certificate.get()->pCertInfo->SubjectPublicKeyInfo.PublicKey;
        std::vector<uint8_t> blob;
        for (const SecretBytes& info : keys) {
            pkcs8::RsaPrivateKey key;
            if (pkcs8::ParsePrivateKeyInfo(der::Reader(info.bytes()), key) &&
                pkcs8::MatchesPublicKey(key, der::Reader(publicKey.pbData, publicKey.cbData))) {
                ASSERT_TRUE(pkcs8::BuildPrivateKeyBlob(key, blob));
            }
        }
        ASSERT_FALSE(blob.empty()) << "no key of the file belongs to the certificate";
        ProviderHandle provider;
        ASSERT_TRUE(CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
        KeyHandle privateKey, certificateKey;
        ASSERT_TRUE(CryptImportKey(provider.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0, privateKey.put()));
        const BYTE probe[] = "signed with the key read from the file";
        HashHandle hash;
        ASSERT_TRUE(CryptCreateHash(provider.get(), CALG_SHA1, 0, 0, hash.put()));
        ASSERT_TRUE(CryptHashData(hash.get(), probe, sizeof probe, 0));
        BYTE signature[512];
        DWORD size = sizeof signature;
        ASSERT_TRUE(CryptSignHashW(hash.get(), AT_KEYEXCHANGE, nullptr, 0, signature, &size));
        ASSERT_TRUE(CryptImportPublicKeyInfo(provider.get(), X509_ASN_ENCODING,
                                             &certificate.get()->pCertInfo->SubjectPublicKeyInfo, certificateKey.put()));
        EXPECT_TRUE(CryptVerifySignatureW(hash.get(), signature, size, certificateKey.get(), nullptr, 0));
    }
}

}  // namespace
