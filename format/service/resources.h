// Texts of the string table, loaded from the module that carries the resources (the DLL, or the
// program itself for quill.exe and the tests).
#pragma once
#include <windows.h>

#include <string>

void SetResourceModule(HINSTANCE module);
HINSTANCE ResourceModule();

// The string with the given id; empty when the table has none.
std::wstring LoadText(UINT id);

// The string with the given id used as a printf-style format.
std::wstring FormatText(UINT id, ...);
std::wstring FormatString(const wchar_t* format, ...);
