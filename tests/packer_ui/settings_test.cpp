#include "packer_ui/settings.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <functional>

#include "tests/packer_ui/registry_sandbox.h"

#include "format/service/crypto_handles.h"
#include "packer_ui/directory_search.h"
#include "packer_ui/list_pages.h"
#include "packer_ui/recent_lists.h"
#include "tests/support/test_support.h"

namespace {

// Each test starts and ends with no settings key at all, in a registry of its own.
class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sandbox_.active());
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey); }

    static void SetDword(const wchar_t* name, DWORD value) {
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, name, REG_DWORD, &value, sizeof value), ERROR_SUCCESS);
    }
    static void SetString(const wchar_t* name, const std::wstring& value) {
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, name, REG_SZ, value.c_str(),
                                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    static bool ReadDword(const wchar_t* name, DWORD& value) {
        DWORD size = sizeof value;
        return RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_REG_DWORD, nullptr, &value, &size) ==
               ERROR_SUCCESS;
    }
    static bool HasValue(const wchar_t* name) {
        return RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_ANY, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS;
    }

    RegistrySandbox sandbox_;
};

TEST_F(SettingsTest, EmptyRegistryGivesTheDefaults) {
    CVSettingsDlg settings;
    EXPECT_EQ(settings.EncryptAlgorithmID, static_cast<DWORD>(CALG_AES_256));
    EXPECT_EQ(settings.EncryptKeyLength, 256u);
    EXPECT_EQ(settings.HashAlgorithmID, static_cast<DWORD>(CALG_SHA_256));
    EXPECT_EQ(settings.EncryptCreateIV, 1u);
    EXPECT_EQ(settings.EncryptCreateSalt, 1u);
    EXPECT_EQ(settings.CompressFiles, 1u);
    EXPECT_EQ(settings.VerifyCertificates, 1u);
    EXPECT_EQ(settings.DeleteFiles, 0u);
    EXPECT_EQ(settings.DeleteSafelyFiles, 0u);
    EXPECT_EQ(settings.CloseProgram, 1u);
    EXPECT_EQ(settings.CryptCSPtype, static_cast<DWORD>(PROV_RSA_AES));
    EXPECT_TRUE(settings.CryptCSPname.empty());
    EXPECT_EQ(settings.CompressedFiles, kDefaultCompressedFiles);
    EXPECT_EQ(settings.SignedMessageType, 4u);
    EXPECT_EQ(settings.GzCompressionLevel, 9u);
    EXPECT_EQ(settings.CompressionThreads, 0u);
    EXPECT_EQ(settings.RecentItemsCount, 10u);
    EXPECT_EQ(settings.DefaultEncryptionBlockSize, 64u);
    EXPECT_TRUE(settings.SupportedCSP.empty());
    EXPECT_STREQ(settings.caption, L"Параметры");
}

// A record holding any of the provider type, cipher, key length and hash comes from an earlier
// set-up: the ones it leaves out mean RC2-40, SHA-1 and the RSA full type, as they always did.
TEST_F(SettingsTest, EarlierRecordsKeepTheirMissingCryptoValues) {
    const struct {
        const wchar_t* stored;
        DWORD value;
        DWORD CVSettingsDlg::*field;
    } cases[] = {
        {L"CryptCSPtype", PROV_RSA_FULL, &CVSettingsDlg::CryptCSPtype},
        {L"EncryptAlgorithmID", CALG_RC2, &CVSettingsDlg::EncryptAlgorithmID},
        {L"EncryptKeyLength", 40, &CVSettingsDlg::EncryptKeyLength},
        {L"HashAlgorithmID", CALG_SHA1, &CVSettingsDlg::HashAlgorithmID},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.stored)));
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
        SetDword(c.stored, c.value);
        CVSettingsDlg settings;
        EXPECT_EQ(settings.CryptCSPtype, static_cast<DWORD>(PROV_RSA_FULL));
        EXPECT_EQ(settings.EncryptAlgorithmID, static_cast<DWORD>(CALG_RC2));
        EXPECT_EQ(settings.EncryptKeyLength, 40u);
        EXPECT_EQ(settings.HashAlgorithmID, static_cast<DWORD>(CALG_SHA1));
    }
    // Other values leave the first-start defaults alone.
    RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    SetDword(L"DeleteFiles", 1);
    CVSettingsDlg settings;
    EXPECT_EQ(settings.EncryptAlgorithmID, static_cast<DWORD>(CALG_AES_256));
    EXPECT_EQ(settings.HashAlgorithmID, static_cast<DWORD>(CALG_SHA_256));
}

TEST_F(SettingsTest, ReadsEveryKindOfValue) {
    SetDword(L"EncryptAlgorithmID", CALG_AES_256);
    SetDword(L"EncryptKeyLength", 256);
    SetDword(L"DeleteSafelyFiles", 1);
    SetDword(L"SignedMessageType", 3);
    SetDword(L"OverwritePasses", 7);
    SetDword(L"CompressionThreads", 3);
    SetString(L"CryptCSPname", L"Microsoft Enhanced RSA and AES Cryptographic Provider");
    SetString(L"CompressedFiles", L"ZIP.RAR");
    const DWORD types[] = {PROV_RSA_AES};
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"SupportedCSP", REG_BINARY, types, sizeof types),
              ERROR_SUCCESS);
    CVSettingsDlg settings;
    EXPECT_EQ(settings.EncryptAlgorithmID, static_cast<DWORD>(CALG_AES_256));
    EXPECT_EQ(settings.EncryptKeyLength, 256u);
    EXPECT_EQ(settings.DeleteSafelyFiles, 1u);
    EXPECT_EQ(settings.SignedMessageType, 3u);
    EXPECT_EQ(settings.OverwritePasses, 7u);
    EXPECT_EQ(settings.CompressionThreads, 3u);
    EXPECT_EQ(settings.CryptCSPname, L"Microsoft Enhanced RSA and AES Cryptographic Provider");
    EXPECT_EQ(settings.CompressedFiles, L"ZIP.RAR");
    EXPECT_EQ(settings.SupportedCSP, std::vector<DWORD>{PROV_RSA_AES});
    EXPECT_EQ(settings.HashAlgorithmID, static_cast<DWORD>(CALG_SHA1));  // absent: default
}

// A compression level outside 1 to 9 is 9; a recent-list capacity too large to allocate is capped.
TEST_F(SettingsTest, OutOfRangeValuesAreBroughtIntoRange) {
    struct Row {
        const wchar_t* name;
        DWORD CVSettingsDlg::*field;
        DWORD stored;
        DWORD expected;
    };
    const Row rows[] = {
        {L"GzCompressionLevel", &CVSettingsDlg::GzCompressionLevel, 0, 9},
        {L"GzCompressionLevel", &CVSettingsDlg::GzCompressionLevel, 12, 9},
        {L"GzCompressionLevel", &CVSettingsDlg::GzCompressionLevel, 5, 5},
        {L"RecentItemsCount", &CVSettingsDlg::RecentItemsCount, 0xFFFFFFFF, 999},
        {L"RecentItemsCount", &CVSettingsDlg::RecentItemsCount, 1000, 999},
        {L"RecentItemsCount", &CVSettingsDlg::RecentItemsCount, 999, 999},
        {L"RecentItemsCount", &CVSettingsDlg::RecentItemsCount, 25, 25},
        {L"RecentItemsCount", &CVSettingsDlg::RecentItemsCount, 0, 0},
    };
    for (const Row& row : rows) {
        SetDword(row.name, row.stored);
        CVSettingsDlg settings;
        EXPECT_EQ(settings.*row.field, row.expected) << testing_support::Narrow(row.name) << " " << row.stored;
    }
}

TEST_F(SettingsTest, ValueOfTheWrongSizeKeepsTheDefault) {
    const BYTE twoBytes[] = {0x10, 0x00};
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"EncryptKeyLength", REG_BINARY, twoBytes, 2),
              ERROR_SUCCESS);
    CVSettingsDlg settings;
    EXPECT_EQ(settings.EncryptKeyLength, 40u);
}

TEST_F(SettingsTest, SavesOnlyTheEditableValues) {
    CVSettingsDlg settings;
    settings.EncryptAlgorithmID = CALG_3DES;
    settings.EncryptKeyLength = 168;
    settings.CreateSelfdecodedFile = 1;
    settings.CryptCSPtype = PROV_RSA_AES;
    settings.CryptCSPname = L"Some Provider";
    settings.OverwritePasses = 5;
    settings.GzCompressionLevel = 3;
    settings.CompressionThreads = 2;
    settings.KeyTransport = 1;
    settings.EncryptMode = kEncryptModeGcm;
    settings.SaveSettings();
    DWORD value = 0;
    ASSERT_TRUE(ReadDword(L"EncryptAlgorithmID", value));
    EXPECT_EQ(value, static_cast<DWORD>(CALG_3DES));
    ASSERT_TRUE(ReadDword(L"EncryptKeyLength", value));
    EXPECT_EQ(value, 168u);
    ASSERT_TRUE(ReadDword(L"CreateSelfdecodedFile", value));
    EXPECT_EQ(value, 1u);
    ASSERT_TRUE(ReadDword(L"CryptCSPtype", value));
    EXPECT_EQ(value, static_cast<DWORD>(PROV_RSA_AES));
    for (const wchar_t* name : {L"VerifyCertificates", L"DeleteFiles", L"DeleteSafelyFiles", L"OpenFiles",
                                L"CompressFiles", L"CloseProgram", L"AddCertsToSignedFile", L"EncryptCreateSalt",
                                L"EncryptCreateIV", L"HashAlgorithmID"})
        EXPECT_TRUE(HasValue(name)) << testing::PrintToString(std::wstring(name));
    for (const wchar_t* name : {L"OverwritePasses", L"GzCompressionLevel", L"SignedMessageType", L"RecentItemsCount",
                                L"DefaultEncryptionBlockSize", L"SupportedCSP", L"CompressedFiles", L"CompressionThreads"})
        EXPECT_FALSE(HasValue(name)) << testing::PrintToString(std::wstring(name));
    CVSettingsDlg reloaded;
    EXPECT_EQ(reloaded.CryptCSPname, L"Some Provider");
    EXPECT_EQ(reloaded.EncryptAlgorithmID, static_cast<DWORD>(CALG_3DES));
    EXPECT_EQ(reloaded.KeyTransport, 1u);
    EXPECT_EQ(reloaded.EncryptMode, kEncryptModeGcm);
    EXPECT_EQ(reloaded.OverwritePasses, 1u);
}

TEST_F(SettingsTest, NoProviderNameDeletesTheValue) {
    SetString(L"CryptCSPname", L"Old Provider");
    CVSettingsDlg settings;
    ASSERT_EQ(settings.CryptCSPname, L"Old Provider");
    settings.CryptCSPname.clear();
    settings.SaveSettings();
    EXPECT_FALSE(HasValue(L"CryptCSPname"));
}

TEST_F(SettingsTest, ReadingAClosedPageChangesNothing) {
    CVSettingsDlg settings;
    settings.EncryptKeyLength = 77;
    settings.ReadSettingsPage();
    EXPECT_EQ(settings.EncryptKeyLength, 77u);
}

// The page's controls, made by hand: the fields come back from whatever they show.
TEST_F(SettingsTest, ReadsTheOpenPageControls) {
    CVSettingsDlg settings;
    HWND page = CreateWindowExW(0, L"STATIC", L"page", WS_POPUP, 0, 0, 400, 300, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(page, nullptr);
    settings.pageWindow = page;
    auto child = [&](const wchar_t* cls, DWORD style, int id) {
        return CreateWindowExW(0, cls, L"", WS_CHILD | style, 0, 0, 200, 100, page,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
    };
    HWND providers = child(L"COMBOBOX", CBS_DROPDOWNLIST, 1012);
    HWND ciphers = child(L"COMBOBOX", CBS_DROPDOWNLIST, 1020);
    HWND hashes = child(L"COMBOBOX", CBS_DROPDOWNLIST, 1046);
    HWND lengths = child(L"COMBOBOX", CBS_DROPDOWN, 1021);
    for (int id : {1007, 1015, 1016, 1126, 1017, 1043, 1047, 1112, 1014, 1013}) child(L"BUTTON", BS_AUTOCHECKBOX, id);
    SendMessageW(providers, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"System default"));
    SendMessageW(providers, CB_SETITEMDATA, 0, PROV_RSA_FULL);
    SendMessageW(providers, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Chosen Provider"));
    SendMessageW(providers, CB_SETITEMDATA, 1, PROV_RSA_AES);
    PROV_ENUMALGS_EX aes = {};
    aes.aiAlgid = CALG_AES_128;
    PROV_ENUMALGS_EX md5 = {};
    md5.aiAlgid = CALG_MD5;
    SendMessageW(ciphers, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"AES"));
    SendMessageW(ciphers, CB_SETITEMDATA, 0, reinterpret_cast<LPARAM>(&aes));
    SendMessageW(hashes, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"MD5"));
    SendMessageW(hashes, CB_SETITEMDATA, 0, reinterpret_cast<LPARAM>(&md5));
    SetWindowTextW(lengths, L"128");
    CheckDlgButton(page, 1015, BST_CHECKED);
    CheckDlgButton(page, 1112, BST_CHECKED);

    SendMessageW(providers, CB_SETCURSEL, 1, 0);
    SendMessageW(ciphers, CB_SETCURSEL, 0, 0);
    settings.ReadSettingsPage();
    EXPECT_EQ(settings.CryptCSPname, L"Chosen Provider");
    EXPECT_EQ(settings.CryptCSPtype, static_cast<DWORD>(PROV_RSA_AES));
    EXPECT_EQ(settings.EncryptAlgorithmID, static_cast<DWORD>(CALG_AES_128));
    EXPECT_EQ(settings.HashAlgorithmID, static_cast<DWORD>(CALG_SHA_256));  // nothing selected: unchanged
    EXPECT_EQ(settings.EncryptKeyLength, 128u);
    EXPECT_EQ(settings.DeleteFiles, 1u);
    EXPECT_EQ(settings.CreateSelfdecodedFile, 1u);
    EXPECT_EQ(settings.VerifyCertificates, 0u);  // unchecked box
    EXPECT_EQ(settings.EncryptCreateIV, 0u);

    // The first provider item stands for the default provider: no name.
    SendMessageW(providers, CB_SETCURSEL, 0, 0);
    SendMessageW(hashes, CB_SETCURSEL, 0, 0);
    settings.ReadSettingsPage();
    EXPECT_TRUE(settings.CryptCSPname.empty());
    EXPECT_EQ(settings.CryptCSPtype, static_cast<DWORD>(PROV_RSA_FULL));
    EXPECT_EQ(settings.HashAlgorithmID, static_cast<DWORD>(CALG_MD5));
    settings.DestroyPage();
}

// A key the user may read but not write: its access list denies setting values to everyone, as a
// key an administrator locked would. The access is given back at the end so the key can go.
class WritesDenied {
public:
    explicit WritesDenied(const wchar_t* path) : path_(path) { denied_ = SetAccess(L"D:(D;;0x2;;;WD)(A;;KA;;;WD)"); }
    ~WritesDenied() { SetAccess(L"D:(A;;KA;;;WD)"); }
    bool denied() const { return denied_; }

private:
    bool SetAccess(const wchar_t* access) {
        RegKeyHandle key;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, path_, 0, nullptr, 0, WRITE_DAC | READ_CONTROL, nullptr, key.put(),
                            nullptr) != ERROR_SUCCESS)
            return false;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(access, SDDL_REVISION_1, &descriptor, nullptr))
            return false;
        const bool set = RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS;
        LocalFree(descriptor);
        return set;
    }
    const wchar_t* path_;
    bool denied_ = false;
};

// Every writer of settings and lists says when its values could not be written, with the
// registry's reason, instead of counting them as saved.
TEST_F(SettingsTest, WritersReportValuesTheyCouldNotWrite) {
    WritesDenied settingsKey(kSettingsKey), directory(kDirectoryKey), files(kRecentFilesKey), certificates(kRecentCertsKey);
    ASSERT_TRUE(settingsKey.denied() && directory.denied() && files.denied() && certificates.denied());
    const struct {
        const char* writer;
        std::function<BOOL()> write;
    } writers[] = {
        {"settings", [] { return CVSettingsDlg().SaveSettings(); }},
        {"list view", [] { return CVFilesDlg().SaveView(); }},
        {"directory settings", [] { return SaveDirectorySettings(DirectorySettings()); }},
        {"recent files",
         [] {
             wchar_t path[] = L"C:\\a.txt";
             wchar_t* list[] = {path, nullptr};
             return SaveRecentFiles(list);
         }},
        {"certificate list",
         [] {
             PCCERT_CONTEXT list[] = {
                 testing_support::LoadCertificateFile(testing_support::TestDataFile(L"alice.cer")).release()};
             return SaveCertificateList(list, 1, kRecentCertsKey, FALSE);
         }},
    };
    for (const auto& w : writers) {
        SetLastError(0);
        EXPECT_FALSE(w.write()) << w.writer;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << w.writer;
    }
}

}  // namespace
