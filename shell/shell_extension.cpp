#include "shell/shell_extension.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstring>
#include <cwchar>
#include <new>
#include <string>

#include "format/service/exception_boundary.h"
#include "format/service/resources.h"
#include "packer_ui/recent_lists.h"
#include "shell/library.h"
#include "unpack/unpack_driver.h"

namespace {

constexpr UINT kUnpackText = 570, kUnpackToText = 571, kPackText = 572, kPackForText = 573;
constexpr UINT kUnpackToHelp = 575, kUnpackHelp = 576, kPackForHelp = 577, kPackHelp = 578;
constexpr UINT kInfoTemplate = 209, kProgramName = 505;
constexpr int kOverlayIcon = 411;
constexpr int kMenuTextRoom = 64;

std::wstring MenuText(UINT id) {
    wchar_t text[kMenuTextRoom] = {};
    LoadStringW(ResourceModule(), id, text, kMenuTextRoom);
    return text;
}

bool EndsWithEnvelopeExtension(const wchar_t* name) {
    const wchar_t* dot = wcsrchr(name, L'.');
    return dot && wcscmp(dot, L".pkcs7") == 0;  // with case, as the shell hands the names over
}

// Whether every name of the file list ends in ".pkcs7"; an empty list counts as envelopes only.
bool AllEnvelopeNames(HDROP files) {
    const UINT total = DragQueryFileW(files, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < total; ++i) {
        const UINT length = DragQueryFileW(files, i, nullptr, 0);
        if (length == 0) continue;
        std::wstring name(length + 1, L'\0');
        if (DragQueryFileW(files, i, &name[0], length + 1) == 0) continue;
        if (!EndsWithEnvelopeExtension(name.c_str())) return false;
    }
    return true;
}

FORMATETC FileListFormat() { return FORMATETC{CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL}; }

// The verb, as the wide or the ANSI form of the invoke record gives it; null for an offset.
bool VerbIs(const CMINVOKECOMMANDINFO* info, const wchar_t* wide, const char* ansi) {
    if (info->cbSize == sizeof(CMINVOKECOMMANDINFOEX) && (info->fMask & CMIC_MASK_UNICODE)) {
        const auto* extended = reinterpret_cast<const CMINVOKECOMMANDINFOEX*>(info);
        if (extended->lpVerbW && !IS_INTRESOURCE(extended->lpVerbW)) return wcscmp(extended->lpVerbW, wide) == 0;
    }
    return !IS_INTRESOURCE(info->lpVerb) && strcmp(info->lpVerb, ansi) == 0;
}

bool HasStringVerb(const CMINVOKECOMMANDINFO* info) {
    if (info->cbSize == sizeof(CMINVOKECOMMANDINFOEX) && (info->fMask & CMIC_MASK_UNICODE)) {
        const auto* extended = reinterpret_cast<const CMINVOKECOMMANDINFOEX*>(info);
        if (extended->lpVerbW && !IS_INTRESOURCE(extended->lpVerbW)) return true;
    }
    return !IS_INTRESOURCE(info->lpVerb);
}

bool ShiftHeld() { return (GetKeyState(VK_SHIFT) & ~1) != 0; }  // the lowest bit is the toggle

}  // namespace

CQuillarentShell::CQuillarentShell() { InterlockedIncrement(&LibraryObjectCount); }

CQuillarentShell::~CQuillarentShell() {
    FreeRecentCertificates();
    delete[] innerExtension;
    if (selection) selection->Release();
    InterlockedDecrement(&LibraryObjectCount);
}

// IUnknown ---------------------------------------------------------------------------------------

HRESULT CQuillarentShell::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    void* found = nullptr;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) found = static_cast<IClassFactory*>(this);
    else if (iid == IID_IContextMenu) found = static_cast<IContextMenu*>(this);
    else if (iid == IID_IShellExtInit) found = static_cast<IShellExtInit*>(this);
    else if (iid == IID_IShellPropSheetExt) found = static_cast<IShellPropSheetExt*>(this);
    else if (iid == IID_IExtractIconW) found = static_cast<IExtractIconW*>(this);
    else if (iid == IID_IPersistFile) found = static_cast<IPersistFile*>(this);
    *object = found;
    if (!found) return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG CQuillarentShell::AddRef() { return InterlockedIncrement(&refCount); }

ULONG CQuillarentShell::Release() {
    const LONG left = InterlockedDecrement(&refCount);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
}

HRESULT CQuillarentShell::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return QueryInterface(iid, object);
}

// IShellExtInit ----------------------------------------------------------------------------------

HRESULT CQuillarentShell::Initialize(PCIDLIST_ABSOLUTE, IDataObject* dataObject, HKEY) {
    return HresultBoundary([&]() -> HRESULT {
        allEnvelopes = false;
        if (!dataObject) return E_FAIL;
        if (selection) {
            selection->Release();
            selection = nullptr;
        }
        FORMATETC format = FileListFormat();
        StgMediumScope medium;
        if (SUCCEEDED(dataObject->GetData(&format, &medium.medium)))
            allEnvelopes = AllEnvelopeNames(static_cast<HDROP>(medium.medium.hGlobal));
        selection = dataObject;
        selection->AddRef();
        return S_OK;
    });
}

// IContextMenu -----------------------------------------------------------------------------------

void CQuillarentShell::FreeRecentCertificates() {
    if (recentCertificates) {
        for (DWORD i = 0; i < recentCount; ++i)
            if (recentCertificates[i]) CertFreeCertificateContext(recentCertificates[i]);
        delete[] recentCertificates;
    }
    recentCertificates = nullptr;
    recentCount = 0;
}

HRESULT CQuillarentShell::QueryContextMenu(HMENU menu, UINT indexMenu, UINT idCmdFirst, UINT idCmdLast, UINT flags) {
    return HresultBoundary([&]() -> HRESULT {
        UINT counter = 0;
        auto insert = [&](UINT textId) {
            std::wstring text = MenuText(textId);
            return InsertMenuW(menu, indexMenu + counter, MF_BYPOSITION | MF_STRING, idCmdFirst + counter, text.c_str()) != 0;
        };
        auto done = [&counter] { return MAKE_HRESULT(SEVERITY_SUCCESS, 0, counter + 1); };
        if (allEnvelopes) {
            if (insert(kUnpackText)) {
                decodeCommand = 0;
                counter = 1;
                if (!(flags & CMF_NODEFAULT)) SetMenuDefaultItem(menu, indexMenu, TRUE);
            }
            if (flags & CMF_DEFAULTONLY) return done();
            if (insert(kUnpackToText)) decodeToCommand = static_cast<int>(counter++);
        }
        if (flags & CMF_DEFAULTONLY) return done();
        if (!insert(kPackText)) return done();
        encodeCommand = static_cast<int>(counter++);

        FreeRecentCertificates();
        LoadCertificateList(recentCertificates, recentCount, kRecentCertsKey);
        if (recentCount == 0) return done();
        InsertRecentCertificates(menu, indexMenu + counter, idCmdFirst, idCmdLast, counter);
        return done();
    });
}

void CQuillarentShell::InsertRecentCertificates(HMENU menu, UINT position, UINT idCmdFirst, UINT idCmdLast,
                                                UINT& counter) {
    HMENU popup = CreatePopupMenu();
    std::wstring title = MenuText(kPackForText);
    if (!popup || !InsertMenuW(menu, position, MF_BYPOSITION | MF_POPUP, reinterpret_cast<UINT_PTR>(popup), title.c_str())) {
        if (popup) DestroyMenu(popup);
        return;
    }
    UINT shown = 0;
    for (DWORD i = 0; i < recentCount && recentCertificates[i]; ++i) {
        if (idCmdFirst + counter >= idCmdLast) break;
        const CERT_NAME_BLOB* subject = &recentCertificates[i]->pCertInfo->Subject;
        DWORD length = CertNameToStrW(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(subject),
                                      CERT_SIMPLE_NAME_STR, nullptr, 0);
        std::wstring name(length, L'\0');
        CertNameToStrW(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(subject),
                       CERT_SIMPLE_NAME_STR, &name[0], length);
        if (InsertMenuW(popup, shown, MF_BYPOSITION | MF_STRING, idCmdFirst + counter, name.c_str())) {
            ++counter;
            ++shown;
        }
    }
    recentShownCount = shown;
    recentCommandsEnd = counter;
}

HRESULT CQuillarentShell::StartPackThread(PCCERT_CONTEXT certificate) {
    auto* request = new (std::nothrow) ShellPackRequest();
    if (!request) {
        if (certificate) CertFreeCertificateContext(certificate);
        return E_OUTOFMEMORY;
    }
    // The thread holds the library with a load reference of its own, which it gives back only as
    // it ends: the shell may unload the library as soon as this object is gone.
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&PackShellSelectionThread), &request->library)) {
        if (certificate) CertFreeCertificateContext(certificate);
        delete request;
        return E_FAIL;
    }
    request->certificate = certificate;
    request->shell = this;
    AddRef();
    HANDLE thread = CreateThread(nullptr, 0, PackShellSelectionThread, request, 0, nullptr);
    if (!thread) {
        // Nothing started: the request, its reference and the library reference come back here.
        if (certificate) CertFreeCertificateContext(certificate);
        FreeLibrary(request->library);
        delete request;
        Release();
        return E_FAIL;
    }
    CloseHandle(thread);
    return S_OK;
}

HRESULT CQuillarentShell::InvokeCommand(CMINVOKECOMMANDINFO* info) {
    return HresultBoundary([&]() -> HRESULT {
        if (!info) return E_INVALIDARG;
        UINT offset = 0;
        if (VerbIs(info, L"EncodeFile", "EncodeFile")) offset = static_cast<UINT>(encodeCommand);
        else if (VerbIs(info, L"DecodeFile", "DecodeFile")) offset = static_cast<UINT>(decodeCommand);
        else if (HasStringVerb(info)) return E_FAIL;
        else offset = LOWORD(reinterpret_cast<UINT_PTR>(info->lpVerb));

        if (offset == static_cast<UINT>(encodeCommand)) return StartPackThread(nullptr);
        if (offset == static_cast<UINT>(decodeCommand) || offset == static_cast<UINT>(decodeToCommand)) {
            UnpackSelection(selection, info->hwnd, 0, offset == static_cast<UINT>(decodeToCommand), FALSE);
            return S_OK;
        }
        if (offset >= recentCommandsEnd) return E_FAIL;
        if (!recentCertificates || recentShownCount == 0) return S_OK;
        const UINT index = recentShownCount + offset - recentCommandsEnd;
        if (index >= recentCount || !recentCertificates[index]) return E_FAIL;
        PCCERT_CONTEXT certificate = CertDuplicateCertificateContext(recentCertificates[index]);
        if (ShiftHeld()) return StartPackThread(certificate);
        PackShellSelection(this, info->hwnd, certificate, false);
        return S_OK;
    });
}

HRESULT CQuillarentShell::GetCommandString(UINT_PTR offset, UINT type, UINT*, CHAR* buffer, UINT size) {
    return HresultBoundary([&]() -> HRESULT {
        const char* verb = nullptr;
        UINT help = 0;
        const UINT bound = recentCommandsEnd ? recentCommandsEnd : 0xFFFFFFFF;
        if (offset == static_cast<UINT_PTR>(static_cast<UINT>(decodeCommand))) verb = "DecodeFile", help = kUnpackHelp;
        else if (offset == static_cast<UINT_PTR>(static_cast<UINT>(decodeToCommand))) verb = "DecodeFileTo", help = kUnpackToHelp;
        else if (offset == static_cast<UINT_PTR>(static_cast<UINT>(encodeCommand))) verb = "EncodeFile", help = kPackHelp;
        else if (offset <= bound) verb = "EncodeFile", help = kPackForHelp;
        else return E_INVALIDARG;
        if (!buffer || size == 0) return S_OK;
        switch (type) {
            case GCS_VERBA:
                lstrcpynA(buffer, verb, static_cast<int>(size));
                break;
            case GCS_VERBW: {
                std::wstring wide(verb, verb + strlen(verb));
                lstrcpynW(reinterpret_cast<wchar_t*>(buffer), wide.c_str(), static_cast<int>(size));
                break;
            }
            case GCS_HELPTEXTA:
                LoadStringA(ResourceModule(), help, buffer, static_cast<int>(size));
                break;
            case GCS_HELPTEXTW:
                LoadStringW(ResourceModule(), help, reinterpret_cast<wchar_t*>(buffer), static_cast<int>(size));
                break;
            default:
                break;
        }
        return S_OK;
    });
}

// IShellPropSheetExt -----------------------------------------------------------------------------

HRESULT CQuillarentShell::AddPages(LPFNSVADDPROPSHEETPAGE addPage, LPARAM lParam) {
    return HresultBoundary([&]() -> HRESULT {
        if (!addPage) return E_INVALIDARG;
        if (selection) {
            FORMATETC format = FileListFormat();
            STGMEDIUM medium = {};
            if (SUCCEEDED(selection->GetData(&format, &medium))) {
                const UINT files = DragQueryFileW(static_cast<HDROP>(medium.hGlobal), 0xFFFFFFFF, nullptr, 0);
                ReleaseStgMedium(&medium);
                if (files != 1) return E_FAIL;  // the page is for one file at a time
            }
        }
        static const std::wstring title = LoadText(kProgramName);
        PROPSHEETPAGEW sheet = {};
        sheet.dwSize = sizeof sheet;
        // The page holds a reference until the sheet releases it, whether or not it was ever shown.
        sheet.dwFlags = PSP_USETITLE | PSP_USECALLBACK;
        sheet.hInstance = ResourceModule();
        sheet.pszTemplate = MAKEINTRESOURCEW(kInfoTemplate);
        sheet.pszTitle = title.c_str();
        sheet.pfnDlgProc = InfoPageProc;
        sheet.pfnCallback = InfoPageCallback;
        sheet.lParam = reinterpret_cast<LPARAM>(this);
        AddRef();
        HPROPSHEETPAGE page = CreatePropertySheetPageW(&sheet);
        if (!page) {
            Release();
            return E_OUTOFMEMORY;
        }
        if (!addPage(page, lParam)) {
            DestroyPropertySheetPage(page);  // the release callback gives the reference back
            return E_FAIL;
        }
        return S_OK;
    });
}

// IExtractIconW and IPersistFile -----------------------------------------------------------------

HRESULT CQuillarentShell::GetIconLocation(UINT flags, LPWSTR, UINT, int*, UINT* outFlags) {
    if (flags & GIL_ASYNC) return E_PENDING;
    if (outFlags) *outFlags = GIL_PERINSTANCE | GIL_NOTFILENAME | GIL_DONTCACHE;
    return S_OK;
}

// The icon of files of the inner type with the library's mark over it; null when the shell has
// no image list for that type.
HICON CQuillarentShell::OverlaidIcon(UINT extraFlags, int size) {
    SHFILEINFOW info = {};
    auto systemList = reinterpret_cast<HIMAGELIST>(
        SHGetFileInfoW(innerExtension, FILE_ATTRIBUTE_NORMAL, &info, sizeof info,
                       SHGFI_SYSICONINDEX | SHGFI_ICON | SHGFI_USEFILEATTRIBUTES | SHGFI_SHELLICONSIZE | extraFlags));
    if (!systemList) return nullptr;
    HICON result = nullptr;
    HIMAGELIST copy = ImageList_Duplicate(systemList);
    HICON mark = static_cast<HICON>(LoadImageW(ResourceModule(), MAKEINTRESOURCEW(kOverlayIcon), IMAGE_ICON, size, size, 0));
    if (copy && mark) {
        const int added = ImageList_ReplaceIcon(copy, -1, mark);
        if (added >= 0 && ImageList_SetOverlayImage(copy, added, 1))
            result = ImageList_GetIcon(copy, info.iIcon, INDEXTOOVERLAYMASK(1));
    }
    if (mark) DestroyIcon(mark);
    if (info.hIcon) DestroyIcon(info.hIcon);
    if (copy) ImageList_Destroy(copy);
    return result;
}

HRESULT CQuillarentShell::Extract(LPCWSTR, UINT, HICON* largeIcon, HICON* smallIcon, UINT sizes) {
    if (!innerExtension) return S_FALSE;
    HICON large = OverlaidIcon(0, LOWORD(sizes));
    HICON small = OverlaidIcon(SHGFI_SMALLICON, HIWORD(sizes));
    if (!small) {
        if (large) DestroyIcon(large);
        return S_FALSE;
    }
    if (largeIcon) *largeIcon = large;
    else if (large) DestroyIcon(large);
    if (smallIcon) *smallIcon = small;
    else DestroyIcon(small);
    return S_OK;
}

HRESULT CQuillarentShell::GetClassID(CLSID* id) {
    if (!id) return E_POINTER;
    *id = CLSID_QuillarentShell;
    return S_OK;
}

HRESULT CQuillarentShell::Load(LPCOLESTR name, DWORD) {
    delete[] innerExtension;
    innerExtension = nullptr;
    if (!name) return S_FALSE;
    const wchar_t* last = wcsrchr(name, L'.');
    if (!last) return S_FALSE;
    const wchar_t* start = last;
    for (const wchar_t* at = last; at > name && at[-1] != L'\\';) {
        --at;
        if (*at == L'.') {
            start = at;
            break;
        }
    }
    const size_t length = static_cast<size_t>(last - start);
    innerExtension = new (std::nothrow) wchar_t[length + 1];
    if (!innerExtension) return E_OUTOFMEMORY;
    wmemcpy(innerExtension, start, length);
    innerExtension[length] = L'\0';
    return S_OK;
}
