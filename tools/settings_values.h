// The registry values quill settings shows and changes, and how their texts are read.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

enum class SettingKind { kDword, kString, kDwordList };

struct SettingInfo {
    const wchar_t* name;           // the registry value's name
    SettingKind kind;
    const wchar_t* defaultText;    // how the default is shown
};

// The known value (names compare without regard to case, as the registry does); null when unknown.
const SettingInfo* FindSetting(const std::wstring& name);
const std::vector<SettingInfo>& AllSettings();

// Text to registry data: a DWORD in decimal or 0x-hex; a list of DWORDs separated by commas; a
// string as it stands with its terminating zero. False when the text does not fit the kind.
bool EncodeSettingValue(SettingKind kind, const std::wstring& text, DWORD& type, std::vector<BYTE>& data);
// Registry data to text; "(wrong type)" when the stored type does not match the kind.
std::wstring DecodeSettingValue(SettingKind kind, DWORD type, const std::vector<BYTE>& data);
