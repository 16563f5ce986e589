// Provider selection: algorithm checks, the enumeration of registered providers, the removal of
// temporary containers, and the fallback that copies a key into a provider offering AES, with its
// question answered from a helper thread.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "reader_test_keys.h"
#include "tests/support/test_support.h"
#include "unpack/core/envelope_core.h"
#include "unpack/envelope_reader.h"
#include "unpack/recipient_key.h"

namespace {

using reader_test::ContainerExists;
using reader_test::DeleteContainer;
using reader_test::QuietSettings;
using reader_test::TestRecipients;
using testing_support::FileExists;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::TestDataFile;

const wchar_t kFallbackContainer[] = L"QuillReaderFallbackTest";

TEST(ProviderSupportsAlgorithmTest, ComparesAlgorithmAndKeyLength) {
    ProviderHandle full, aes;
    ASSERT_TRUE(CryptAcquireContextW(full.put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptAcquireContextW(aes.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    EXPECT_TRUE(ProviderSupportsAlgorithm(full.get(), CALG_3DES, 0));
    EXPECT_TRUE(ProviderSupportsAlgorithm(full.get(), CALG_RC2, 40));
    EXPECT_TRUE(ProviderSupportsAlgorithm(full.get(), CALG_RC2, 128));
    EXPECT_FALSE(ProviderSupportsAlgorithm(full.get(), CALG_RC2, 20)) << "below the provider's minimum";
    EXPECT_FALSE(ProviderSupportsAlgorithm(full.get(), CALG_RC2, 4096));
    EXPECT_FALSE(ProviderSupportsAlgorithm(full.get(), CALG_AES_128, 0));
    EXPECT_TRUE(ProviderSupportsAlgorithm(aes.get(), CALG_AES_256, 0));
    EXPECT_FALSE(ProviderSupportsAlgorithm(0, CALG_3DES, 0));
}

TEST(FindAlgorithmProviderTest, WalksOnlyProvidersWithTheAlgorithmAndRemovesContainers) {
    DWORD position = 0;
    int found = 0;
    HCRYPTPROV provider = 0;
    DWORD lastPosition = 0;
    while (FindAlgorithmProvider(&provider, &position, CALG_AES_128, 0, kFallbackContainer)) {
        ++found;
        EXPECT_GT(position, lastPosition) << "a later call goes on after the provider returned";
        lastPosition = position;
        EXPECT_TRUE(ProviderSupportsAlgorithm(provider, CALG_AES_128, 0));
        ReleaseProvider(provider, TRUE);
        ASSERT_LT(found, 50);
    }
    EXPECT_EQ(provider, 0u);
    EXPECT_GE(found, 1) << "the RSA and AES provider offers AES";
    EXPECT_FALSE(ContainerExists(kFallbackContainer, PROV_RSA_AES)) << "every created container was removed";

    // An algorithm no provider has.
    position = 0;
    EXPECT_FALSE(FindAlgorithmProvider(&provider, &position, CALG_AES_128 + 0x40, 0, kFallbackContainer));
}

TEST(ReleaseProviderTest, KeepsOrDeletesTheContainer) {
    HCRYPTPROV provider = 0;
    ASSERT_TRUE(CryptAcquireContextW(&provider, kFallbackContainer, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET) ||
                CryptAcquireContextW(&provider, kFallbackContainer, nullptr, PROV_RSA_FULL, 0));
    ReleaseProvider(provider, FALSE);
    EXPECT_TRUE(ContainerExists(kFallbackContainer, PROV_RSA_FULL));
    ASSERT_TRUE(CryptAcquireContextW(&provider, kFallbackContainer, nullptr, PROV_RSA_FULL, 0));
    ReleaseProvider(provider, TRUE);
    EXPECT_FALSE(ContainerExists(kFallbackContainer, PROV_RSA_FULL));
    ReleaseProvider(0, TRUE);  // nothing to do
}

// Recipients named by subject key identifier are found by the identifier in the certificate's
// extension (no key identifier property was set on it), those named by issuer and serial as before.
TEST(FindRecipientCertificateTest, ByKeyIdentifierOrIssuerAndSerial) {
    TestRecipients recipients;
    ASSERT_TRUE(recipients.AddCertificateOnly(L"selfsigned"));
    ASSERT_TRUE(recipients.AddCertificateOnly(L"alice"));
    const std::vector<uint8_t> der = ReadFileBytes(TestDataFile(L"selfsigned.cer"));
    CertHandle selfSigned(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
    ASSERT_TRUE(selfSigned);
    const CERT_INFO* info = selfSigned.get()->pCertInfo;
    const CERT_EXTENSION* extension =
        CertFindExtension(szOID_SUBJECT_KEY_IDENTIFIER, info->cExtension, info->rgExtension);
    ASSERT_NE(extension, nullptr);
    ASSERT_GT(extension->Value.cbData, 2u);  // 04 len id
    std::vector<uint8_t> keyId(extension->Value.pbData + 2, extension->Value.pbData + extension->Value.cbData);

    recipient_info::Identifier id;
    id.bySubjectKeyId = true;
    id.subjectKeyId = der::Reader(keyId);
    CertHandle found(reader_core::FindRecipientCertificate(recipients.store(), id));
    ASSERT_TRUE(found);
    EXPECT_TRUE(CertCompareCertificate(X509_ASN_ENCODING, found.get()->pCertInfo, selfSigned.get()->pCertInfo));

    keyId.back() ^= 1;
    id.subjectKeyId = der::Reader(keyId);
    EXPECT_EQ(reader_core::FindRecipientCertificate(recipients.store(), id), nullptr);

    // Issuer and serial: the serial as the envelope writes it, most significant byte first.
    const std::vector<uint8_t> aliceDer = ReadFileBytes(TestDataFile(L"alice.cer"));
    CertHandle alice(CertCreateCertificateContext(X509_ASN_ENCODING, aliceDer.data(), static_cast<DWORD>(aliceDer.size())));
    ASSERT_TRUE(alice);
    const CRYPT_INTEGER_BLOB& serialBlob = alice.get()->pCertInfo->SerialNumber;
    std::vector<uint8_t> serial(serialBlob.pbData, serialBlob.pbData + serialBlob.cbData);
    std::reverse(serial.begin(), serial.end());
    const CERT_NAME_BLOB& issuer = alice.get()->pCertInfo->Issuer;
    recipient_info::Identifier byName;
    byName.issuer = der::Reader(issuer.pbData, issuer.cbData);
    byName.serial = der::Reader(serial);
    found.reset(reader_core::FindRecipientCertificate(recipients.store(), byName));
    ASSERT_TRUE(found);
    EXPECT_TRUE(CertCompareCertificate(X509_ASN_ENCODING, found.get()->pCertInfo, alice.get()->pCertInfo));
}

TEST(AcquireCertificateKeyTest, NeedsTheKeyProviderProperty) {
    TestRecipients recipients;
    ASSERT_TRUE(recipients.AddWithKey(L"bob", PROV_RSA_FULL));
    ASSERT_TRUE(recipients.AddCertificateOnly(L"stranger"));
    CertHandle bob(CertFindCertificateInStore(recipients.store(), X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W,
                                              L"Bob Recipient", nullptr));
    CertHandle stranger(CertFindCertificateInStore(recipients.store(), X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W,
                                                   L"Stranger Recipient", nullptr));
    ASSERT_TRUE(bob && stranger);
    HCRYPTPROV provider = 0;
    DWORD keySpec = 0;
    EXPECT_FALSE(AcquireCertificateKey(stranger.get(), &provider, &keySpec));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    ASSERT_TRUE(AcquireCertificateKey(bob.get(), &provider, &keySpec));
    EXPECT_EQ(keySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
    DWORD type = 0;
    DWORD size = sizeof(type);
    EXPECT_TRUE(CryptGetProvParam(provider, PP_PROVTYPE, reinterpret_cast<BYTE*>(&type), &size, 0));
    EXPECT_EQ(type, static_cast<DWORD>(PROV_RSA_FULL));
    ReleaseProvider(provider, FALSE);
}

// Answers the re-import question from a helper thread, recording what it showed.
class QuestionAnswerer {
public:
    QuestionAnswerer(int button, bool tickDoNotAsk) : button_(button), tickDoNotAsk_(tickDoNotAsk) {
        thread_ = std::thread([this] { Run(); });
    }
    ~QuestionAnswerer() {
        stop_ = true;
        thread_.join();
    }
    bool seen() const { return seen_; }
    std::wstring text;
    std::wstring controls;  // texts of 1108, 1107, Yes and No
    bool reimportChecked = false;
    bool doNotAskChecked = true;

private:
    void Run() {
        HWND dialog = nullptr;
        wchar_t buffer[2048] = {};
        // Runs until the question shows or the test ends without one.
        testing_support::WaitUntil([&] {
            dialog = FindWindowW(L"#32770", L"Quillarent 1.0");
            return stop_ || (dialog && GetDlgItemTextW(dialog, kReimportTextId, buffer, 2048) > 0);
        });
        if (stop_ || !dialog || !buffer[0]) return;
        text = buffer;
        reimportChecked = IsDlgButtonChecked(dialog, kReimportKeyCheckId) == BST_CHECKED;
        doNotAskChecked = IsDlgButtonChecked(dialog, kDoNotAskCheckId) == BST_CHECKED;
        for (int id : {kReimportKeyCheckId, kDoNotAskCheckId, IDYES, IDNO}) {
            GetDlgItemTextW(dialog, id, buffer, 2048);
            controls += std::wstring(buffer) + L"|";
        }
        if (tickDoNotAsk_) SendDlgItemMessageW(dialog, kDoNotAskCheckId, BM_CLICK, 0, 0);
        seen_ = true;
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button_, BN_CLICKED), 0);
    }
    int button_;
    bool tickDoNotAsk_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> seen_{false};
    std::thread thread_;
};

class ProviderFallbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        DeleteContainer(kFallbackContainer, PROV_RSA_AES);
        ASSERT_TRUE(recipients_.AddWithKey(L"bob", PROV_RSA_FULL));
        settings_ = QuietSettings(recipients_.store());
        settings_.containerName = kFallbackContainer;
        settings_.providerType = PROV_RSA_AES;
        INITCOMMONCONTROLSEX init = {sizeof(init), ICC_LISTVIEW_CLASSES};
        InitCommonControlsEx(&init);
        list_ = CreateWindowExW(0, WC_LISTVIEWW, L"", WS_POPUP | LVS_REPORT, 0, 0, 300, 200, nullptr, nullptr,
                                nullptr, nullptr);
        view_.recipientsList = list_;
    }
    void TearDown() override {
        DestroyWindow(list_);
        DeleteContainer(kFallbackContainer, PROV_RSA_AES);
    }
    // Bob's key sits in a provider without AES; this envelope is AES-256.
    std::unique_ptr<UnpackJob> ReadBobAes() {
        SendMessageW(list_, LVM_DELETEALLITEMS, 0, 0);
        auto job = std::make_unique<UnpackJob>();
        job->inputPath = TestDataFile(L"reader-bob-aes256.pkcs7");
        job->outputPath = temp_.File(L"bob.out");
        ReadEnvelope(nullptr, &settings_, job.get(), &view_);
        return job;
    }
    LRESULT RowOverlay() { return SendMessageW(list_, LVM_GETITEMSTATE, 0, LVIS_OVERLAYMASK); }

    TempDir temp_;
    TestRecipients recipients_;
    UnpackSettings settings_;
    HWND list_ = nullptr;
    UnpackView view_;
};

TEST_F(ProviderFallbackTest, OwnProviderOpensWhatItSupports) {
    auto job = std::make_unique<UnpackJob>();
    job->inputPath = TestDataFile(L"reader-bob-des3.pkcs7");
    job->outputPath = temp_.File(L"bob.out");
    ReadEnvelope(nullptr, &settings_, job.get(), &view_);
    EXPECT_EQ(job->jobResult, 0u);
    EXPECT_TRUE(ReadFileBytes(job->outputPath) == ReadFileBytes(TestDataFile(L"reader-plain-100k.bin")));
}

TEST_F(ProviderFallbackTest, WithoutOtherProvidersTheEntryIsMarked) {
    auto job = ReadBobAes();
    EXPECT_EQ(job->jobResult, static_cast<DWORD>(CRYPT_E_NO_DECRYPT_CERT));
    EXPECT_EQ(SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0), 1);
    EXPECT_EQ(RowOverlay(), static_cast<LRESULT>(INDEXTOOVERLAYMASK(2)));
    job.reset();
    EXPECT_FALSE(FileExists(temp_.File(L"bob.out")));
}

TEST_F(ProviderFallbackTest, CopiesTheKeyIntoAnAesProviderAndRemovesTheCopy) {
    settings_.enumProviders = 1;
    settings_.reimportKey = 1;
    auto job = ReadBobAes();
    EXPECT_EQ(job->jobResult, 0u);
    EXPECT_EQ(job->finalBlockStatus, 0);
    EXPECT_TRUE(ReadFileBytes(job->outputPath) == ReadFileBytes(TestDataFile(L"reader-plain-100k.bin")));
    EXPECT_EQ(RowOverlay(), 0);
    EXPECT_FALSE(ContainerExists(kFallbackContainer, PROV_RSA_AES)) << "the temporary copy is gone";
    EXPECT_TRUE(ContainerExists(L"QuillReaderTest-bob-1", PROV_RSA_FULL)) << "the certificate's own key stays";
}

TEST_F(ProviderFallbackTest, NoCopyWithoutPermissionToReimport) {
    settings_.enumProviders = 1;
    settings_.reimportKey = 0;
    auto job = ReadBobAes();
    EXPECT_EQ(job->jobResult, static_cast<DWORD>(CRYPT_E_NO_DECRYPT_CERT));
    EXPECT_EQ(RowOverlay(), static_cast<LRESULT>(INDEXTOOVERLAYMASK(2)));
    EXPECT_FALSE(ContainerExists(kFallbackContainer, PROV_RSA_AES));
}

TEST_F(ProviderFallbackTest, QuestionAnsweredNoAndNotAgain) {
    settings_.askReimport = 1;
    settings_.enumProviders = 1;
    settings_.reimportKey = 1;
    std::unique_ptr<UnpackJob> job;
    std::wstring text;
    {
        QuestionAnswerer answerer(IDNO, true);
        job = ReadBobAes();
        ASSERT_TRUE(answerer.seen()) << "the question was shown";
        EXPECT_TRUE(answerer.reimportChecked);
        EXPECT_FALSE(answerer.doNotAskChecked);
        text = answerer.text;
        EXPECT_EQ(answerer.controls,
                  L"&Временно импортировать закрытый ключ в необходимый криптографический модуль|"
                  L"Н&е показывать больше этот диалог|&Да|&Нет|");
    }
    EXPECT_EQ(job->jobResult, static_cast<DWORD>(CRYPT_E_NO_DECRYPT_CERT));
    EXPECT_EQ(settings_.enumProviders, 0u);
    EXPECT_EQ(settings_.askReimport, 0u);
    EXPECT_EQ(settings_.reimportKey, 1u);
    // Provider, issuer, serial (most significant byte first) and the algorithm's name.
    CertHandle bob(CertFindCertificateInStore(recipients_.store(), X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W,
                                              L"Bob Recipient", nullptr));
    ASSERT_TRUE(bob);
    const CRYPT_INTEGER_BLOB& serial = bob.get()->pCertInfo->SerialNumber;
    std::wstring serialText;
    for (DWORD i = serial.cbData; i > 0; --i) {
        wchar_t part[4];
        swprintf(part, 4, L"%02X ", serial.pbData[i - 1]);
        serialText += part;
    }
    EXPECT_NE(text.find(L"Microsoft Enhanced Cryptographic Provider v1.0 содержит закрытый ключ"), std::wstring::npos)
        << testing_support::Narrow(text);
    EXPECT_NE(text.find(L"(Выдан: Quill Test CA, Quillarent Tests, Номер: " + serialText + L")"), std::wstring::npos)
        << testing_support::Narrow(text);
    EXPECT_NE(text.find(L"алгоритм шифрования Advanced Encryption Standard 256-bit."), std::wstring::npos);
}

TEST_F(ProviderFallbackTest, QuestionAnsweredYesCopiesTheKey) {
    settings_.askReimport = 1;
    settings_.enumProviders = 0;  // a yes turns the enumeration on
    settings_.reimportKey = 1;
    std::unique_ptr<UnpackJob> job;
    {
        QuestionAnswerer answerer(IDYES, false);
        job = ReadBobAes();
        EXPECT_TRUE(answerer.seen());
    }
    EXPECT_EQ(job->jobResult, 0u);
    EXPECT_EQ(settings_.enumProviders, 1u);
    EXPECT_EQ(settings_.askReimport, 1u);
    EXPECT_FALSE(ContainerExists(kFallbackContainer, PROV_RSA_AES));
}

}  // namespace
