// The single entry of the unpacking engine: a list of packed files from a data object, their output
// names, the progress dialog, one ReadEnvelope per file and the report of each outcome.
#pragma once
#include <windows.h>
#include <objidl.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "unpack/unpack_job.h"
#include "unpack/unpack_view.h"

// What a caller without the platform's windows may change about a run (the command-line front end).
struct UnpackRunOptions {
    // Used instead of the platform's progress dialog when set (for example a console progress line).
    IProgressDialog* progress = nullptr;
    // Open the output afterwards when the "OpenFiles" setting asks for it.
    bool allowOpenFiles = true;
    // Called with every job after its result was shown and before it is destroyed.
    void (*jobDone)(const UnpackJob& job, void* context) = nullptr;
    void* context = nullptr;
    // Outputs go into this folder without asking (when not empty).
    std::wstring targetFolder;
    // Reports of the view (see UnpackView); the jobDone callback reads and clears them per file.
    std::vector<SignerSummary>* signerReport = nullptr;
    std::vector<RecipientSummary>* recipientReport = nullptr;
    std::wstring* algorithmReport = nullptr;
};

// mode: 0 unpack, 1 check, 2 describe. askForTarget: a folder (several files) or a name (one file)
// is asked first. workingDirectory: outputs go into the current directory under their bare names.
// E_FAIL when the data object gives no names or the folder question is cancelled; otherwise the
// ReadEnvelope result of the last file processed.
HRESULT UnpackSelection(IDataObject* data, HWND owner, BYTE mode, BOOL askForTarget, BOOL workingDirectory);
HRESULT UnpackSelectionWith(IDataObject* data, HWND owner, BYTE mode, BOOL askForTarget, BOOL workingDirectory,
                            const UnpackRunOptions& options);

// The output of a packed file: into folder (when not empty), else under its bare name when
// workingDirectory is set, else beside it; the last extension removed, and ".gz" before it too
// (compressed is set then).
std::wstring UnpackOutputPath(const std::wstring& inputPath, const std::wstring& folder, bool workingDirectory,
                              bool& compressed);

// The result text of a job, its box style and whether it concerns the output file (for the
// caption). Empty text: nothing to report.
std::wstring UnpackResultText(const UnpackJob& job, UINT& style, bool& aboutOutput);

// Shows the result: in the owner's control 1111 when it has one, else in a message box.
void ShowUnpackResult(const UnpackJob* job, HWND owner);
