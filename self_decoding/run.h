// One run of the program: options, progress window, decode, then open the marked files or report.
#pragma once
#include <windows.h>

namespace quendrix {

// The whole run for the given arguments; the payload starts at templateSize. Returns the exit code.
int RunQuendrix(int count, const char* const* arguments, DWORD templateSize);

}  // namespace quendrix
