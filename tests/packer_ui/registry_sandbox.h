// Gives a test its own HKEY_CURRENT_USER: a fresh key that the process sees in its place, so tests
// running side by side in the same prefix never see each other's settings.
#pragma once
#include <windows.h>

#include <string>

class RegistrySandbox {
public:
    RegistrySandbox() {
        path_ = std::wstring(kParent) + L"\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(GetTickCount());
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
        if (RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root_,
                            nullptr) == ERROR_SUCCESS)
            active_ = RegOverridePredefKey(HKEY_CURRENT_USER, root_) == ERROR_SUCCESS;
    }
    ~RegistrySandbox() {
        if (active_) RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        if (root_) RegCloseKey(root_);
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, kParent);  // only goes when no other sandbox is open
    }
    RegistrySandbox(const RegistrySandbox&) = delete;
    RegistrySandbox& operator=(const RegistrySandbox&) = delete;
    bool active() const { return active_; }

private:
    static constexpr const wchar_t* kParent = L"Software\\QuillarentTestSandbox";
    std::wstring path_;
    HKEY root_ = nullptr;
    bool active_ = false;
};
