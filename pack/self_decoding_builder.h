// One self-decoding program for all files of a pack run: a copy of the template program, the file
// directory behind it and one envelope in the open-length form.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <string>

#include "pack/envelope_writer.h"
#include "pack/pack_run.h"

struct PackerWindow;

// The save dialog's child template and its controls.
constexpr int kOpenAfterUnpackDialogId = 429;
constexpr int kOpenAfterUnpackListId = 1122;
constexpr int kOpenAfterUnpackTextId = 1125;

// Files to open after unpacking: positions in the files page.
constexpr DWORD kMaxOpenAfterUnpack = 256;
struct OpenAfterUnpackSelection {
    DWORD count = 0;
    DWORD indices[kMaxOpenAfterUnpack] = {};
    bool Contains(DWORD index) const;
};

// What the save dialog's hook works on; lCustData of the dialog points here.
struct OpenAfterUnpackRequest {
    DWORD fileCount = 0;
    void* const* files = nullptr;  // wchar_t* paths; entries may be null
    OpenAfterUnpackSelection* selection = nullptr;
};

// Hook of the save dialog (template 429): lists the files and keeps the user's selection.
UINT_PTR CALLBACK OpenAfterUnpackSelector(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The template beside the module that carries the resources, or the override of the options.
std::wstring SelfDecodingTemplatePath(const PackRunOptions& options);

// Asks for the output (unless the options name it), copies the template there and appends the
// payload. Nonzero on success; 0 after a cancelled dialog or a failure (already reported).
BOOL BuildSelfDecodingFile(PackerWindow* window, HCRYPTPROV provider, const SignerEntry* signers,
                           DWORD signerCount, HWND ownerWindow, const PackRunOptions& options = PackRunOptions());

// Appends the directory and the envelope to the copied template. On failure the output is deleted
// (a partial program must not pass for a real one). Returns the writer's result.
BOOL AppendPayload(PackerWindow* window, const wchar_t* outputPath, HCRYPTPROV provider, const SignerEntry* signers,
                   DWORD signerCount, const OpenAfterUnpackSelection& selection, HWND ownerWindow,
                   const PackRunOptions& options = PackRunOptions());
