#include "pack/certificate_check.h"

#include <gtest/gtest.h>

#include "format/service/encoding.h"
#include "tests/support/test_support.h"

namespace {

const std::wstring kUseIt = L"\r\nВы хотите его использовать?";
const std::wstring kChainPrefix = L"не действителен.\r\nПроверка целостности цепочки сертификатов завершилась с ошибкой:\r\n";
const std::wstring kNoUsage = L"не имеет допуска для шифрования данных.";
const std::wstring kExpired = L"уже истек или ещё не наступил.";
const std::wstring kUntrustedRoot =
    L"сертификат или некоторые связанные сертификаты из цепочки выпущены не доверительным центром сертификации.";
const std::wstring kPartialChain = L"цепочка связанных сертификатов не полная.";

CertHandle TestCertificate(const wchar_t* name) {
    return testing_support::LoadCertificateFile(testing_support::TestDataFile(name));
}

struct SelfSignedOptions {
    std::wstring subject = L"CN=Check Test";
    int keyUsage = -1;  // first key usage byte; -1: no key usage extension
    bool authority = false;
    bool expired = false;
};

// A self-signed certificate signed with a key made for the test in a container of its own.
CertHandle MakeSelfSigned(const SelfSignedOptions& options) {
    const wchar_t* container = L"Quill-Check-Test";
    HCRYPTPROV provider = 0;
    CryptAcquireContextW(&provider, container, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_DELETEKEYSET);
    if (!CryptAcquireContextW(&provider, container, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_NEWKEYSET))
        return CertHandle();
    CertHandle certificate;
    HCRYPTKEY key = 0;
    std::vector<BYTE> name(4096), usage, constraints;
    DWORD nameSize = static_cast<DWORD>(name.size());
    BYTE usageByte = static_cast<BYTE>(options.keyUsage);
    CRYPT_BIT_BLOB usageBits = {1, &usageByte, 0};
    CERT_BASIC_CONSTRAINTS2_INFO authority = {TRUE, FALSE, 0};
    std::vector<CERT_EXTENSION> extensions;
    if (options.keyUsage >= 0 && EncodeObject(X509_KEY_USAGE, &usageBits, usage))
        extensions.push_back({const_cast<LPSTR>(szOID_KEY_USAGE), TRUE, {static_cast<DWORD>(usage.size()), usage.data()}});
    if (options.authority && EncodeObject(X509_BASIC_CONSTRAINTS2, &authority, constraints))
        extensions.push_back({const_cast<LPSTR>(szOID_BASIC_CONSTRAINTS2), TRUE,
                              {static_cast<DWORD>(constraints.size()), constraints.data()}});
    CERT_EXTENSIONS extensionList = {static_cast<DWORD>(extensions.size()), extensions.data()};
    SYSTEMTIME from = {2019, 1, 0, 1, 0, 0, 0, 0}, to = {options.expired ? WORD(2021) : WORD(2090), 1, 0, 1, 0, 0, 0, 0};
    CRYPT_KEY_PROV_INFO info = {const_cast<LPWSTR>(container), const_cast<LPWSTR>(MS_ENH_RSA_AES_PROV_W), PROV_RSA_AES,
                                0, 0, nullptr, AT_SIGNATURE};
    if (CryptGenKey(provider, AT_SIGNATURE, 1024u << 16, &key) &&
        CertStrToNameW(X509_ASN_ENCODING, options.subject.c_str(), CERT_X500_NAME_STR, nullptr, name.data(), &nameSize,
                       nullptr)) {
        CERT_NAME_BLOB subject = {nameSize, name.data()};
        certificate.reset(CertCreateSelfSignCertificate(provider, &subject, 0, &info, nullptr, &from, &to, &extensionList));
    }
    if (key) CryptDestroyKey(key);
    CryptReleaseContext(provider, 0);
    CryptAcquireContextW(&provider, container, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_DELETEKEYSET);
    return certificate;
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

// The question CheckCertificate must give, and that it gives it with the code.
void ExpectQuestion(PCCERT_CONTEXT certificate, BOOL forSigning, HRESULT code, const std::wstring& reason) {
    std::wstring question;
    EXPECT_EQ(CheckCertificate(certificate, forSigning, question), static_cast<DWORD>(code));
    EXPECT_EQ(question, DescribeCertificate(certificate) + reason + kUseIt);
}

TEST(DescribeCertificate, NamesDateAndSerial) {
    CertHandle expired = TestCertificate(L"expired.cer");
    ASSERT_TRUE(expired);
    // Midnight UTC of 1 January 2020 in the local time zone, as the locale writes short dates.
    SYSTEMTIME utc = {2020, 1, 0, 1, 0, 0, 0, 0}, local = {};
    SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local);
    wchar_t date[64] = {};
    GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &local, nullptr, date, 64);
    // The suite's CA gave this certificate the serial 0x1004.
    EXPECT_EQ(DescribeCertificate(expired.get()),
              std::wstring(L"Сертификат\r\n\tКому выдан: Expired Signer, Quillarent Tests\r\n"
                           L"\tКем выдан: Quill Test CA, Quillarent Tests\r\n\tДействителен до: ") +
                  date + L"\r\n\tСерийный номер: 10 04\r\n");
    BYTE bytes[] = {0x0F, 0xA0, 0x00, 0xC1};  // little-endian, as the platform keeps it
    EXPECT_EQ(SerialNumberText({sizeof(bytes), bytes}), L"C1 00 A0 0F");
}

TEST(ChainStatusText, SingleValuesHaveTextsOthersHex) {
    EXPECT_EQ(ChainStatusText(0), L"сертификат и цепочка связанных сертификатов не содержат ошибок.");
    EXPECT_EQ(ChainStatusText(CERT_TRUST_IS_UNTRUSTED_ROOT), kUntrustedRoot);
    EXPECT_EQ(ChainStatusText(CERT_TRUST_IS_PARTIAL_CHAIN), kPartialChain);
    EXPECT_EQ(ChainStatusText(CERT_TRUST_CTL_IS_NOT_VALID_FOR_USAGE),
              L"Некоторые связанные сертификаты, использованные для создания цепочки, не имеют необходимых назначений.");
    EXPECT_EQ(ChainStatusText(CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_NOT_TIME_VALID), L"0x00000021");
    EXPECT_EQ(ChainStatusText(0x00000100), L"0x00000100");
}

TEST(CheckCertificate, ExpiredAndKeyUsage) {
    CertHandle expired = TestCertificate(L"expired.cer"), ca = TestCertificate(L"ca.cer");
    ASSERT_TRUE(expired && ca);
    ExpectQuestion(expired.get(), TRUE, CERT_E_EXPIRED, kExpired);
    // The CA's key may only sign certificates and lists.
    ExpectQuestion(ca.get(), FALSE, CERT_E_WRONG_USAGE, kNoUsage);
    ExpectQuestion(ca.get(), TRUE, CERT_E_WRONG_USAGE, kNoUsage);

    SelfSignedOptions signOnly;
    signOnly.keyUsage = CERT_DIGITAL_SIGNATURE_KEY_USAGE;
    CertHandle signer = MakeSelfSigned(signOnly), plain = MakeSelfSigned(SelfSignedOptions());
    ASSERT_TRUE(signer && plain);
    std::wstring question;
    EXPECT_EQ(CheckCertificate(signer.get(), FALSE, question), static_cast<DWORD>(CERT_E_WRONG_USAGE));
    EXPECT_EQ(CheckCertificate(signer.get(), TRUE, question), static_cast<DWORD>(CERT_E_CHAINING));
    // Without a key usage extension every use passes on to the chain.
    EXPECT_EQ(CheckCertificate(plain.get(), FALSE, question), static_cast<DWORD>(CERT_E_CHAINING));
    EXPECT_EQ(CheckCertificate(plain.get(), TRUE, question), static_cast<DWORD>(CERT_E_CHAINING));
}

TEST(CheckCertificate, ChainStatusTexts) {
    SelfSignedOptions rootOptions;
    rootOptions.keyUsage = CERT_KEY_CERT_SIGN_KEY_USAGE | CERT_DATA_ENCIPHERMENT_KEY_USAGE;
    rootOptions.authority = true;
    CertHandle root = MakeSelfSigned(rootOptions);
    ASSERT_TRUE(root);
    ASSERT_EQ(RealChainStatus(root.get()), static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT));
    ExpectQuestion(root.get(), FALSE, CERT_E_CHAINING, kChainPrefix + kUntrustedRoot);

    // The suite's self-signed recipient may not sign certificates; the platform may add "not
    // valid for usage", and two bits at once are written in hex.
    CertHandle selfSigned = TestCertificate(L"selfsigned.cer");
    ASSERT_TRUE(selfSigned);
    DWORD status = RealChainStatus(selfSigned.get());
    if (status == (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_NOT_VALID_FOR_USAGE)) {
        ExpectQuestion(selfSigned.get(), FALSE, CERT_E_CHAINING, kChainPrefix + L"0x00000030");
    } else {
        ASSERT_EQ(status, static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT));
        ExpectQuestion(selfSigned.get(), FALSE, CERT_E_CHAINING, kChainPrefix + kUntrustedRoot);
    }

    // Issued by a CA the system does not know.
    CertHandle alice = TestCertificate(L"alice.cer");
    ASSERT_TRUE(alice);
    status = RealChainStatus(alice.get());
    ASSERT_TRUE(status == CERT_TRUST_IS_PARTIAL_CHAIN || status == CERT_TRUST_IS_UNTRUSTED_ROOT) << status;
    ExpectQuestion(alice.get(), FALSE, CERT_E_CHAINING,
                   kChainPrefix + (status == CERT_TRUST_IS_PARTIAL_CHAIN ? kPartialChain : kUntrustedRoot));
}

TEST(CheckCertificate, LongDescriptionKeepsTheQuestion) {
    SelfSignedOptions options;
    options.subject = L"CN=" + std::wstring(900, L'Ж') + L", O=" + std::wstring(300, L'Q');
    options.expired = true;
    CertHandle made = MakeSelfSigned(options);
    ASSERT_TRUE(made);
    std::wstring description = DescribeCertificate(made.get()), question;
    ASSERT_GT(description.size(), kMaxQuestionLength);
    EXPECT_EQ(CheckCertificate(made.get(), FALSE, question), static_cast<DWORD>(CERT_E_EXPIRED));
    EXPECT_LE(question.size(), kMaxQuestionLength);
    ASSERT_GE(question.size(), kExpired.size() + kUseIt.size());
    EXPECT_EQ(question.substr(question.size() - kExpired.size() - kUseIt.size()), kExpired + kUseIt);
    EXPECT_EQ(question.compare(0, 100, description, 0, 100), 0);
}

}  // namespace
