// The pack run: settings, certificate checks, the provider and the signers' keys, then one envelope
// per file (PackFiles) or one self-decoding program, the treatment of the sources and the report.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "pack/envelope_writer.h"

struct PackerWindow;
class CVSettingsDlg;
class CSourceFileStream;
struct SourceFile;

// How a run meets its caller. The packer window uses the defaults; a caller without windows (the
// command-line front end, the tests) turns off what would show or open something.
struct PackRunOptions {
    // Open the target folder in the shell after the run.
    bool openTargetFolder = true;
    // Offer save dialogs; when off, a Yes to "choose another name?" skips the file instead, and a
    // self-decoding run needs selfDecodingOutput.
    bool saveDialogs = true;
    // Show the platform's progress dialog; when off, progress (may be null: no display) is used.
    bool platformProgress = true;
    IProgressDialog* progress = nullptr;
    // The self-decoding template; empty: "Quendrix.exe" beside the module holding the resources.
    std::wstring selfDecodingTemplate;
    // The self-decoding program's path; empty: asked with the save dialog. With a path given,
    // openAfterUnpack holds the files-page indices to open after unpacking.
    std::wstring selfDecodingOutput;
    std::vector<DWORD> openAfterUnpack;
};

// Runs a pack over the window's pages. Nonzero only when the run succeeded and CloseProgram is on
// (the window should close). askFolder: ask for a target folder first (pack-to-folder command).
BOOL RunPack(PackerWindow* window, HWND ownerWindow, BOOL askFolder);
BOOL RunPack(PackerWindow* window, HWND ownerWindow, BOOL askFolder, const PackRunOptions& options);

// One envelope per file of the files page. Returns the result of the last envelope written (0 when
// none was written or the run was ended by the user or a failure).
BOOL PackFiles(PackerWindow* window, HCRYPTPROV provider, const SignerEntry* signers, DWORD signerCount,
               HWND ownerWindow, const PackRunOptions& options = PackRunOptions());

// Output name of one source: in the target folder, in the working directory or next to the source,
// with ".pkcs7" or ".gz.pkcs7" appended.
std::wstring PackedOutputName(const PackerWindow* window, const wchar_t* sourcePath, bool compressed);

// Whether the file name's extension (after its last dot, compared upper-case) is a whole item of
// the dot-separated list of compressed formats.
bool IsCompressedFormat(const std::wstring& list, const wchar_t* fileName);

// The part of the file name (without its folder) from its first dot on; empty without a dot.
std::wstring NameSuffix(const std::wstring& path);
// Puts the suffix on a name chosen in the save dialog and returns how to create it: CREATE_ALWAYS
// when the name already had exactly that suffix (the dialog asked before overwriting), else
// CREATE_NEW after replacing (or appending) the suffix.
DWORD ApplyNameSuffix(std::wstring& chosen, const std::wstring& suffix);
// Where the save dialog for another output name starts: the proposed name's folder, or the current
// directory for a bare name.
std::wstring SaveDialogFolder(const std::wstring& path);

// Whether the self-decoding program can carry a file (or all files) of this size: its directory
// has 32-bit size fields and its envelope a four-byte content length. Single envelopes take any size.
bool FitsInProgram(ULONGLONG size);

// The stream over the sources with the progress display the options ask for, compressing on
// threads workers when compress is set.
CSourceFileStream* CreateSourceStream(SourceFile* files, DWORD count, const wchar_t* targetText, bool compress,
                                      HWND ownerWindow, const PackRunOptions& options, unsigned threads = 1,
                                      int level = 9);

// The threads that compress: the CompressionThreads setting, 0 meaning one per processor.
unsigned CompressionThreadCount(const CVSettingsDlg& settings);

// After a successful envelope: securely deletes (provider, else the first signer's) or deletes the
// source as the settings say, and takes a source that is gone off the files page.
void TreatPackedSource(PackerWindow* window, DWORD index, HCRYPTPROV provider, const SignerEntry* signers,
                       DWORD signerCount);
