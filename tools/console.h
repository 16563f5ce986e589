// Text output of the command-line front end: UTF-16 to a console, UTF-8 to pipes and files.
#pragma once
#include <windows.h>

#include <string>

// One line (a newline is added) on standard output or standard error.
void PrintLine(const std::wstring& text);
void PrintError(const std::wstring& text);

// The system's text for an error code, without the trailing line break ("error 0x%08X" when the
// system has none).
std::wstring ErrorText(DWORD error);

// "quill: what: the system's reason" on standard error; returns 1 for use as an exit status.
int Fail(const std::wstring& what, DWORD error);
