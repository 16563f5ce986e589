// What the parts of the shared library share: the class identifier of its one COM class and the
// count of live objects and running rundll calls that keeps the library loaded.
#pragma once
#include <windows.h>
#include <wincrypt.h>

// {2CFDF8BC-D2D6-4A6D-AFF6-F2B5331F38D0}
constexpr CLSID CLSID_QuillarentShell = {0x2CFDF8BC, 0xD2D6, 0x4A6D, {0xAF, 0xF6, 0xF2, 0xB5, 0x33, 0x1F, 0x38, 0xD0}};

// Changed only with interlocked operations.
extern volatile LONG LibraryObjectCount;

class CQuillarentShell;

// The shell's pack commands hand this to PackShellSelectionThread, which frees it.
struct ShellPackRequest {
    HWND ownerWindow = nullptr;
    PCCERT_CONTEXT certificate = nullptr;  // passes to the packer
    CQuillarentShell* shell = nullptr;     // the sender took a reference the thread gives back
};

// Packs the shell selection of the object: the packer window opens with it (openWindow) or the
// pack runs at once for the given certificate.
int PackShellSelection(CQuillarentShell* shell, HWND ownerWindow, PCCERT_CONTEXT certificate, bool openWindow);
DWORD WINAPI PackShellSelectionThread(LPVOID request);
