// The library as an in-process COM server: the class object, unloading, and the registry keys
// that tie the class to packed files and to every file's context menu.
#include <windows.h>
#include <objbase.h>

#include <new>
#include <string>

#include "format/service/exception_boundary.h"
#include "format/service/resources.h"
#include "shell/library.h"
#include "shell/shell_extension.h"

volatile LONG LibraryObjectCount = 0;

namespace {

constexpr wchar_t kProgId[] = L"Orbelin.Quillarent.QuillarentShell";
constexpr wchar_t kVersionedProgId[] = L"Orbelin.Quillarent.QuillarentShell.1";
constexpr wchar_t kTypeName[] = L"PKCS #7 file";
constexpr wchar_t kAllFilesHandlers[] = L"*\\shellex\\ContextMenuHandlers";
constexpr UINT kProgramName = 505;
constexpr DWORD kModulePathRoom = 1024;

// "_Quillarent": the name of the handler key under every file's context-menu handlers.
std::wstring AllFilesHandlerName() {
    wchar_t name[127] = {};
    LoadStringW(ResourceModule(), kProgramName, name, 127);
    return std::wstring(L"_") + name;
}

// One key and its value: the key is created (or opened) under HKEY_CLASSES_ROOT; a null value
// name is the default value, null data writes no value. The registry's status: a key that could
// not be made or a value that could not be set is not written.
LONG WriteKey(const std::wstring& path, const wchar_t* valueName, const std::wstring* data) {
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return status;
    if (data)
        status = RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(data->c_str()),
                                static_cast<DWORD>((data->size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status;
}

// Deletes the key with everything below it; the first failure below stops and is returned.
LONG DeleteKeyTree(HKEY parent, const wchar_t* name) {
    HKEY key = nullptr;
    LONG result = RegOpenKeyExW(parent, name, 0, KEY_ALL_ACCESS, &key);
    if (result != ERROR_SUCCESS) return result;
    wchar_t child[256];
    DWORD length = 256;
    while (RegEnumKeyExW(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
        result = DeleteKeyTree(key, child);
        if (result != ERROR_SUCCESS) {
            RegCloseKey(key);
            return result;
        }
        length = 256;
    }
    RegCloseKey(key);
    return RegDeleteKeyW(parent, name);
}

void DeleteUnder(const wchar_t* parentPath, const wchar_t* name) {
    HKEY parent = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, parentPath, 0, KEY_ALL_ACCESS, &parent) != ERROR_SUCCESS) return;
    DeleteKeyTree(parent, name);
    RegCloseKey(parent);
}

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    if (clsid != CLSID_QuillarentShell) return CLASS_E_CLASSNOTAVAILABLE;
    auto* shell = new (std::nothrow) CQuillarentShell();
    if (!shell) return E_OUTOFMEMORY;
    HRESULT result = shell->QueryInterface(iid, object);
    shell->Release();
    return result;
}

STDAPI DllCanUnloadNow() { return LibraryObjectCount > 0 ? S_FALSE : S_OK; }

static HRESULT WriteRegistration() {
    LPOLESTR clsidText = nullptr;
    if (FAILED(StringFromCLSID(CLSID_QuillarentShell, &clsidText)) || !clsidText) return E_UNEXPECTED;
    const std::wstring clsid = clsidText;
    CoTaskMemFree(clsidText);
    wchar_t modulePath[kModulePathRoom] = {};
    GetModuleFileNameW(ResourceModule(), modulePath, kModulePathRoom);
    const std::wstring versioned = kVersionedProgId, progId = kProgId, typeName = kTypeName, module = modulePath;
    const std::wstring percentOne = L"%1", apartment = L"Apartment";
    const std::wstring clsidKey = L"CLSID\\" + clsid;
    // Each key is written when the one above it could be made; a failing key skips those below it.
    struct Entry {
        std::wstring path;
        const wchar_t* valueName;
        const std::wstring* data;
        int parent;  // index of the entry that must have been written first, -1 for none
    };
    const Entry entries[] = {
        {L".pkcs7", nullptr, &versioned, -1},
        {std::wstring(kAllFilesHandlers) + L"\\" + AllFilesHandlerName(), nullptr, &clsid, -1},
        {versioned, nullptr, &typeName, -1},
        {versioned + L"\\CLSID", nullptr, &clsid, 2},
        {versioned + L"\\DefaultIcon", nullptr, &percentOne, 2},
        {versioned + L"\\shellex\\IconHandler", nullptr, &clsid, 2},
        {versioned + L"\\shellex\\ContextMenuHandlers\\DecodeFile", nullptr, &clsid, 2},
        {versioned + L"\\shellex\\ContextMenuHandlers\\DecodeFileTo", nullptr, &clsid, 2},
        {versioned + L"\\shellex\\ContextMenuHandlers\\EncodeFile", nullptr, &clsid, 2},
        {versioned + L"\\shellex\\PropertySheetHandlers\\Info", nullptr, &clsid, 2},
        {progId, nullptr, &typeName, -1},
        {progId + L"\\CLSID", nullptr, &clsid, 10},
        {progId + L"\\CurVer", nullptr, &versioned, 10},
        {clsidKey, nullptr, &typeName, -1},
        {clsidKey + L"\\shellex\\MayChangeDefaultMenu", nullptr, nullptr, 13},
        {clsidKey + L"\\ProgID", nullptr, &progId, 13},
        {clsidKey + L"\\InProcServer32", nullptr, &module, 13},
        {clsidKey + L"\\InProcServer32", L"ThreadingModel", &apartment, 16},
    };
    // The rest is written all the same; the first failure is the result, so that a registration
    // with a missing key or value never counts as done.
    bool written[sizeof entries / sizeof entries[0]] = {};
    LONG firstError = ERROR_SUCCESS;
    for (size_t i = 0; i < sizeof entries / sizeof entries[0]; ++i) {
        const Entry& entry = entries[i];
        if (entry.parent >= 0 && !written[entry.parent]) continue;
        const LONG status = WriteKey(entry.path, entry.valueName, entry.data);
        written[i] = status == ERROR_SUCCESS;
        if (firstError == ERROR_SUCCESS) firstError = status;
    }
    return firstError == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(firstError));
}

static HRESULT DeleteRegistration() {
    DeleteKeyTree(HKEY_CLASSES_ROOT, kProgId);
    DeleteKeyTree(HKEY_CLASSES_ROOT, kVersionedProgId);
    DeleteKeyTree(HKEY_CLASSES_ROOT, L".pkcs7");
    LPOLESTR clsidText = nullptr;
    if (SUCCEEDED(StringFromCLSID(CLSID_QuillarentShell, &clsidText)) && clsidText) {
        DeleteUnder(L"CLSID", clsidText);
        CoTaskMemFree(clsidText);
    }
    DeleteUnder(kAllFilesHandlers, AllFilesHandlerName().c_str());
    return S_OK;
}

// The registry work allocates as it goes: an exception ends here, never in the caller (regsvr32, an
// installer).
STDAPI DllRegisterServer() { return HresultBoundary(WriteRegistration); }

STDAPI DllUnregisterServer() { return HresultBoundary(DeleteRegistration); }
