// Entry of Quillarent.dll: keeps the module handle, from which every resource is loaded.
#include <windows.h>

#include "format/service/resources.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        SetResourceModule(instance);
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}
