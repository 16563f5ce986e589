// The packer window itself: the page list, toolbar, status bar, main menu and the command set,
// over the PackerWindow object and its pages.
#include <windows.h>
#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <string>
#include <vector>

#include "format/service/crypto_handles.h"
#include "format/service/help.h"
#include "format/service/resources.h"
#include "pack/messages.h"
#include "pack/pack_run.h"
#include "pack/secure_delete.h"
#include "packer_ui/certificate_sources.h"
#include "packer_ui/directory_search.h"
#include "packer_ui/main_window.h"
#include "packer_ui/packer_window.h"
#include "packer_ui/recent_lists.h"

namespace {

constexpr int kMainTemplate = 201;
constexpr int kAboutTemplate = 205;
constexpr int kMainMenu = 101;
constexpr int kToolbarMenus = 418;
constexpr int kProgramIcon = 410;
constexpr int kPageIcons = 406;
constexpr int kToolbar24 = 424, kToolbar24Hot = 425, kToolbar16 = 426, kToolbar16Hot = 427;

constexpr int kPageList = 1037;
constexpr int kStatusBar = 1116;
constexpr int kToolbar = 1039;

constexpr UINT kPackToFolder = 1001;
constexpr UINT kPack = 1036;
constexpr UINT kExit = 1040;
constexpr UINT kAddFiles = 57601;
constexpr UINT kSecureDelete = 40017;
constexpr UINT kFileProperties = 40008;
constexpr UINT kCertificateProperties = 40007;
constexpr UINT kHelp = 40013;
constexpr UINT kAbout = 40014;
constexpr UINT kAddFromFile = 40029;
constexpr UINT kAddFromStore = 40030;
constexpr UINT kAddFromDirectory = 40031;
constexpr UINT kToolbarLabels = 40066;
constexpr UINT kSmallToolbarIcons = 40067;
constexpr UINT kLargeToolbarIcons = 40068;
constexpr UINT kRecentFilesFirst = 20001, kRecentFilesLast = 20999;
constexpr UINT kRecentCertificatesFirst = 21001, kRecentCertificatesLast = 21999;

constexpr UINT kShortLabels = 555, kLongLabels = 533;
constexpr UINT kCountsText = 520, kHelpHintText = 504, kConfirmDeleteText = 544;

constexpr int kPageEntryHeight = 60;  // icon height 32 + 28
constexpr int kMargin = 8;
constexpr int kFileMenu = 0, kEditMenu = 1, kCertificateMenu = 2;

const wchar_t kWidthValue[] = L"MainWndWidth";
// The outer size of a first start, and the smallest the window can be made: below it the page
// texts would be cut off.
constexpr DWORD kDefaultWidth = 600, kDefaultHeight = 470;
const wchar_t kHeightValue[] = L"MainWndHeight";
const wchar_t kLargeIconsValue[] = L"LargeTBIcons";
const wchar_t kLabelsValue[] = L"ShowTBText";

struct ToolbarButton {
    UINT command;
    BYTE style;
};
const ToolbarButton kButtons[] = {{kPack, BTNS_DROPDOWN},         {kAddFiles, BTNS_BUTTON},
                                  {kCommandCut, BTNS_BUTTON},     {kCommandCopy, BTNS_BUTTON},
                                  {kCommandPaste, BTNS_BUTTON},   {kCommandDelete, BTNS_BUTTON},
                                  {kAddFromStore, BTNS_DROPDOWN}, {kCommandProperties, BTNS_BUTTON}};

PackerWindow* WindowOf(HWND dialog) { return reinterpret_cast<PackerWindow*>(GetWindowLongPtrW(dialog, DWLP_USER)); }

// Registry values of the window, read with a 4-byte buffer; a missing one keeps the value.
void ReadDword(HKEY key, const wchar_t* name, DWORD& value) {
    DWORD read = 0, size = sizeof read;
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size) == ERROR_SUCCESS &&
        size == sizeof read)
        value = read;
}

BOOL WriteDwords(std::initializer_list<std::pair<const wchar_t*, DWORD>> values) {
    RegKeyHandle key;
    RegistryWrites writes;
    writes.Note(RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr));
    if (key)
        for (const auto& value : values)
            writes.Note(RegSetValueExW(key.get(), value.first, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value.second),
                                       sizeof value.second));
    return writes.Result();
}

// The labels of a string whose first character separates them.
std::vector<std::wstring> Labels(UINT textId) {
    std::wstring text = LoadText(textId);
    std::vector<std::wstring> labels;
    if (text.empty()) return labels;
    size_t start = 1;
    for (;;) {
        size_t end = text.find(text[0], start);
        labels.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    return labels;
}

// The page shown, and the list page among the three when it is one.
CVTabDlg* SelectedPage(HWND dialog) {
    HWND list = GetDlgItem(dialog, kPageList);
    LRESULT index = SendMessageW(list, LB_GETCURSEL, 0, 0);
    if (index == LB_ERR) return nullptr;
    return reinterpret_cast<CVTabDlg*>(SendMessageW(list, LB_GETITEMDATA, index, 0));
}

CVListDlg* SelectedListPage(PackerWindow* window) {
    CVTabDlg* page = SelectedPage(window->window);
    if (page == window->filesPage) return window->filesPage;
    if (page == window->encryptionPage) return window->encryptionPage;
    if (page == window->signingPage) return window->signingPage;
    return nullptr;
}

DWORD ItemCount(const CVListDlg* page) {
    if (page->ListView()) return static_cast<DWORD>(page->RowCount());
    DWORD items = 0;
    for (DWORD i = 0; i < page->count; ++i) items += page->items[i] ? 1 : 0;
    return items;
}

HMENU RecentFilesMenu(HWND dialog) { return GetSubMenu(GetSubMenu(GetMenu(dialog), kFileMenu), 1); }
HMENU RecentCertificatesMenu(HWND dialog) { return GetSubMenu(GetSubMenu(GetMenu(dialog), kCertificateMenu), 0); }

// Layout -----------------------------------------------------------------------------------------

RECT ChildRect(HWND dialog, HWND child) {
    RECT rect = {};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

void LayOut(PackerWindow* window) {
    HWND dialog = window->window;
    HWND status = GetDlgItem(dialog, kStatusBar);
    HWND toolbar = GetDlgItem(dialog, kToolbar);
    HWND pages = GetDlgItem(dialog, kPageList);
    SendMessageW(status, WM_SIZE, 0, 0);
    InvalidateRect(status, nullptr, TRUE);  // the size grip moves: its old place must not stay drawn
    if (toolbar) SendMessageW(toolbar, TB_AUTOSIZE, 0, 0);
    RECT client, statusRect = ChildRect(dialog, status), toolbarRect = {}, listRect = ChildRect(dialog, pages);
    GetClientRect(dialog, &client);
    if (toolbar) toolbarRect = ChildRect(dialog, toolbar);
    const int top = toolbarRect.bottom + kMargin;
    const int height = std::max<int>(statusRect.top - toolbarRect.bottom - 2 * kMargin, 0);
    const int left = listRect.left;
    const int width = listRect.right - listRect.left;
    MoveWindow(pages, left, top, width, height, TRUE);
    if (CVTabDlg* page = SelectedPage(dialog); page && page->pageWindow) {
        const int pageLeft = left + width + kMargin;
        MoveWindow(page->pageWindow, pageLeft, top, std::max<int>(client.right - left - pageLeft, 0), height, TRUE);
    }
}

// Toolbar ----------------------------------------------------------------------------------------

HIMAGELIST ToolbarImages(int bitmapId, int size) {
    HBITMAP bitmap = static_cast<HBITMAP>(
        LoadImageW(ResourceModule(), MAKEINTRESOURCEW(bitmapId), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    HIMAGELIST list = ImageList_Create(size, size, ILC_COLOR32, static_cast<int>(std::size(kButtons)), 0);
    if (list && bitmap) ImageList_Add(list, bitmap, nullptr);
    if (bitmap) DeleteObject(bitmap);
    return list;
}

void DestroyToolbar(PackerWindow* window) {
    HWND toolbar = GetDlgItem(window->window, kToolbar);
    if (!toolbar) return;
    auto normal = reinterpret_cast<HIMAGELIST>(SendMessageW(toolbar, TB_GETIMAGELIST, 0, 0));
    auto hot = reinterpret_cast<HIMAGELIST>(SendMessageW(toolbar, TB_GETHOTIMAGELIST, 0, 0));
    DestroyWindow(toolbar);
    if (normal) ImageList_Destroy(normal);
    if (hot) ImageList_Destroy(hot);
}

void BuildToolbar(PackerWindow* window) {
    const bool large = window->largeToolbarIcons != 0;
    const int size = large ? 24 : 16;
    HWND toolbar = CreateWindowExW(0, TOOLBARCLASSNAMEW, L"Toolbar",
                                   WS_CHILD | WS_VISIBLE | TBSTYLE_FLAT | TBSTYLE_TRANSPARENT | TBSTYLE_TOOLTIPS |
                                       CCS_NODIVIDER | CCS_TOP,
                                   0, 0, 0, 0, window->window, reinterpret_cast<HMENU>(kToolbar), ResourceModule(),
                                   nullptr);
    if (!toolbar) return;
    SendMessageW(toolbar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
    SendMessageW(toolbar, TB_SETEXTENDEDSTYLE, 0, TBSTYLE_EX_DRAWDDARROWS);
    SendMessageW(toolbar, TB_SETIMAGELIST, 0,
                 reinterpret_cast<LPARAM>(ToolbarImages(large ? kToolbar24 : kToolbar16, size)));
    SendMessageW(toolbar, TB_SETHOTIMAGELIST, 0,
                 reinterpret_cast<LPARAM>(ToolbarImages(large ? kToolbar24Hot : kToolbar16Hot, size)));
    SendMessageW(toolbar, TB_SETBITMAPSIZE, 0, MAKELONG(size, size));
    SendMessageW(toolbar, TB_SETMAXTEXTROWS, window->showToolbarText ? 1 : 0, 0);
    std::vector<std::wstring> labels = Labels(window->showToolbarText ? kShortLabels : kLongLabels);
    labels.resize(std::size(kButtons));
    std::vector<TBBUTTON> buttons(std::size(kButtons));
    for (size_t i = 0; i < buttons.size(); ++i) {
        buttons[i].iBitmap = static_cast<int>(i);
        buttons[i].idCommand = static_cast<int>(kButtons[i].command);
        buttons[i].fsState = TBSTATE_ENABLED;
        buttons[i].fsStyle = kButtons[i].style | BTNS_AUTOSIZE;  // each as wide as its label
        buttons[i].iString = reinterpret_cast<INT_PTR>(labels[i].c_str());
    }
    SendMessageW(toolbar, TB_ADDBUTTONSW, buttons.size(), reinterpret_cast<LPARAM>(buttons.data()));
    SendMessageW(toolbar, TB_AUTOSIZE, 0, 0);
}

// The drop-down of button 1036 or 40030, opened below the button.
void ShowToolbarDropDown(PackerWindow* window, const NMTOOLBARW* info) {
    HMENU menus = LoadMenuW(ResourceModule(), MAKEINTRESOURCEW(kToolbarMenus));
    if (!menus) return;
    HMENU popup = GetSubMenu(menus, info->iItem == static_cast<int>(kPack) ? 0 : 1);
    if (info->iItem == static_cast<int>(kAddFromStore)) {
        if (window->signingPage->pageWindow) {
            EnableMenuItem(popup, 0, MF_BYPOSITION | MF_GRAYED);
            EnableMenuItem(popup, kAddFromFile, MF_BYCOMMAND | MF_GRAYED);
            EnableMenuItem(popup, kAddFromDirectory, MF_BYCOMMAND | MF_GRAYED);
        } else {
            // The main menu's live recent-certificates submenu takes the first entry's place; it is
            // taken back out before the copy is destroyed.
            wchar_t text[128] = {};
            GetMenuStringW(popup, 0, text, 128, MF_BYPOSITION);
            ModifyMenuW(popup, 0, MF_BYPOSITION | MF_POPUP, reinterpret_cast<UINT_PTR>(RecentCertificatesMenu(window->window)),
                        text);
        }
    }
    RECT button = info->rcButton;
    MapWindowPoints(info->hdr.hwndFrom, nullptr, reinterpret_cast<POINT*>(&button), 2);
    TPMPARAMS exclude = {sizeof exclude, button};
    TrackPopupMenuEx(popup, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_VERTICAL, button.left, button.bottom, window->window,
                     &exclude);
    if (info->iItem == static_cast<int>(kAddFromStore) && !window->signingPage->pageWindow)
        RemoveMenu(popup, 0, MF_BYPOSITION);
    DestroyMenu(menus);
}

void RefreshAll(PackerWindow* window);
void ApplyToolbarChoice(PackerWindow* window, UINT chosen);

void ShowToolbarContextMenu(PackerWindow* window, POINT at) {
    HMENU menus = LoadMenuW(ResourceModule(), MAKEINTRESOURCEW(kToolbarMenus));
    if (!menus) return;
    HMENU popup = GetSubMenu(menus, 2);
    CheckMenuRadioItem(popup, kSmallToolbarIcons, kLargeToolbarIcons,
                       window->largeToolbarIcons ? kLargeToolbarIcons : kSmallToolbarIcons, MF_BYCOMMAND);
    CheckMenuItem(popup, kToolbarLabels, MF_BYCOMMAND | (window->showToolbarText ? MF_CHECKED : MF_UNCHECKED));
    UINT chosen = TrackPopupMenu(popup, TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, at.x, at.y, 0,
                                 window->window, nullptr);
    DestroyMenu(menus);
    ApplyToolbarChoice(window, chosen);
}

// 40066 toggles the labels, 40067/40068 choose small or large icons; a change rebuilds the toolbar.
void ApplyToolbarChoice(PackerWindow* window, UINT chosen) {
    DWORD large = window->largeToolbarIcons, labels = window->showToolbarText;
    if (chosen == kToolbarLabels) labels = !labels;
    else if (chosen == kSmallToolbarIcons) large = 0;
    else if (chosen == kLargeToolbarIcons) large = 1;
    else return;
    if (large == window->largeToolbarIcons && labels == window->showToolbarText) return;
    window->largeToolbarIcons = large;
    window->showToolbarText = labels;
    DestroyToolbar(window);
    BuildToolbar(window);
    LayOut(window);
    RefreshAll(window);
    if (!WriteDwords({{kLargeIconsValue, large}, {kLabelsValue, labels}}))
        ReportSettingsNotSaved(window->window, GetLastError());
}

// Where the toolbar's context menu opens from the keyboard: the hot or first button's centre.
POINT ToolbarMenuPoint(HWND toolbar) {
    int button = static_cast<int>(SendMessageW(toolbar, TB_GETHOTITEM, 0, 0));
    if (button < 0) button = 0;
    RECT rect = {};
    POINT at = {2, 2};
    if (SendMessageW(toolbar, TB_GETITEMRECT, button, reinterpret_cast<LPARAM>(&rect)))
        at = POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
    ClientToScreen(toolbar, &at);
    return at;
}

// Status line and command states ----------------------------------------------------------------

void RefreshStatus(PackerWindow* window) {
    DWORD files = ItemCount(window->filesPage), encryption = ItemCount(window->encryptionPage),
          signing = ItemCount(window->signingPage);
    std::wstring text = LoadText(kHelpHintText);
    if (files || encryption || signing) {
        wchar_t counts[512] = {};
        _snwprintf(counts, 511, LoadText(kCountsText).c_str(), files, encryption, signing);
        text = counts;
    }
    HWND status = GetDlgItem(window->window, kStatusBar);
    SendMessageW(status, SB_SIMPLE, TRUE, 0);
    SendMessageW(status, SB_SETTEXTW, SB_SIMPLEID, reinterpret_cast<LPARAM>(text.c_str()));
    if (HWND toolbar = GetDlgItem(window->window, kToolbar))
        SendMessageW(toolbar, TB_ENABLEBUTTON, kPack, MAKELONG(files > 0, 0));
}

void Enable(HMENU menu, UINT command, bool on) {
    EnableMenuItem(menu, command, MF_BYCOMMAND | (on ? MF_ENABLED : MF_GRAYED));
}

void RefreshCommands(PackerWindow* window) {
    HWND dialog = window->window;
    CVListDlg* page = SelectedListPage(window);
    const int selected = page ? page->FirstSelected() : -1;
    const bool any = selected != -1;
    const bool removable = page && page->HasRemovableSelection();
    const bool paste = page && page->Paste(FALSE) == S_OK;
    const bool all = page && page->SelectedCount() == page->RowCount();
    const bool filesPage = page && page == window->filesPage;
    const bool certificatePage = page && page != window->filesPage;
    const bool signingOpen = window->signingPage->pageWindow != nullptr;

    if (HWND toolbar = GetDlgItem(dialog, kToolbar)) {
        SendMessageW(toolbar, TB_ENABLEBUTTON, kCommandCut, MAKELONG(removable, 0));
        SendMessageW(toolbar, TB_ENABLEBUTTON, kCommandDelete, MAKELONG(removable, 0));
        SendMessageW(toolbar, TB_ENABLEBUTTON, kCommandCopy, MAKELONG(any, 0));
        SendMessageW(toolbar, TB_ENABLEBUTTON, kCommandProperties, MAKELONG(any, 0));
        SendMessageW(toolbar, TB_ENABLEBUTTON, kCommandPaste, MAKELONG(paste, 0));
    }
    HMENU menu = GetMenu(dialog);
    HMENU file = GetSubMenu(menu, kFileMenu), edit = GetSubMenu(menu, kEditMenu),
          certificate = GetSubMenu(menu, kCertificateMenu);
    Enable(file, kSecureDelete, filesPage && any);
    Enable(file, kFileProperties, filesPage && any);
    EnableMenuItem(edit, 0, MF_BYPOSITION | (page ? MF_ENABLED : MF_GRAYED));
    Enable(edit, kCommandProperties, any);
    Enable(edit, kCommandCopy, any);
    Enable(edit, kCommandCut, removable);
    Enable(edit, kCommandDelete, removable);
    Enable(edit, kCommandPaste, paste);
    Enable(edit, kCommandSelectAll, page && !all);
    Enable(certificate, kCertificateProperties, certificatePage && any);
    EnableMenuItem(certificate, 0, MF_BYPOSITION | (signingOpen ? MF_GRAYED : MF_ENABLED));
    Enable(certificate, kAddFromFile, !signingOpen);
    Enable(certificate, kAddFromDirectory, !signingOpen);
    if (page) page->SetViewStyle(page->viewStyle);  // the view submenu shows the page's style
    DrawMenuBar(dialog);
}

void RefreshAll(PackerWindow* window) {
    RefreshStatus(window);
    RefreshCommands(window);
}

// Pages ------------------------------------------------------------------------------------------

void ShowSelectedPage(PackerWindow* window) {
    for (CVTabDlg* page : std::initializer_list<CVTabDlg*>{window->filesPage, window->encryptionPage,
                                                            window->signingPage, window->settingsPage})
        page->DestroyPage();
    if (CVTabDlg* page = SelectedPage(window->window)) {
        page->CreatePage();
        LayOut(window);
        if (page->pageWindow) ShowWindow(page->pageWindow, SW_SHOW);
    }
    RefreshCommands(window);
}

void MeasurePageEntry(MEASUREITEMSTRUCT* measure) { measure->itemHeight = kPageEntryHeight; }

void DrawPageEntry(PackerWindow* window, const DRAWITEMSTRUCT* draw) {
    if (draw->itemID == static_cast<UINT>(-1)) return;
    const bool selected = (draw->itemState & ODS_SELECTED) != 0;
    HDC dc = draw->hDC;
    RECT rect = draw->rcItem;
    FillRect(dc, &rect, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
    int iconWidth = 32, iconHeight = 32;
    if (window->pageIcons) ImageList_GetIconSize(window->pageIcons, &iconWidth, &iconHeight);
    const int iconLeft = rect.left + (rect.right - rect.left - iconWidth) / 2;
    if (window->pageIcons)
        ImageList_Draw(window->pageIcons, static_cast<int>(draw->itemID), dc, iconLeft, rect.top + 4,
                       ILD_TRANSPARENT | (selected ? ILD_SELECTED : ILD_NORMAL));
    auto* page = reinterpret_cast<CVTabDlg*>(draw->itemData);
    RECT text = {rect.left + 2, rect.top + 4 + iconHeight + 2, rect.right - 2, rect.bottom - 2};
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
    HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(draw->hwndItem, WM_GETFONT, 0, 0)));
    if (page) DrawTextW(dc, page->caption, -1, &text, DT_CENTER | DT_WORDBREAK | DT_END_ELLIPSIS);
    SelectObject(dc, previous);
    if (draw->itemState & ODS_FOCUS) DrawFocusRect(dc, &rect);
}

// Commands ---------------------------------------------------------------------------------------

void CloseWindow(PackerWindow* window, INT_PTR result) {
    if (window->isModal) EndDialog(window->window, result);
    else DestroyWindow(window->window);
}

void SecureDeleteSelected(PackerWindow* window) {
    CVFilesDlg* page = window->filesPage;
    HWND listView = page->ListView();
    if (!listView) return;
    if (ShowMessageBox(window->window, kConfirmDeleteText, MB_ICONQUESTION | MB_YESNO, nullptr, 0) != IDYES) return;
    const CVSettingsDlg& settings = *window->settingsPage;
    ProviderHandle provider;
    if (!CryptAcquireContextW(provider.put(), nullptr, settings.CryptCSPname.empty() ? nullptr : settings.CryptCSPname.c_str(),
                              settings.CryptCSPtype, CRYPT_VERIFYCONTEXT))
        provider.release();
    int row = -1, lastDeleted = -1;
    bool failed = false;
    while ((row = static_cast<int>(SendMessageW(listView, LVM_GETNEXTITEM, row, LVNI_SELECTED))) >= 0) {
        LVITEMW item = {};
        item.mask = LVIF_PARAM;
        item.iItem = row;
        SendMessageW(listView, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
        auto* path = reinterpret_cast<wchar_t*>(item.lParam);
        if (!path || !SecureDeleteFile(path, provider.get(), settings.OverwritePasses)) {
            failed = true;  // the first failure ends the run; what is left stays listed
            break;
        }
        page->RemoveItem(path, FALSE);
        lastDeleted = row;
        row -= 1;
    }
    if (!failed && lastDeleted >= 0) {
        int next = std::min(lastDeleted, page->RowCount() - 1);
        if (next >= 0) {
            LVITEMW state = {};
            state.stateMask = state.state = LVIS_SELECTED | LVIS_FOCUSED;
            SendMessageW(listView, LVM_SETITEMSTATE, next, reinterpret_cast<LPARAM>(&state));
            SetFocus(listView);
        }
    }
    RefreshAll(window);
}

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) return TRUE;
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

void RunPackCommand(PackerWindow* window, UINT command) {
    if (RunPack(window, window->window, command == kPackToFolder)) CloseWindow(window, command);
    else RefreshAll(window);
}

void OnCommand(PackerWindow* window, UINT command) {
    HWND dialog = window->window;
    CVListDlg* page = SelectedListPage(window);
    switch (command) {
        case kPackToFolder:
        case kPack: RunPackCommand(window, command); return;
        case kExit:
        case IDCANCEL: CloseWindow(window, command); return;
        case kAddFiles: window->filesPage->AddFromKeyboard(); return;
        case kCertificateProperties:
            if (window->encryptionPage->pageWindow) window->encryptionPage->ShowSelectedProperties();
            else if (window->signingPage->pageWindow) window->signingPage->ShowSelectedProperties();
            return;
        case kFileProperties:
            if (window->filesPage->pageWindow) window->filesPage->ShowSelectedProperties();
            return;
        case kHelp: ShowHelp(dialog, nullptr, false); return;
        case kAbout:
            DialogBoxParamW(ResourceModule(), MAKEINTRESOURCEW(kAboutTemplate), dialog, AboutProc, 0);
            return;
        case kSecureDelete: SecureDeleteSelected(window); return;
        case kAddFromFile: AddCertificateFromFile(window->encryptionPage); RefreshAll(window); return;
        case kAddFromStore:
            AddCertificateFromStore(window->signingPage->pageWindow ? window->signingPage : window->encryptionPage);
            RefreshAll(window);
            return;
        case kAddFromDirectory: AddCertificateFromDirectory(window->encryptionPage); RefreshAll(window); return;
        case kToolbarLabels:
        case kSmallToolbarIcons:
        case kLargeToolbarIcons: ApplyToolbarChoice(window, command); return;
        default: break;
    }
    if (command >= kRecentFilesFirst && command <= kRecentFilesLast) {
        ReopenRecentFile(window, command - kRecentFilesFirst, RecentFilesMenu(dialog));
        RefreshAll(window);
        return;
    }
    if (command >= kRecentCertificatesFirst && command <= kRecentCertificatesLast) {
        ReuseRecentCertificate(window, command - kRecentCertificatesFirst);
        RefreshAll(window);
        return;
    }
    if (page) {
        page->HandleCommand(command);
        RefreshAll(window);
    } else if (CVTabDlg* shown = SelectedPage(dialog); shown && shown->pageWindow) {
        SendMessageW(shown->pageWindow, WM_COMMAND, command, 0);
    }
}

// Status text of a highlighted menu command; the counts again once the menu is closed.
void OnMenuSelect(PackerWindow* window, UINT item, UINT flags, HMENU menu) {
    if (!menu && flags == 0xFFFF) {
        RefreshStatus(window);
        return;
    }
    if (flags & MF_POPUP || item == 0) return;
    std::wstring text = LoadText(item);
    if (text.size() > 512) text.resize(512);
    HWND status = GetDlgItem(window->window, kStatusBar);
    SendMessageW(status, SB_SIMPLE, TRUE, 0);
    SendMessageW(status, SB_SETTEXTW, SB_SIMPLEID, reinterpret_cast<LPARAM>(text.c_str()));
}

bool OnNotify(PackerWindow* window, NMHDR* header) {
    if (header->idFrom != kToolbar) return false;
    if (header->code == TBN_DROPDOWN) {
        ShowToolbarDropDown(window, reinterpret_cast<NMTOOLBARW*>(header));
        SetWindowLongPtrW(window->window, DWLP_MSGRESULT, TBDDRET_DEFAULT);
        return true;
    }
    if (header->code == NM_RCLICK) {
        POINT at;
        GetCursorPos(&at);
        ShowToolbarContextMenu(window, at);
        // Handled: otherwise the toolbar passes the click on as a context-menu message, which
        // would open the menu a second time.
        SetWindowLongPtrW(window->window, DWLP_MSGRESULT, TRUE);
        return true;
    }
    return false;
}

// Start and close --------------------------------------------------------------------------------

thread_local HHOOK popupHook = nullptr;
thread_local HWND lastPlacedPopup = nullptr;

// Message boxes are popups with a border and a system menu, placed absolutely. Wine's leave out
// DS_ABSALIGN; they are known by DS_NOIDLEMSG, which message boxes carry on both platforms.
bool IsMessageBoxStyle(LONG style) {
    const LONG frame = WS_POPUP | WS_BORDER | WS_SYSMENU;
    return (style & frame) == frame && (style & (DS_ABSALIGN | DS_NOIDLEMSG)) != 0;
}

// Where a message box of the given size goes: centred over its owner (or the work area), and
// never past the work area's edges.
POINT PopupPosition(HWND owner, int width, int height) {
    RECT work = {0, 0, 640, 480};
    if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) work = RECT{0, 0, 640, 480};
    RECT around = work;
    if (owner && IsWindowVisible(owner) && !IsIconic(owner)) GetWindowRect(owner, &around);
    int x = around.left + (around.right - around.left - width) / 2;
    int y = around.top + (around.bottom - around.top - height) / 2;
    x = std::max<int>(std::min<int>(x, work.right - width), work.left);
    y = std::max<int>(std::min<int>(y, work.bottom - height), work.top);
    return POINT{x, y};
}

LRESULT CALLBACK CenterPopupHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND) {
        auto* create = reinterpret_cast<CBT_CREATEWNDW*>(lParam)->lpcs;
        if (IsMessageBoxStyle(create->style)) {
            POINT at = PopupPosition(create->hwndParent, create->cx, create->cy);
            create->x = at.x;
            create->y = at.y;
        }
    } else if (code == HCBT_ACTIVATE) {
        // A message box that positions itself again while it initialises (Wine's does) is put
        // back in its place when it first becomes active; later activations leave it where the
        // user moved it.
        HWND popup = reinterpret_cast<HWND>(wParam);
        RECT rect;
        if (popup != lastPlacedPopup && IsMessageBoxStyle(GetWindowLongW(popup, GWL_STYLE)) &&
            GetWindowRect(popup, &rect)) {
            lastPlacedPopup = popup;
            POINT at = PopupPosition(GetWindow(popup, GW_OWNER), rect.right - rect.left, rect.bottom - rect.top);
            SetWindowPos(popup, nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
    }
    return CallNextHookEx(popupHook, code, wParam, lParam);
}

void CentreWindow(HWND dialog, HWND owner, int width, int height) {
    RECT around;
    if (!owner || !IsWindowVisible(owner) || IsIconic(owner) || !GetWindowRect(owner, &around))
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &around, 0);
    SetWindowPos(dialog, nullptr, around.left + (around.right - around.left - width) / 2,
                 around.top + (around.bottom - around.top - height) / 2, width, height, SWP_NOZORDER);
}

void OnInit(HWND dialog, PackerWindow* window) {
    SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(window));
    window->window = dialog;
    popupHook = SetWindowsHookExW(WH_CBT, CenterPopupHook, nullptr, GetCurrentThreadId());
    HICON large = static_cast<HICON>(LoadImageW(ResourceModule(), MAKEINTRESOURCEW(kProgramIcon), IMAGE_ICON,
                                                GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    HICON small = static_cast<HICON>(LoadImageW(ResourceModule(), MAKEINTRESOURCEW(kProgramIcon), IMAGE_ICON,
                                                GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(large));
    SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));

    DWORD width = kDefaultWidth, height = kDefaultHeight;
    RegKeyHandle key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS) {
        ReadDword(key.get(), kWidthValue, width);
        ReadDword(key.get(), kHeightValue, height);
        ReadDword(key.get(), kLargeIconsValue, window->largeToolbarIcons);
        ReadDword(key.get(), kLabelsValue, window->showToolbarText);
    }
    SendMessageW(GetDlgItem(dialog, kStatusBar), SB_SIMPLE, TRUE, 0);
    BuildToolbar(window);

    HBITMAP strip = static_cast<HBITMAP>(
        LoadImageW(ResourceModule(), MAKEINTRESOURCEW(kPageIcons), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    window->pageIcons = ImageList_Create(32, 32, ILC_COLOR8 | ILC_MASK, 4, 0);
    if (window->pageIcons && strip) ImageList_AddMasked(window->pageIcons, strip, RGB(0, 0, 255));
    if (strip) DeleteObject(strip);

    for (CVTabDlg* page : std::initializer_list<CVTabDlg*>{window->filesPage, window->encryptionPage,
                                                            window->signingPage, window->settingsPage})
        page->parentWindow = dialog;
    LoadPackerLists(window);
    const DWORD capacity = window->settingsPage->RecentItemsCount;
    UpdateRecentFiles(window->recentFiles, nullptr, 0, RecentFilesMenu(dialog), capacity);
    UpdateRecentCertificates(window->recentCertificates, nullptr, 0, RecentCertificatesMenu(dialog), capacity);

    HWND list = GetDlgItem(dialog, kPageList);
    for (CVTabDlg* page : std::initializer_list<CVTabDlg*>{window->filesPage, window->encryptionPage,
                                                            window->signingPage, window->settingsPage}) {
        LRESULT index = SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(page->caption));
        SendMessageW(list, LB_SETITEMDATA, index, reinterpret_cast<LPARAM>(page));
    }
    SendMessageW(list, LB_SETCURSEL, ItemCount(window->filesPage) > 0 ? 1 : 0, 0);
    CentreWindow(dialog, window->ownerWindow, static_cast<int>(width), static_cast<int>(height));
    ShowSelectedPage(window);
    RefreshStatus(window);
}

void OnDestroy(PackerWindow* window) {
    HWND dialog = window->window;
    if (popupHook) UnhookWindowsHookEx(popupHook);
    popupHook = nullptr;
    RegistryWrites writes;
    window->settingsPage->DestroyPage();
    writes.NoteResult(window->settingsPage->SaveSettings());
    window->filesPage->DestroyPage();
    window->encryptionPage->DestroyPage();
    window->signingPage->DestroyPage();
    for (CVListDlg* page : std::initializer_list<CVListDlg*>{window->filesPage, window->encryptionPage, window->signingPage})
        writes.NoteResult(page->SaveView());
    writes.NoteResult(SavePackerLists(window));
    FreeRecentFiles(window->recentFiles);
    FreeRecentCertificates(window->recentCertificates);
    DestroyToolbar(window);
    if (window->pageIcons) ImageList_Destroy(window->pageIcons);
    window->pageIcons = nullptr;
    RECT outer;
    if (GetWindowRect(dialog, &outer))
        writes.NoteResult(WriteDwords({{kWidthValue, static_cast<DWORD>(outer.right - outer.left)},
                                       {kHeightValue, static_cast<DWORD>(outer.bottom - outer.top)}}));
    for (int which : {ICON_BIG, ICON_SMALL})
        if (HICON icon = reinterpret_cast<HICON>(SendMessageW(dialog, WM_GETICON, which, 0))) DestroyIcon(icon);
    window->window = nullptr;
    // The window is going: what could not be kept is said over its owner.
    if (!writes.Result()) ReportSettingsNotSaved(window->ownerWindow, GetLastError());
}

INT_PTR CALLBACK MainProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    PackerWindow* window = message == WM_INITDIALOG ? reinterpret_cast<PackerWindow*>(lParam) : WindowOf(dialog);
    if (!window) return FALSE;
    switch (message) {
        case WM_INITDIALOG: OnInit(dialog, window); return FALSE;
        case WM_MEASUREITEM:
            if (wParam != kPageList) return FALSE;
            MeasurePageEntry(reinterpret_cast<MEASUREITEMSTRUCT*>(lParam));
            return TRUE;
        case WM_DRAWITEM:
            if (wParam != kPageList) return FALSE;
            DrawPageEntry(window, reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            return TRUE;
        case WM_SIZE: LayOut(window); return TRUE;
        case WM_GETMINMAXINFO:
            reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {kDefaultWidth, kDefaultHeight};
            return TRUE;
        case WM_COMMAND:
            if (HIWORD(wParam) == LBN_SELCHANGE && LOWORD(wParam) == kPageList) ShowSelectedPage(window);
            else if (HIWORD(wParam) == 0) OnCommand(window, LOWORD(wParam));
            return TRUE;
        case WM_NOTIFY: return OnNotify(window, reinterpret_cast<NMHDR*>(lParam)) ? TRUE : FALSE;
        case WM_CONTEXTMENU:
            if (HWND toolbar = GetDlgItem(dialog, kToolbar); reinterpret_cast<HWND>(wParam) == toolbar) {
                POINT at = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
                if (at.x == -1 && at.y == -1) at = ToolbarMenuPoint(toolbar);
                ShowToolbarContextMenu(window, at);
                return TRUE;
            }
            return FALSE;
        case WM_MENUSELECT: OnMenuSelect(window, LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HMENU>(lParam)); return TRUE;
        case WM_EXITMENULOOP: RefreshStatus(window); return TRUE;
        case WM_ACTIVATE:
        case WM_SETFOCUS:
        case UM_COMMANDS_REFRESH: RefreshCommands(window); return FALSE;
        case UM_STATUS_REFRESH: RefreshStatus(window); return TRUE;
        case WM_HELP: ShowHelp(dialog, reinterpret_cast<HELPINFO*>(lParam), false); return TRUE;
        case WM_DESTROY: OnDestroy(window); return FALSE;
        default: return FALSE;
    }
}

}  // namespace

INT_PTR OpenPackerWindow(PackerWindow* window, HWND owner) {
    if (!window) return -1;
    INITCOMMONCONTROLSEX controls = {sizeof controls,
                                     ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES | ICC_NATIVEFNTCTL_CLASS};
    InitCommonControlsEx(&controls);
    window->ownerWindow = owner;
    return DialogBoxParamW(ResourceModule(), MAKEINTRESOURCEW(kMainTemplate), owner, MainProc,
                           reinterpret_cast<LPARAM>(window));
}
