// quill window [FILE...]: the packer window, with the files already on its files page.
#include <windows.h>
#include <ole2.h>

#include <string>
#include <vector>

#include "packer_ui/main_window.h"
#include "packer_ui/packer_window.h"
#include "tools/commands.h"
#include "tools/console.h"

namespace {

std::wstring AbsolutePath(const std::wstring& path) {
    DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0) return path;
    std::wstring full(length, L'\0');
    length = GetFullPathNameW(path.c_str(), length, &full[0], nullptr);
    full.resize(length);
    return full;
}

}  // namespace

int CommandWindow(ArgumentReader& arguments) {
    std::vector<std::wstring> files;
    while (!arguments.AtEnd()) {
        const std::wstring& argument = arguments.Next();
        if (arguments.IsOption()) return UsageError(L"unknown option for window: --" + arguments.OptionName());
        if (argument != L"--") files.push_back(AbsolutePath(argument));
    }
    // The window's dialogs and the shell's drag and drop need OLE on this thread.
    if (FAILED(OleInitialize(nullptr))) return Fail(L"cannot start OLE", GetLastError());
    PackerWindow window;
    int status = 0;
    if (!CreatePackerWindow(&window)) {
        status = Fail(L"cannot set up the packer", GetLastError());
    } else {
        for (const std::wstring& file : files) {
            wchar_t* item = CVFilesDlg::DuplicatePath(file.c_str());
            if (window.filesPage->AddItem(item, TRUE) < 0) {
                window.filesPage->FreeItem(item);
                status = Fail(file, ERROR_FILE_NOT_FOUND);
            }
        }
        if (status == 0 && OpenPackerWindow(&window, nullptr) == -1) status = Fail(L"cannot open the window", GetLastError());
        DestroyPackerWindow(&window);
    }
    OleUninitialize();
    return status;
}
