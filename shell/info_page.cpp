// The "Info" page of a packed file in the shell's property sheet: its recipients and signers as
// the unpack driver describes them, and a button for a full check.
#include <windows.h>
#include <commctrl.h>
#include <cryptuiapi.h>

#include <string>
#include <vector>

#include "format/service/help.h"
#include "format/service/resources.h"
#include "shell/shell_extension.h"
#include "unpack/signature_verify.h"
#include "unpack/unpack_driver.h"
#include "unpack/unpack_view.h"

namespace {

constexpr int kCheckButton = 1106, kCheckText = 1111;
constexpr UINT kColumnTitles = 549;
constexpr UINT kRecipientColumnTitles = 740;  // the same certificate columns, then the key transport
constexpr int kRowImages = 407, kStateImages = 408;
constexpr COLORREF kMaskBlue = RGB(0, 0, 255);
constexpr int kColumnWidth = 150;

CQuillarentShell* PageObject(HWND page) {
    return reinterpret_cast<CQuillarentShell*>(GetWindowLongPtrW(page, DWLP_USER));
}

HIMAGELIST ImagesFrom(int bitmapId, int count) {
    HIMAGELIST images = ImageList_Create(16, 16, ILC_MASK | ILC_COLOR8, count, count);
    HBITMAP bitmap = LoadBitmapW(ResourceModule(), MAKEINTRESOURCEW(bitmapId));
    if (images && bitmap) ImageList_AddMasked(images, bitmap, kMaskBlue);
    if (bitmap) DeleteObject(bitmap);
    return images;
}

// The titles of a string whose first character separates them; an empty title ends the list.
std::vector<std::wstring> ColumnTitles(UINT id) {
    std::wstring text = LoadText(id);
    std::vector<std::wstring> titles;
    if (text.empty()) return titles;
    size_t start = 1;
    while (start < text.size()) {
        size_t end = text.find(text[0], start);
        std::wstring title = text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (title.empty()) break;
        titles.push_back(title);
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    return titles;
}

void AddColumns(HWND list, const std::vector<std::wstring>& titles, size_t count) {
    for (size_t i = 0; i < count && i < titles.size(); ++i) {
        LVCOLUMNW column = {};
        column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
        column.fmt = LVCFMT_LEFT;
        column.cx = kColumnWidth;
        column.pszText = const_cast<wchar_t*>(titles[i].c_str());
        SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
    }
}

BOOL InitInfoPage(HWND page) {
    HIMAGELIST rows = ImagesFrom(kRowImages, 2), states = ImagesFrom(kStateImages, 3);
    HWND recipients = GetDlgItem(page, kRecipientsListId), signers = GetDlgItem(page, kSignersListId);
    for (HWND list : {recipients, signers}) SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    // Each list destroys its image lists with itself, so each gets row images of its own.
    SendMessageW(recipients, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(rows));
    SendMessageW(signers, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(ImageList_Duplicate(rows)));
    SendMessageW(signers, LVM_SETIMAGELIST, LVSIL_STATE, reinterpret_cast<LPARAM>(states));
    AddColumns(recipients, ColumnTitles(kRecipientColumnTitles), 4);
    AddColumns(signers, ColumnTitles(kColumnTitles), 4);
    CQuillarentShell* shell = PageObject(page);
    UnpackSelection(shell ? shell->selection : nullptr, page, 2, FALSE, FALSE);
    return TRUE;
}

void ShowFocusedCertificate(HWND page, HWND list) {
    const int row = static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
    if (row < 0) return;
    LVITEMW item = {};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    if (!SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)) || !item.lParam) return;
    CRYPTUI_VIEWCERTIFICATE_STRUCTW view = {};
    view.dwSize = sizeof view;
    view.hwndParent = page;
    view.pCertContext = reinterpret_cast<PCCERT_CONTEXT>(item.lParam);
    BOOL changed = FALSE;
    CryptUIDlgViewCertificateW(&view, &changed);
}

bool OnNotify(HWND page, const NMHDR* header) {
    if (header->idFrom != kRecipientsListId && header->idFrom != kSignersListId) return false;
    const bool enter = header->code == LVN_KEYDOWN && reinterpret_cast<const NMLVKEYDOWN*>(header)->wVKey == VK_RETURN;
    if (header->code != NM_DBLCLK && !enter) return false;
    ShowFocusedCertificate(page, header->hwndFrom);
    return true;
}

}  // namespace

UINT CALLBACK InfoPageCallback(HWND, UINT message, PROPSHEETPAGEW* sheet) {
    if (message == PSPCB_RELEASE && sheet && sheet->lParam)
        reinterpret_cast<CQuillarentShell*>(sheet->lParam)->Release();
    return 1;  // for PSPCB_CREATE: the page may be created
}

INT_PTR CALLBACK InfoPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    CQuillarentShell* shell = PageObject(page);
    if (!shell && message != WM_INITDIALOG) return 0;
    switch (message) {
        case WM_INITDIALOG: {
            const auto* sheet = reinterpret_cast<const PROPSHEETPAGEW*>(lParam);
            SetWindowLongPtrW(page, DWLP_USER, sheet->lParam);
            return InitInfoPage(page);
        }
        case WM_COMMAND:
            if (LOWORD(wParam) != kCheckButton) return FALSE;
            UnpackSelection(shell->selection, page, 1, FALSE, FALSE);
            return TRUE;
        case WM_NOTIFY:
            return OnNotify(page, reinterpret_cast<const NMHDR*>(lParam)) ? TRUE : FALSE;
        case WM_HELP:
            ShowHelp(page, reinterpret_cast<const HELPINFO*>(lParam), true);
            return TRUE;
        case WM_CTLCOLORSTATIC:
            if (GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) != kCheckText) return FALSE;
            SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
            return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_INFOBK));
        case WM_DESTROY:
            ClearCertificateList(GetDlgItem(page, kRecipientsListId));
            ClearCertificateList(GetDlgItem(page, kSignersListId));
            SetWindowLongPtrW(page, DWLP_USER, 0);
            return TRUE;
        default:
            return FALSE;
    }
}
