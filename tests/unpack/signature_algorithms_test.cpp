// Signers of today's algorithms in files OpenSSL signed with the fixed keys of tests/unpack/keys:
// RSA-PSS and ECDSA verify through CNG, a changed content fails them, and DSA is reported as an
// algorithm this system cannot check, never as a bad signature.
#include <gtest/gtest.h>

#include "format/service/signature_check.h"
#include "tests/support/test_support.h"
#include "tests/unpack/signature_test_support.h"
#include "unpack/signature_verify.h"

namespace {

using namespace signature_test;
using testing_support::ReadFileBytes;
using testing_support::TestDataFile;

struct Case {
    const wchar_t* file;
    LONG status;           // of the file as made
    const wchar_t* name;   // the signature algorithm shown
};

// Verifies a signed file (changed in one content byte when bent); the single signer's outcome.
LONG VerifySignedFile(const Case& c, bool bent, std::wstring& name) {
    Bytes file = ReadFileBytes(TestDataFile(c.file));
    if (bent) {
        const Bytes content = ReadFileBytes(TestDataFile(L"sig-content.bin"));
        size_t at = Find(file, Bytes(content.begin(), content.begin() + 64));
        EXPECT_NE(at, SIZE_MAX);
        if (at == SIZE_MAX) return 0;
        file[at + 10] ^= 0x01;
    }
    size_t header = OuterHeaderSize(file);
    Decoded decoded;
    Decode(decoded, Bytes(file.begin() + static_cast<std::ptrdiff_t>(header), file.end()), false, 32768);
    EXPECT_TRUE(decoded.ok) << std::hex << decoded.error;
    StoreHandle emptyStore = StoreWith({});
    std::vector<SignerCheck> checks;
    VerifyMessageSigners(decoded.message, emptyStore.get(), checks);
    EXPECT_EQ(checks.size(), 1u);
    if (checks.size() != 1) return 0;
    EXPECT_NE(checks[0].certificate, nullptr);
    name = SignatureAlgorithmName(checks[0].signerInfo,
                                  checks[0].certificate ? &checks[0].certificate->pCertInfo->SubjectPublicKeyInfo
                                                        : nullptr);
    if (checks[0].certificate) CertFreeCertificateContext(checks[0].certificate);
    return checks[0].status;
}

TEST(SignatureAlgorithms, EachAlgorithmVerifiesFailsWhenChangedOrIsNotSupported) {
    const Case cases[] = {
        {L"sig-pss-sha256.p7", 0, L"RSA-PSS SHA-256"},
        {L"sig-pss-sha256-noattr.p7", 0, L"RSA-PSS SHA-256"},
        {L"sig-ec256-sha256.p7", 0, L"ECDSA P-256 SHA-256"},
        {L"sig-ec384-sha384.p7", 0, L"ECDSA P-384 SHA-384"},
        {L"sig-ec384-sha384-noattr.p7", 0, L"ECDSA P-384 SHA-384"},
        {L"sig-carol-sha256.p7", 0, L"RSA SHA-256"},
        {L"sig-dsa-sha256.p7", kSignatureNotSupported, L"DSA SHA-256"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing_support::Narrow(c.file));
        std::wstring name;
        EXPECT_EQ(VerifySignedFile(c, false, name), c.status);
        EXPECT_EQ(name, c.name);
        // A changed content: a signature we check fails (digest or signature); one we cannot check
        // stays not checked.
        LONG bent = VerifySignedFile(c, true, name);
        if (c.status == kSignatureNotSupported) {
            EXPECT_EQ(bent, kSignatureNotSupported);
        } else {
            EXPECT_NE(bent, 0);
            EXPECT_NE(bent, -1);
            EXPECT_NE(bent, kSignatureNotSupported);
        }
    }
}

TEST(SignatureAlgorithms, CngCheckRefusesWhatCannotBeChecked) {
    // Carol's RSA key cannot have made an ECDSA signature; a signature that is no ECDSA-Sig-Value is
    // bad; a scheme we do not check is not supported.
    Bytes cer = ReadFileBytes(TestDataFile(L"carol.cer"));
    CertHandle carol(CertCreateCertificateContext(X509_ASN_ENCODING, cer.data(), static_cast<DWORD>(cer.size())));
    ASSERT_TRUE(carol);
    const CERT_PUBLIC_KEY_INFO& rsaKey = carol.get()->pCertInfo->SubjectPublicKeyInfo;
    Bytes pem = ReadFileBytes(TestDataFile(L"signer-ec-p256.pem"));
    std::vector<BYTE> der(pem.size());
    DWORD derSize = static_cast<DWORD>(der.size());
    ASSERT_TRUE(CryptStringToBinaryA(reinterpret_cast<const char*>(pem.data()), static_cast<DWORD>(pem.size()),
                                     CRYPT_STRING_BASE64HEADER, der.data(), &derSize, nullptr, nullptr));
    CertHandle ec(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), derSize));
    ASSERT_TRUE(ec);
    const CERT_PUBLIC_KEY_INFO& ecKey = ec.get()->pCertInfo->SubjectPublicKeyInfo;

    SignatureAlgorithm ecdsa;
    ecdsa.scheme = SignatureScheme::kEcdsa;
    ecdsa.digest = ecdsa.signatureHash = CALG_SHA_256;
    const std::vector<BYTE> hash(32, 0x5A);
    const BYTE notDer[] = {0x04, 0x02, 0x01, 0x01};
    const BYTE zeroR[] = {0x30, 0x06, 0x02, 0x01, 0x00, 0x02, 0x01, 0x01};
    const BYTE valid[] = {0x30, 0x06, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01};  // well formed, wrong values
    EXPECT_EQ(VerifyCngSignature(ecdsa, rsaKey, hash, valid, sizeof valid), static_cast<LONG>(NTE_BAD_PUBLIC_KEY));
    EXPECT_EQ(VerifyCngSignature(ecdsa, ecKey, hash, notDer, sizeof notDer), static_cast<LONG>(NTE_BAD_SIGNATURE));
    EXPECT_EQ(VerifyCngSignature(ecdsa, ecKey, hash, zeroR, sizeof zeroR), static_cast<LONG>(NTE_BAD_SIGNATURE));
    EXPECT_EQ(VerifyCngSignature(ecdsa, ecKey, hash, valid, sizeof valid), static_cast<LONG>(NTE_BAD_SIGNATURE));
    SignatureAlgorithm other = ecdsa;
    other.scheme = SignatureScheme::kUnsupported;
    EXPECT_FALSE(SignatureCheckable(other));
    EXPECT_EQ(VerifyCngSignature(other, ecKey, hash, valid, sizeof valid), kSignatureNotSupported);
    SignatureAlgorithm pss = ecdsa;
    pss.scheme = SignatureScheme::kRsaPss;
    pss.saltLength = 32;
    EXPECT_EQ(VerifyCngSignature(pss, ecKey, hash, valid, sizeof valid), static_cast<LONG>(NTE_BAD_PUBLIC_KEY));
}

}  // namespace
