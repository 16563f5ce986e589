// The save dialog that asks for another output name (used by the reader when an output cannot be
// created, and by the unpack driver's unpack-to command).
#pragma once
#include <windows.h>

#include <string>

// Shows the save dialog on path (name part, filter and default extension from its text after the
// first dot, initial folder from its folder or the current directory). True with path replaced by
// the chosen name; false when cancelled.
bool AskForOutputName(HWND owner, std::wstring& path);
