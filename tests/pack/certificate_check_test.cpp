#include "pack/certificate_check.h"

#include <gtest/gtest.h>

#include "format/service/encoding.h"
#include "format/service/resources.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::TestDataFile;

const std::wstring kUseIt = L"\r\nВы хотите его использовать?";
const std::wstring kChainPrefix = L"не действителен.\r\nПроверка целостности цепочки сертификатов завершилась с ошибкой:\r\n";
const std::wstring kNoUsage = L"не имеет допуска для шифрования данных.";
const std::wstring kExpired = L"уже истек или ещё не наступил.";

CertHandle TestCertificate(const wchar_t* name) {
    CertHandle certificate = testing_support::LoadCertificateFile(TestDataFile(name));
    EXPECT_TRUE(certificate) << testing_support::Narrow(name);
    return certificate;
}

// Describes a certificate made here: an unsigned (junk signature) self-issued certificate with
// the public key of alice, so that names, dates, serials and key usage can be chosen freely.
struct CertificateSpec {
    std::wstring subject = L"CN=Made Here";
    WORD fromYear = 2020;
    WORD toYear = 2090;
    int keyUsage = -1;  // first key usage byte; -1: no key usage extension
    std::vector<BYTE> serialLittleEndian{0x01};
};

CertHandle MakeCertificate(const CertificateSpec& spec) {
    CertHandle alice = TestCertificate(L"alice.cer");
    if (!alice) return CertHandle();
    DWORD nameSize = 0;
    if (!CertStrToNameW(X509_ASN_ENCODING, spec.subject.c_str(), CERT_X500_NAME_STR, nullptr, nullptr, &nameSize,
                        nullptr))
        return CertHandle();
    std::vector<BYTE> name(nameSize);
    CertStrToNameW(X509_ASN_ENCODING, spec.subject.c_str(), CERT_X500_NAME_STR, nullptr, name.data(), &nameSize,
                   nullptr);

    CERT_INFO info = {};
    info.dwVersion = CERT_V3;
    std::vector<BYTE> serial = spec.serialLittleEndian;
    info.SerialNumber = {static_cast<DWORD>(serial.size()), serial.data()};
    info.SignatureAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_SHA1RSA);
    info.Issuer = info.Subject = {nameSize, name.data()};
    SYSTEMTIME from = {spec.fromYear, 1, 0, 1, 0, 0, 0, 0}, to = {spec.toYear, 1, 0, 1, 0, 0, 0, 0};
    SystemTimeToFileTime(&from, &info.NotBefore);
    SystemTimeToFileTime(&to, &info.NotAfter);
    info.SubjectPublicKeyInfo = alice.get()->pCertInfo->SubjectPublicKeyInfo;

    BYTE usage = static_cast<BYTE>(spec.keyUsage);
    CRYPT_BIT_BLOB usageBits = {1, &usage, 0};
    std::vector<BYTE> usageEncoded;
    CERT_EXTENSION extension = {};
    if (spec.keyUsage >= 0) {
        if (!EncodeObject(X509_KEY_USAGE, &usageBits, usageEncoded)) return CertHandle();
        extension.pszObjId = const_cast<LPSTR>(szOID_KEY_USAGE);
        extension.fCritical = TRUE;
        extension.Value = {static_cast<DWORD>(usageEncoded.size()), usageEncoded.data()};
        info.cExtension = 1;
        info.rgExtension = &extension;
    }
    std::vector<BYTE> toBeSigned, encoded;
    if (!EncodeObject(X509_CERT_TO_BE_SIGNED, &info, toBeSigned)) return CertHandle();
    BYTE junk[64] = {1, 2, 3};
    CERT_SIGNED_CONTENT_INFO signedInfo = {};
    signedInfo.ToBeSigned = {static_cast<DWORD>(toBeSigned.size()), toBeSigned.data()};
    signedInfo.SignatureAlgorithm = info.SignatureAlgorithm;
    signedInfo.Signature = {sizeof(junk), junk, 0};
    if (!EncodeObject(X509_CERT, &signedInfo, encoded)) return CertHandle();
    return CertHandle(CertCreateCertificateContext(kMessageEncoding, encoded.data(), static_cast<DWORD>(encoded.size())));
}

// The short date the user's locale writes for midnight UTC of 1 January of the year, in local time.
std::wstring LocalShortDate(WORD year) {
    SYSTEMTIME utc = {year, 1, 0, 1, 0, 0, 0, 0}, local = {};
    SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local);
    wchar_t text[64];
    int n = GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &local, nullptr, text, 64);
    return n > 1 ? std::wstring(text, n - 1) : std::wstring();
}

DWORD RealChainStatus(PCCERT_CONTEXT certificate) {
    CERT_CHAIN_PARA parameters = {};
    parameters.cbSize = sizeof(parameters);
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, nullptr, &parameters, 0, nullptr, &chain)) return 0;
    DWORD status = chain->TrustStatus.dwErrorStatus;
    CertFreeCertificateChain(chain);
    return status;
}

TEST(DescribeCertificate, NamesDateAndSerial) {
    CertHandle expired = TestCertificate(L"expired.cer");
    ASSERT_TRUE(expired);
    // The suite's CA gave this certificate the serial 0x1004.
    EXPECT_EQ(DescribeCertificate(expired.get()),
              L"Сертификат\r\n\tКому выдан: Expired Signer, Quillarent Tests\r\n"
              L"\tКем выдан: Quill Test CA, Quillarent Tests\r\n\tДействителен до: " +
                  LocalShortDate(2020) + L"\r\n\tСерийный номер: 10 04\r\n");
}

TEST(DescribeCertificate, SerialIsMostSignificantFirst) {
    BYTE bytes[] = {0x0F, 0xA0, 0x00, 0xC1};  // little-endian, as the platform keeps it
    CRYPT_INTEGER_BLOB serial = {sizeof(bytes), bytes};
    EXPECT_EQ(SerialNumberText(serial), L"C1 00 A0 0F");
    CRYPT_INTEGER_BLOB empty = {0, nullptr};
    EXPECT_EQ(SerialNumberText(empty), L"");

    CertificateSpec spec;
    spec.serialLittleEndian = {0x34, 0x12, 0xAB};
    CertHandle made = MakeCertificate(spec);
    ASSERT_TRUE(made);
    std::wstring text = DescribeCertificate(made.get());
    EXPECT_NE(text.find(L"\tСерийный номер: AB 12 34\r\n"), std::wstring::npos) << testing_support::Narrow(text);
    EXPECT_NE(text.find(L"\tДействителен до: " + LocalShortDate(2090) + L"\r\n"), std::wstring::npos);
}

TEST(ChainStatusText, SingleValuesHaveTextsOthersHex) {
    EXPECT_EQ(ChainStatusText(0), L"сертификат и цепочка связанных сертификатов не содержат ошибок.");
    EXPECT_EQ(ChainStatusText(CERT_TRUST_IS_UNTRUSTED_ROOT),
              L"сертификат или некоторые связанные сертификаты из цепочки выпущены не доверительным центром сертификации.");
    EXPECT_EQ(ChainStatusText(CERT_TRUST_IS_PARTIAL_CHAIN), L"цепочка связанных сертификатов не полная.");
    EXPECT_EQ(ChainStatusText(CERT_TRUST_CTL_IS_NOT_VALID_FOR_USAGE),
              L"Некоторые связанные сертификаты, использованные для создания цепочки, не имеют необходимых назначений.");
    for (DWORD id = 601; id <= 613; ++id) EXPECT_FALSE(LoadText(id).empty()) << id;
    EXPECT_EQ(ChainStatusText(CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_NOT_TIME_VALID), L"0x00000021");
    EXPECT_EQ(ChainStatusText(0x00000100), L"0x00000100");
    EXPECT_EQ(ChainStatusText(0x01010000), L"0x01010000");
}

TEST(CheckCertificate, ExpiredCertificateAsksFirst) {
    CertHandle expired = TestCertificate(L"expired.cer");
    ASSERT_TRUE(expired);
    std::wstring question;
    EXPECT_EQ(CheckCertificate(expired.get(), TRUE, question), static_cast<DWORD>(CERT_E_EXPIRED));
    EXPECT_EQ(question, DescribeCertificate(expired.get()) + kExpired + kUseIt);
    EXPECT_EQ(CheckCertificate(expired.get(), FALSE, question), static_cast<DWORD>(CERT_E_EXPIRED));
}

TEST(CheckCertificate, MissingKeyUsageBit) {
    // The CA's key may only sign certificates and lists.
    CertHandle ca = TestCertificate(L"ca.cer");
    ASSERT_TRUE(ca);
    std::wstring question;
    EXPECT_EQ(CheckCertificate(ca.get(), FALSE, question), static_cast<DWORD>(CERT_E_WRONG_USAGE));
    EXPECT_EQ(question, DescribeCertificate(ca.get()) + kNoUsage + kUseIt);
    EXPECT_EQ(CheckCertificate(ca.get(), TRUE, question), static_cast<DWORD>(CERT_E_WRONG_USAGE));

    CertificateSpec encryptOnly;
    encryptOnly.keyUsage = CERT_DATA_ENCIPHERMENT_KEY_USAGE;
    CertHandle made = MakeCertificate(encryptOnly);
    ASSERT_TRUE(made);
    EXPECT_EQ(CheckCertificate(made.get(), TRUE, question), static_cast<DWORD>(CERT_E_WRONG_USAGE));
    EXPECT_EQ(CheckCertificate(made.get(), FALSE, question), static_cast<DWORD>(CERT_E_CHAINING));

    CertificateSpec signOnly;
    signOnly.keyUsage = CERT_DIGITAL_SIGNATURE_KEY_USAGE;
    made = MakeCertificate(signOnly);
    ASSERT_TRUE(made);
    EXPECT_EQ(CheckCertificate(made.get(), FALSE, question), static_cast<DWORD>(CERT_E_WRONG_USAGE));
    EXPECT_EQ(CheckCertificate(made.get(), TRUE, question), static_cast<DWORD>(CERT_E_CHAINING));
}

TEST(CheckCertificate, NoKeyUsageExtensionPassesToTheChain) {
    CertHandle made = MakeCertificate(CertificateSpec());
    ASSERT_TRUE(made);
    std::wstring question;
    EXPECT_EQ(CheckCertificate(made.get(), FALSE, question), static_cast<DWORD>(CERT_E_CHAINING));
    EXPECT_EQ(CheckCertificate(made.get(), TRUE, question), static_cast<DWORD>(CERT_E_CHAINING));
    EXPECT_EQ(question.find(kNoUsage), std::wstring::npos);
}

// A self-signed authority certificate, properly signed with a key made for the test in a
// container of its own, with the given key usage bits.
CertHandle MakeSelfSigned(BYTE keyUsage) {
    const wchar_t* container = L"Quill-Check-Test";
    HCRYPTPROV provider = 0;
    CryptAcquireContextW(&provider, container, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_DELETEKEYSET);
    if (!CryptAcquireContextW(&provider, container, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_NEWKEYSET))
        return CertHandle();
    CertHandle certificate;
    HCRYPTKEY key = 0;
    if (CryptGenKey(provider, AT_SIGNATURE, 1024u << 16, &key)) {
        CryptDestroyKey(key);
        BYTE nameBytes[256];
        DWORD nameSize = sizeof(nameBytes);
        CertStrToNameW(X509_ASN_ENCODING, L"CN=Check Root", CERT_X500_NAME_STR, nullptr, nameBytes, &nameSize, nullptr);
        CERT_NAME_BLOB name = {nameSize, nameBytes};
        CRYPT_BIT_BLOB usageBits = {1, &keyUsage, 0};
        std::vector<BYTE> usage;
        EncodeObject(X509_KEY_USAGE, &usageBits, usage);
        CERT_BASIC_CONSTRAINTS2_INFO authority = {TRUE, FALSE, 0};
        std::vector<BYTE> constraints;
        EncodeObject(X509_BASIC_CONSTRAINTS2, &authority, constraints);
        CERT_EXTENSION extension[2] = {
            {const_cast<LPSTR>(szOID_KEY_USAGE), TRUE, {static_cast<DWORD>(usage.size()), usage.data()}},
            {const_cast<LPSTR>(szOID_BASIC_CONSTRAINTS2), TRUE,
             {static_cast<DWORD>(constraints.size()), constraints.data()}}};
        CERT_EXTENSIONS extensions = {2, extension};
        CRYPT_KEY_PROV_INFO info = {const_cast<LPWSTR>(container), const_cast<LPWSTR>(MS_ENH_RSA_AES_PROV_W),
                                    PROV_RSA_AES, 0, 0, nullptr, AT_SIGNATURE};
        certificate.reset(CertCreateSelfSignCertificate(provider, &name, 0, &info, nullptr, nullptr, nullptr, &extensions));
    }
    CryptReleaseContext(provider, 0);
    CryptAcquireContextW(&provider, container, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_DELETEKEYSET);
    return certificate;
}

TEST(CheckCertificate, SelfSignedRootIsUntrusted) {
    CertHandle root = MakeSelfSigned(CERT_KEY_CERT_SIGN_KEY_USAGE | CERT_DATA_ENCIPHERMENT_KEY_USAGE);
    ASSERT_TRUE(root);
    ASSERT_EQ(RealChainStatus(root.get()), static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT));
    std::wstring question;
    EXPECT_EQ(CheckCertificate(root.get(), FALSE, question), static_cast<DWORD>(CERT_E_CHAINING));
    EXPECT_EQ(question, DescribeCertificate(root.get()) + kChainPrefix +
                            L"сертификат или некоторые связанные сертификаты из цепочки выпущены не доверительным "
                            L"центром сертификации." +
                            kUseIt);
}

TEST(CheckCertificate, SelfSignedLeafStatusAsThePlatformGivesIt) {
    // The suite's self-signed recipient may not sign certificates: the platform adds "not valid
    // for usage" to "untrusted root", and two bits at once are written in hex.
    CertHandle selfSigned = TestCertificate(L"selfsigned.cer");
    ASSERT_TRUE(selfSigned);
    DWORD status = RealChainStatus(selfSigned.get());
    ASSERT_NE(status & CERT_TRUST_IS_UNTRUSTED_ROOT, 0u);
    std::wstring expected = L"сертификат или некоторые связанные сертификаты из цепочки выпущены не доверительным "
                            L"центром сертификации.";
    if (status == (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_NOT_VALID_FOR_USAGE)) expected = L"0x00000030";
    else ASSERT_EQ(status, static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT));
    std::wstring question;
    EXPECT_EQ(CheckCertificate(selfSigned.get(), FALSE, question), static_cast<DWORD>(CERT_E_CHAINING));
    EXPECT_EQ(question, DescribeCertificate(selfSigned.get()) + kChainPrefix + expected + kUseIt);
}

TEST(CheckCertificate, CertificateFromAnUnknownCa) {
    CertHandle alice = TestCertificate(L"alice.cer");
    ASSERT_TRUE(alice);
    DWORD status = RealChainStatus(alice.get());
    std::wstring expected;
    if (status == CERT_TRUST_IS_PARTIAL_CHAIN) expected = L"цепочка связанных сертификатов не полная.";
    else if (status == CERT_TRUST_IS_UNTRUSTED_ROOT)
        expected = L"сертификат или некоторые связанные сертификаты из цепочки выпущены не доверительным центром сертификации.";
    else FAIL() << "unexpected chain status " << std::hex << status;
    std::wstring question;
    EXPECT_EQ(CheckCertificate(alice.get(), FALSE, question), static_cast<DWORD>(CERT_E_CHAINING));
    EXPECT_EQ(question, DescribeCertificate(alice.get()) + kChainPrefix + expected + kUseIt);
}

TEST(CheckCertificate, SeveralChainErrorsAreWrittenInHex) {
    // A self-issued certificate with a junk signature: untrusted and badly signed at once.
    CertHandle made = MakeCertificate(CertificateSpec());
    ASSERT_TRUE(made);
    DWORD status = RealChainStatus(made.get());
    ASSERT_NE(status, 0u);
    std::wstring question;
    EXPECT_EQ(CheckCertificate(made.get(), FALSE, question), static_cast<DWORD>(CERT_E_CHAINING));
    if ((status & (status - 1)) != 0) {
        wchar_t hex[16];
        swprintf(hex, 16, L"0x%08X", static_cast<unsigned>(status));
        EXPECT_EQ(question, DescribeCertificate(made.get()) + kChainPrefix + hex + kUseIt);
    } else {
        EXPECT_EQ(question, DescribeCertificate(made.get()) + kChainPrefix + ChainStatusText(status) + kUseIt);
    }
}

TEST(CheckCertificate, LongDescriptionKeepsTheQuestion) {
    CertificateSpec spec;
    spec.subject = L"CN=" + std::wstring(900, L'Ж') + L", O=" + std::wstring(300, L'Q');
    spec.toYear = 2021;  // expired
    CertHandle made = MakeCertificate(spec);
    ASSERT_TRUE(made);
    ASSERT_GT(DescribeCertificate(made.get()).size(), kMaxQuestionLength);
    std::wstring question;
    EXPECT_EQ(CheckCertificate(made.get(), FALSE, question), static_cast<DWORD>(CERT_E_EXPIRED));
    EXPECT_LE(question.size(), kMaxQuestionLength);
    ASSERT_GE(question.size(), kExpired.size() + kUseIt.size());
    EXPECT_EQ(question.substr(question.size() - kExpired.size() - kUseIt.size()), kExpired + kUseIt);
    EXPECT_EQ(question.compare(0, 25, DescribeCertificate(made.get()), 0, 25), 0);
}

TEST(CheckCertificate, NullCertificateIsRefused) {
    std::wstring question = L"stale";
    EXPECT_NE(CheckCertificate(nullptr, FALSE, question), 0u);
    EXPECT_TRUE(question.empty());
}

}  // namespace
