// Creating the reader's output file, with the question and save dialog when it cannot be created.
#include "unpack/reader_state.h"

#include <commdlg.h>

#include <vector>

#include "format/service/resources.h"
#include "pack/messages.h"
#include "unpack/output_name.h"

namespace {

constexpr UINT kCannotCreateQuestion = 512;
constexpr UINT kUnpackingLine = 552;
constexpr UINT kTargetLine = 554;

HANDLE CreateOutput(const std::wstring& path, bool overwrite) {
    return CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, overwrite ? CREATE_ALWAYS : CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

bool OpenReaderOutput(ReaderState& state, FileHandle& output) {
    UnpackJob* job = state.job;
    HWND owner = state.view ? state.view->ownerWindow : nullptr;
    output.reset(CreateOutput(job->outputPath, job->outputConfirmed != 0));
    DWORD error = output ? 0 : GetLastError();
    if (!output && !job->outputConfirmed &&
        ShowMessageBox(owner, kCannotCreateQuestion, MB_ICONERROR | MB_YESNO, job->outputPath.c_str(), error) == IDYES) {
        std::wstring path = job->outputPath;
        if (AskForOutputName(owner, path)) {
            job->outputConfirmed = 1;
            job->outputPath = path;
            output.reset(CreateOutput(path, true));
            error = output ? 0 : GetLastError();
            if (state.progress) {
                state.progress->SetLine(1, FormatText(kUnpackingLine, job->inputPath.c_str()).c_str(), FALSE, nullptr);
                state.progress->SetLine(2, FormatText(kTargetLine, path.c_str()).c_str(), FALSE, nullptr);
            }
        }
    }
    if (!output) {
        job->jobResult = static_cast<DWORD>(CRYPT_E_FILE_ERROR);
        job->writeError = error;
        return false;
    }
    job->writeError = 0;
    return true;
}
