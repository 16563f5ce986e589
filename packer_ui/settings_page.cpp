// The settings page window: its controls show the settings record and give it back when the page
// closes. The algorithm lists come from the chosen provider itself, so the page offers only what
// the engine will be able to use with it.
#include "packer_ui/settings.h"

#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <string>

#include "format/algorithms.h"
#include "format/service/algorithm_names.h"
#include "format/service/crypto_handles.h"
#include "format/service/resources.h"
#include "pack/messages.h"

namespace {

constexpr UINT kSystemProviderText = 525;
const wchar_t kProvidersKey[] = L"Software\\Microsoft\\Cryptography\\Defaults\\Provider";
// Provider types offered while the settings name none of their own.
const DWORD kDefaultProviderTypes[] = {PROV_RSA_FULL, PROV_RSA_AES, PROV_RSA_SCHANNEL, PROV_DH_SCHANNEL};

struct CheckBox {
    int id;
    DWORD CVSettingsDlg::*field;
};

const CheckBox kCheckBoxes[] = {
    {kVerifyCertificatesCheck, &CVSettingsDlg::VerifyCertificates},
    {kDeleteFilesCheck, &CVSettingsDlg::DeleteFiles},
    {kDeleteSafelyCheck, &CVSettingsDlg::DeleteSafelyFiles},
    {kOpenFilesCheck, &CVSettingsDlg::OpenFiles},
    {kCompressFilesCheck, &CVSettingsDlg::CompressFiles},
    {kCloseProgramCheck, &CVSettingsDlg::CloseProgram},
    {kAddCertificatesCheck, &CVSettingsDlg::AddCertsToSignedFile},
    {kSelfDecodingCheck, &CVSettingsDlg::CreateSelfdecodedFile},
    {kCreateSaltCheck, &CVSettingsDlg::EncryptCreateSalt},
    {kCreateIvCheck, &CVSettingsDlg::EncryptCreateIV},
    {kKeyTransportOaepCheck, &CVSettingsDlg::KeyTransport},
};

LRESULT AddComboItem(HWND combo, const std::wstring& text, LPARAM data) {
    LRESULT index = SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    if (index >= 0) SendMessageW(combo, CB_SETITEMDATA, index, data);
    return index;
}

std::wstring ComboItemText(HWND combo, LRESULT index) {
    LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, index, 0);
    if (length == CB_ERR) return std::wstring();
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    length = SendMessageW(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(&text[0]));
    text.resize(length == CB_ERR ? 0 : static_cast<size_t>(length));
    return text;
}

// The hashes a signature can name.
bool IsSigningHash(ALG_ID algorithm) {
    return algorithm == CALG_MD5 || algorithm == CALG_SHA1 || algorithm == CALG_SHA_256 || algorithm == CALG_SHA_384 ||
           algorithm == CALG_SHA_512;
}

// An algorithm combo's items carry an owned copy of the provider's PROV_ENUMALGS_EX record and
// the mode the item stands for (AES is offered in CBC and in GCM mode).
struct AlgorithmItem {
    PROV_ENUMALGS_EX record;
    DWORD mode;
};

const AlgorithmItem* SelectedAlgorithm(HWND page, int comboId) {
    HWND combo = GetDlgItem(page, comboId);
    LRESULT selected = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    if (selected == CB_ERR) return nullptr;
    LRESULT data = SendMessageW(combo, CB_GETITEMDATA, selected, 0);
    return data == CB_ERR ? nullptr : reinterpret_cast<const AlgorithmItem*>(data);
}

// No selection keeps the fields.
void ReadSelectedAlgorithm(HWND page, int comboId, DWORD& field, DWORD* mode = nullptr) {
    const AlgorithmItem* item = SelectedAlgorithm(page, comboId);
    if (!item) return;
    field = item->record.aiAlgid;
    if (mode) *mode = item->mode;
}

void ClearAlgorithmCombo(HWND combo) {
    LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        LRESULT data = SendMessageW(combo, CB_GETITEMDATA, i, 0);
        if (data != CB_ERR) delete reinterpret_cast<AlgorithmItem*>(data);
    }
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
}

// The record's long name is ANSI text of at most 40 characters, not always terminated.
std::wstring AlgorithmName(const PROV_ENUMALGS_EX& record) {
    int length = static_cast<int>(strnlen(record.szLongName, sizeof record.szLongName));
    std::wstring name(static_cast<size_t>(length), L'\0');
    if (length > 0) length = MultiByteToWideChar(CP_ACP, 0, record.szLongName, length, &name[0], length);
    name.resize(static_cast<size_t>(std::max(length, 0)));
    return name;
}

void AddAlgorithm(HWND combo, const PROV_ENUMALGS_EX& record, DWORD current, DWORD mode = kEncryptModeCbc,
                  DWORD currentMode = kEncryptModeCbc) {
    auto* item = new (std::nothrow) AlgorithmItem{record, mode};
    if (!item) return;
    // The GCM items take the short name ("AES-256 GCM"), as the Info page does: the provider's long name
    // with the mode beside it no longer fits the closed combo box.
    std::wstring name = mode == kEncryptModeGcm ? GcmDisplayName(record.aiAlgid) : AlgorithmName(record);
    LRESULT index = AddComboItem(combo, name, reinterpret_cast<LPARAM>(item));
    if (index < 0) {
        delete item;
        return;
    }
    if (record.aiAlgid == current && mode == currentMode) SendMessageW(combo, CB_SETCURSEL, index, 0);
}

bool IsSupportedProviderType(DWORD type, const std::vector<DWORD>& supported) {
    if (supported.empty())
        return std::find(std::begin(kDefaultProviderTypes), std::end(kDefaultProviderTypes), type) !=
               std::end(kDefaultProviderTypes);
    return std::find(supported.begin(), supported.end(), type) != supported.end();
}

// Every installed provider of a supported type, with the type as item data.
void AddInstalledProviders(HWND combo, const std::vector<DWORD>& supported) {
    RegKeyHandle providers;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProvidersKey, 0, KEY_READ, providers.put()) != ERROR_SUCCESS) return;
    wchar_t name[256];  // the longest key name the registry allows, and its terminator
    for (DWORD i = 0;; ++i) {
        DWORD length = static_cast<DWORD>(std::size(name));
        if (RegEnumKeyExW(providers.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        DWORD type = 0;
        DWORD size = sizeof type;
        if (RegGetValueW(providers.get(), name, L"Type", RRF_RT_REG_DWORD, nullptr, &type, &size) == ERROR_SUCCESS &&
            IsSupportedProviderType(type, supported))
            AddComboItem(combo, name, type);
    }
}

// No name: the first item, the system's choice. A name not in the list selects nothing.
void SelectProvider(HWND combo, const std::wstring& name) {
    LRESULT selection = name.empty() ? 0 : CB_ERR;
    LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 1; selection == CB_ERR && i < count; ++i) {
        std::wstring text = ComboItemText(combo, i);
        if (CompareStringOrdinal(text.c_str(), -1, name.c_str(), -1, TRUE) == CSTR_EQUAL) selection = i;
    }
    SendMessageW(combo, CB_SETCURSEL, selection, 0);
}

void ShowControl(HWND page, int id, bool show) { ShowWindow(GetDlgItem(page, id), show ? SW_SHOW : SW_HIDE); }

// The page gets the width the packer window has for it: the group boxes, the wide combo boxes and
// the check boxes end a margin short of its right edge (the key-length box keeps its width).
void StretchToWidth(HWND page) {
    RECT client, margins = {2, 0, 8, 0};
    GetClientRect(page, &client);
    MapDialogRect(page, &margins);
    for (HWND child = GetWindow(page, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        const int id = GetDlgCtrlID(child);
        wchar_t cls[16] = {};
        GetClassNameW(child, cls, 16);
        const LONG style = GetWindowLongW(child, GWL_STYLE);
        const bool button = lstrcmpiW(cls, L"Button") == 0;
        const bool group = button && (style & BS_TYPEMASK) == BS_GROUPBOX;
        const bool wide = id == kProviderCombo || id == kEncryptionCombo || id == kHashCombo || (button && !group);
        if (!group && !wide) continue;
        RECT rect;
        GetWindowRect(child, &rect);
        MapWindowPoints(nullptr, page, reinterpret_cast<POINT*>(&rect), 2);
        const LONG right = client.right - (group ? margins.left : margins.right);
        SetWindowPos(child, nullptr, 0, 0, std::max<LONG>(right - rect.left, 0), rect.bottom - rect.top,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    // A group box paints only its frame: without a fresh background its old right edge would stay.
    InvalidateRect(page, nullptr, TRUE);
}

INT_PTR CALLBACK SettingsPageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* settings = reinterpret_cast<CVSettingsDlg*>(GetWindowLongPtrW(window, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        settings = reinterpret_cast<CVSettingsDlg*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        settings->pageWindow = window;
        settings->FillSettingsPage();
        return FALSE;  // the packer window decides where the focus goes
    case WM_SIZE:
        StretchToWidth(window);
        return TRUE;
    case WM_COMMAND:
        if (!settings || HIWORD(wParam) != CBN_SELCHANGE) return FALSE;
        if (LOWORD(wParam) == kProviderCombo) {
            settings->FillAlgorithmLists();
            return TRUE;
        }
        if (LOWORD(wParam) == kEncryptionCombo) {
            settings->FillKeyLengths();
            return TRUE;
        }
        return FALSE;
    case WM_DESTROY:
        // The controls still exist here; their records go only after the fields are read.
        if (settings) {
            settings->ReadSettingsPage();
            ClearAlgorithmCombo(GetDlgItem(window, kEncryptionCombo));
            ClearAlgorithmCombo(GetDlgItem(window, kHashCombo));
        }
        return FALSE;
    case WM_NCDESTROY:
        // Also when the packer window goes first and takes the page with it.
        if (settings && settings->pageWindow == window) settings->pageWindow = nullptr;
        return FALSE;
    }
    return FALSE;
}

}  // namespace

CVSettingsDlg::~CVSettingsDlg() { DestroyPage(); }

BOOL CVSettingsDlg::CreatePage() {
    if (pageWindow) return TRUE;
    // WM_INITDIALOG stores the handle in pageWindow before it fills the controls.
    return CreateDialogParamW(ResourceModule(), MAKEINTRESOURCEW(kSettingsPageDialog), parentWindow,
                              SettingsPageProc, reinterpret_cast<LPARAM>(this)) != nullptr;
}

void CVSettingsDlg::FillSettingsPage() {
    for (const CheckBox& box : kCheckBoxes)
        CheckDlgButton(pageWindow, box.id, this->*box.field ? BST_CHECKED : BST_UNCHECKED);
    HWND providers = GetDlgItem(pageWindow, kProviderCombo);
    // The system's default provider of the RSA AES type, which offers AES and the SHA-2 hashes; for
    // a record of an earlier set-up that named none of the RSA full type, that type's as before.
    const bool earlierDefault = CryptCSPname.empty() && CryptCSPtype == PROV_RSA_FULL;
    AddComboItem(providers, LoadText(kSystemProviderText), earlierDefault ? PROV_RSA_FULL : PROV_RSA_AES);
    AddInstalledProviders(providers, SupportedCSP);
    SelectProvider(providers, CryptCSPname);
    FillAlgorithmLists();
}

void CVSettingsDlg::FillAlgorithmLists() {
    HWND providers = GetDlgItem(pageWindow, kProviderCombo);
    LRESULT selected = SendMessageW(providers, CB_GETCURSEL, 0, 0);
    std::wstring name = selected > 0 ? ComboItemText(providers, selected) : std::wstring();
    DWORD type = PROV_RSA_AES;
    if (selected != CB_ERR) type = static_cast<DWORD>(SendMessageW(providers, CB_GETITEMDATA, selected, 0));

    ProviderHandle provider;
    if (!CryptAcquireContextW(provider.put(), nullptr, name.empty() ? nullptr : name.c_str(), type,
                              CRYPT_VERIFYCONTEXT)) {
        DWORD error = GetLastError();
        ShowMessageText(pageWindow, SystemErrorText(error), std::wstring(), MB_OK | MB_ICONINFORMATION);
        return;
    }
    HWND ciphers = GetDlgItem(pageWindow, kEncryptionCombo);
    HWND hashes = GetDlgItem(pageWindow, kHashCombo);
    ClearAlgorithmCombo(ciphers);
    ClearAlgorithmCombo(hashes);
    PROV_ENUMALGS_EX record;
    DWORD size = sizeof record;
    std::vector<PROV_ENUMALGS_EX> aes;
    const DWORD mode = alg::IsAes(EncryptAlgorithmID) ? EncryptMode : kEncryptModeCbc;
    for (DWORD flags = CRYPT_FIRST;
         CryptGetProvParam(provider.get(), PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&record), &size, flags);
         flags = 0, size = sizeof record) {
        if (alg::IsContentEncryption(record.aiAlgid))
            AddAlgorithm(ciphers, record, EncryptAlgorithmID, kEncryptModeCbc, mode);
        else if (IsSigningHash(record.aiAlgid))
            AddAlgorithm(hashes, record, HashAlgorithmID);
        if (alg::IsAes(record.aiAlgid)) aes.push_back(record);
    }
    // GCM runs in the system's own code with the provider's key, so every AES the provider makes
    // is offered in that mode too, after the provider's own list.
    for (const PROV_ENUMALGS_EX& cipher : aes)
        AddAlgorithm(ciphers, cipher, EncryptAlgorithmID, kEncryptModeGcm, mode);
    FillKeyLengths();
}

void CVSettingsDlg::FillKeyLengths() {
    const AlgorithmItem* item = SelectedAlgorithm(pageWindow, kEncryptionCombo);
    const PROV_ENUMALGS_EX* record = item ? &item->record : nullptr;
    ALG_ID algorithm = record ? record->aiAlgid : 0;
    // A GCM nonce is always random: the IV box is for CBC only.
    ShowControl(pageWindow, kCreateIvCheck, item && alg::IsBlockCipher(algorithm) && item->mode == kEncryptModeCbc);
    ShowControl(pageWindow, kCreateSaltCheck, algorithm == CALG_RC4);

    HWND lengths = GetDlgItem(pageWindow, kKeyLengthCombo);
    SendMessageW(lengths, CB_RESETCONTENT, 0, 0);
    if (!record) return;
    // The stored length belongs to the stored algorithm; any other starts from its default.
    DWORD current = algorithm == EncryptAlgorithmID ? EncryptKeyLength : record->dwDefaultLen;
    LRESULT selection = 0;
    for (uint32_t bits : alg::OfferedKeyLengths(algorithm, record->dwDefaultLen, record->dwMinLen, record->dwMaxLen)) {
        LRESULT index = AddComboItem(lengths, std::to_wstring(bits), bits);
        if (bits == current && index >= 0) selection = index;
    }
    SendMessageW(lengths, CB_SETCURSEL, selection, 0);
}

void CVSettingsDlg::ReadSettingsPage() {
    if (!pageWindow) return;  // the fields already hold what the closed page showed
    HWND providers = GetDlgItem(pageWindow, kProviderCombo);
    LRESULT selected = SendMessageW(providers, CB_GETCURSEL, 0, 0);
    // The first provider item stands for the system's default provider: no name.
    CryptCSPname = selected > 0 ? ComboItemText(providers, selected) : std::wstring();
    CryptCSPtype = PROV_RSA_AES;
    if (selected != CB_ERR) CryptCSPtype = static_cast<DWORD>(SendMessageW(providers, CB_GETITEMDATA, selected, 0));
    ReadSelectedAlgorithm(pageWindow, kEncryptionCombo, EncryptAlgorithmID, &EncryptMode);
    ReadSelectedAlgorithm(pageWindow, kHashCombo, HashAlgorithmID);
    for (const CheckBox& box : kCheckBoxes) this->*box.field = IsDlgButtonChecked(pageWindow, box.id) == BST_CHECKED;
    EncryptKeyLength = GetDlgItemInt(pageWindow, kKeyLengthCombo, nullptr, FALSE);
}
