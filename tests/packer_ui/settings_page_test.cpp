// The settings page window inside a real parent window: what its controls show for the settings,
// how they follow the provider and algorithm chosen, and what the page gives back when it closes.
#include "packer_ui/settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pack/messages.h"
#include "tests/packer_ui/registry_sandbox.h"
#include "tests/support/capturing_sink.h"
#include "tests/support/test_support.h"

namespace {

const wchar_t kEnhancedProvider[] = L"Microsoft Enhanced Cryptographic Provider v1.0";
const wchar_t kAesProvider[] = L"Microsoft Enhanced RSA and AES Cryptographic Provider";
const wchar_t kAesPrototypeProvider[] = L"Microsoft Enhanced RSA and AES Cryptographic Provider (Prototype)";
const wchar_t kRsaSchannelProvider[] = L"Microsoft RSA SChannel Cryptographic Provider";
const wchar_t kDhSchannelProvider[] = L"Microsoft DH SChannel Cryptographic Provider";
const wchar_t kDssProvider[] = L"Microsoft Base DSS Cryptographic Provider";
const wchar_t kDssDhProvider[] =
    L"Microsoft Enhanced DSS and Diffie-Hellman Cryptographic Provider";
const wchar_t kSystemProviderText[] = L"Выбранный системой криптографический модуль";
const wchar_t kProvidersKey[] = L"Software\\Microsoft\\Cryptography\\Defaults\\Provider";

using testing_support::CapturingSink;

std::wstring ItemText(HWND combo, LRESULT index) {
    LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, index, 0);
    if (length == CB_ERR) return std::wstring();
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(&text[0]));
    text.resize(static_cast<size_t>(length));
    return text;
}

std::vector<std::wstring> ItemTexts(HWND combo) {
    std::vector<std::wstring> texts;
    LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) texts.push_back(ItemText(combo, i));
    return texts;
}

const PROV_ENUMALGS_EX* ItemRecord(HWND combo, LRESULT index) {
    return reinterpret_cast<const PROV_ENUMALGS_EX*>(SendMessageW(combo, CB_GETITEMDATA, index, 0));
}

// The algorithms of a combo's item records, sorted: the provider's order is its own business.
std::vector<ALG_ID> ItemAlgorithms(HWND combo) {
    std::vector<ALG_ID> algorithms;
    LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) algorithms.push_back(ItemRecord(combo, i)->aiAlgid);
    std::sort(algorithms.begin(), algorithms.end());
    return algorithms;
}

ALG_ID SelectedAlgorithm(HWND combo) {
    LRESULT selected = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    return selected == CB_ERR ? 0 : ItemRecord(combo, selected)->aiAlgid;
}

std::wstring SelectedText(HWND combo) {
    LRESULT selected = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    return selected == CB_ERR ? std::wstring() : ItemText(combo, selected);
}

std::vector<std::wstring> Strings(std::initializer_list<DWORD> numbers) {
    std::vector<std::wstring> texts;
    for (DWORD n : numbers) texts.push_back(std::to_wstring(n));
    return texts;
}

using testing_support::Narrow;

// Each test has its own HKEY_CURRENT_USER, a visible parent window and a message sink.
class SettingsPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sandbox_.active());
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
        windowClass.lpszClassName = kParentClass;
        RegisterClassW(&windowClass);  // fails harmlessly when an earlier test registered it
        parent_ = CreateWindowExW(0, kParentClass, L"Quillarent", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, 0, 720,
                                  620, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(parent_, nullptr);
        ShowWindow(parent_, SW_SHOWNOACTIVATE);
    }
    void TearDown() override {
        if (parent_) DestroyWindow(parent_);
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    }

    // Opens and shows the page as the packer window does.
    HWND Open(CVSettingsDlg& settings) {
        settings.parentWindow = parent_;
        EXPECT_TRUE(settings.CreatePage());
        if (settings.pageWindow) ShowWindow(settings.pageWindow, SW_SHOWNA);
        return settings.pageWindow;
    }

    // Selects the item as the user would: the selection, then the notification to the page.
    static void Choose(HWND page, int comboId, LRESULT index) {
        HWND combo = GetDlgItem(page, comboId);
        SendMessageW(combo, CB_SETCURSEL, index, 0);
        SendMessageW(page, WM_COMMAND, MAKEWPARAM(comboId, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
    }
    static bool ChooseText(HWND page, int comboId, const std::wstring& text) {
        LRESULT index = SendDlgItemMessageW(page, comboId, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                            reinterpret_cast<LPARAM>(text.c_str()));
        if (index == CB_ERR) return false;
        Choose(page, comboId, index);
        return true;
    }
    static bool ChooseAlgorithm(HWND page, int comboId, ALG_ID algorithm) {
        HWND combo = GetDlgItem(page, comboId);
        LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            if (ItemRecord(combo, i)->aiAlgid != algorithm) continue;
            Choose(page, comboId, i);
            return true;
        }
        return false;
    }
    static bool Visible(HWND page, int id) { return IsWindowVisible(GetDlgItem(page, id)) != FALSE; }

    static constexpr const wchar_t* kParentClass = L"QuillarentSettingsPageTestParent";
    RegistrySandbox sandbox_;
    CapturingSink sink_;
    HWND parent_ = nullptr;
};

TEST_F(SettingsPageTest, EmptyRegistryShowsTheDefaults) {
    CVSettingsDlg settings;
    HWND page = Open(settings);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(GetParent(page), parent_);
    EXPECT_TRUE(GetWindowLongW(page, GWL_STYLE) & WS_CHILD);

    HWND providers = GetDlgItem(page, kProviderCombo);
    EXPECT_EQ(SendMessageW(providers, CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(ItemText(providers, 0), kSystemProviderText);
    EXPECT_EQ(SendMessageW(providers, CB_GETITEMDATA, 0, 0), PROV_RSA_AES);

    // The system's RSA AES provider: AES-256 and SHA-256 chosen, every signing hash it has listed.
    HWND ciphers = GetDlgItem(page, kEncryptionCombo);
    HWND hashes = GetDlgItem(page, kHashCombo);
    EXPECT_EQ(ItemAlgorithms(ciphers),
              (std::vector<ALG_ID>{CALG_DES, CALG_RC2, CALG_3DES, CALG_AES_128, CALG_AES_128, CALG_AES_192,
                                   CALG_AES_192, CALG_AES_256, CALG_AES_256, CALG_RC4}));
    EXPECT_EQ(ItemAlgorithms(hashes),
              (std::vector<ALG_ID>{CALG_MD5, CALG_SHA1, CALG_SHA_256, CALG_SHA_384, CALG_SHA_512}));
    EXPECT_EQ(SelectedAlgorithm(ciphers), static_cast<ALG_ID>(CALG_AES_256));
    EXPECT_EQ(SelectedAlgorithm(hashes), static_cast<ALG_ID>(CALG_SHA_256));
    HWND lengths = GetDlgItem(page, kKeyLengthCombo);
    EXPECT_EQ(ItemTexts(lengths), Strings({256}));
    EXPECT_EQ(SelectedText(lengths), L"256");

    EXPECT_TRUE(Visible(page, kCreateIvCheck));
    EXPECT_FALSE(Visible(page, kCreateSaltCheck));
    const struct {
        int id;
        UINT state;
    } boxes[] = {
        {kVerifyCertificatesCheck, BST_CHECKED}, {kDeleteFilesCheck, BST_UNCHECKED},
        {kDeleteSafelyCheck, BST_UNCHECKED},     {kOpenFilesCheck, BST_UNCHECKED},
        {kCompressFilesCheck, BST_CHECKED},      {kCloseProgramCheck, BST_CHECKED},
        {kAddCertificatesCheck, BST_CHECKED},    {kSelfDecodingCheck, BST_UNCHECKED},
        {kCreateSaltCheck, BST_CHECKED},         {kCreateIvCheck, BST_CHECKED},
    };
    for (const auto& box : boxes) EXPECT_EQ(IsDlgButtonChecked(page, box.id), box.state) << box.id;
    EXPECT_TRUE(sink_.texts.empty());

    settings.DestroyPage();
    EXPECT_EQ(settings.pageWindow, nullptr);
    EXPECT_FALSE(IsWindow(page));
}

// The providers offered: installed ones of the supported types, after the system's choice.
TEST_F(SettingsPageTest, ProviderListFollowsTheSupportedTypes) {
    const std::vector<DWORD> none;
    const std::vector<DWORD> defaults = {PROV_RSA_FULL, PROV_RSA_AES, PROV_RSA_SCHANNEL, PROV_DH_SCHANNEL};
    const std::vector<DWORD> aesOnly = {PROV_RSA_AES};
    const std::vector<DWORD> dss = {PROV_DSS, PROV_DSS_DH};
    const struct {
        const char* label;
        const std::vector<DWORD>* stored;  // null: no SupportedCSP value
        std::vector<const wchar_t*> shown;
        std::vector<const wchar_t*> hidden;
        bool exact;  // shown is the whole list after the first item
    } cases[] = {
        {"absent", nullptr,
         {kEnhancedProvider, kAesProvider, kRsaSchannelProvider, kDhSchannelProvider},
         {kDssProvider, kDssDhProvider}, false},
        {"empty", &none,
         {kEnhancedProvider, kAesProvider, kRsaSchannelProvider, kDhSchannelProvider},
         {kDssProvider, kDssDhProvider}, false},
        {"RSA/AES only", &aesOnly, {kAesProvider, kAesPrototypeProvider}, {}, true},
        {"DSS types", &dss, {kDssProvider, kDssDhProvider}, {kEnhancedProvider, kAesProvider}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
        if (c.stored) {
            const DWORD size = static_cast<DWORD>(c.stored->size() * sizeof(DWORD));
            ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"SupportedCSP", REG_BINARY,
                                      c.stored->empty() ? nullptr : c.stored->data(), size),
                      ERROR_SUCCESS);
        }
        CVSettingsDlg settings;
        HWND page = Open(settings);
        ASSERT_NE(page, nullptr);
        HWND providers = GetDlgItem(page, kProviderCombo);
        std::vector<std::wstring> names = ItemTexts(providers);
        ASSERT_FALSE(names.empty());
        EXPECT_EQ(names[0], kSystemProviderText);
        EXPECT_EQ(SendMessageW(providers, CB_GETITEMDATA, 0, 0), PROV_RSA_AES);
        names.erase(names.begin());
        for (const wchar_t* name : c.shown)
            EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << Narrow(name);
        for (const wchar_t* name : c.hidden)
            EXPECT_EQ(std::find(names.begin(), names.end(), name), names.end()) << Narrow(name);
        if (c.exact) {
            EXPECT_EQ(names.size(), c.shown.size());
        }
        // Every item after the first carries its provider's type.
        for (LRESULT i = 1; i <= static_cast<LRESULT>(names.size()); ++i) {
            DWORD type = static_cast<DWORD>(SendMessageW(providers, CB_GETITEMDATA, i, 0));
            const std::vector<DWORD>& allowed = c.stored && !c.stored->empty() ? *c.stored : defaults;
            EXPECT_NE(std::find(allowed.begin(), allowed.end(), type), allowed.end()) << Narrow(names[i - 1]);
        }
        settings.DestroyPage();
    }
}

// The stored provider name picks the item, in any letter case; one not installed picks none, and
// closing the page then gives the default provider back. A record naming none keeps its type: the
// RSA full type of earlier set-ups, the RSA AES type of a first start.
TEST_F(SettingsPageTest, StoredProviderNameSelectsItsItem) {
    const struct {
        std::wstring stored;
        DWORD storedType;
        std::wstring selected;  // empty: nothing selected
        bool offersAes;
        std::wstring nameAfter;
        DWORD typeAfter;
    } cases[] = {
        {L"", PROV_RSA_FULL, kSystemProviderText, false, L"", PROV_RSA_FULL},
        {L"", PROV_RSA_AES, kSystemProviderText, true, L"", PROV_RSA_AES},
        {L"microsoft enhanced rsa and aes cryptographic provider", PROV_RSA_AES, kAesProvider, true, kAesProvider,
         PROV_RSA_AES},
        {L"Quillarent Provider Nobody Installed", PROV_RSA_FULL, L"", true, L"", PROV_RSA_AES},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.stored));
        CVSettingsDlg settings;
        settings.CryptCSPname = c.stored;
        settings.CryptCSPtype = c.storedType;
        HWND page = Open(settings);
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(SelectedText(GetDlgItem(page, kProviderCombo)), c.selected);
        std::vector<ALG_ID> ciphers = ItemAlgorithms(GetDlgItem(page, kEncryptionCombo));
        // AES-256 in CBC and in GCM mode.
        EXPECT_EQ(std::count(ciphers.begin(), ciphers.end(), static_cast<ALG_ID>(CALG_AES_256)), c.offersAes ? 2 : 0);
        EXPECT_FALSE(ciphers.empty());
        settings.DestroyPage();
        EXPECT_EQ(settings.CryptCSPname, c.nameAfter);
        EXPECT_EQ(settings.CryptCSPtype, c.typeAfter);
    }
    EXPECT_TRUE(sink_.texts.empty());
}

// The algorithm chosen decides which of IV and salt is offered and the key lengths: the stored
// length for the stored algorithm, the provider's default for any other.
TEST_F(SettingsPageTest, AlgorithmChoiceSetsKeyLengthsAndIvOrSalt) {
    const struct {
        ALG_ID algorithm;
        bool iv;
        bool salt;
        std::vector<std::wstring> lengths;
        std::wstring selected;
    } cases[] = {
        {CALG_RC4, false, true, Strings({40, 80, 128}), L"128"},
        {CALG_DES, true, false, Strings({56}), L"56"},
        {CALG_3DES, true, false, Strings({168}), L"168"},
        {CALG_AES_128, true, false, Strings({128}), L"128"},
        {CALG_AES_192, true, false, Strings({192}), L"192"},
        {CALG_AES_256, true, false, Strings({256}), L"256"},
        {CALG_RC2, true, false, Strings({40, 56, 64, 128}), L"64"},  // back to the stored one
    };
    CVSettingsDlg settings;
    settings.CryptCSPname = kAesProvider;
    settings.CryptCSPtype = PROV_RSA_AES;
    settings.EncryptAlgorithmID = CALG_RC2;
    settings.EncryptKeyLength = 64;
    HWND page = Open(settings);
    ASSERT_NE(page, nullptr);
    HWND lengths = GetDlgItem(page, kKeyLengthCombo);
    EXPECT_EQ(SelectedText(lengths), L"64");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.algorithm);
        ASSERT_TRUE(ChooseAlgorithm(page, kEncryptionCombo, c.algorithm));
        EXPECT_EQ(Visible(page, kCreateIvCheck), c.iv);
        EXPECT_EQ(Visible(page, kCreateSaltCheck), c.salt);
        EXPECT_EQ(ItemTexts(lengths), c.lengths);
        EXPECT_EQ(SelectedText(lengths), c.selected);
    }
    settings.DestroyPage();
}

// AES is offered in GCM mode too: its own item, no IV box, and the mode kept apart from the
// algorithm, which stays the value every build reads.
TEST_F(SettingsPageTest, GcmItemSetsTheModeBesideTheAlgorithm) {
    CVSettingsDlg settings;
    settings.CryptCSPname = kAesProvider;
    HWND page = Open(settings);
    ASSERT_NE(page, nullptr);
    HWND ciphers = GetDlgItem(page, kEncryptionCombo);
    EXPECT_EQ(SelectedText(ciphers).find(L"GCM"), std::wstring::npos);
    LRESULT gcm = CB_ERR;
    for (LRESULT i = 0; i < SendMessageW(ciphers, CB_GETCOUNT, 0, 0); ++i)
        if (ItemRecord(ciphers, i)->aiAlgid == CALG_AES_256 && ItemText(ciphers, i) == L"AES-256 GCM")
            gcm = i;
    ASSERT_NE(gcm, CB_ERR);
    Choose(page, kEncryptionCombo, gcm);
    EXPECT_FALSE(Visible(page, kCreateIvCheck));
    EXPECT_EQ(ItemTexts(GetDlgItem(page, kKeyLengthCombo)), Strings({256}));
    settings.DestroyPage();
    EXPECT_EQ(settings.EncryptAlgorithmID, static_cast<DWORD>(CALG_AES_256));
    EXPECT_EQ(settings.EncryptMode, kEncryptModeGcm);

    page = Open(settings);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(SelectedText(GetDlgItem(page, kEncryptionCombo)), L"AES-256 GCM");
    ASSERT_TRUE(ChooseAlgorithm(page, kEncryptionCombo, CALG_AES_128));  // the CBC item comes first
    settings.DestroyPage();
    EXPECT_EQ(settings.EncryptMode, kEncryptModeCbc);
}

// Choosing another provider lists its algorithms; the choice made before stays where it can.
TEST_F(SettingsPageTest, ProviderChoiceRefillsTheAlgorithmLists) {
    CVSettingsDlg settings;
    settings.EncryptAlgorithmID = CALG_3DES;
    settings.HashAlgorithmID = CALG_MD5;
    HWND page = Open(settings);
    ASSERT_NE(page, nullptr);
    HWND ciphers = GetDlgItem(page, kEncryptionCombo);
    HWND hashes = GetDlgItem(page, kHashCombo);
    ASSERT_TRUE(ChooseText(page, kProviderCombo, kAesProvider));
    EXPECT_EQ(ItemAlgorithms(ciphers),
              (std::vector<ALG_ID>{CALG_DES, CALG_RC2, CALG_3DES, CALG_AES_128, CALG_AES_128, CALG_AES_192,
                                   CALG_AES_192, CALG_AES_256, CALG_AES_256, CALG_RC4}));
    EXPECT_EQ(SelectedAlgorithm(ciphers), static_cast<ALG_ID>(CALG_3DES));
    EXPECT_EQ(SelectedAlgorithm(hashes), static_cast<ALG_ID>(CALG_MD5));
    EXPECT_EQ(ItemTexts(GetDlgItem(page, kKeyLengthCombo)), Strings({168}));

    // The base provider: 40 and 56 bits only, and no 3DES to select.
    ASSERT_TRUE(ChooseText(page, kProviderCombo, L"Microsoft Base Cryptographic Provider v1.0"));
    EXPECT_EQ(ItemAlgorithms(ciphers), (std::vector<ALG_ID>{CALG_DES, CALG_RC2, CALG_RC4}));
    EXPECT_EQ(SelectedAlgorithm(ciphers), 0u);
    EXPECT_FALSE(Visible(page, kCreateIvCheck));
    EXPECT_FALSE(Visible(page, kCreateSaltCheck));
    EXPECT_EQ(SendDlgItemMessageW(page, kKeyLengthCombo, CB_GETCOUNT, 0, 0), 0);
    ASSERT_TRUE(ChooseAlgorithm(page, kEncryptionCombo, CALG_RC2));
    EXPECT_EQ(ItemTexts(GetDlgItem(page, kKeyLengthCombo)), Strings({40, 56}));
    EXPECT_TRUE(sink_.texts.empty());
    settings.DestroyPage();
}

// A listed provider that cannot be opened: the platform's text for the error, and the lists of
// the provider chosen before stay.
TEST_F(SettingsPageTest, ProviderThatCannotBeOpenedKeepsTheLists) {
    const std::wstring broken = L"Quillarent Test Provider Without Image";
    const std::wstring brokenKey = std::wstring(kProvidersKey) + L"\\" + broken;
    const DWORD type = PROV_RSA_FULL;
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, brokenKey.c_str(), L"Type", REG_DWORD, &type, sizeof type),
              ERROR_SUCCESS);
    struct KeyRemover {
        std::wstring key;
        ~KeyRemover() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str()); }
    } remover{brokenKey};
    HCRYPTPROV probe = 0;
    ASSERT_FALSE(CryptAcquireContextW(&probe, nullptr, broken.c_str(), type, CRYPT_VERIFYCONTEXT));
    const std::wstring expected = SystemErrorText(GetLastError());

    CVSettingsDlg settings;
    settings.CryptCSPtype = PROV_RSA_FULL;
    settings.EncryptAlgorithmID = CALG_RC2;
    settings.EncryptKeyLength = 40;
    HWND page = Open(settings);
    ASSERT_NE(page, nullptr);
    HWND ciphers = GetDlgItem(page, kEncryptionCombo);
    const std::vector<std::wstring> before = ItemTexts(ciphers);
    ASSERT_TRUE(ChooseText(page, kProviderCombo, broken));
    ASSERT_EQ(sink_.texts.size(), 1u);
    EXPECT_EQ(sink_.texts[0], expected);
    EXPECT_TRUE(sink_.captions[0].empty());
    EXPECT_EQ(sink_.styles[0] & MB_ICONMASK, static_cast<UINT>(MB_ICONINFORMATION));
    EXPECT_EQ(ItemTexts(ciphers), before);
    EXPECT_EQ(SelectedAlgorithm(ciphers), static_cast<ALG_ID>(CALG_RC2));
    settings.DestroyPage();
}

// What the user changes reaches the fields when the page closes, and the registry when saved.
TEST_F(SettingsPageTest, ClosingThePageKeepsWhatTheControlsShow) {
    const struct {
        const wchar_t* provider;  // null: the system's choice
        DWORD providerType;
        ALG_ID cipher;
        const wchar_t* length;
        ALG_ID hash;
    } cases[] = {
        {nullptr, PROV_RSA_AES, CALG_RC4, L"80", CALG_MD5},
        {kAesProvider, PROV_RSA_AES, CALG_AES_256, L"256", CALG_SHA1},
        {kEnhancedProvider, PROV_RSA_FULL, CALG_RC2, L"128", CALG_SHA1},
    };
    const int flagBoxes[] = {kVerifyCertificatesCheck, kDeleteFilesCheck,     kDeleteSafelyCheck,
                             kOpenFilesCheck,          kCompressFilesCheck,   kCloseProgramCheck,
                             kAddCertificatesCheck,    kSelfDecodingCheck,    kCreateSaltCheck,
                             kCreateIvCheck};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cipher);
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
        CVSettingsDlg settings;
        settings.CryptCSPname = kDssProvider;  // anything but what the page is left showing
        HWND page = Open(settings);
        ASSERT_NE(page, nullptr);
        ASSERT_TRUE(ChooseText(page, kProviderCombo, c.provider ? c.provider : kSystemProviderText));
        ASSERT_TRUE(ChooseAlgorithm(page, kEncryptionCombo, c.cipher));
        ASSERT_TRUE(ChooseText(page, kKeyLengthCombo, c.length));
        ASSERT_TRUE(ChooseAlgorithm(page, kHashCombo, c.hash));
        // Every box the other way round from the defaults.
        for (int id : flagBoxes)
            CheckDlgButton(page, id, IsDlgButtonChecked(page, id) == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED);

        settings.DestroyPage();
        EXPECT_EQ(settings.CryptCSPname, c.provider ? c.provider : L"");
        EXPECT_EQ(settings.CryptCSPtype, c.providerType);
        EXPECT_EQ(settings.EncryptAlgorithmID, c.cipher);
        EXPECT_EQ(std::to_wstring(settings.EncryptKeyLength), c.length);
        EXPECT_EQ(settings.HashAlgorithmID, c.hash);
        const DWORD flags[] = {settings.VerifyCertificates, settings.DeleteFiles,  settings.DeleteSafelyFiles,
                               settings.OpenFiles,          settings.CompressFiles, settings.CloseProgram,
                               settings.AddCertsToSignedFile, settings.CreateSelfdecodedFile,
                               settings.EncryptCreateSalt,  settings.EncryptCreateIV};
        EXPECT_EQ(std::vector<DWORD>(std::begin(flags), std::end(flags)),
                  (std::vector<DWORD>{0, 1, 1, 1, 0, 0, 0, 1, 0, 0}));

        settings.SaveSettings();
        CVSettingsDlg reloaded;
        EXPECT_EQ(reloaded.CryptCSPname, settings.CryptCSPname);
        EXPECT_EQ(reloaded.CryptCSPtype, c.providerType);
        EXPECT_EQ(reloaded.EncryptAlgorithmID, c.cipher);
        EXPECT_EQ(reloaded.EncryptKeyLength, settings.EncryptKeyLength);
        EXPECT_EQ(reloaded.HashAlgorithmID, c.hash);
        EXPECT_EQ(reloaded.DeleteSafelyFiles, 1u);
        EXPECT_EQ(reloaded.EncryptCreateIV, 0u);

        // Opened again, the page shows what was saved.
        page = Open(reloaded);
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(SelectedText(GetDlgItem(page, kProviderCombo)), c.provider ? c.provider : kSystemProviderText);
        EXPECT_EQ(SelectedAlgorithm(GetDlgItem(page, kEncryptionCombo)), c.cipher);
        EXPECT_EQ(SelectedText(GetDlgItem(page, kKeyLengthCombo)), c.length);
        EXPECT_EQ(IsDlgButtonChecked(page, kDeleteSafelyCheck), static_cast<UINT>(BST_CHECKED));
        reloaded.DestroyPage();
    }
}

// The page may go before the settings object, with its parent, or with the object itself.
TEST_F(SettingsPageTest, PageClosesWithItsParentOrItsObject) {
    HWND page = nullptr;
    {
        CVSettingsDlg settings;
        page = Open(settings);
        ASSERT_NE(page, nullptr);
    }
    EXPECT_FALSE(IsWindow(page));

    CVSettingsDlg settings;
    page = Open(settings);
    ASSERT_NE(page, nullptr);
    CheckDlgButton(page, kOpenFilesCheck, BST_CHECKED);
    DestroyWindow(parent_);
    parent_ = nullptr;
    EXPECT_FALSE(IsWindow(page));
    EXPECT_EQ(settings.pageWindow, nullptr);
    EXPECT_EQ(settings.OpenFiles, 1u);
}

}  // namespace
