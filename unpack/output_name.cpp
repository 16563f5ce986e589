#include "unpack/output_name.h"

#include <commdlg.h>

#include <algorithm>
#include <vector>

#include "format/service/resources.h"

namespace {

constexpr UINT kAllFilesFilter = 590;

// The filter of the save dialog: "(*ext)" and "*ext" for a name with a dot, else all files.
std::vector<wchar_t> SaveFilter(const std::wstring& name, std::wstring& defaultExtension) {
    std::wstring filter;
    size_t dot = name.find(L'.');
    if (dot != std::wstring::npos) {
        std::wstring ext = name.substr(dot);
        filter = L"(*" + ext + L")" + std::wstring(1, L'\0') + L"*" + ext + std::wstring(2, L'\0');
        defaultExtension = ext.substr(1);
    } else {
        filter = LoadText(kAllFilesFilter);
        for (wchar_t& c : filter)
            if (c == L'|') c = L'\0';
    }
    std::vector<wchar_t> out(filter.begin(), filter.end());
    out.push_back(L'\0');
    out.push_back(L'\0');
    return out;
}

std::wstring CurrentDirectory() {
    DWORD length = GetCurrentDirectoryW(0, nullptr);
    std::vector<wchar_t> current(length + 1);
    GetCurrentDirectoryW(length + 1, current.data());
    return current.data();
}

}  // namespace

bool AskForOutputName(HWND owner, std::wstring& path) {
    size_t slash = path.rfind(L'\\');
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    std::wstring folder = slash == std::wstring::npos ? CurrentDirectory() : path.substr(0, slash);
    std::vector<wchar_t> file(path.size() + 260, L'\0');
    name.copy(file.data(), std::min(name.size(), file.size() - 1));
    std::wstring defaultExtension;
    std::vector<wchar_t> filter = SaveFilter(name, defaultExtension);
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = filter.data();
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = 260;
    dialog.lpstrInitialDir = folder.c_str();
    dialog.lpstrDefExt = defaultExtension.empty() ? nullptr : defaultExtension.c_str();
    dialog.Flags = OFN_EXPLORER | OFN_NOREADONLYRETURN | OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT;
    if (!GetSaveFileNameW(&dialog)) return false;
    path = file.data();
    return true;
}
