// The library's one COM class: its own class factory, and for the shell a context-menu handler
// (pack and unpack items), an icon handler and the "Info" property page of packed files.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <shlobj.h>
#include <shobjidl.h>

class CQuillarentShell final : public IClassFactory,
                               public IContextMenu,
                               public IShellPropSheetExt,
                               public IShellExtInit,
                               public IExtractIconW,
                               public IPersistFile {
public:
    CQuillarentShell();
    CQuillarentShell(const CQuillarentShell&) = delete;
    CQuillarentShell& operator=(const CQuillarentShell&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IClassFactory
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return E_NOTIMPL; }
    // IContextMenu
    HRESULT STDMETHODCALLTYPE QueryContextMenu(HMENU menu, UINT indexMenu, UINT idCmdFirst, UINT idCmdLast,
                                               UINT flags) override;
    HRESULT STDMETHODCALLTYPE InvokeCommand(CMINVOKECOMMANDINFO* info) override;
    HRESULT STDMETHODCALLTYPE GetCommandString(UINT_PTR offset, UINT type, UINT* reserved, CHAR* buffer,
                                               UINT size) override;
    // IShellPropSheetExt
    HRESULT STDMETHODCALLTYPE AddPages(LPFNSVADDPROPSHEETPAGE addPage, LPARAM lParam) override;
    HRESULT STDMETHODCALLTYPE ReplacePage(EXPPS, LPFNSVADDPROPSHEETPAGE, LPARAM) override { return E_NOTIMPL; }
    // IShellExtInit
    HRESULT STDMETHODCALLTYPE Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* dataObject, HKEY key) override;
    // IExtractIconW
    HRESULT STDMETHODCALLTYPE GetIconLocation(UINT flags, LPWSTR iconFile, UINT size, int* index,
                                              UINT* outFlags) override;
    HRESULT STDMETHODCALLTYPE Extract(LPCWSTR file, UINT index, HICON* largeIcon, HICON* smallIcon,
                                      UINT sizes) override;
    // IPersistFile
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* id) override;
    HRESULT STDMETHODCALLTYPE IsDirty() override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE Load(LPCOLESTR name, DWORD mode) override;
    HRESULT STDMETHODCALLTYPE Save(LPCOLESTR, BOOL) override { return E_FAIL; }
    HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR) override { return E_FAIL; }
    HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR*) override { return E_FAIL; }

    // The shell's selection from Initialize (a reference of the object's own); the pack run
    // releases it when it has read it.
    IDataObject* selection = nullptr;

private:
    ~CQuillarentShell();
    void FreeRecentCertificates();
    void InsertRecentCertificates(HMENU menu, UINT position, UINT idCmdFirst, UINT idCmdLast, UINT& counter);
    HRESULT StartPackThread(PCCERT_CONTEXT certificate);
    HICON OverlaidIcon(UINT extraFlags, int size);

    PCCERT_CONTEXT* recentCertificates = nullptr;
    DWORD recentCount = 0;
    DWORD recentShownCount = 0;
    bool allEnvelopes = false;
    int encodeCommand = -1;
    int decodeCommand = -1;
    int decodeToCommand = -1;
    UINT recentCommandsEnd = 0;
    volatile LONG refCount = 1;
    wchar_t* innerExtension = nullptr;
};

// The "Info" page's dialog procedure (template 209); its lParam is the object.
INT_PTR CALLBACK InfoPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
// The page's callback: on its release, the reference AddPages took on the object is given back.
UINT CALLBACK InfoPageCallback(HWND window, UINT message, PROPSHEETPAGEW* sheet);
