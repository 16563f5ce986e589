#include "packer_ui/data_object.h"
#include "unpack/decode_data.h"
#include "packer_ui/list_pages.h"

#include <commctrl.h>
#include <shlobj.h>
#include <gtest/gtest.h>

#include "packer_ui/packer_window.h"
#include "tests/pack/envelope_test_support.h"
#include "tests/packer_ui/registry_sandbox.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::TempDir;

class ListPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sandbox_.active());
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
        for (int i = 0; i < 10; ++i) {
            std::wstring path = dir_.File(L"file" + std::to_wstring(i) + L".txt");
            testing_support::WriteFileBytes(path, {1, 2, 3});
            paths_.push_back(path);
        }
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey); }

    static int Add(CVFilesDlg& page, const std::wstring& path, BOOL replace = FALSE) {
        wchar_t* item = CVFilesDlg::DuplicatePath(path.c_str());
        int result = page.AddItem(item, replace);
        if (result < 0) page.FreeItem(item);  // still ours on failure
        return result;
    }
    static std::vector<std::wstring> Paths(const CVFilesDlg& page) {
        std::vector<std::wstring> out;
        for (DWORD i = 0; i < page.count; ++i) out.push_back(page.items[i] ? page.PathAt(i) : L"<empty>");
        return out;
    }

    RegistrySandbox sandbox_;
    TempDir dir_;
    std::vector<std::wstring> paths_;
};

TEST_F(ListPageTest, ViewStyleAndColumnWidthsPersist) {
    {
        CVFilesDlg page;
        EXPECT_EQ(page.viewStyle, 40038u);
        EXPECT_TRUE(page.columnWidths.empty());
        EXPECT_EQ(page.columnsTextId, 541u);
        EXPECT_EQ(page.hintTextId, 534u);
        page.viewStyle = 40036;
        page.columnWidths = {150, 80, -1};
    }
    DWORD style = 0;
    DWORD size = sizeof style;
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, L"FilesListViewStyle", RRF_RT_REG_DWORD, nullptr, &style,
                           &size),
              ERROR_SUCCESS);
    EXPECT_EQ(style, 40036u);
    int widths[3] = {};
    size = sizeof widths;
    DWORD type = 0;
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, L"FilesListColumnWidths", RRF_RT_REG_BINARY, &type, widths,
                           &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof widths);
    EXPECT_EQ(widths[0], 150);
    EXPECT_EQ(widths[2], -1);

    CVFilesDlg again;
    EXPECT_EQ(again.viewStyle, 40036u);
    EXPECT_EQ(again.columnWidths, (std::vector<int>{150, 80, -1}));
    CVCertificateDlg other(true);  // its own values: nothing stored yet
    EXPECT_EQ(other.viewStyle, 40038u);
    EXPECT_TRUE(other.columnWidths.empty());
}

TEST_F(ListPageTest, WithoutWidthsNoWidthsValueIsWritten) {
    { CVCertificateDlg page(false); }
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, L"SigningCertificatesListColumnWidths", RRF_RT_ANY, nullptr,
                           nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, L"SigningCertificatesListViewStyle", RRF_RT_REG_DWORD,
                           nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
}

TEST_F(ListPageTest, ClosedFilesPageAppendsAndGrowsByEight) {
    CVFilesDlg page;
    EXPECT_EQ(page.AddItem(nullptr, TRUE), kAddNullItem);
    EXPECT_EQ(Add(page, dir_.File(L"missing.txt")), kAddMissingFile);
    EXPECT_EQ(page.count, 0u);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(Add(page, paths_[i]), i);
    EXPECT_EQ(page.count, 10u);
    EXPECT_EQ(page.capacity, 16u);
    EXPECT_EQ(Paths(page)[9], paths_[9]);
}

TEST_F(ListPageTest, ReplaceRemovesTheEqualEntryFirst) {
    CVFilesDlg page;
    Add(page, paths_[0]);
    Add(page, paths_[1]);
    EXPECT_EQ(Add(page, paths_[0], TRUE), 2);
    EXPECT_EQ(Paths(page), (std::vector<std::wstring>{L"<empty>", paths_[1], paths_[0]}));
    // Letter case makes a different entry, even where the file system finds the same file.
    std::wstring upper = paths_[1];
    for (auto& c : upper) c = towupper(c);
    EXPECT_EQ(Add(page, upper, TRUE), 3);
    EXPECT_EQ(page.count, 4u);
    EXPECT_EQ(Paths(page)[1], paths_[1]);
    // Re-adding a path that is gone removes the old entry and adds nothing.
    DeleteFileW(paths_[0].c_str());
    EXPECT_EQ(Add(page, paths_[0], TRUE), kAddMissingFile);
    EXPECT_EQ(Paths(page)[2], L"<empty>");
}

TEST_F(ListPageTest, RemoveByValueOrIdentityAfterTheFixedItems) {
    CVFilesDlg page;
    for (int i = 0; i < 3; ++i) Add(page, paths_[i]);
    page.fixedCount = 1;
    wchar_t* copy = CVFilesDlg::DuplicatePath(paths_[0].c_str());
    EXPECT_FALSE(page.RemoveItem(copy, TRUE));  // fixed
    delete[] copy;
    copy = CVFilesDlg::DuplicatePath(paths_[2].c_str());
    EXPECT_FALSE(page.RemoveItem(copy, FALSE));  // equal text, other pointer
    EXPECT_TRUE(page.RemoveItem(copy, TRUE));
    delete[] copy;
    EXPECT_TRUE(page.RemoveItem(page.items[1], FALSE));
    EXPECT_EQ(page.count, 3u);
    EXPECT_EQ(Paths(page), (std::vector<std::wstring>{paths_[0], L"<empty>", L"<empty>"}));
    page.FlushItems();  // closed: nothing moves
    EXPECT_EQ(page.count, 3u);
}

TEST_F(ListPageTest, CertificatesAreEqualWhenTheirEncodingsAre) {
    using namespace envelope_test;
    PCCERT_CONTEXT alice = Get(Who::kAlice).certificate.get();
    PCCERT_CONTEXT bob = Get(Who::kBob).certificate.get();
    ASSERT_TRUE(alice && bob);
    CVCertificateDlg page(true);
    EXPECT_TRUE(page.isEncryptionPage);
    EXPECT_STREQ(page.caption, L"Шифрование");
    PCCERT_CONTEXT separate = CertCreateCertificateContext(X509_ASN_ENCODING, alice->pbCertEncoded, alice->cbCertEncoded);
    EXPECT_TRUE(page.CompareItems(alice, separate));
    EXPECT_FALSE(page.CompareItems(alice, bob));
    EXPECT_EQ(page.AddItem(const_cast<CERT_CONTEXT*>(CertDuplicateCertificateContext(alice)), FALSE), 0);
    EXPECT_EQ(page.AddItem(const_cast<CERT_CONTEXT*>(CertDuplicateCertificateContext(bob)), FALSE), 1);
    EXPECT_EQ(page.AddItem(const_cast<CERT_CONTEXT*>(separate), TRUE), 2);
    EXPECT_EQ(page.items[0], nullptr);
    EXPECT_EQ(page.CertificateAt(2), separate);
    EXPECT_EQ(page.AddItem(nullptr, FALSE), kAddNullItem);
}

// The open page keeps its items in list-view rows; FlushItems takes them back in row order.
TEST_F(ListPageTest, OpenPageRowsFlushBackInOrder) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    CVFilesDlg page;
    page.pageWindow = CreateWindowExW(0, L"STATIC", L"page", WS_POPUP, 0, 0, 300, 200, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(page.pageWindow, nullptr);
    HWND list = CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | LVS_REPORT, 0, 0, 300, 200, page.pageWindow,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(kPageListView)), nullptr, nullptr);
    ASSERT_NE(list, nullptr);
    LVCOLUMNW column = {};
    column.mask = LVCF_WIDTH;
    column.cx = 100;
    SendMessageW(list, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Add(page, paths_[i]), i);
    EXPECT_EQ(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 3);
    EXPECT_EQ(page.count, 0u);  // nothing in the closed-page array
    EXPECT_EQ(Add(page, paths_[0], TRUE), 2);  // the old row goes, the new one is last
    wchar_t* copy = CVFilesDlg::DuplicatePath(paths_[1].c_str());
    EXPECT_TRUE(page.RemoveItem(copy, TRUE));
    delete[] copy;
    page.FlushItems();
    EXPECT_EQ(Paths(page), (std::vector<std::wstring>{paths_[2], paths_[0]}));
    EXPECT_EQ(page.capacity, 2u);
    // The rows and the array now hold the same items: the array keeps them once the window goes.
    page.DestroyPage();
    EXPECT_EQ(page.ListView(), nullptr);
}

TEST_F(ListPageTest, PackerWindowBuildsItsPagesInOrder) {
    PackerWindow window;
    window.isModal = 0;
    window.targetFolder = L"C:\\somewhere";
    ASSERT_TRUE(CreatePackerWindow(&window));
    ASSERT_TRUE(window.filesPage && window.settingsPage && window.encryptionPage && window.signingPage);
    EXPECT_TRUE(window.targetFolder.empty());
    EXPECT_EQ(window.isModal, 1u);
    EXPECT_EQ(window.largeToolbarIcons, 1u);
    EXPECT_EQ(window.showToolbarText, 0u);
    EXPECT_STREQ(window.filesPage->caption, L"Файлы");
    EXPECT_STREQ(window.settingsPage->caption, L"Параметры");
    EXPECT_STREQ(window.encryptionPage->caption, L"Шифрование");
    EXPECT_STREQ(window.signingPage->caption, L"Подпись");
    EXPECT_TRUE(window.encryptionPage->isEncryptionPage);
    EXPECT_FALSE(window.signingPage->isEncryptionPage);
    EXPECT_EQ(window.encryptionPage->viewStyleValueName, L"EncryptionCertificatesListViewStyle");
    EXPECT_EQ(window.signingPage->columnWidthsValueName, L"SigningCertificatesListColumnWidths");
    EXPECT_EQ(window.filesPage->columnWidthsValueName, L"FilesListColumnWidths");
    EXPECT_EQ(Add(*window.filesPage, paths_[3]), 0);
    DestroyPackerWindow(&window);
    EXPECT_EQ(window.filesPage, nullptr);
    EXPECT_EQ(window.settingsPage, nullptr);
    for (const wchar_t* name : {L"FilesListViewStyle", L"EncryptionCertificatesListViewStyle",
                                L"SigningCertificatesListViewStyle"})
        EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_REG_DWORD, nullptr, nullptr, nullptr),
                  ERROR_SUCCESS);
}

TEST(FileSizeText, TenthsOfTheUnitWithoutATrailingZero) {
    struct Case {
        ULONGLONG size;
        const wchar_t* text;
    };
    const Case cases[] = {{0, L"0 Байт"},          {999, L"999 Байт"},       {1000, L".9 Кб"},
                          {1536, L"1.5 Кб"},       {2048, L"2 Кб"},          {999999, L"976.5 Кб"},
                          {1500000, L"1.4 Мб"},    {999999999, L"953.6 Мб"}, {1000000000, L".9 GB"},
                          {5ull << 30, L"5 GB"}};
    for (const Case& c : cases) EXPECT_EQ(FileSizeText(c.size), c.text) << c.size;
}

// Dropped names: folders and unreadable paths are left out, files are added once each.
TEST_F(ListPageTest, DroppedFoldersAreLeftOut) {
    std::wstring folder = dir_.File(L"folder");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    std::vector<std::wstring> names = {folder, paths_[0], dir_.File(L"missing.txt"), paths_[1], paths_[0]};
    HGLOBAL memory = BuildDropFilesBlock(names);
    ASSERT_TRUE(memory);
    CVFilesDlg page;
    EXPECT_EQ(page.PasteDroppedFiles(static_cast<HDROP>(memory), FALSE), S_OK);  // the test adds nothing
    EXPECT_EQ(page.count, 0u);
    EXPECT_EQ(page.PasteDroppedFiles(static_cast<HDROP>(memory), TRUE), S_OK);
    std::vector<std::wstring> added;
    for (DWORD i = 0; i < page.count; ++i)
        if (page.items[i]) added.push_back(page.PathAt(i));
    EXPECT_EQ(added, (std::vector<std::wstring>{paths_[1], paths_[0]}));  // the repeated one moved last
    GlobalFree(memory);
}

}  // namespace
