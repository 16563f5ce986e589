// The subcommands of quill.exe. Each takes the arguments after its name and returns the exit
// status: 0 success, 1 failure, 2 bad usage, 3 (unpack, info) done but a signature not checked.
#pragma once
#include "tools/arguments.h"

// Every file read and written, but a signer's algorithm is not supported here, so its signature
// was not checked (not the failure a bad signature gives).
constexpr int kExitSignatureNotChecked = 3;

int CommandImport(ArgumentReader& arguments);
int CommandCerts(ArgumentReader& arguments);
int CommandPack(ArgumentReader& arguments);
int CommandUnpack(ArgumentReader& arguments);
int CommandInfo(ArgumentReader& arguments);
int CommandSettings(ArgumentReader& arguments);
int CommandRecovery(ArgumentReader& arguments);
int CommandWindow(ArgumentReader& arguments);
int CommandRegister(ArgumentReader& arguments);
int CommandUnregister(ArgumentReader& arguments);

// The unpack driver over files in mode 0, 1 or 2 (see UnpackSelection): outputs into folder (when
// not empty) or the working directory (here); 0 when every file fully succeeded,
// kExitSignatureNotChecked when all succeeded but a signature could not be checked.
int RunUnpack(unsigned char mode, const std::vector<std::wstring>& files, const std::wstring& folder, bool here,
              bool forceProgress);

// The recovery certificates' subjects under a heading, after the certificates quill certs lists;
// nothing when the list is empty.
void PrintRecoverySummary();

// "quill: text" on standard error and the usage status 2.
int UsageError(const std::wstring& text);
