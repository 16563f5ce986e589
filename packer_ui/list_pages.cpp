#include "packer_ui/list_pages.h"

#include <commctrl.h>
#include <shellapi.h>

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

constexpr UINT kBytesUnit = 537;
constexpr UINT kKilobytesUnit = 538;
constexpr UINT kMegabytesUnit = 539;
constexpr UINT kGigabytesUnit = 540;
constexpr int kCertificateIcon = 412;

// A file time in local time as the user's short date and time.
std::wstring LocalTimeText(const FILETIME& time) {
    FILETIME local;
    SYSTEMTIME parts;
    if (!FileTimeToLocalFileTime(&time, &local) || !FileTimeToSystemTime(&local, &parts)) return std::wstring();
    wchar_t date[64] = {}, clock[64] = {};
    GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &parts, nullptr, date, 64);
    GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &parts, nullptr, clock, 64);
    return std::wstring(date) + L" " + clock;
}

// The end of a certificate's validity in local time, as the user's short date.
std::wstring ExpiryText(const FILETIME& time) {
    FILETIME local;
    SYSTEMTIME parts;
    if (!FileTimeToLocalFileTime(&time, &local) || !FileTimeToSystemTime(&local, &parts)) return std::wstring();
    wchar_t date[64] = {};
    GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &parts, nullptr, date, 64);
    return date;
}

std::wstring SimpleName(const CERT_NAME_BLOB& name) {
    wchar_t text[256] = {};
    if (CertNameToStrW(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(&name),
                       CERT_SIMPLE_NAME_STR, text, 256) <= 1)
        return std::wstring();
    return text;
}

std::wstring FriendlyName(PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(certificate, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size) || size < 2)
        return std::wstring();
    std::wstring name(size / sizeof(wchar_t), L'\0');
    if (!CertGetCertificateContextProperty(certificate, CERT_FRIENDLY_NAME_PROP_ID, &name[0], &size)) return L"";
    name.resize(wcsnlen(name.c_str(), name.size()));
    return name;
}

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

CertificateRowTexts DescribeCertificateRow(PCCERT_CONTEXT certificate) {
    return {SimpleName(certificate->pCertInfo->Subject), SimpleName(certificate->pCertInfo->Issuer),
            FriendlyName(certificate), ExpiryText(certificate->pCertInfo->NotAfter)};
}

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
    // A destructor cannot report: the window that shows the page saves and reports before.
    SaveView();
    delete[] items;
}

BOOL CVListDlg::SaveView() const {
    RegKeyHandle key;
    RegistryWrites writes;
    writes.Note(RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr));
    if (!key) return writes.Result();
    writes.Note(RegSetValueExW(key.get(), viewStyleValueName.c_str(), 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&viewStyle), sizeof viewStyle));
    if (!columnWidths.empty())
        writes.Note(RegSetValueExW(key.get(), columnWidthsValueName.c_str(), 0, REG_BINARY,
                                   reinterpret_cast<const BYTE*>(columnWidths.data()),
                                   static_cast<DWORD>(columnWidths.size() * sizeof(int))));
    return writes.Result();
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
            // A flush may have left the pointer in items too; that copy must not outlive the item.
            for (DWORD i = 0; i < count; ++i)
                if (items[i] == candidate) items[i] = nullptr;
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

CVFilesDlg::~CVFilesDlg() {
    DestroyPage();  // the rows come back into items first
    FreeAllItems();
}

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
    if (ListView()) return AddRow(item, found);
    return AppendClosed(item);
}

void CVFilesDlg::PrepareListView(HWND listView) {
    // The shell's own image lists: the list view shares them and must not destroy them.
    SHFILEINFOW info = {};
    auto small = reinterpret_cast<HIMAGELIST>(
        SHGetFileInfoW(L"C:\\", 0, &info, sizeof info, SHGFI_SYSICONINDEX | SHGFI_SMALLICON));
    auto large = reinterpret_cast<HIMAGELIST>(
        SHGetFileInfoW(L"C:\\", 0, &info, sizeof info, SHGFI_SYSICONINDEX | SHGFI_LARGEICON));
    if (small) SendMessageW(listView, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(small));
    if (large) SendMessageW(listView, LVM_SETIMAGELIST, LVSIL_NORMAL, reinterpret_cast<LPARAM>(large));
}

int CVFilesDlg::AddRow(void* item, const WIN32_FIND_DATAW& found) {
    if (!found.cFileName[0]) return kAddMissingFile;
    HWND listView = ListView();
    PrepareListView(listView);
    const wchar_t* path = static_cast<const wchar_t*>(item);
    SHFILEINFOW info = {};
    SHGetFileInfoW(path, 0, &info, sizeof info, SHGFI_SYSICONINDEX | SHGFI_SMALLICON);
    LVITEMW row = {};
    row.mask = LVIF_TEXT | LVIF_PARAM | LVIF_IMAGE;
    row.iItem = static_cast<int>(SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0));
    row.pszText = const_cast<wchar_t*>(found.cFileName);
    row.iImage = info.iIcon;
    row.lParam = reinterpret_cast<LPARAM>(item);
    int index = static_cast<int>(SendMessageW(listView, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&row)));
    if (index < 0) return index;
    FillColumns(listView, index, path, found);
    SendMessageW(listView, LVM_ENSUREVISIBLE, index, FALSE);
    return index;
}

void CVFilesDlg::FillColumns(HWND listView, int row, const wchar_t* path, const WIN32_FIND_DATAW& found) {
    auto set = [&](int column, const std::wstring& text) {
        if (!(columnMask & (1u << column))) return;
        LVITEMW cell = {};
        cell.iSubItem = column;
        cell.pszText = const_cast<wchar_t*>(text.c_str());
        SendMessageW(listView, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&cell));
    };
    std::wstring full = path;
    size_t slash = full.rfind(L'\\');
    if (slash != std::wstring::npos) set(1, full.substr(0, slash));
    set(2, FileSizeText((ULONGLONG{found.nFileSizeHigh} << 32) | found.nFileSizeLow));
    set(3, LocalTimeText(found.ftLastWriteTime));
    set(4, LocalTimeText(found.ftCreationTime));
    set(5, LocalTimeText(found.ftLastAccessTime));
}

std::wstring FileSizeText(ULONGLONG size) {
    const DWORD low = static_cast<DWORD>(size);
    const DWORD high = static_cast<DWORD>(size >> 32);
    if (high == 0 && low <= 999) return std::to_wstring(low) + L" " + LoadText(kBytesUnit);
    double divisor = 1073741824.0;
    UINT unit = kGigabytesUnit;
    if (high == 0 && low <= 999999) {
        divisor = 1024.0;
        unit = kKilobytesUnit;
    } else if (high == 0 && low <= 999999999) {
        divisor = 1048576.0;
        unit = kMegabytesUnit;
    }
    // Tenths of the unit; the upper half counts 4 GB per unit as a GB of 2^30 bytes would.
    DWORD tenths = static_cast<DWORD>(10.0 * (low / divisor + high * 4.0));
    std::wstring digits = std::to_wstring(tenths);
    wchar_t last = digits.back();
    digits.pop_back();
    if (last != L'0') digits += std::wstring(L".") + last;
    return digits + L" " + LoadText(unit);
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

CVCertificateDlg::~CVCertificateDlg() {
    DestroyPage();
    if (smallIcons) ImageList_Destroy(smallIcons);
    if (largeIcons) ImageList_Destroy(largeIcons);
    FreeAllItems();
}

void CVCertificateDlg::PrepareListView(HWND listView) {
    if (!smallIcons) {
        smallIcons = ImageList_Create(GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                      ILC_COLOR32 | ILC_MASK, 1, 1);
        largeIcons = ImageList_Create(GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), ILC_COLOR32 | ILC_MASK,
                                      1, 1);
        for (HIMAGELIST list : {smallIcons, largeIcons}) {
            if (!list) continue;
            int width = 0, height = 0;
            ImageList_GetIconSize(list, &width, &height);
            HICON icon = static_cast<HICON>(
                LoadImageW(ResourceModule(), MAKEINTRESOURCEW(kCertificateIcon), IMAGE_ICON, width, height, 0));
            if (icon) {
                ImageList_AddIcon(list, icon);
                DestroyIcon(icon);
            }
            ImageList_SetBkColor(list, CLR_NONE);
        }
    }
    SendMessageW(listView, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(smallIcons));
    SendMessageW(listView, LVM_SETIMAGELIST, LVSIL_NORMAL, reinterpret_cast<LPARAM>(largeIcons));
}

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
    CertificateRowTexts texts = DescribeCertificateRow(certificate);
    std::wstring& subject = texts.subject;
    if (subject.empty()) return kAddNullItem;  // a certificate without a readable subject gets no row
    HWND listView = ListView();
    PrepareListView(listView);
    LVITEMW row = {};
    row.mask = LVIF_TEXT | LVIF_PARAM | LVIF_IMAGE;
    row.iItem = static_cast<int>(SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0));
    row.pszText = &subject[0];
    row.iImage = 0;
    row.lParam = reinterpret_cast<LPARAM>(item);
    int index = static_cast<int>(SendMessageW(listView, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&row)));
    if (index < 0) return index;
    const std::wstring cells[] = {texts.issuer, texts.friendlyName, texts.expiry};
    for (int column = 1; column <= 3; ++column) {
        LVITEMW cell = {};
        cell.iSubItem = column;
        cell.pszText = const_cast<wchar_t*>(cells[column - 1].c_str());
        SendMessageW(listView, LVM_SETITEMTEXTW, index, reinterpret_cast<LPARAM>(&cell));
    }
    // The recovery certificates are drawn dimmed: they cannot be removed.
    if (index < static_cast<int>(fixedCount)) {
        LVITEMW state = {};
        state.stateMask = LVIS_CUT;
        state.state = LVIS_CUT;
        SendMessageW(listView, LVM_SETITEMSTATE, index, reinterpret_cast<LPARAM>(&state));
    }
    SendMessageW(listView, LVM_ENSUREVISIBLE, index, FALSE);
    return index;
}

bool CVCertificateDlg::CompareItems(const void* a, const void* b) const {
    auto first = static_cast<PCCERT_CONTEXT>(a);
    auto second = static_cast<PCCERT_CONTEXT>(b);
    return first->cbCertEncoded == second->cbCertEncoded &&
           std::memcmp(first->pbCertEncoded, second->pbCertEncoded, first->cbCertEncoded) == 0;
}

void CVCertificateDlg::FreeItem(void* item) { CertFreeCertificateContext(static_cast<PCCERT_CONTEXT>(item)); }
