// The window side of the list pages: template 207 with its list view, columns, view styles, keys,
// context menu and the page commands the packer window forwards.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <ole2.h>
#include <commdlg.h>
#include <cryptuiapi.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "format/service/resources.h"
#include "packer_ui/certificate_sources.h"
#include "packer_ui/data_object.h"
#include "packer_ui/directory_search.h"
#include "unpack/decode_data.h"
#include "packer_ui/list_pages.h"

namespace {

constexpr int kPageTemplate = 207;
constexpr int kHintText = 2001;
constexpr int kDefaultColumnWidth = 100;
constexpr size_t kMostColumns = 16;
constexpr int kEditMenuPosition = 1;

DWORD ListStyleFor(UINT command) {
    switch (command) {
        case kViewLargeIcons: return LVS_ICON;
        case kViewSmallIcons: return LVS_SMALLICON;
        case kViewList: return LVS_LIST;
        default: return LVS_REPORT;
    }
}

// Details and list views (bit 0 of the style) have columns whose widths are worth keeping.
bool HasColumns(HWND listView) { return (GetWindowLongW(listView, GWL_STYLE) & 1) != 0; }

bool KeyDown(int key) { return (GetKeyState(key) & 0x8000) != 0; }

int ColumnCount(HWND listView) {
    HWND header = reinterpret_cast<HWND>(SendMessageW(listView, LVM_GETHEADER, 0, 0));
    return header ? static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0)) : 0;
}

}  // namespace

// The column names of a string whose first character separates them; an empty name ends the list.
std::vector<std::wstring> ColumnNames(UINT textId) {
    std::wstring text = LoadText(textId);
    std::vector<std::wstring> names;
    if (text.empty()) return names;
    const wchar_t separator = text[0];
    size_t start = 1;
    while (start <= text.size() && names.size() < kMostColumns) {
        size_t end = text.find(separator, start);
        std::wstring name = text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (name.empty()) break;
        names.push_back(name);
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    return names;
}

BOOL CVListDlg::CreatePage() {
    if (pageWindow) return TRUE;
    HWND page = CreateDialogParamW(ResourceModule(), MAKEINTRESOURCEW(kPageTemplate), parentWindow, PageProc,
                                   reinterpret_cast<LPARAM>(this));
    return page != nullptr;
}

void CVListDlg::DestroyPage() {
    if (!pageWindow) return;
    if (HWND listView = ListView(); listView && HasColumns(listView)) CaptureColumnWidths();
    FlushItems();
    // The rows hold no items any more: the window goes without freeing what items now owns.
    if (HWND listView = ListView()) SendMessageW(listView, LVM_DELETEALLITEMS, 0, 0);
    HWND page = pageWindow;
    pageWindow = nullptr;
    DestroyWindow(page);
}

void CVListDlg::InitPage(HWND page) {
    pageWindow = page;
    if (hintTextId) SetDlgItemTextW(page, kHintText, LoadText(hintTextId).c_str());
    HWND listView = ListView();
    RECT rect;
    GetWindowRect(listView, &rect);
    MapWindowPoints(nullptr, page, reinterpret_cast<POINT*>(&rect), 2);
    listTop = rect.top;
    SendMessageW(listView, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    SetWindowLongPtrW(listView, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    previousListProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(listView, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ListProc)));
    InsertColumns(listView);
    PrepareListView(listView);
    DWORD style = viewStyle;
    viewStyle = 0;  // applied below as a change, without capturing the fresh widths
    SetWindowLongW(listView, GWL_STYLE, (GetWindowLongW(listView, GWL_STYLE) & ~LVS_TYPEMASK) | ListStyleFor(style));
    viewStyle = style;
    // The items move into the list view in their order; empty slots are dropped.
    void** held = items;
    DWORD heldCount = count;
    items = nullptr;
    count = 0;
    capacity = 0;
    for (DWORD i = 0; i < heldCount; ++i)
        if (held[i] && AddItem(held[i], FALSE) < 0) FreeItem(held[i]);
    delete[] held;
    LayOut();
    PostToParent(UM_COMMANDS_REFRESH);
}

void CVListDlg::InsertColumns(HWND listView) {
    std::vector<std::wstring> names = ColumnNames(columnsTextId);
    for (size_t i = 0; i < names.size(); ++i) {
        LVCOLUMNW column = {};
        column.mask = LVCF_FMT | LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        column.fmt = LVCFMT_LEFT;
        column.cx = i < columnWidths.size() ? columnWidths[i] : kDefaultColumnWidth;
        column.pszText = &names[i][0];
        column.iSubItem = static_cast<int>(i);
        SendMessageW(listView, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
    }
    // The stored widths stay as they are until a view with columns is left: a page opened and
    // closed in an icon view writes back what it read.
}

void CVListDlg::CaptureColumnWidths() {
    HWND listView = ListView();
    int columns = ColumnCount(listView);
    if (columns <= 0) return;
    columnWidths.resize(static_cast<size_t>(columns));
    for (int i = 0; i < columns; ++i) columnWidths[i] = static_cast<int>(SendMessageW(listView, LVM_GETCOLUMNWIDTH, i, 0));
}

void CVListDlg::PrepareListView(HWND) {}

void CVListDlg::LayOut() {
    HWND listView = ListView();
    if (!listView) return;
    RECT client;
    GetClientRect(pageWindow, &client);
    MoveWindow(listView, 0, listTop, client.right, std::max<LONG>(client.bottom - listTop, 0), TRUE);
    if (HWND hint = GetDlgItem(pageWindow, kHintText)) {
        RECT rect;
        GetWindowRect(hint, &rect);
        MapWindowPoints(nullptr, pageWindow, reinterpret_cast<POINT*>(&rect), 2);
        MoveWindow(hint, rect.left, rect.top, std::max<LONG>(client.right - rect.left, 0), rect.bottom - rect.top,
                   TRUE);
    }
}

void CVListDlg::PostToParent(UINT message) const {
    if (parentWindow) PostMessageW(parentWindow, message, 0, 0);
}

INT_PTR CALLBACK CVListDlg::PageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<CVListDlg*>(GetWindowLongPtrW(page, DWLP_USER));
    switch (message) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(page, DWLP_USER, lParam);
            reinterpret_cast<CVListDlg*>(lParam)->InitPage(page);
            return FALSE;
        case WM_SIZE:
            if (self) self->LayOut();
            return TRUE;
        case WM_NOTIFY:
            if (self && self->OnNotify(reinterpret_cast<const NMHDR*>(lParam))) return TRUE;
            return FALSE;
        case WM_COMMAND:
            // Commands of the context menu go to the packer window, which owns it.
            if (self && self->parentWindow) SendMessageW(self->parentWindow, WM_COMMAND, wParam, lParam);
            return TRUE;
        default:
            return FALSE;
    }
}

LRESULT CALLBACK CVListDlg::ListProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<CVListDlg*>(GetWindowLongPtrW(list, GWLP_USERDATA));
    if (message == WM_DROPFILES && self) {
        HDROP drop = reinterpret_cast<HDROP>(wParam);
        self->PasteDroppedFiles(drop, TRUE);
        DragFinish(drop);
        return 0;
    }
    // Shift+F10 comes as a system key, which the list view does not report as a key down; the page
    // opens its menu here and the key goes no further, so no second menu follows from it.
    if (message == WM_SYSKEYDOWN && wParam == VK_F10 && self && KeyDown(VK_SHIFT)) {
        self->OnKeyDown(VK_F10);
        return 0;
    }
    WNDPROC previous = self ? self->previousListProc : nullptr;
    if (message == WM_GETDLGCODE && previous) {
        // The dialog manager would turn Enter into the window's default button; in the list it
        // opens the selected items' properties.
        const MSG* key = reinterpret_cast<const MSG*>(lParam);
        LRESULT code = CallWindowProcW(previous, list, message, wParam, lParam);
        if (key && key->message == WM_KEYDOWN && key->wParam == VK_RETURN) code |= DLGC_WANTMESSAGE;
        return code;
    }
    if (message == WM_NCDESTROY && self) {
        SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
        self->previousListProc = nullptr;
    }
    return previous ? CallWindowProcW(previous, list, message, wParam, lParam)
                    : DefWindowProcW(list, message, wParam, lParam);
}

bool CVListDlg::OnNotify(const NMHDR* header) {
    if (header->idFrom != kPageListView) return false;
    switch (header->code) {
        case LVN_KEYDOWN:
            OnKeyDown(reinterpret_cast<const NMLVKEYDOWN*>(header)->wVKey);
            return true;
        case LVN_ITEMCHANGED:
            PostToParent(UM_COMMANDS_REFRESH);
            return true;
        case NM_RCLICK: {
            POINT at;
            GetCursorPos(&at);
            ShowContextMenu(at, false);
            // Handled: the list view then does not turn the click into a context-menu message too.
            SetWindowLongPtrW(pageWindow, DWLP_MSGRESULT, TRUE);
            return true;
        }
        case NM_DBLCLK:
            ShowSelectedProperties();
            return true;
        default:
            return false;
    }
}

void CVListDlg::OnKeyDown(WORD key) {
    const bool ctrl = KeyDown(VK_CONTROL), alt = KeyDown(VK_MENU), shift = KeyDown(VK_SHIFT);
    const bool ctrlOnly = ctrl && !alt && !shift;
    switch (key) {
        case VK_INSERT:
            if (shift && !ctrl && !alt) Paste(TRUE);
            else if (ctrlOnly) HandleCommand(kCommandCopy);
            else AddFromKeyboard();
            return;
        case VK_DELETE:
            HandleCommand(shift ? kCommandCut : kCommandDelete);
            return;
        case VK_RETURN:
            ShowSelectedProperties();
            return;
        case VK_F10:
            if (shift) ShowContextMenu(POINT{}, true);
            return;
        case VK_APPS:
            ShowContextMenu(POINT{}, true);
            return;
        default:
            break;
    }
    if (!ctrlOnly) return;
    switch (key) {
        case 'A': SelectAll(); break;
        case 'C': HandleCommand(kCommandCopy); break;
        case 'V': Paste(TRUE); break;
        case 'X': HandleCommand(kCommandCut); break;
        case 'I': ShowSelectedProperties(); break;
        default: break;
    }
}

void CVListDlg::ShowContextMenu(POINT at, bool fromKeyboard) {
    HWND listView = ListView();
    HMENU menu = parentWindow ? GetMenu(parentWindow) : nullptr;
    HMENU edit = menu ? GetSubMenu(menu, kEditMenuPosition) : nullptr;
    if (!edit || !listView) return;
    if (fromKeyboard) {
        RECT rect;
        int row = FirstSelected();
        rect.left = LVIR_SELECTBOUNDS;
        if (row < 0 || !SendMessageW(listView, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&rect)))
            GetClientRect(listView, &rect);
        at = POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
        ClientToScreen(listView, &at);
    }
    TrackPopupMenu(edit, TPM_RIGHTBUTTON | TPM_NONOTIFY | TPM_LEFTALIGN | TPM_TOPALIGN, at.x, at.y, 0, parentWindow,
                   nullptr);
}

int CVListDlg::RowCount() const {
    HWND listView = ListView();
    return listView ? static_cast<int>(SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0)) : 0;
}

int CVListDlg::FirstSelected() const {
    HWND listView = ListView();
    return listView ? static_cast<int>(SendMessageW(listView, LVM_GETNEXTITEM, -1, LVNI_SELECTED)) : -1;
}

int CVListDlg::SelectedCount() const {
    HWND listView = ListView();
    return listView ? static_cast<int>(SendMessageW(listView, LVM_GETSELECTEDCOUNT, 0, 0)) : 0;
}

bool CVListDlg::HasRemovableSelection() const {
    // The fixed rows come first: the first selected row tells whether any of them is selected.
    const int first = FirstSelected();
    return first >= 0 && first >= static_cast<int>(fixedCount);
}

void CVListDlg::HandleCommand(UINT command) {
    switch (command) {
        case kCommandDelete: DeleteSelected(); break;
        case kCommandProperties: ShowSelectedProperties(); break;
        case kCommandSelectAll: SelectAll(); break;
        case kViewLargeIcons:
        case kViewSmallIcons:
        case kViewList:
        case kViewDetails: SetViewStyle(command); break;
        case kCommandPaste: Paste(TRUE); break;
        case kCommandCopy: Copy(); break;
        case kCommandCut: Cut(); break;
        default: break;
    }
}

void CVListDlg::DeleteSelected() {
    HWND listView = ListView();
    if (!listView) return;
    int lastDeleted = -1;
    int row = static_cast<int>(fixedCount) - 1;
    while ((row = static_cast<int>(SendMessageW(listView, LVM_GETNEXTITEM, row, LVNI_SELECTED))) >= 0) {
        if (row < static_cast<int>(fixedCount)) continue;
        LVITEMW item = {};
        item.mask = LVIF_PARAM;
        item.iItem = row;
        SendMessageW(listView, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
        SendMessageW(listView, LVM_DELETEITEM, row, 0);
        for (DWORD i = 0; i < count; ++i)
            if (items[i] == reinterpret_cast<void*>(item.lParam)) items[i] = nullptr;  // a flushed copy
        if (item.lParam) FreeItem(reinterpret_cast<void*>(item.lParam));
        lastDeleted = row;
        row -= 1;  // the next selected row moved into this place
    }
    if (lastDeleted >= 0) {
        int rows = RowCount();
        int next = std::min(lastDeleted, rows - 1);
        if (next >= 0) {
            LVITEMW state = {};
            state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
            state.state = LVIS_SELECTED | LVIS_FOCUSED;
            SendMessageW(listView, LVM_SETITEMSTATE, next, reinterpret_cast<LPARAM>(&state));
        }
    }
    PostToParent(UM_STATUS_REFRESH);
    PostToParent(UM_COMMANDS_REFRESH);
}

void CVListDlg::ShowSelectedProperties() {
    HWND listView = ListView();
    if (!listView) return;
    for (int row = -1; (row = static_cast<int>(SendMessageW(listView, LVM_GETNEXTITEM, row, LVNI_SELECTED))) >= 0;) {
        LVITEMW item = {};
        item.mask = LVIF_PARAM;
        item.iItem = row;
        if (SendMessageW(listView, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)) && item.lParam)
            ShowItemProperties(reinterpret_cast<void*>(item.lParam));
    }
    SetFocus(listView);
}

void CVListDlg::SelectAll() {
    HWND listView = ListView();
    if (!listView) return;
    LVITEMW state = {};
    state.stateMask = LVIS_SELECTED;
    state.state = LVIS_SELECTED;
    SendMessageW(listView, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&state));
}

void CVListDlg::SetViewStyle(UINT command) {
    if (command < kViewLargeIcons || command > kViewDetails) command = kViewDetails;
    HWND listView = ListView();
    if (listView && command != viewStyle) {
        if (HasColumns(listView)) CaptureColumnWidths();
        SetWindowLongW(listView, GWL_STYLE,
                       (GetWindowLongW(listView, GWL_STYLE) & ~LVS_TYPEMASK) | ListStyleFor(command));
    }
    viewStyle = command;
    HMENU menu = parentWindow ? GetMenu(parentWindow) : nullptr;
    HMENU edit = menu ? GetSubMenu(menu, kEditMenuPosition) : nullptr;
    HMENU view = edit ? GetSubMenu(edit, 0) : nullptr;
    if (view) CheckMenuRadioItem(view, kViewLargeIcons, kViewDetails, command, MF_BYCOMMAND);
}

std::vector<void*> CVListDlg::SelectedItems() const {
    std::vector<void*> selected;
    HWND listView = ListView();
    if (!listView) return selected;
    for (int row = -1; (row = static_cast<int>(SendMessageW(listView, LVM_GETNEXTITEM, row, LVNI_SELECTED))) >= 0;) {
        LVITEMW item = {};
        item.mask = LVIF_PARAM;
        item.iItem = row;
        if (SendMessageW(listView, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)) && item.lParam)
            selected.push_back(reinterpret_cast<void*>(item.lParam));
    }
    return selected;
}

bool CVListDlg::Copy() {
    CDataObject* object = new (std::nothrow) CDataObject();
    if (!object) return false;
    HGLOBAL block = RenderClipboardData(object);
    bool stored = block && SUCCEEDED(SetGlobalData(object, GetClipboardFormat(), -1, block));
    if (stored) {
        const DWORD copyEffect = DROPEFFECT_COPY;
        stored = SUCCEEDED(SetGlobalData(object, g_cfPreferredDropEffect, -1,
                                         GlobalFromBytes(&copyEffect, sizeof copyEffect)));
    }
    // The clipboard keeps its own reference. It fails while another program holds it open.
    stored = stored && SUCCEEDED(OleSetClipboard(object));
    object->Release();
    PostToParent(UM_COMMANDS_REFRESH);
    return stored;
}

void CVListDlg::Cut() {
    if (!HasRemovableSelection()) return;
    // Rows that did not reach the clipboard stay: a cut must not lose them.
    if (Copy()) DeleteSelected();
}

HRESULT CVListDlg::Paste(BOOL doIt) {
    IDataObject* object = nullptr;
    if (FAILED(OleGetClipboard(&object)) || !object) return E_NOTIMPL;
    HRESULT result = E_NOTIMPL;
    IEnumFORMATETC* formats = nullptr;
    if (SUCCEEDED(object->EnumFormatEtc(DATADIR_GET, &formats)) && formats) {
        FORMATETC format = {};
        // The first file list or file group in the clipboard's order decides.
        while (formats->Next(1, &format, nullptr) == S_OK) {
            if (format.ptd) CoTaskMemFree(format.ptd);
            format.ptd = nullptr;
            if (format.cfFormat == CF_HDROP) {
                result = PasteFileList(object, format, doIt);
                break;
            }
            if (format.cfFormat == g_cfFileGroupDescriptor || format.cfFormat == g_cfFileGroupDescriptorW) {
                result = PasteVirtualFiles(object, format.cfFormat, doIt);
                break;
            }
        }
        formats->Release();
    }
    object->Release();
    if (doIt && result == S_OK) PostToParent(UM_COMMANDS_REFRESH);
    return result;
}

HRESULT CVListDlg::PasteFileList(IDataObject* object, FORMATETC format, BOOL doIt) {
    STGMEDIUM medium = {};
    HRESULT result = object->GetData(&format, &medium);
    if (FAILED(result)) return result;
    if (medium.tymed != TYMED_HGLOBAL || !medium.hGlobal) {
        ReleaseStgMedium(&medium);
        return DV_E_TYMED;
    }
    result = PasteDroppedFiles(static_cast<HDROP>(medium.hGlobal), doIt);
    ReleaseStgMedium(&medium);
    return result;
}

void CVListDlg::AddFromKeyboard() { PostToParent(UM_COMMANDS_REFRESH); }

HRESULT CVListDlg::PasteDroppedFiles(HDROP, BOOL) { return E_NOTIMPL; }

// Files page -----------------------------------------------------------------------------------

namespace {

constexpr UINT kAllFilesFilter = 590;
constexpr DWORD kFileNameRoom = 2600;
constexpr UINT kMostDroppedFiles = 65534;

// The filter string with '|' turned into the zero units the dialog separates by.
std::wstring AllFilesFilter() {
    std::wstring filter = LoadText(kAllFilesFilter);
    std::replace(filter.begin(), filter.end(), L'|', L'\0');
    return filter;
}

// The selection of a multiple-selection open dialog: one full path, or a folder and names.
std::vector<std::wstring> SelectedPaths(const std::vector<wchar_t>& buffer, WORD fileOffset) {
    std::vector<std::wstring> paths;
    std::wstring first(buffer.data());
    if (fileOffset > 0 && fileOffset < first.size()) return {first};
    for (const wchar_t* name = buffer.data() + first.size() + 1; *name; name += wcslen(name) + 1) {
        std::wstring folder = first;
        if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
        paths.push_back(folder + name);
    }
    if (paths.empty() && !first.empty()) paths.push_back(first);
    return paths;
}

std::wstring DroppedName(HDROP files, UINT index) {
    UINT length = DragQueryFileW(files, index, nullptr, 0);
    std::wstring name(length + 1, L'\0');
    DragQueryFileW(files, index, &name[0], length + 1);
    name.resize(length);
    return name;
}

}  // namespace

void CVFilesDlg::AddFromKeyboard() {
    std::wstring filter = AllFilesFilter();
    std::vector<wchar_t> buffer(kFileNameRoom, L'\0');
    for (;;) {
        OPENFILENAMEW dialog = {};
        dialog.lStructSize = sizeof dialog;
        dialog.hwndOwner = parentWindow;
        dialog.lpstrFilter = filter.c_str();
        dialog.lpstrFile = buffer.data();
        dialog.nMaxFile = static_cast<DWORD>(buffer.size());
        dialog.Flags = OFN_EXPLORER | OFN_ALLOWMULTISELECT | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
        if (GetOpenFileNameW(&dialog)) {
            for (const std::wstring& path : SelectedPaths(buffer, dialog.nFileOffset)) {
                wchar_t* item = DuplicatePath(path.c_str());
                if (AddItem(item, TRUE) < 0) FreeItem(item);
            }
            break;
        }
        // Too small a buffer: its first two bytes tell the size needed.
        if (CommDlgExtendedError() != FNERR_BUFFERTOOSMALL) break;
        DWORD needed = *reinterpret_cast<const WORD*>(buffer.data());
        if (needed <= buffer.size()) break;
        buffer.assign(needed + 1, L'\0');
    }
    if (parentWindow) {
        PostMessageW(parentWindow, UM_COMMANDS_REFRESH, 0, 0);
        PostMessageW(parentWindow, UM_STATUS_REFRESH, 0, 0);
    }
}

HRESULT CVFilesDlg::PasteDroppedFiles(HDROP files, BOOL doIt) {
    if (!doIt) return S_OK;
    UINT total = DragQueryFileW(files, 0xFFFFFFFF, nullptr, 0);
    if (total == 0 || total > kMostDroppedFiles) return S_FALSE;
    for (UINT i = 0; i < total; ++i) {
        std::wstring name = DroppedName(files, i);
        DWORD attributes = GetFileAttributesW(name.c_str());
        // An unreadable path counts as a folder: folders are not packed.
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        wchar_t* item = DuplicatePath(name.c_str());
        if (AddItem(item, TRUE) < 0) FreeItem(item);
    }
    if (parentWindow) PostMessageW(parentWindow, UM_STATUS_REFRESH, 0, 0);
    return S_OK;
}

HGLOBAL CVFilesDlg::RenderClipboardData(IDataObject*) {
    std::vector<std::wstring> paths;
    for (void* item : SelectedItems()) paths.push_back(static_cast<const wchar_t*>(item));
    return paths.empty() ? nullptr : BuildDropFilesBlock(paths);
}

void CVFilesDlg::ShowItemProperties(void* item) {
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_INVOKEIDLIST | SEE_MASK_FLAG_NO_UI;
    info.hwnd = pageWindow;
    info.lpVerb = L"properties";
    info.lpFile = static_cast<const wchar_t*>(item);
    info.nShow = SW_SHOWNORMAL;
    ShellExecuteExW(&info);
}

// Certificate pages ----------------------------------------------------------------------------

void CVCertificateDlg::AddFromKeyboard() {
    const bool ctrl = KeyDown(VK_CONTROL), alt = KeyDown(VK_MENU), shift = KeyDown(VK_SHIFT);
    if (!ctrl) {
        if (!alt) AddCertificateFromStore(this);
        else if (!shift) AddCertificateFromFile(this);
        else AddCertificateFromDirectory(this);
    }
    if (parentWindow) PostMessageW(parentWindow, UM_COMMANDS_REFRESH, 0, 0);
}

HRESULT CVCertificateDlg::PasteDroppedFiles(HDROP files, BOOL doIt) {
    UINT total = DragQueryFileW(files, 0xFFFFFFFF, nullptr, 0);
    if (total == 0 || total > kMostDroppedFiles) return S_FALSE;
    static const wchar_t* const kExtensions[] = {L".p7b", L".p7c", L".spc", L".cer", L".crt"};
    bool matched = false;
    for (UINT i = 0; i < total; ++i) {
        std::wstring name = DroppedName(files, i);
        size_t dot = name.rfind(L'.');
        if (dot == std::wstring::npos) continue;
        const std::wstring extension = name.substr(dot);  // compared exactly, as the shell names them
        if (std::none_of(std::begin(kExtensions), std::end(kExtensions),
                         [&](const wchar_t* known) { return extension == known; }))
            continue;
        if (!doIt) return S_OK;
        matched = true;
        DWORD attributes = GetFileAttributesW(name.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            LoadCertificateFile(this, name.c_str());
    }
    return matched ? S_OK : S_FALSE;
}

void CVCertificateDlg::ShowItemProperties(void* item) {
    CRYPTUI_VIEWCERTIFICATE_STRUCTW view = {};
    view.dwSize = sizeof view;
    view.hwndParent = pageWindow;
    view.pCertContext = static_cast<PCCERT_CONTEXT>(item);
    BOOL changed = FALSE;
    CryptUIDlgViewCertificateW(&view, &changed);
}

CLIPFORMAT CVCertificateDlg::GetClipboardFormat() const { return g_cfFileGroupDescriptorW; }

HGLOBAL CVCertificateDlg::RenderClipboardData(IDataObject* object) {
    std::vector<void*> selected = SelectedItems();
    if (selected.empty()) return nullptr;
    const SIZE_T size = offsetof(FILEGROUPDESCRIPTORW, fgd) + selected.size() * sizeof(FILEDESCRIPTORW);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    auto* group = block ? static_cast<FILEGROUPDESCRIPTORW*>(GlobalLock(block)) : nullptr;
    if (!group) {
        if (block) GlobalFree(block);
        return nullptr;
    }
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    group->cItems = static_cast<UINT>(selected.size());
    bool stored = true;
    for (size_t k = 0; k < selected.size() && stored; ++k) {
        PCCERT_CONTEXT certificate = static_cast<PCCERT_CONTEXT>(selected[k]);
        FILEDESCRIPTORW& file = group->fgd[k];
        file.dwFlags = FD_ATTRIBUTES | FD_CREATETIME | FD_ACCESSTIME | FD_WRITESTIME | FD_FILESIZE | FD_PROGRESSUI;
        file.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
        file.ftCreationTime = file.ftLastAccessTime = file.ftLastWriteTime = now;
        file.nFileSizeLow = certificate->cbCertEncoded;
        swprintf(file.cFileName, MAX_PATH, L"cert%d.cer", static_cast<int>(k));
        stored = SUCCEEDED(SetGlobalData(object, g_cfFileContents, static_cast<LONG>(k),
                                         GlobalFromBytes(certificate->pbCertEncoded, certificate->cbCertEncoded)));
    }
    GlobalUnlock(block);
    if (!stored) {
        GlobalFree(block);
        return nullptr;
    }
    return block;
}

namespace {

// The pasted virtual file names certificates take: ".cer" and ".crt", compared exactly.
template <typename Char>
bool IsCertificateFileName(const Char* name, size_t room) {
    size_t length = 0;
    while (length < room && name[length]) ++length;
    if (length == room || length < 4) return false;  // no terminator inside the descriptor
    const Char* end = name + length - 4;
    const char* const extensions[] = {".cer", ".crt"};
    for (const char* extension : extensions)
        if (std::equal(end, end + 4, extension, [](Char a, char b) { return a == static_cast<Char>(b); })) return true;
    return false;
}

// The descriptor fields the paste needs, from either the ANSI or the wide descriptor.
struct VirtualFile {
    bool certificateName;
    bool sizeKnown;
    ULONGLONG size;
};

template <typename Descriptor>
VirtualFile ReadDescriptor(const Descriptor& file) {
    const bool sizeKnown = (file.dwFlags & FD_FILESIZE) != 0;
    return VirtualFile{IsCertificateFileName(file.cFileName, MAX_PATH), sizeKnown,
                       (static_cast<ULONGLONG>(file.nFileSizeHigh) << 32) | file.nFileSizeLow};
}

constexpr ULONGLONG kLargestVirtualCertificate = 65535;

// The certificate bytes of a "FileContents" medium read as one encoded certificate.
PCCERT_CONTEXT DecodeVirtualFile(const STGMEDIUM& medium, const VirtualFile& file) {
    std::vector<BYTE> bytes;
    if (medium.tymed == TYMED_HGLOBAL) {
        SIZE_T size = GlobalSize(medium.hGlobal);
        if (file.sizeKnown && file.size < size) size = static_cast<SIZE_T>(file.size);
        const BYTE* data = static_cast<const BYTE*>(GlobalLock(medium.hGlobal));
        if (!data) return nullptr;
        bytes.assign(data, data + size);
        GlobalUnlock(medium.hGlobal);
    } else if (medium.tymed == TYMED_ISTREAM && medium.pstm) {
        bytes.resize(static_cast<size_t>(file.sizeKnown ? file.size : kLargestVirtualCertificate));
        ULONG read = 0, total = 0;
        while (total < bytes.size() &&
               SUCCEEDED(medium.pstm->Read(bytes.data() + total, static_cast<ULONG>(bytes.size() - total), &read)) &&
               read > 0)
            total += read;
        bytes.resize(total);
    }
    if (bytes.empty()) return nullptr;
    return CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, bytes.data(),
                                        static_cast<DWORD>(bytes.size()));
}

}  // namespace

HRESULT CVCertificateDlg::PasteVirtualFiles(IDataObject* object, CLIPFORMAT format, BOOL doIt) {
    FORMATETC groupFormat = {format, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM groupMedium = {};
    if (FAILED(object->GetData(&groupFormat, &groupMedium))) return S_FALSE;
    if (groupMedium.tymed != TYMED_HGLOBAL) {
        ReleaseStgMedium(&groupMedium);
        return S_FALSE;
    }
    const bool wide = format != g_cfFileGroupDescriptor;
    const size_t descriptorSize = wide ? sizeof(FILEDESCRIPTORW) : sizeof(FILEDESCRIPTORA);
    const SIZE_T blockSize = GlobalSize(groupMedium.hGlobal);
    const BYTE* block = static_cast<const BYTE*>(GlobalLock(groupMedium.hGlobal));
    bool fetched = false;
    if (block && blockSize >= sizeof(UINT)) {
        UINT items = 0;
        memcpy(&items, block, sizeof items);
        // Only descriptors that lie wholly inside the block are read.
        const size_t room = (blockSize - sizeof(UINT)) / descriptorSize;
        if (items > room) items = static_cast<UINT>(room);
        for (UINT i = 0; i < items; ++i) {
            const BYTE* at = block + sizeof(UINT) + i * descriptorSize;
            VirtualFile file = wide ? ReadDescriptor(*reinterpret_cast<const FILEDESCRIPTORW*>(at))
                                    : ReadDescriptor(*reinterpret_cast<const FILEDESCRIPTORA*>(at));
            if ((file.sizeKnown && file.size > kLargestVirtualCertificate) || !file.certificateName) continue;
            FORMATETC contents = {g_cfFileContents, nullptr, DVASPECT_CONTENT, static_cast<LONG>(i),
                                  TYMED_HGLOBAL | TYMED_FILE | TYMED_ISTREAM};
            STGMEDIUM medium = {};
            if (FAILED(object->GetData(&contents, &medium))) continue;
            fetched = true;
            if (doIt && medium.tymed == TYMED_FILE) {
                if (medium.lpszFileName) LoadCertificateFile(this, medium.lpszFileName);
            } else if (doIt) {
                if (PCCERT_CONTEXT certificate = DecodeVirtualFile(medium, file))
                    if (AddItem(const_cast<CERT_CONTEXT*>(certificate), TRUE) < 0) CertFreeCertificateContext(certificate);
            }
            ReleaseStgMedium(&medium);
        }
    }
    if (block) GlobalUnlock(groupMedium.hGlobal);
    ReleaseStgMedium(&groupMedium);
    return fetched ? S_OK : S_FALSE;
}
