// Entry of Quillarent.dll: keeps the module handle, from which every resource is loaded.
#include <windows.h>

#include "format/service/resources.h"

// The handle is the same on every call; nothing else may run under the loader lock.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD, LPVOID) {
    SetResourceModule(instance);
    return TRUE;
}
