#include "format/service/help.h"

#include <htmlhelp.h>
#include <urlmon.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "format/help_popups.h"
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

HWND AskViewer(HtmlHelpFunction htmlHelp, HWND window, const HelpRequest& request, DWORD_PTR data) {
    if (HelpRequestWatcher watcher = requestWatcher.load()) watcher(request);
    return htmlHelp(window, request.target.c_str(), request.command, data);
}

// A viewer without text popups (Wine's answers HH_DISPLAY_TEXT_POPUP with null and shows nothing)
// gets one of our own: the text is read from the help file through the platform's "ms-its:"
// protocol and shown in a plain popup window in the viewer's place.

constexpr wchar_t kPopupClass[] = L"QuillarentTextPopup";
constexpr UINT kPopupCodePage = 1251;  // the help file's language: its text popups are in this code page
constexpr int kPopupWidth = 320, kPopupMargin = 6;

// The text of one popup topic of the help file; empty when it cannot be read or has no such topic.
std::wstring ReadPopupText(const std::wstring& target, UINT id) {
    IStream* stream = nullptr;
    if (FAILED(URLOpenBlockingStreamW(nullptr, (L"ms-its:" + target).c_str(), &stream, 0, nullptr)) || !stream)
        return std::wstring();
    std::string file;
    char buffer[4096];
    ULONG got = 0;
    while (SUCCEEDED(stream->Read(buffer, sizeof buffer, &got)) && got > 0) file.append(buffer, got);
    stream->Release();
    std::string text;
    if (!help_popups::FindTopic(file, id, &text) || text.empty()) return std::wstring();
    const int length = MultiByteToWideChar(kPopupCodePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(kPopupCodePage, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

// The popup's font as the viewer is asked for it: Tahoma 8 points in the Cyrillic character set.
HFONT CreatePopupFont() {
    HDC screen = GetDC(nullptr);
    const int height = -MulDiv(8, GetDeviceCaps(screen, LOGPIXELSY), 72);
    ReleaseDC(nullptr, screen);
    return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, RUSSIAN_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Tahoma");
}

void PaintPopup(HWND popup) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(popup, &paint);
    RECT area;
    GetClientRect(popup, &area);
    FillRect(dc, &area, GetSysColorBrush(COLOR_INFOBK));
    InflateRect(&area, -kPopupMargin, -kPopupMargin);
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(popup)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(popup, &text[0], static_cast<int>(text.size()))));
    HFONT font = CreatePopupFont();
    HGDIOBJ previous = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_INFOTEXT));
    DrawTextW(dc, text.c_str(), -1, &area, DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, previous);
    DeleteObject(font);
    EndPaint(popup, &paint);
}

// Like the viewer's popup, it goes at the first click, key or loss of activation.
LRESULT CALLBACK PopupProc(HWND popup, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT: PaintPopup(popup); return 0;
        case WM_LBUTTONDOWN:
        case WM_RBUTTONDOWN:
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN: DestroyWindow(popup); return 0;
        case WM_ACTIVATE:
            if (LOWORD(wParam) == WA_INACTIVE) DestroyWindow(popup);
            return 0;
        default: return DefWindowProcW(popup, message, wParam, lParam);
    }
}

// The popup's size for the text, and its place: at the point, kept on the point's monitor.
RECT PopupRect(const std::wstring& text, POINT at) {
    RECT bounds = {0, 0, kPopupWidth - 2 * kPopupMargin, 0};
    HDC screen = GetDC(nullptr);
    HFONT font = CreatePopupFont();
    HGDIOBJ previous = SelectObject(screen, font);
    DrawTextW(screen, text.c_str(), -1, &bounds, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(screen, previous);
    DeleteObject(font);
    ReleaseDC(nullptr, screen);
    RECT frame = {0, 0, bounds.right + 2 * kPopupMargin, bounds.bottom + 2 * kPopupMargin};
    AdjustWindowRectEx(&frame, WS_POPUP | WS_BORDER, FALSE, WS_EX_TOOLWINDOW);
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    MONITORINFO monitor = {sizeof monitor, {}, {}, 0};
    GetMonitorInfoW(MonitorFromPoint(at, MONITOR_DEFAULTTONEAREST), &monitor);
    const RECT& work = monitor.rcWork;
    const LONG left = std::max(work.left, std::min(at.x, work.right - width));
    const LONG top = std::max(work.top, std::min(at.y, work.bottom - height));
    return RECT{left, top, left + width, top + height};
}

void ShowOwnPopup(HWND control, const std::wstring& target, const HH_POPUP& popup) {
    const std::wstring text = ReadPopupText(target, popup.idString);
    if (text.empty()) {
        MessageBeep(MB_ICONWARNING);
        return;
    }
    static const ATOM popupClass = [] {
        WNDCLASSEXW type = {};
        type.cbSize = sizeof type;
        type.style = CS_DROPSHADOW | CS_SAVEBITS;
        type.lpfnWndProc = PopupProc;
        type.hInstance = ResourceModule();
        type.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        type.lpszClassName = kPopupClass;
        return RegisterClassExW(&type);
    }();
    if (!popupClass) return;
    const RECT place = PopupRect(text, popup.pt);
    HWND owner = control ? GetAncestor(control, GA_ROOT) : nullptr;
    HWND shown = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, kPopupClass, text.c_str(), WS_POPUP | WS_BORDER,
                                 place.left, place.top, place.right - place.left, place.bottom - place.top, owner,
                                 nullptr, ResourceModule(), nullptr);
    if (!shown) return;
    ShowWindow(shown, SW_SHOW);
    SetForegroundWindow(shown);
    SetFocus(shown);
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
    if (!AskViewer(htmlHelp, control, request, reinterpret_cast<DWORD_PTR>(&popup)))
        ShowOwnPopup(control, request.target, popup);
}
