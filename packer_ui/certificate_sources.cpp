#include "packer_ui/certificate_sources.h"

#include <wincrypt.h>
#include <commdlg.h>
#include <cryptuiapi.h>

#include <string>
#include <vector>

#include "format/service/crypto_handles.h"
#include "format/service/resources.h"
#include "pack/messages.h"
#include "packer_ui/list_pages.h"
#include "packer_ui/settings.h"

namespace {

constexpr UINT kCertificateFilterId = 592;
constexpr DWORD kFileNameRoom = 260;

// The string-table filter with '|' turned into the NULs the dialog expects.
std::wstring DialogFilter(UINT id) {
    std::wstring filter = LoadText(id);
    for (wchar_t& c : filter)
        if (c == L'|') c = L'\0';
    filter.push_back(L'\0');
    return filter;
}

std::wstring SystemStoreName() {
    wchar_t name[256] = {};
    DWORD size = sizeof(name) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, L"CertSystemStoreName", RRF_RT_REG_SZ, &type, name, &size) !=
            ERROR_SUCCESS ||
        !name[0])
        return L"MY";
    return name;
}

}  // namespace

int LoadCertificateFile(CVCertificateDlg* page, const wchar_t* path) {
    if (!page || !path) return 0;
    StoreHandle store(CertOpenStore(CERT_STORE_PROV_FILENAME_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                    CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG, path));
    if (!store) {
        DWORD error = GetLastError();
        ShowMessageBox(page->parentWindow, 0, MB_OK | MB_ICONERROR, nullptr, error ? error : ERROR_INVALID_DATA);
        return 0;
    }
    int added = 0;
    PCCERT_CONTEXT found = nullptr;
    while ((found = CertEnumCertificatesInStore(store.get(), found)) != nullptr) {
        // The page keeps a context of its own; the enumeration frees the one it handed out.
        PCCERT_CONTEXT copy = CertDuplicateCertificateContext(found);
        if (page->AddItem(const_cast<CERT_CONTEXT*>(copy), TRUE) >= 0) ++added;
        else CertFreeCertificateContext(copy);
    }
    return added;
}

int AddCertificateFromFile(CVCertificateDlg* page) {
    if (!page || !page->isEncryptionPage) return 0;
    std::wstring filter = DialogFilter(kCertificateFilterId);
    std::vector<wchar_t> file(kFileNameRoom, L'\0');
    for (;;) {
        OPENFILENAMEW dialog = {};
        dialog.lStructSize = sizeof(dialog);
        dialog.hwndOwner = page->parentWindow;
        dialog.lpstrFilter = filter.c_str();
        dialog.lpstrFile = file.data();
        dialog.nMaxFile = static_cast<DWORD>(file.size());
        dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
        if (GetOpenFileNameW(&dialog)) return LoadCertificateFile(page, file.data());
        // Too small a buffer: its first two characters tell the size needed.
        if (CommDlgExtendedError() != FNERR_BUFFERTOOSMALL) return 0;
        DWORD needed = *reinterpret_cast<const WORD*>(file.data());
        if (needed <= file.size()) return 0;
        file.assign(needed + 1, L'\0');
    }
}

int AddCertificateFromStore(CVCertificateDlg* page) {
    if (!page) return 0;
    StoreHandle store(CertOpenSystemStoreW(0, SystemStoreName().c_str()));
    if (!store) return 0;
    CertHandle chosen(CryptUIDlgSelectCertificateFromStore(store.get(), page->parentWindow, nullptr, nullptr,
                                                           CRYPTUI_SELECT_LOCATION_COLUMN, 0, nullptr));
    if (!chosen) return 0;
    if (page->AddItem(const_cast<CERT_CONTEXT*>(chosen.get()), TRUE) < 0) return 0;
    chosen.release();
    return 1;
}
