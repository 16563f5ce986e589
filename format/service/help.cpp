#include "format/service/help.h"

#include <htmlhelp.h>

#include <atomic>

#include "format/service/resources.h"

namespace {

using HtmlHelpFunction = HWND(WINAPI*)(HWND, LPCWSTR, UINT, DWORD_PTR);

std::atomic<HelpRequestWatcher> requestWatcher{nullptr};

// The viewer's entry, its library loaded once for the process: the windows a call opens live on in
// the process and need the library, so it is never unloaded, and later calls add no references.
HtmlHelpFunction HtmlHelpEntry() {
    static const HtmlHelpFunction entry = []() -> HtmlHelpFunction {
        HMODULE viewer = LoadLibraryW(L"hhctrl.ocx");
        if (!viewer) return nullptr;
        auto found = reinterpret_cast<HtmlHelpFunction>(reinterpret_cast<void*>(GetProcAddress(viewer, "HtmlHelpW")));
        if (!found) FreeLibrary(viewer);
        return found;
    }();
    return entry;
}

void AskViewer(HtmlHelpFunction htmlHelp, HWND window, const HelpRequest& request, DWORD_PTR data) {
    if (HelpRequestWatcher watcher = requestWatcher.load()) watcher(request);
    htmlHelp(window, request.target.c_str(), request.command, data);
}

}  // namespace

std::wstring HelpFilePath() {
    wchar_t module[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(ResourceModule(), module, MAX_PATH);
    std::wstring path(module, length);
    size_t slash = path.rfind(L'\\');
    return (slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1)) + L"Help\\Quillarent.chm";
}

void WatchHelpRequests(HelpRequestWatcher watcher) { requestWatcher = watcher; }

void ShowHelp(HWND window, const HELPINFO* help, bool fromDialog) {
    const std::wstring file = HelpFilePath();
    // Without the help file there is nothing to show: the viewer is not started at all.
    if (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
        MessageBeep(MB_ICONWARNING);
        return;
    }
    const HtmlHelpFunction htmlHelp = HtmlHelpEntry();
    if (!htmlHelp) return;
    bool topic;
    if (!fromDialog) {
        topic = !help || !(GetKeyState(VK_SHIFT) & 0x8000);
    } else {
        topic = !help || help->iContextType != HELPINFO_WINDOW || help->iCtrlId <= 0 ||
                (help->iCtrlId >= 2001 && help->iCtrlId <= 2009);
    }
    HelpRequest request;
    if (topic || !help) {
        request.target = file + L"::/intro.html";
        request.command = HH_DISPLAY_TOPIC;
        AskViewer(htmlHelp, window, request, 0);
        return;
    }
    HH_POPUP popup = {};
    popup.cbStruct = sizeof popup;
    popup.idString = static_cast<UINT>(help->iCtrlId);
    HWND control = static_cast<HWND>(help->hItemHandle);
    RECT rect = {};
    GetWindowRect(control, &rect);
    POINT mouse = help->MousePos;
    popup.pt = PtInRect(&rect, mouse) ? mouse : POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
    popup.clrForeground = popup.clrBackground = static_cast<COLORREF>(-1);
    popup.rcMargins = RECT{-1, -1, -1, -1};
    popup.pszFont = L"Tahoma,8,204, ";
    request.target = file + L"::/Context.txt";
    request.command = HH_DISPLAY_TEXT_POPUP;
    request.popupId = popup.idString;
    AskViewer(htmlHelp, control, request, reinterpret_cast<DWORD_PTR>(&popup));
}
