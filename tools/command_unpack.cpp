// quill unpack: envelopes back to their files through the same unpack driver the shell uses, with
// a console progress line, console messages in place of boxes, and the outcome in the exit status.
#include <windows.h>

#include <string>
#include <vector>

#include "format/service/resources.h"
#include "pack/messages.h"
#include "tools/commands.h"
#include "tools/console.h"
#include "tools/console_progress.h"
#include "tools/unpack_report.h"
#include "unpack/decode_data.h"
#include "unpack/unpack_driver.h"

namespace {

struct RunState {
    std::vector<SignerSummary> signers;
    std::vector<RecipientSummary> recipients;
    std::wstring algorithm;
    size_t finished = 0;
    size_t succeeded = 0;
    size_t notChecked = 0;  // succeeded, but a signature could not be checked
};

void PrintJob(const UnpackJob& job, void* context) {
    auto* run = static_cast<RunState*>(context);
    ++run->finished;
    bool ok = UnpackJobSucceeded(job);
    if (ok) ++run->succeeded;
    const bool notChecked = ok && SignatureNotChecked(job);
    if (notChecked) ++run->notChecked;
    PrintLine(job.inputPath);
    if (job.decodeMode != kModeUnpack && !run->algorithm.empty()) PrintLine(L"  Algorithm: " + run->algorithm);
    if (job.decodeMode == kModeDescribe)
        for (const RecipientSummary& recipient : run->recipients) PrintLine(L"  " + RecipientLine(recipient));
    for (const SignerSummary& signer : run->signers) PrintLine(L"  " + SignerLine(signer));
    if (notChecked) PrintLine(L"  Signature: cannot be verified: algorithm not supported; not checked");
    if (job.decodeMode == kModeUnpack && ok) PrintLine(L"  Written: " + job.outputPath);
    if (!ok) {
        // The job itself removes its output only when the reader failed; an output that did not
        // inflate or whose signature did not verify goes too, so that a script never finds a file
        // it must not trust. A write failure means the file is not ours (or the user's to inspect).
        if (job.decodeMode == kModeUnpack && job.writeError == 0 && !job.outputConfirmed && job.jobResult == 0 &&
            !job.outputPath.empty() && DeleteFileW(job.outputPath.c_str()))
            PrintError(L"quill: removed " + job.outputPath);
        const std::wstring reason = RecipientRefusalReason(job.recipientRefusal, job.refusedHash);
        if (!reason.empty())
            PrintError(L"quill: " + job.inputPath + L": " + reason + FormatString(L" (0x%08X)", static_cast<unsigned>(job.jobResult)));
        PrintError(L"quill: " + job.inputPath + L": failed");
    }
    // The reports are per file.
    run->signers.clear();
    run->recipients.clear();
    run->algorithm.clear();
}

std::wstring FullPath(const std::wstring& path) {
    DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0) return path;
    std::vector<wchar_t> buffer(length + 1, L'\0');
    if (GetFullPathNameW(path.c_str(), length + 1, buffer.data(), nullptr) == 0) return path;
    return buffer.data();
}

}  // namespace

int RunUnpack(BYTE mode, const std::vector<std::wstring>& files, const std::wstring& folder, bool here,
              bool forceProgress) {
    std::vector<std::wstring> names;
    for (const std::wstring& file : files) names.push_back(FullPath(file));
    HGLOBAL block = BuildDropFilesBlock(names);
    if (!block) return Fail(L"file list", ERROR_NOT_ENOUGH_MEMORY);
    DecodeData data(block);

    // Questions are answered with the button that loses nothing: an existing output is never
    // replaced and no save dialog is offered.
    ConsoleMessageSink sink(GetStdHandle(STD_OUTPUT_HANDLE));
    MessageSink* previous = SetMessageSink(&sink);
    InstallConsoleCancelHandler();
    HANDLE errorOutput = GetStdHandle(STD_ERROR_HANDLE);
    DWORD consoleMode = 0;
    bool draw = forceProgress || GetConsoleMode(errorOutput, &consoleMode);
    ConsoleProgress* progress = ConsoleProgress::Create(errorOutput, draw);

    RunState run;
    UnpackRunOptions options;
    options.progress = progress;
    options.allowOpenFiles = false;
    options.jobDone = PrintJob;
    options.context = &run;
    options.targetFolder = folder;
    options.signerReport = &run.signers;
    options.recipientReport = &run.recipients;
    options.algorithmReport = &run.algorithm;
    UnpackSelectionWith(&data, nullptr, mode, FALSE, here ? TRUE : FALSE, options);

    // The reader's message told what stopped; this line says it was the user's Ctrl+C.
    if (run.succeeded != names.size() && progress && progress->HasUserCancelled())
        PrintError(L"quill: cancelled by Ctrl+C: " + ErrorText(ERROR_CANCELLED));
    if (progress) progress->Release();
    SetMessageSink(previous);
    // A cancelled run leaves files never started: they count as failed too.
    if (run.finished < names.size())
        PrintError(FormatString(L"quill: %u of %u files not processed", static_cast<unsigned>(names.size() - run.finished),
                                static_cast<unsigned>(names.size())));
    // Everything read, but a signature this system cannot check: the outputs stay, and the status
    // is neither success nor the failure a bad signature gives.
    if (run.succeeded != names.size()) return 1;
    return run.notChecked ? kExitSignatureNotChecked : 0;
}

int CommandUnpack(ArgumentReader& arguments) {
    std::wstring folder;
    bool here = false, check = false, forceProgress = false;
    std::vector<std::wstring> files;
    while (!arguments.AtEnd()) {
        const std::wstring& argument = arguments.Next();
        if (argument == L"--" && !arguments.IsOption()) continue;
        if (!arguments.IsOption()) {
            files.push_back(argument);
            continue;
        }
        std::wstring name = arguments.OptionName();
        if (name == L"out-dir") {
            if (!arguments.TakeValue(folder) || folder.empty()) return UsageError(L"--out-dir needs a folder");
            continue;
        }
        if (name != L"here" && name != L"check" && name != L"progress") return UsageError(L"unknown option --" + name);
        if (arguments.HasInlineValue()) return UsageError(L"--" + name + L" takes no value");
        if (name == L"here") here = true;
        if (name == L"check") check = true;
        if (name == L"progress") forceProgress = true;
    }
    if (files.empty()) return UsageError(L"unpack: no files given");
    if (here && !folder.empty()) return UsageError(L"--here and --out-dir exclude each other");
    if (check && (here || !folder.empty())) return UsageError(L"--check writes nothing: no --here or --out-dir");
    if (!folder.empty()) {
        folder = FullPath(folder);
        while (folder.size() > 3 && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
        DWORD attributes = GetFileAttributesW(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return Fail(folder, GetLastError());
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return Fail(folder, ERROR_DIRECTORY);
    }
    return RunUnpack(check ? kModeCheck : kModeUnpack, files, folder, here, forceProgress);
}
