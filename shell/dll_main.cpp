// Entry of Quillarent.dll: keeps the module handle, from which every resource is loaded.
#include <windows.h>

#include "format/service/resources.h"
#include "packer_ui/data_object.h"

// The handle is the same on every call. The clipboard formats are registered once, at load.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    SetResourceModule(instance);
    if (reason == DLL_PROCESS_ATTACH) RegisterPackerClipboardFormats();
    return TRUE;
}
