// The directory settings in the registry and their dialog (template 204).
#include <windows.h>
#include <commctrl.h>

#include <cwchar>

#include "format/service/crypto_handles.h"
#include "format/service/resources.h"
#include "pack/messages.h"
#include "packer_ui/directory_search.h"
#include "packer_ui/protected_value.h"
#include "packer_ui/settings.h"

const wchar_t kDirectoryKey[] = L"Software\\Orbelin\\Quillarent\\Directory";

namespace {

constexpr int kMostSpinValue = 32767;

struct TextValue {
    const wchar_t* name;
    std::wstring DirectorySettings::*field;
    int control;
};
const TextValue kTextValues[] = {
    {L"DirectoryServer", &DirectorySettings::server, kServerEdit},
    {L"SearchContainer", &DirectorySettings::container, kContainerEdit},
    {L"SearchFilter", &DirectorySettings::filter, kFilterEdit},
    {L"DisplayAttributes", &DirectorySettings::displayAttributes, kDisplayAttributesEdit},
    {L"CertificateAttributes", &DirectorySettings::certificateAttributes, kCertificateAttributesEdit},
    {L"AuthentificationDomain", &DirectorySettings::domain, kDomainEdit},
    {L"AuthentificationName", &DirectorySettings::userName, kUserNameEdit},
};

struct FlagValue {
    const wchar_t* name;
    DWORD DirectorySettings::*field;
    int control;
};
const FlagValue kFlagValues[] = {
    {L"SortItems", &DirectorySettings::sortItems, kSortItemsCheck},
    {L"AuthentificationSimple", &DirectorySettings::simpleBind, kSimpleBindCheck},
};

struct NumberValue {
    const wchar_t* name;
    LONG DirectorySettings::*field;
    int control, spin;
};
const NumberValue kNumberValues[] = {
    {L"SearchTimeout", &DirectorySettings::searchTimeout, kTimeLimitEdit, kTimeLimitSpin},
    {L"MaxItemsCount", &DirectorySettings::maxItemsCount, kMaxItemsEdit, kMaxItemsSpin},
};

constexpr wchar_t kPasswordValue[] = L"AuthentificationPassword";

DWORD ReadNumber(HKEY key, const wchar_t* name) {
    DWORD value = 0, size = sizeof value;
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) return 0;
    return value;
}

// A value that is written only when it means something, else deleted.
void WriteOrDelete(RegistryWrites& writes, HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD size,
                   bool write) {
    if (write) writes.Note(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size));
    else writes.Note(RegDeleteValueW(key, name), true);
}

std::wstring ControlText(HWND dialog, int control) {
    HWND edit = GetDlgItem(dialog, control);
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(edit)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(edit, &text[0], static_cast<int>(text.size()))));
    return text;
}

void WipeText(std::wstring& text) {
    if (!text.empty()) SecureZeroMemory(&text[0], text.size() * sizeof(wchar_t));
    text.clear();
}

void FillSettingsDialog(HWND dialog, DirectorySettings& settings) {
    for (const TextValue& value : kTextValues) SetDlgItemTextW(dialog, value.control, (settings.*value.field).c_str());
    for (const FlagValue& value : kFlagValues)
        CheckDlgButton(dialog, value.control, settings.*value.field ? BST_CHECKED : BST_UNCHECKED);
    for (const NumberValue& value : kNumberValues) {
        HWND spin = GetDlgItem(dialog, value.spin);
        SendMessageW(spin, UDM_SETBUDDY, reinterpret_cast<WPARAM>(GetDlgItem(dialog, value.control)), 0);
        SendMessageW(spin, UDM_SETRANGE32, 0, kMostSpinValue);
        SetDlgItemInt(dialog, value.control, static_cast<UINT>(settings.*value.field), FALSE);
    }
    SendDlgItemMessageW(dialog, kPasswordEdit, EM_LIMITTEXT, 256, 0);
    std::wstring password;
    RevealPassword(settings, password);
    SetDlgItemTextW(dialog, kPasswordEdit, password.c_str());
    WipeText(password);
}

// False when the new password could not be protected: nothing is then taken from the dialog.
bool ReadSettingsDialog(HWND dialog, DirectorySettings& settings) {
    std::wstring password = ControlText(dialog, kPasswordEdit);
    const bool protectedNow = ProtectPassword(settings, password);
    WipeText(password);
    if (!protectedNow) return false;
    for (const TextValue& value : kTextValues) settings.*value.field = ControlText(dialog, value.control);
    for (const FlagValue& value : kFlagValues)
        settings.*value.field = IsDlgButtonChecked(dialog, value.control) == BST_CHECKED ? 1 : 0;
    for (const NumberValue& value : kNumberValues)
        settings.*value.field = static_cast<LONG>(GetDlgItemInt(dialog, value.control, nullptr, FALSE));
    return true;
}

INT_PTR CALLBACK SettingsProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* settings = reinterpret_cast<DirectorySettings*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            FillSettingsDialog(dialog, *reinterpret_cast<DirectorySettings*>(lParam));
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK && settings) {
                if (!ReadSettingsDialog(dialog, *settings)) {
                    ShowMessageBox(dialog, 0, MB_OK | MB_ICONERROR, nullptr, GetLastError());
                    return TRUE;
                }
                // Settings that could not be kept are said; the search still runs with them.
                if (!SaveDirectorySettings(*settings)) ReportSettingsNotSaved(dialog, GetLastError());
                EndDialog(dialog, IDOK);
                return TRUE;
            }
            if (LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, IDCANCEL);
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

void LoadDirectorySettings(DirectorySettings& settings) {
    settings = DirectorySettings();
    RegKeyHandle key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kDirectoryKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return;
    for (const TextValue& value : kTextValues) settings.*value.field = ReadRegistryText(key.get(), nullptr, value.name);
    for (const FlagValue& value : kFlagValues) settings.*value.field = ReadNumber(key.get(), value.name) ? 1 : 0;
    for (const NumberValue& value : kNumberValues)
        settings.*value.field = static_cast<LONG>(ReadNumber(key.get(), value.name));
    settings.password = ReadRegistryBytes(key.get(), nullptr, kPasswordValue);
}

BOOL SaveDirectorySettings(const DirectorySettings& settings) {
    RegKeyHandle key;
    RegistryWrites writes;
    writes.Note(RegCreateKeyExW(HKEY_CURRENT_USER, kDirectoryKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr));
    if (!key) return writes.Result();
    for (const TextValue& value : kTextValues) {
        const std::wstring& text = settings.*value.field;
        WriteOrDelete(writes, key.get(), value.name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)),
                      !text.empty());
    }
    for (const NumberValue& value : kNumberValues) {
        const DWORD number = static_cast<DWORD>(settings.*value.field);
        WriteOrDelete(writes, key.get(), value.name, REG_DWORD, &number, sizeof number, settings.*value.field > 0);
    }
    const DWORD one = 1;
    for (const FlagValue& value : kFlagValues)
        WriteOrDelete(writes, key.get(), value.name, REG_DWORD, &one, sizeof one, settings.*value.field != 0);
    WriteOrDelete(writes, key.get(), kPasswordValue, REG_BINARY, settings.password.data(),
                  static_cast<DWORD>(settings.password.size()), !settings.password.empty());
    return writes.Result();
}

bool RevealPassword(DirectorySettings& settings, std::wstring& password) {
    WipeText(password);
    if (settings.password.empty()) return true;
    return RevealProtectedText(settings.password, password) != FALSE;
}

bool ProtectPassword(DirectorySettings& settings, const std::wstring& password) {
    if (password.empty()) {
        settings.password.clear();
        return true;
    }
    DWORD length = static_cast<DWORD>((password.size() + 1) * sizeof(wchar_t));
    // Room for the ciphertext: the length rounded up to a multiple of 8, plus one block.
    std::vector<BYTE> buffer((length + 7) / 8 * 8 + 8, 0);
    memcpy(buffer.data(), password.c_str(), length);
    if (!ProtectValue(FALSE, buffer.data(), &length, static_cast<DWORD>(buffer.size()))) {
        SecureZeroMemory(buffer.data(), buffer.size());
        return false;
    }
    buffer.resize(length);
    settings.password = std::move(buffer);
    return true;
}

INT_PTR EditDirectorySettings(HWND owner, DirectorySettings& settings) {
    return DialogBoxParamW(ResourceModule(), MAKEINTRESOURCEW(kDirectorySettingsDialog), owner, SettingsProc,
                           reinterpret_cast<LPARAM>(&settings));
}
