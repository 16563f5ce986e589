#include "packer_ui/list_pages.h"

#include <commctrl.h>

#include <cstring>
#include <cwchar>

#include "format/service/crypto_handles.h"
#include "format/service/resources.h"
#include "packer_ui/settings.h"

namespace {

constexpr DWORD kGrowBy = 8;
constexpr UINT kFilesColumns = 541;
constexpr UINT kFilesHint = 534;
constexpr UINT kCertificateColumns = 542;
constexpr UINT kEncryptionCaption = 530;
constexpr UINT kFilesCaption = 531;
constexpr UINT kSigningCaption = 543;

void SetCaption(wchar_t (&caption)[128], UINT textId) {
    std::wstring text = LoadText(textId);
    lstrcpynW(caption, text.c_str(), 128);
}

// The item pointer a list-view row carries.
void* RowItem(HWND listView, int row) {
    LVITEMW item = {};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    if (!SendMessageW(listView, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item))) return nullptr;
    return reinterpret_cast<void*>(item.lParam);
}

}  // namespace

CVListDlg::CVListDlg(UINT columnsText, UINT hintText, const wchar_t* viewStyleValue, const wchar_t* columnWidthsValue)
    : columnsTextId(columnsText),
      hintTextId(hintText),
      viewStyleValueName(viewStyleValue),
      columnWidthsValueName(columnWidthsValue) {
    RegKeyHandle key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return;
    DWORD style = 0;
    DWORD size = sizeof style;
    if (RegQueryValueExW(key.get(), viewStyleValueName.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&style),
                         &size) == ERROR_SUCCESS &&
        size == sizeof style)
        viewStyle = style;
    size = 0;
    if (RegQueryValueExW(key.get(), columnWidthsValueName.c_str(), nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS ||
        size < sizeof(int))
        return;
    std::vector<int> widths(size / sizeof(int));
    DWORD wanted = static_cast<DWORD>(widths.size() * sizeof(int));
    // Any failure keeps no widths: the columns then get the default width.
    if (RegQueryValueExW(key.get(), columnWidthsValueName.c_str(), nullptr, nullptr,
                         reinterpret_cast<BYTE*>(widths.data()), &wanted) == ERROR_SUCCESS)
        columnWidths = widths;
}

CVListDlg::~CVListDlg() {
    RegKeyHandle key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return;  // the view is remembered next time, or not at all
    RegSetValueExW(key.get(), viewStyleValueName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&viewStyle),
                   sizeof viewStyle);
    if (!columnWidths.empty())
        RegSetValueExW(key.get(), columnWidthsValueName.c_str(), 0, REG_BINARY,
                       reinterpret_cast<const BYTE*>(columnWidths.data()),
                       static_cast<DWORD>(columnWidths.size() * sizeof(int)));
    delete[] items;
}

HWND CVListDlg::ListView() const { return pageWindow ? GetDlgItem(pageWindow, kPageListView) : nullptr; }

int CVListDlg::AppendClosed(void* item) {
    if (count == capacity) {
        void** grown = new void*[capacity + kGrowBy]();
        if (count) std::memcpy(grown, items, count * sizeof(void*));
        delete[] items;
        items = grown;
        capacity += kGrowBy;
    }
    items[count] = item;
    return static_cast<int>(count++);
}

void CVListDlg::FreeAllItems() {
    for (DWORD i = 0; i < count; ++i)
        if (items[i]) FreeItem(items[i]);
    delete[] items;
    items = nullptr;
    count = 0;
    capacity = 0;
}

bool CVListDlg::RemoveItem(const void* item, BOOL byValue) {
    auto matches = [&](const void* candidate) {
        return candidate && (byValue ? CompareItems(candidate, item) : candidate == item);
    };
    if (HWND listView = ListView()) {
        int rows = static_cast<int>(SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0));
        for (int row = static_cast<int>(fixedCount); row < rows; ++row) {
            void* candidate = RowItem(listView, row);
            if (!matches(candidate)) continue;
            SendMessageW(listView, LVM_DELETEITEM, row, 0);
            FreeItem(candidate);
            return true;
        }
        return false;
    }
    for (DWORD i = fixedCount; i < count; ++i) {
        if (!matches(items[i])) continue;
        // The slot stays, empty: indexes handed out before keep pointing at the same items.
        void* found = items[i];
        items[i] = nullptr;
        FreeItem(found);
        return true;
    }
    return false;
}

void CVListDlg::FlushItems() {
    HWND listView = ListView();
    if (!listView) return;  // closed: items already holds everything
    int rows = static_cast<int>(SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0));
    delete[] items;
    items = rows > 0 ? new void*[rows] : nullptr;
    for (int row = 0; row < rows; ++row) items[row] = RowItem(listView, row);
    count = static_cast<DWORD>(rows > 0 ? rows : 0);
    capacity = count;
}

CVFilesDlg::CVFilesDlg() : CVListDlg(kFilesColumns, kFilesHint, L"FilesListViewStyle", L"FilesListColumnWidths") {
    SetCaption(caption, kFilesCaption);
}

CVFilesDlg::~CVFilesDlg() { FreeAllItems(); }

wchar_t* CVFilesDlg::DuplicatePath(const wchar_t* path) {
    if (!path) return nullptr;
    size_t length = wcslen(path) + 1;
    wchar_t* copy = new wchar_t[length];
    std::memcpy(copy, path, length * sizeof(wchar_t));
    return copy;
}

int CVFilesDlg::AddItem(void* item, BOOL replace) {
    if (!item) return kAddNullItem;
    const wchar_t* path = static_cast<const wchar_t*>(item);
    // An equal entry goes even when the new path turns out to be missing.
    if (replace) RemoveItem(item, TRUE);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path, &found);
    if (search == INVALID_HANDLE_VALUE) return kAddMissingFile;
    FindClose(search);
    if (ListView()) return AddRow(item, found.cFileName);
    return AppendClosed(item);
}

int CVFilesDlg::AddRow(void* item, const wchar_t* nameOnDisk) {
    if (!nameOnDisk[0]) return kAddMissingFile;
    HWND listView = ListView();
    LVITEMW row = {};
    row.mask = LVIF_TEXT | LVIF_PARAM;
    row.iItem = static_cast<int>(SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0));
    row.pszText = const_cast<wchar_t*>(nameOnDisk);
    row.lParam = reinterpret_cast<LPARAM>(item);
    int index = static_cast<int>(SendMessageW(listView, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&row)));
    if (index >= 0) SendMessageW(listView, LVM_ENSUREVISIBLE, index, FALSE);
    return index;
}

bool CVFilesDlg::CompareItems(const void* a, const void* b) const {
    return wcscmp(static_cast<const wchar_t*>(a), static_cast<const wchar_t*>(b)) == 0;
}

void CVFilesDlg::FreeItem(void* item) { delete[] static_cast<wchar_t*>(item); }

CVCertificateDlg::CVCertificateDlg(bool encryption)
    : CVListDlg(kCertificateColumns, 0,
                encryption ? L"EncryptionCertificatesListViewStyle" : L"SigningCertificatesListViewStyle",
                encryption ? L"EncryptionCertificatesListColumnWidths" : L"SigningCertificatesListColumnWidths"),
      isEncryptionPage(encryption) {
    SetCaption(caption, encryption ? kEncryptionCaption : kSigningCaption);
}

CVCertificateDlg::~CVCertificateDlg() { FreeAllItems(); }

int CVCertificateDlg::AddItem(void* item, BOOL replace) {
    if (!item) return kAddNullItem;
    if (replace) {
        RemoveItem(item, TRUE);
        if (parentWindow) PostMessageW(parentWindow, UM_STATUS_REFRESH, 0, 0);
    }
    if (ListView()) return AddRow(item);
    return AppendClosed(item);
}

int CVCertificateDlg::AddRow(void* item) {
    PCCERT_CONTEXT certificate = static_cast<PCCERT_CONTEXT>(item);
    wchar_t subject[256];
    if (CertNameToStrW(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, &certificate->pCertInfo->Subject,
                       CERT_SIMPLE_NAME_STR, subject, 256) <= 1)
        return kAddNullItem;  // a certificate without a readable subject gets no row
    HWND listView = ListView();
    LVITEMW row = {};
    row.mask = LVIF_TEXT | LVIF_PARAM;
    row.iItem = static_cast<int>(SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0));
    row.pszText = subject;
    row.lParam = reinterpret_cast<LPARAM>(item);
    int index = static_cast<int>(SendMessageW(listView, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&row)));
    if (index >= 0) SendMessageW(listView, LVM_ENSUREVISIBLE, index, FALSE);
    return index;
}

bool CVCertificateDlg::CompareItems(const void* a, const void* b) const {
    auto first = static_cast<PCCERT_CONTEXT>(a);
    auto second = static_cast<PCCERT_CONTEXT>(b);
    return first->cbCertEncoded == second->cbCertEncoded &&
           std::memcmp(first->pbCertEncoded, second->pbCertEncoded, first->cbCertEncoded) == 0;
}

void CVCertificateDlg::FreeItem(void* item) { CertFreeCertificateContext(static_cast<PCCERT_CONTEXT>(item)); }
