// quill register / quill unregister: the shell extension beside quill.exe registers itself (its
// own DllRegisterServer), as regsvr32 would have it do.
#include <windows.h>

#include <string>

#include "tools/commands.h"
#include "tools/console.h"

namespace {

std::wstring LibraryBesideProgram() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    const size_t slash = folder.find_last_of(L"\\/");
    folder.resize(slash == std::wstring::npos ? 0 : slash + 1);
    return folder + L"Quillarent.dll";
}

int CallRegistration(ArgumentReader& arguments, const char* entry, const wchar_t* done) {
    if (!arguments.AtEnd()) return UsageError(L"unexpected argument: " + arguments.Next());
    const std::wstring library = LibraryBesideProgram();
    HMODULE module = LoadLibraryW(library.c_str());
    if (!module) return Fail(library, GetLastError());
    auto call = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(GetProcAddress(module, entry)));
    const HRESULT result = call ? call() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    FreeLibrary(module);
    if (FAILED(result)) return Fail(library, static_cast<DWORD>(result));
    PrintLine(std::wstring(done) + library);
    return 0;
}

}  // namespace

int CommandRegister(ArgumentReader& arguments) {
    return CallRegistration(arguments, "DllRegisterServer", L"registered ");
}

int CommandUnregister(ArgumentReader& arguments) {
    return CallRegistration(arguments, "DllUnregisterServer", L"unregistered ");
}
