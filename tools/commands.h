// The subcommands of quill.exe. Each takes the arguments after its name and returns the exit
// status: 0 success, 1 failure, 2 bad usage.
#pragma once
#include "tools/arguments.h"

int CommandImport(ArgumentReader& arguments);
int CommandCerts(ArgumentReader& arguments);
int CommandPack(ArgumentReader& arguments);

// "quill: text" on standard error and the usage status 2.
int UsageError(const std::wstring& text);
