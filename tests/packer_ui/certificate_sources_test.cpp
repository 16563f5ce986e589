#include "packer_ui/certificate_sources.h"

#include <gtest/gtest.h>

#include "pack/messages.h"
#include "packer_ui/list_pages.h"
#include "tests/support/capturing_sink.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::TestDataFile;

using testing_support::CapturingSink;

DWORD FilledSlots(const CVCertificateDlg& page) {
    DWORD filled = 0;
    for (DWORD i = 0; i < page.count; ++i) filled += page.items[i] != nullptr;
    return filled;
}

bool PageHolds(const CVCertificateDlg& page, const wchar_t* file) {
    std::vector<uint8_t> der = testing_support::ReadFileBytes(TestDataFile(file));
    for (DWORD i = 0; i < page.count; ++i) {
        PCCERT_CONTEXT c = page.CertificateAt(i);
        if (c && std::vector<uint8_t>(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded) == der) return true;
    }
    return false;
}

TEST(LoadCertificateFile, DerAndBase64Files) {
    CapturingSink sink;
    CVCertificateDlg page(true);
    EXPECT_EQ(LoadCertificateFile(&page, TestDataFile(L"alice.cer").c_str()), 1);
    EXPECT_EQ(LoadCertificateFile(&page, TestDataFile(L"bob.pem").c_str()), 1);
    EXPECT_EQ(FilledSlots(page), 2u);
    EXPECT_TRUE(PageHolds(page, L"alice.cer"));
    EXPECT_TRUE(PageHolds(page, L"bob.cer"));
    EXPECT_TRUE(sink.texts.empty());
}

TEST(LoadCertificateFile, BundleAddsEveryCertificateOnce) {
    testing_support::TempDir dir;
    std::wstring bundle = dir.File(L"bundle.p7b");
    {
        StoreHandle store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
        ASSERT_TRUE(store);
        for (const wchar_t* name : {L"carol.cer", L"dave.cer", L"ca.cer"}) {
            CertHandle certificate = testing_support::LoadCertificateFile(TestDataFile(name));
            ASSERT_TRUE(certificate);
            ASSERT_TRUE(CertAddCertificateContextToStore(store.get(), certificate.get(), CERT_STORE_ADD_ALWAYS, nullptr));
        }
        ASSERT_TRUE(CertSaveStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CERT_STORE_SAVE_AS_PKCS7,
                                  CERT_STORE_SAVE_TO_FILENAME_W, const_cast<wchar_t*>(bundle.c_str()), 0));
    }
    CapturingSink sink;
    CVCertificateDlg page(true);
    EXPECT_EQ(LoadCertificateFile(&page, bundle.c_str()), 3);
    // Loaded again with the replace flag: the same three, not six.
    EXPECT_EQ(LoadCertificateFile(&page, bundle.c_str()), 3);
    EXPECT_EQ(FilledSlots(page), 3u);
    EXPECT_TRUE(PageHolds(page, L"carol.cer"));
    EXPECT_TRUE(PageHolds(page, L"dave.cer"));
    EXPECT_TRUE(PageHolds(page, L"ca.cer"));
    EXPECT_TRUE(sink.texts.empty());
}

TEST(LoadCertificateFile, UnreadableFileShowsTheSystemText) {
    testing_support::TempDir dir;
    CapturingSink sink;
    CVCertificateDlg page(true);
    EXPECT_EQ(LoadCertificateFile(&page, dir.File(L"absent.cer").c_str()), 0);
    ASSERT_EQ(sink.texts.size(), 1u);
    EXPECT_EQ(sink.captions[0], L"Quillarent 1.0");
    EXPECT_EQ(sink.styles[0] & MB_ICONMASK, static_cast<UINT>(MB_ICONERROR));
    EXPECT_EQ(sink.texts[0], L"Файл не найден.");

    std::wstring junk = dir.File(L"junk.cer");
    testing_support::WriteFileBytes(junk, {'n', 'o', 't', ' ', 'a', ' ', 'c', 'e', 'r', 't'});
    EXPECT_EQ(LoadCertificateFile(&page, junk.c_str()), 0);
    ASSERT_EQ(sink.texts.size(), 2u);
    ASSERT_FALSE(sink.texts[1].empty());
    EXPECT_EQ(sink.texts[1].find_last_not_of(L" \r\n"), sink.texts[1].size() - 1);  // no trailing blanks
    EXPECT_EQ(FilledSlots(page), 0u);
}

TEST(AddCertificateFromFile, SigningPageTakesNoFiles) {
    CVCertificateDlg page(false);
    EXPECT_EQ(AddCertificateFromFile(&page), 0);
    EXPECT_EQ(page.count, 0u);
}

}  // namespace
