// Test helper: another program on the clipboard, through the plain Win32 clipboard as most
// programs use it.
//   clipboard_peer.exe put-files PATH...  puts the paths as a file list (CF_HDROP)
//   clipboard_peer.exe read OUTFILE       writes what the clipboard holds as "file:<path>" lines
//                                         for a file list and "virtual:<name>" lines for a wide
//                                         file group, in UTF-8
//   clipboard_peer.exe hold FLAGFILE      keeps the clipboard open from the creation of FLAGFILE
//                                         until somebody deletes it
// Exit status 0 on success, 1 when the clipboard could not be used or held neither.
#include <windows.h>
#include <shlobj.h>
#include <shellapi.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// OpenClipboard fails while another program has it open; that lasts only as long as its call.
bool OpenClipboardPatiently(HWND owner = nullptr) {
    for (int attempt = 0; attempt < 500; ++attempt) {
        if (OpenClipboard(owner)) return true;
        Sleep(10);
    }
    return false;
}

int PutFiles(int count, wchar_t** paths) {
    std::vector<wchar_t> names;
    for (int i = 0; i < count; ++i) names.insert(names.end(), paths[i], paths[i] + wcslen(paths[i]) + 1);
    names.push_back(L'\0');
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + names.size() * sizeof(wchar_t));
    if (!block) return 1;
    auto* header = static_cast<DROPFILES*>(GlobalLock(block));
    header->pFiles = sizeof(DROPFILES);
    header->fWide = TRUE;
    memcpy(header + 1, names.data(), names.size() * sizeof(wchar_t));
    GlobalUnlock(block);
    if (!OpenClipboardPatiently()) {
        GlobalFree(block);
        return 1;
    }
    EmptyClipboard();
    const bool put = SetClipboardData(CF_HDROP, block) != nullptr;
    if (!put) GlobalFree(block);
    CloseClipboard();
    return put ? 0 : 1;
}

std::string Utf8(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], size, nullptr, nullptr);
    return result;
}

std::string ReadClipboard() {
    std::string lines;
    if (HANDLE files = GetClipboardData(CF_HDROP)) {
        HDROP drop = static_cast<HDROP>(files);
        const UINT total = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
        for (UINT i = 0; i < total; ++i) {
            wchar_t name[MAX_PATH] = {};
            DragQueryFileW(drop, i, name, MAX_PATH);
            lines += "file:" + Utf8(name) + "\n";
        }
    }
    const UINT groupFormat = RegisterClipboardFormatW(L"FileGroupDescriptorW");
    if (HANDLE group = GetClipboardData(groupFormat)) {
        const auto* descriptors = static_cast<const FILEGROUPDESCRIPTORW*>(GlobalLock(group));
        const SIZE_T size = GlobalSize(group);
        if (descriptors && size >= sizeof(UINT)) {
            const UINT room = static_cast<UINT>((size - sizeof(UINT)) / sizeof(FILEDESCRIPTORW));
            for (UINT i = 0; i < descriptors->cItems && i < room; ++i)
                lines += "virtual:" + Utf8(descriptors->fgd[i].cFileName) + "\n";
        }
        if (descriptors) GlobalUnlock(group);
    }
    return lines;
}

int Read(const wchar_t* outFile) {
    if (!OpenClipboardPatiently()) return 1;
    std::string lines = ReadClipboard();
    CloseClipboard();
    if (lines.empty()) return 1;
    HANDLE out = CreateFileW(outFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    const bool ok = WriteFile(out, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr) &&
                    written == lines.size();
    CloseHandle(out);
    return ok ? 0 : 1;
}

int Hold(const wchar_t* flagFile) {
    // Opened for a window of its own: a clipboard opened for no window lets others open it too.
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    if (!window || !OpenClipboardPatiently(window)) return 1;
    HANDLE flag = CreateFileW(flagFile, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (flag == INVALID_HANDLE_VALUE) {
        CloseClipboard();
        return 1;
    }
    CloseHandle(flag);
    // Until the test has done what it needs the clipboard held for; a test that never deletes
    // the flag gets it back after two minutes.
    for (int wait = 0; wait < 12000 && GetFileAttributesW(flagFile) != INVALID_FILE_ATTRIBUTES; ++wait) Sleep(10);
    CloseClipboard();
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && wcscmp(argv[1], L"put-files") == 0) return PutFiles(argc - 2, argv + 2);
    if (argc == 3 && wcscmp(argv[1], L"read") == 0) return Read(argv[2]);
    if (argc == 3 && wcscmp(argv[1], L"hold") == 0) return Hold(argv[2]);
    return 1;
}
