// Entry of every Windows test program: texts come from the program's own string table.
#include <windows.h>

#include <gtest/gtest.h>

#include "format/service/resources.h"

int main(int argc, char** argv) {
    SetResourceModule(GetModuleHandleW(nullptr));
    // A failing test must never wait on an error box.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
