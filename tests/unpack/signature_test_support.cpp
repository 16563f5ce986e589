#include "tests/unpack/signature_test_support.h"

#include <commctrl.h>

#include <algorithm>

#include "format/der.h"
#include "format/service/encoding.h"
#include "tests/support/test_support.h"

namespace signature_test {

BOOL WINAPI CollectOutput(const void* arg, BYTE* data, DWORD length, BOOL final) {
    auto* output = static_cast<Output*>(const_cast<void*>(arg));
    if (final) {
        ++output->finalCalls;
        output->bytesAtFinal = output->bytes.size();
    }
    if (output->bytes.size() + length > output->refuseAfter) {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    output->bytes.insert(output->bytes.end(), data, data + length);
    return TRUE;
}

size_t OuterHeaderSize(const Bytes& file) {
    if (file.size() < 2) return 0;
    der::ParsedLength outer = der::ParseDerLength(file.data() + 1, file.size() - 1);
    size_t at = 1 + outer.used + 11;  // the signedData OID element
    if (at + 1 >= file.size()) return 0;
    der::ParsedLength explicitContent = der::ParseDerLength(file.data() + at + 1, file.size() - at - 1);
    return at + 1 + explicitContent.used;
}

void Decode(Decoded& decoded, const Bytes& input, bool withContentInfo, size_t piece) {
    decoded.message = OpenSignedMessage(withContentInfo, CollectOutput, &decoded.output);
    if (!decoded.message) {
        decoded.error = GetLastError();
        return;
    }
    size_t at = 0;
    do {
        size_t n = std::min(piece, input.size() - at);
        BOOL final = at + n == input.size();
        if (!UpdateSignedMessage(decoded.message, input.data() + at, static_cast<DWORD>(n), final)) {
            decoded.error = GetLastError();
            return;
        }
        at += n;
    } while (at < input.size());
    decoded.ok = true;
}

StoreHandle StoreWith(std::initializer_list<const wchar_t*> names) {
    StoreHandle store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    for (const wchar_t* name : names) {
        CertHandle certificate = testing_support::LoadCertificateFile(testing_support::TestDataFile(name));
        if (certificate) CertAddCertificateContextToStore(store.get(), certificate.get(), CERT_STORE_ADD_ALWAYS, nullptr);
    }
    return store;
}

std::wstring CommonName(PCCERT_CONTEXT certificate) {
    if (!certificate) return std::wstring();
    wchar_t name[256] = {};
    CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), name, 256);
    return name;
}

size_t Find(const Bytes& haystack, const Bytes& needle) {
    auto at = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
    return at == haystack.end() ? SIZE_MAX : static_cast<size_t>(at - haystack.begin());
}

HiddenList::HiddenList() {
    INITCOMMONCONTROLSEX init{sizeof init, ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&init);
    window_ = CreateWindowExW(0, L"STATIC", L"signers", WS_POPUP, 0, 0, 400, 300, nullptr, nullptr, nullptr, nullptr);
    list_ = CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | LVS_REPORT, 0, 0, 400, 300, window_, nullptr, nullptr,
                            nullptr);
    for (int column = 0; column < 4; ++column) {
        LVCOLUMNW c{};
        c.mask = LVCF_WIDTH;
        c.cx = 100;
        SendMessageW(list_, LVM_INSERTCOLUMNW, column, reinterpret_cast<LPARAM>(&c));
    }
    SendMessageW(list_, LVM_SETIMAGELIST, LVSIL_SMALL,
                 reinterpret_cast<LPARAM>(ImageList_Create(16, 16, ILC_COLOR32, 2, 0)));
    SendMessageW(list_, LVM_SETIMAGELIST, LVSIL_STATE,
                 reinterpret_cast<LPARAM>(ImageList_Create(16, 16, ILC_COLOR32, 4, 0)));
}

HiddenList::~HiddenList() {
    ClearCertificateList(list_);
    HIMAGELIST small = reinterpret_cast<HIMAGELIST>(SendMessageW(list_, LVM_GETIMAGELIST, LVSIL_SMALL, 0));
    HIMAGELIST state = reinterpret_cast<HIMAGELIST>(SendMessageW(list_, LVM_GETIMAGELIST, LVSIL_STATE, 0));
    DestroyWindow(window_);
    if (small) ImageList_Destroy(small);
    if (state) ImageList_Destroy(state);
}

int HiddenList::Count() const { return static_cast<int>(SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0)); }

std::wstring HiddenList::Text(int row, int column) const {
    wchar_t buffer[512] = {};
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = buffer;
    item.cchTextMax = 512;
    SendMessageW(list_, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
    return buffer;
}

UINT HiddenList::StateImage(int row) const {
    UINT state = static_cast<UINT>(SendMessageW(list_, LVM_GETITEMSTATE, row, LVIS_STATEIMAGEMASK));
    return (state & LVIS_STATEIMAGEMASK) >> 12;
}

int HiddenList::SmallImage(int row) const {
    LVITEMW item{};
    item.mask = LVIF_IMAGE;
    item.iItem = row;
    SendMessageW(list_, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
    return item.iImage;
}

bool HiddenList::Cut(int row) const {
    return (SendMessageW(list_, LVM_GETITEMSTATE, row, LVIS_CUT) & LVIS_CUT) != 0;
}

PCCERT_CONTEXT HiddenList::Certificate(int row) const {
    LVITEMW item{};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    SendMessageW(list_, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
    return reinterpret_cast<PCCERT_CONTEXT>(item.lParam);
}

}  // namespace signature_test
