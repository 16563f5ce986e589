// What the parts of the shared library share: the class identifier of its one COM class and the
// count of live objects and running rundll calls that keeps the library loaded.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <ole2.h>

// {2CFDF8BC-D2D6-4A6D-AFF6-F2B5331F38D0}
constexpr CLSID CLSID_QuillarentShell = {0x2CFDF8BC, 0xD2D6, 0x4A6D, {0xAF, 0xF6, 0xF2, 0xB5, 0x33, 0x1F, 0x38, 0xD0}};

// Changed only with interlocked operations.
extern volatile LONG LibraryObjectCount;

class CQuillarentShell;

// A medium from IDataObject::GetData, released on every way out (a zeroed one releases nothing).
struct StgMediumScope {
    StgMediumScope() = default;
    StgMediumScope(const StgMediumScope&) = delete;
    StgMediumScope& operator=(const StgMediumScope&) = delete;
    ~StgMediumScope() { ReleaseStgMedium(&medium); }
    STGMEDIUM medium = {};
};

// The shell's pack commands hand this to PackShellSelectionThread, which frees it.
struct ShellPackRequest {
    HWND ownerWindow = nullptr;
    PCCERT_CONTEXT certificate = nullptr;  // passes to the packer
    CQuillarentShell* shell = nullptr;     // the sender took a reference the thread gives back
    HMODULE library = nullptr;             // a load reference of the library's own for the thread
};

// Packs the shell selection of the object: the packer window opens with it (openWindow) or the
// pack runs at once for the given certificate.
int PackShellSelection(CQuillarentShell* shell, HWND ownerWindow, PCCERT_CONTEXT certificate, bool openWindow);
// Ends with FreeLibraryAndExitThread on the request's library reference: once the shell object is
// released the library may be unloaded, so the thread never returns into it.
DWORD WINAPI PackShellSelectionThread(LPVOID request);
