// quill settings: the packer's and the unpacker's registry values under HKEY_CURRENT_USER
// "Software\Orbelin\Quillarent" with their current values and defaults; one value changed at a time.
#include <windows.h>

#include <string>
#include <vector>

#include "format/service/crypto_handles.h"
#include "tools/commands.h"
#include "tools/console.h"
#include "tools/settings_values.h"

namespace {

const wchar_t kSettingsKey[] = L"Software\\Orbelin\\Quillarent";

// Reads a value; false when it is not there.
bool ReadSetting(HKEY key, const wchar_t* name, DWORD& type, std::vector<BYTE>& data) {
    DWORD size = 0;
    if (!key || RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    data.assign(size, 0);
    if (size && RegQueryValueExW(key, name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) return false;
    data.resize(size);
    return true;
}

void PrintSetting(HKEY key, const SettingInfo& setting) {
    DWORD type = 0;
    std::vector<BYTE> data;
    std::wstring value = ReadSetting(key, setting.name, type, data) ? DecodeSettingValue(setting.kind, type, data)
                                                                    : std::wstring(L"(not set)");
    PrintLine(std::wstring(setting.name) + L" = " + value + L"  [default " + setting.defaultText + L"]");
}

}  // namespace

int CommandSettings(ArgumentReader& arguments) {
    std::vector<std::wstring> operands;
    while (!arguments.AtEnd()) {
        const std::wstring& argument = arguments.Next();
        if (argument == L"--" && !arguments.IsOption()) continue;
        if (arguments.IsOption()) return UsageError(L"unknown option --" + arguments.OptionName());
        operands.push_back(argument);
    }
    if (operands.size() > 2) return UsageError(L"settings takes at most a name and a value");

    if (operands.size() < 2) {
        RegKeyHandle key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) key.reset();
        if (operands.empty()) {
            for (const SettingInfo& setting : AllSettings()) PrintSetting(key.get(), setting);
            return 0;
        }
        const SettingInfo* setting = FindSetting(operands[0]);
        if (!setting) return UsageError(L"unknown setting '" + operands[0] + L"'");
        PrintSetting(key.get(), *setting);
        return 0;
    }

    const SettingInfo* setting = FindSetting(operands[0]);
    if (!setting) return UsageError(L"unknown setting '" + operands[0] + L"'");
    RegKeyHandle key;
    LONG status = RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_QUERY_VALUE,
                                  nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) return Fail(kSettingsKey, static_cast<DWORD>(status));
    // An empty value removes the setting, so that its default applies again.
    if (operands[1].empty()) {
        status = RegDeleteValueW(key.get(), setting->name);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return Fail(setting->name, static_cast<DWORD>(status));
    } else {
        DWORD type = 0;
        std::vector<BYTE> data;
        if (!EncodeSettingValue(setting->kind, operands[1], type, data))
            return UsageError(L"'" + operands[1] + L"' is not a value for " + setting->name);
        status = RegSetValueExW(key.get(), setting->name, 0, type, data.data(), static_cast<DWORD>(data.size()));
        if (status != ERROR_SUCCESS) return Fail(setting->name, static_cast<DWORD>(status));
    }
    PrintSetting(key.get(), *setting);
    return 0;
}
