// Creating the reader's output file, with the question and save dialog when it cannot be created.
#include "unpack/reader_state.h"

#include <commdlg.h>

#include <algorithm>
#include <vector>

#include "format/service/resources.h"
#include "pack/messages.h"

namespace {

constexpr UINT kCannotCreateQuestion = 512;
constexpr UINT kAllFilesFilter = 590;
constexpr UINT kUnpackingLine = 552;
constexpr UINT kTargetLine = 554;

HANDLE CreateOutput(const std::wstring& path, bool overwrite) {
    return CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, overwrite ? CREATE_ALWAYS : CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

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

bool AskForOutputName(HWND owner, std::wstring& path) {
    size_t slash = path.rfind(L'\\');
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    std::wstring folder;
    if (slash != std::wstring::npos) {
        folder = path.substr(0, slash);
    } else {
        DWORD length = GetCurrentDirectoryW(0, nullptr);
        std::vector<wchar_t> current(length + 1);
        GetCurrentDirectoryW(length + 1, current.data());
        folder = current.data();
    }
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

}  // namespace

bool OpenReaderOutput(ReaderState& state, FileHandle& output) {
    UnpackJob* job = state.job;
    HWND owner = state.view ? state.view->ownerWindow : nullptr;
    output.reset(CreateOutput(job->outputPath, job->outputConfirmed != 0));
    DWORD error = output ? 0 : GetLastError();
    if (!output && !job->outputConfirmed &&
        ShowMessageBox(owner, kCannotCreateQuestion, MB_ICONERROR | MB_YESNO, job->outputPath.c_str(), error) == IDYES) {
        std::wstring path = job->outputPath;
        if (AskForOutputName(owner, path)) {
            job->outputConfirmed = 1;
            job->outputPath = path;
            output.reset(CreateOutput(path, true));
            error = output ? 0 : GetLastError();
            if (state.progress) {
                state.progress->SetLine(1, FormatText(kUnpackingLine, job->inputPath.c_str()).c_str(), FALSE, nullptr);
                state.progress->SetLine(2, FormatText(kTargetLine, path.c_str()).c_str(), FALSE, nullptr);
            }
        }
    }
    if (!output) {
        job->jobResult = static_cast<DWORD>(CRYPT_E_FILE_ERROR);
        job->writeError = error;
        return false;
    }
    job->writeError = 0;
    return true;
}
