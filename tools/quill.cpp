// quill.exe: the command-line front end of the packing and unpacking engines.
#include <windows.h>

#include <cstdio>

#include "format/service/resources.h"

int wmain(int argc, wchar_t** argv) {
    SetResourceModule(GetModuleHandleW(nullptr));
    if (argc < 2) {
        fwprintf(stderr, L"usage: quill import|certs|pack ...\n");
        return 2;
    }
    (void)argv;
    return 2;
}
