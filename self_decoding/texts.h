// String-table texts of the program and the system's texts for error codes (ANSI).
#pragma once
#include <windows.h>

#include <string>

namespace quendrix {

// The text of a string-table entry of this program ("" when missing).
std::string LoadText(UINT id);

// printf-style formatting of a text from the string table.
std::string FormatText(UINT id, ...);

// The system's message for a code without trailing line breaks and blanks; text 514 with the code
// when the system has none.
std::string SystemMessage(DWORD code);

// The part of a path after its last backslash.
std::string FileNamePart(const std::string& path);

}  // namespace quendrix
