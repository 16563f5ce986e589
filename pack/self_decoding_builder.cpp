// The self-decoding program builder and the save dialog's file selection.
#include "pack/self_decoding_builder.h"

#include <commdlg.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "format/service/crypto_handles.h"
#include "format/service/help.h"
#include "format/service/resources.h"
#include "format/sfx_directory.h"
#include "pack/messages.h"
#include "pack/source_stream.h"
#include "packer_ui/packer_window.h"

namespace {

constexpr UINT kSaveTitleText = 513;
constexpr UINT kProgramFilterText = 591;
constexpr UINT kNoFilesText = 20000;
constexpr UINT kTemplateCopyText = 517;
constexpr UINT kOutputOpenText = 510;
constexpr UINT kOutputWriteText = 519;
constexpr UINT kUnreadableText = 508;
constexpr UINT kTooLargeText = 509;
constexpr UINT kEncryptFailedText = 506;

const wchar_t kTemplateName[] = L"Quendrix.exe";

const wchar_t* FileNamePart(const wchar_t* path) {
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p)
        if (*p == L'\\' || *p == L'/') name = p + 1;
    return name;
}

// The opened sources of one program, closed together.
class SourceFiles {
public:
    SourceFiles() = default;
    SourceFiles(const SourceFiles&) = delete;
    SourceFiles& operator=(const SourceFiles&) = delete;
    ~SourceFiles() { Close(); }
    void Add(const wchar_t* path, HANDLE handle, DWORD size, DWORD pageIndex) {
        SourceFile file;
        file.path = path;
        file.handle = handle;
        file.size = size;
        files.push_back(file);
        pageIndices.push_back(pageIndex);
    }
    void Close() {
        for (SourceFile& file : files) {
            if (file.handle != INVALID_HANDLE_VALUE) CloseHandle(file.handle);
            file.handle = INVALID_HANDLE_VALUE;
        }
    }

    std::vector<SourceFile> files;
    std::vector<DWORD> pageIndices;
};

// Opens the files of the page, refusing what the program's 32-bit sizes cannot describe, and lists them in
// the directory. Cancel at an unreadable file stops the gathering; what was gathered is packed.
void GatherSources(PackerWindow* window, const OpenAfterUnpackSelection& selection, HWND owner, SourceFiles& sources,
                   sfx::Directory& directory) {
    const CVFilesDlg* page = window->filesPage;
    ULONGLONG total = 0;
    for (DWORD i = 0; i < page->count; ++i) {
        const wchar_t* path = page->PathAt(i);
        if (!path) continue;
        FileHandle file(CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER size = {};
        if (!file || !GetFileSizeEx(file.get(), &size)) {
            if (ShowMessageBox(owner, kUnreadableText, MB_ICONERROR | MB_OKCANCEL, path, 0) == IDCANCEL) return;
            continue;
        }
        // One size field per file and one length for all: nothing may be cut to 32 bits silently.
        ULONGLONG bytes = static_cast<ULONGLONG>(size.QuadPart);
        if (!FitsInProgram(bytes) || !FitsInProgram(total + bytes)) {
            ShowMessageBox(owner, kTooLargeText, MB_ICONERROR | MB_OK, path, 0);
            continue;
        }
        total += bytes;
        sources.Add(path, file.release(), static_cast<DWORD>(bytes), i);
        sfx::DirectoryEntry entry;
        entry.flags = selection.Contains(i) ? sfx::kOpenAfterUnpacking : 0;
        entry.size = static_cast<uint32_t>(bytes);
        entry.name = reinterpret_cast<const char16_t*>(FileNamePart(path));
        directory.entries.push_back(entry);
    }
}

bool WriteAll(HANDLE file, const std::vector<uint8_t>& bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

bool AskProgramName(PackerWindow* window, HWND owner, std::wstring& outputPath, OpenAfterUnpackSelection& selection) {
    std::wstring title = LoadText(kSaveTitleText);
    std::wstring filter = LoadText(kProgramFilterText);
    std::replace(filter.begin(), filter.end(), L'|', L'\0');
    wchar_t name[MAX_PATH] = {};
    OpenAfterUnpackRequest request;
    request.fileCount = window->filesPage->count;
    request.files = window->filesPage->items;
    request.selection = &selection;

    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = owner;
    dialog.hInstance = ResourceModule();
    dialog.lpstrFilter = filter.c_str();
    dialog.lpstrFile = name;
    dialog.nMaxFile = MAX_PATH;
    dialog.lpstrTitle = title.c_str();
    dialog.lpstrDefExt = L"exe";
    dialog.Flags = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_ENABLEHOOK | OFN_ENABLETEMPLATE |
                   OFN_NOREADONLYRETURN | OFN_EXPLORER | OFN_ENABLESIZING;
    dialog.lCustData = reinterpret_cast<LPARAM>(&request);
    dialog.lpfnHook = OpenAfterUnpackSelector;
    dialog.lpTemplateName = MAKEINTRESOURCEW(kOpenAfterUnpackDialogId);
    if (!GetSaveFileNameW(&dialog)) return false;
    outputPath = name;
    return true;
}

// ---- the save dialog's hook ----

void FillFileList(HWND dialog, const OpenAfterUnpackRequest* request) {
    HWND list = GetDlgItem(dialog, kOpenAfterUnpackListId);
    // An empty slot gets an empty line, so that line k still stands for entry k.
    for (DWORD k = 0; k < request->fileCount; ++k) {
        const wchar_t* path = static_cast<const wchar_t*>(request->files[k]);
        SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(path ? FileNamePart(path) : L""));
    }
}

// Static 1125 keeps its first line; the rest names the selected files.
void ShowSelection(HWND dialog, const OpenAfterUnpackRequest* request) {
    HWND text = GetDlgItem(dialog, kOpenAfterUnpackTextId);
    std::vector<wchar_t> current(GetWindowTextLengthW(text) + 1, L'\0');
    GetWindowTextW(text, current.data(), static_cast<int>(current.size()));
    std::wstring shown = current.data();
    size_t lineEnd = shown.find(L'\n');
    shown = lineEnd == std::wstring::npos ? shown + L"\r\n" : shown.substr(0, lineEnd + 1);
    const OpenAfterUnpackSelection& selection = *request->selection;
    if (selection.count == 0) shown += LoadText(kNoFilesText);
    for (DWORD k = 0; k < selection.count; ++k) {
        DWORD index = selection.indices[k];
        const wchar_t* path = index < request->fileCount ? static_cast<const wchar_t*>(request->files[index]) : nullptr;
        if (k) shown += L"; ";
        if (path) shown += path;
    }
    SetWindowTextW(text, shown.c_str());
}

void StoreSelection(HWND dialog, const OpenAfterUnpackRequest* request) {
    HWND list = GetDlgItem(dialog, kOpenAfterUnpackListId);
    OpenAfterUnpackSelection& selection = *request->selection;
    LRESULT got = SendMessageW(list, LB_GETSELITEMS, kMaxOpenAfterUnpack, reinterpret_cast<LPARAM>(selection.indices));
    selection.count = got > 0 ? static_cast<DWORD>(got) : 0;
    ShowSelection(dialog, request);
}

// The selection text reaches to the right edge of the parent dialog's Cancel button.
void StretchSelectionText(HWND dialog) {
    HWND cancel = GetDlgItem(GetParent(dialog), IDCANCEL);
    HWND text = GetDlgItem(dialog, kOpenAfterUnpackTextId);
    RECT cancelRect, textRect;
    if (!cancel || !text || !GetWindowRect(cancel, &cancelRect) || !GetWindowRect(text, &textRect)) return;
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&cancelRect), 2);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&textRect), 2);
    int width = cancelRect.right - textRect.left;
    if (width > 0)
        SetWindowPos(text, nullptr, 0, 0, width, textRect.bottom - textRect.top, SWP_NOMOVE | SWP_NOZORDER);
}

}  // namespace

bool OpenAfterUnpackSelection::Contains(DWORD index) const {
    for (DWORD k = 0; k < count && k < kMaxOpenAfterUnpack; ++k)
        if (indices[k] == index) return true;
    return false;
}

UINT_PTR CALLBACK OpenAfterUnpackSelector(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* request = reinterpret_cast<OpenAfterUnpackRequest*>(GetWindowLongPtrW(dialog, GWLP_USERDATA));
    switch (message) {
    case WM_INITDIALOG: {
        auto* dialogData = reinterpret_cast<OPENFILENAMEW*>(lParam);
        request = reinterpret_cast<OpenAfterUnpackRequest*>(dialogData->lCustData);
        SetWindowLongPtrW(dialog, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(request));
        if (request && request->selection) {
            request->selection->count = 0;
            FillFileList(dialog, request);
            ShowSelection(dialog, request);
        }
        return TRUE;
    }
    case WM_COMMAND:
        if (request && request->selection && LOWORD(wParam) == kOpenAfterUnpackListId &&
            HIWORD(wParam) == LBN_SELCHANGE)
            StoreSelection(dialog, request);
        return 0;
    case WM_SIZE:
        StretchSelectionText(dialog);
        return 0;
    case WM_HELP:
        ShowHelp(dialog, reinterpret_cast<const HELPINFO*>(lParam), true);
        return TRUE;
    }
    return 0;
}

std::wstring SelfDecodingTemplatePath(const PackRunOptions& options) {
    if (!options.selfDecodingTemplate.empty()) return options.selfDecodingTemplate;
    wchar_t module[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(ResourceModule(), module, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return kTemplateName;
    std::wstring path(module, length);
    return path.substr(0, FileNamePart(module) - module) + kTemplateName;
}

BOOL BuildSelfDecodingFile(PackerWindow* window, HCRYPTPROV provider, const SignerEntry* signers, DWORD signerCount,
                           HWND ownerWindow, const PackRunOptions& options) {
    OpenAfterUnpackSelection selection;
    std::wstring outputPath = options.selfDecodingOutput;
    if (outputPath.empty()) {
        if (!options.saveDialogs || !AskProgramName(window, ownerWindow, outputPath, selection)) return FALSE;
    } else {
        for (DWORD index : options.openAfterUnpack)
            if (selection.count < kMaxOpenAfterUnpack) selection.indices[selection.count++] = index;
    }
    std::wstring templatePath = SelfDecodingTemplatePath(options);
    if (!CopyFileW(templatePath.c_str(), outputPath.c_str(), FALSE)) {
        ShowMessageBox(ownerWindow, kTemplateCopyText, MB_ICONERROR | MB_OK, templatePath.c_str(), GetLastError());
        return FALSE;
    }
    return AppendPayload(window, outputPath.c_str(), provider, signers, signerCount, selection, ownerWindow, options);
}

BOOL AppendPayload(PackerWindow* window, const wchar_t* outputPath, HCRYPTPROV provider, const SignerEntry* signers,
                   DWORD signerCount, const OpenAfterUnpackSelection& selection, HWND ownerWindow,
                   const PackRunOptions& options) {
    FileHandle output(CreateFileW(outputPath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!output) {
        ShowMessageBox(ownerWindow, kOutputOpenText, MB_ICONERROR | MB_OKCANCEL, outputPath, 0);
        DeleteFileW(outputPath);  // a bare copy of the template is no packed program
        return FALSE;
    }
    const CVSettingsDlg& settings = *window->settingsPage;
    bool compress = settings.CompressFiles != 0;
    SourceFiles sources;
    sfx::Directory directory;
    directory.compressed = compress;
    GatherSources(window, selection, ownerWindow, sources, directory);

    // The directory goes at the template's end, T; the envelope follows it at once.
    LARGE_INTEGER zero = {};
    bool placed = !sources.files.empty() && SetFilePointerEx(output.get(), zero, nullptr, FILE_END) &&
                  WriteAll(output.get(), sfx::BuildDirectory(directory));
    DWORD error = GetLastError();
    if (!placed && !sources.files.empty())
        ShowMessageBox(ownerWindow, kOutputWriteText, MB_ICONERROR | MB_OK, outputPath, error);

    BOOL written = FALSE;
    bool cancelled = false;
    std::wstring keptPath;
    if (placed) {
        std::unique_ptr<CSourceFileStream> stream(
            CreateSourceStream(sources.files.data(), static_cast<DWORD>(sources.files.size()), outputPath, compress,
                               ownerWindow, options, CompressionThreadCount(settings)));
        if (stream) {
            written = WriteEnvelope(output.get(), stream.get(), 0, signers, signerCount, window, provider);
            error = GetLastError();
            if (const SourceFile* current = stream->CurrentFile(); !written && current) keptPath = current->path;
            cancelled = stream->Cancelled();
        } else {
            error = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    sources.Close();
    bool succeeded = written && !cancelled;
    // A cancel that came after the last byte still drops the program: its sources must stay too.
    if (succeeded)
        for (DWORD index : sources.pageIndices) TreatPackedSource(window, index, provider, signers, signerCount);
    output.reset();
    if (succeeded) return TRUE;

    // Neither a cancelled nor a broken program is left to pass for a real one.
    DeleteFileW(outputPath);
    // Without a single file nothing was attempted; the reasons have been shown for each file.
    if (sources.files.empty()) return FALSE;
    ShowMessageBox(ownerWindow, kEncryptFailedText, MB_ICONERROR | MB_OK, keptPath.c_str(),
                   cancelled ? ERROR_CANCELLED : error);
    return FALSE;
}
