// Writing a whole buffer to a file.
#pragma once
#include <windows.h>

// WriteFile may succeed having written less than asked (a full disk, a network share); that is a
// failure here too, with ERROR_WRITE_FAULT as its reason.
bool WriteAll(HANDLE file, const void* data, DWORD size);
