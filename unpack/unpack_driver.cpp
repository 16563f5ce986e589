#include "unpack/unpack_driver.h"

#include <shlobj.h>
#include <shellapi.h>

#include <memory>
#include <vector>

#include "format/service/resources.h"
#include "format/service/signature_check.h"
#include "pack/messages.h"
#include "unpack/envelope_reader.h"
#include "unpack/output_name.h"
#include "unpack/signature_verify.h"
#include "unpack/unpack_settings.h"
#include "unpack/unpack_view.h"

namespace {

constexpr UINT kCaption = 503;
constexpr UINT kFolderTitle = 522;
constexpr UINT kUnpackCancelled = 550;
constexpr UINT kUnpackingLine = 552;
constexpr UINT kTargetLine = 554;
constexpr int kResultTextId = 1111;
// An AES-GCM file that was damaged or changed.
constexpr UINT kTagMismatchText = 793;
constexpr UINT kTagMissingText = 794;
constexpr int kProgressAnimation = 423;

bool IsFileNotFoundKind(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_TOO_MANY_OPEN_FILES ||
           code == ERROR_ACCESS_DENIED || code == ERROR_FILE_EXISTS || code == ERROR_CANNOT_MAKE;
}

std::wstring FileNamePart(const std::wstring& path) {
    size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring ErrorText(UINT id, DWORD code, DWORD offset) {
    std::wstring text;
    FormatSystemMessage(text, nullptr, id, code, static_cast<int>(offset));
    return text;
}

// Reads the names of the CF_HDROP list; the medium is freed here.
bool TakeFileNames(IDataObject* data, std::vector<std::wstring>& names) {
    if (!data) return false;
    FORMATETC format = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium = {};
    if (FAILED(data->GetData(&format, &medium))) return false;
    auto drop = static_cast<HDROP>(medium.hGlobal);
    UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        UINT length = DragQueryFileW(drop, i, nullptr, 0);
        std::vector<wchar_t> name(length + 1, L'\0');
        // A name that cannot be read keeps an empty slot and is skipped later.
        if (length == 0 || DragQueryFileW(drop, i, name.data(), length + 1) == 0) {
            names.emplace_back();
            continue;
        }
        names.emplace_back(name.data());
    }
    ReleaseStgMedium(&medium);
    return count > 0;
}

bool AskForFolder(HWND owner, std::wstring& folder) {
    std::wstring title = LoadText(kFolderTitle);
    BROWSEINFOW browse = {};
    browse.hwndOwner = owner;
    browse.lpszTitle = title.c_str();
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_EDITBOX | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&browse);
    if (!item) return false;
    wchar_t path[268] = {};
    // Without a path every file gets the save dialog instead.
    if (SHGetPathFromIDListW(item, path)) folder = path;
    IMalloc* allocator = nullptr;
    if (SUCCEEDED(SHGetMalloc(&allocator))) {
        allocator->Free(item);
        allocator->Release();
    }
    return true;
}

IProgressDialog* CreateProgressDialog() {
    IProgressDialog* progress = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ProgressDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IProgressDialog,
                                reinterpret_cast<void**>(&progress))))
        return nullptr;
    progress->SetAnimation(ResourceModule(), kProgressAnimation);
    progress->SetTitle(LoadText(kCaption).c_str());
    progress->SetCancelMsg(LoadText(kUnpackCancelled).c_str(), nullptr);
    return progress;
}

DWORD ReadOpenFilesSetting() {
    DWORD value = 0, size = sizeof(value);
    if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Orbelin\\Quillarent", L"OpenFiles", RRF_RT_REG_DWORD, nullptr,
                     &value, &size) != ERROR_SUCCESS)
        return 0;
    return value;
}

UnpackView BuildView(HWND owner) {
    UnpackView view;
    view.ownerWindow = owner;
    if (owner) {
        view.recipientsList = GetDlgItem(owner, kRecipientsListId);
        view.signersList = GetDlgItem(owner, kSignersListId);
        view.informationText = GetDlgItem(owner, kInformationTextId);
        view.signatureCaption = GetDlgItem(owner, kSignatureCaptionId);
    }
    return view;
}

bool SucceededCleanly(const UnpackJob& job) {
    return job.readError == 0 && job.writeError == 0 && job.jobResult == 0;
}

// Opens the output instead of showing the result; false when there is nothing to open.
bool OpenOutput(const UnpackJob& job, HWND owner) {
    if (GetFileAttributesW(job.outputPath.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    ShellExecuteW(owner, nullptr, job.outputPath.c_str(), nullptr, L".", SW_SHOWNORMAL);
    return true;
}

std::wstring DecryptionPart(const UnpackJob& job, bool& error) {
    if (job.jobResult != 0 || job.finalBlockStatus != 0) {
        error = true;
        if (job.jobResult == 0xFFFFFFFF) return LoadText(769);
        if (job.jobResult == kResultTagMismatch) return LoadText(kTagMismatchText);
        if (job.jobResult == kResultTagMissing) return LoadText(kTagMissingText);
        DWORD code = job.jobResult != 0 ? job.jobResult : static_cast<DWORD>(job.finalBlockStatus);
        // A refusal says in words what is not supported, beside the code.
        const std::wstring reason = RecipientRefusalText(job.recipientRefusal, job.refusedHash);
        return reason.empty() ? ErrorText(776, code, job.offset) : reason + L"\r\n" + ErrorText(776, code, job.offset);
    }
    std::wstring text = LoadText(766);
    if (job.compressedContent && job.decodeMode != kModeDescribe && job.decompressStatus != 0) text += LoadText(770);
    return text;
}

// Text of a signature this system cannot check: the content is kept, the signature was not checked.
constexpr UINT kSignatureNotSupportedText = 785;

std::wstring SignaturePart(const UnpackJob& job, bool& error, bool& warning) {
    if (job.signatureStatus == kSignatureNotSupported) {
        warning = true;
        return LoadText(kSignatureNotSupportedText);
    }
    if (job.signatureStatus == -1) {
        error = true;
        return LoadText(768);
    }
    if (job.signatureStatus != 0) {
        error = true;
        std::wstring text;
        FormatSystemMessage(text, nullptr, 765, static_cast<DWORD>(job.signatureStatus), 0);
        return text;
    }
    std::wstring text = LoadText(767);
    if (job.compressedContent && job.decompressStatus != 0 && job.outerContentType == 2) text += LoadText(770);
    return text;
}

}  // namespace

std::wstring UnpackOutputPath(const std::wstring& inputPath, const std::wstring& folder, bool workingDirectory,
                              bool& compressed) {
    compressed = false;
    std::wstring output;
    if (!folder.empty())
        output = folder + L"\\" + FileNamePart(inputPath);
    else if (workingDirectory)
        output = FileNamePart(inputPath);
    else
        output = inputPath;
    size_t slash = output.rfind(L'\\');
    size_t nameStart = slash == std::wstring::npos ? 0 : slash + 1;
    size_t dot = output.rfind(L'.');
    if (dot == std::wstring::npos || dot < nameStart) return output;
    output.resize(dot);
    // ".gz" before the last extension marks gzip content, compared with case.
    if (output.size() >= 3 && output.size() - 3 > 0 && output.compare(output.size() - 3, 3, L".gz") == 0) {
        compressed = true;
        output.resize(output.size() - 3);
    }
    return output;
}

std::wstring UnpackResultText(const UnpackJob& job, UINT& style, bool& aboutOutput) {
    style = MB_ICONINFORMATION;
    aboutOutput = false;
    if (job.readError != 0) {
        style = MB_ICONERROR;
        return ErrorText(IsFileNotFoundKind(job.readError) ? 774 : 772, job.readError, job.offset);
    }
    if (job.decodeMode == kModeUnpack && job.writeError != 0) {
        style = MB_ICONERROR;
        aboutOutput = true;
        return ErrorText(IsFileNotFoundKind(job.writeError) ? 773 : 775, job.writeError, job.offset);
    }
    if (job.decodeMode == kModeDescribe && job.jobResult == 0 && job.finalBlockStatus == -1 &&
        job.signatureStatus == -1)
        return std::wstring();

    bool error = false, warning = false;
    std::wstring text;
    bool encrypted = job.outerContentType == 3 || job.outerContentType == 4;
    bool signedKind = job.outerContentType == 2 || job.outerContentType == 4 || job.innerContentType == 2;
    if (encrypted) text = DecryptionPart(job, error);
    if (signedKind) {
        std::wstring signature = SignaturePart(job, error, warning);
        text = text.empty() ? signature : text + L"\r\n" + signature;
    }
    // A file that is not an envelope, or that failed before its type was known, is still reported.
    if (!encrypted && !signedKind && job.jobResult != 0) {
        error = true;
        text = job.jobResult == 0xFFFFFFFF ? LoadText(769) : ErrorText(776, job.jobResult, job.offset);
    }
    if (warning) style = MB_ICONWARNING;
    if (error) style = MB_ICONERROR;
    return text;
}

void ShowUnpackResult(const UnpackJob* job, HWND owner) {
    if (!job) return;
    UINT style = 0;
    bool aboutOutput = false;
    std::wstring text = UnpackResultText(*job, style, aboutOutput);
    HWND resultText = owner ? GetDlgItem(owner, kResultTextId) : nullptr;
    if (resultText) {
        // Nothing to report (a description without findings) keeps the page's own hint.
        if (!text.empty()) SetWindowTextW(resultText, text.c_str());
        return;
    }
    if (text.empty()) return;
    std::wstring caption = LoadText(kCaption);
    if (caption.size() > 15) caption.resize(15);
    caption += L" - " + FileNamePart(aboutOutput ? job->outputPath : job->inputPath);
    ShowMessageText(owner, text, caption, style);
}

HRESULT UnpackSelection(IDataObject* data, HWND owner, BYTE mode, BOOL askForTarget, BOOL workingDirectory) {
    return UnpackSelectionWith(data, owner, mode, askForTarget, workingDirectory, UnpackRunOptions());
}

HRESULT UnpackSelectionWith(IDataObject* data, HWND owner, BYTE mode, BOOL askForTarget, BOOL workingDirectory,
                            const UnpackRunOptions& options) {
    std::vector<std::wstring> names;
    if (!TakeFileNames(data, names)) return E_FAIL;

    UnpackView view = BuildView(owner);
    view.signerReport = options.signerReport;
    view.recipientReport = options.recipientReport;
    view.algorithmReport = options.algorithmReport;
    ClearCertificateList(view.recipientsList);
    if (mode == kModeDescribe) ClearCertificateList(view.signersList);

    UnpackSettings settings;
    LoadUnpackSettings(&settings);
    std::vector<std::unique_ptr<UnpackJob>> jobs;
    for (size_t i = 0; i < names.size(); ++i) jobs.push_back(std::make_unique<UnpackJob>());

    std::wstring folder = options.targetFolder;
    if (folder.empty() && askForTarget && names.size() > 1 && !AskForFolder(owner, folder)) {
        if (!SaveUnpackSettings(&settings)) ReportSettingsNotSaved(owner, GetLastError());
        return E_FAIL;
    }

    IProgressDialog* progress = nullptr;
    bool ownProgress = false;
    if (mode == kModeUnpack || mode == kModeCheck) {
        progress = options.progress;
        if (!progress) {
            progress = CreateProgressDialog();
            ownProgress = progress != nullptr;
        }
    }
    DWORD openFiles = options.allowOpenFiles ? ReadOpenFilesSetting() : 0;

    HRESULT last = E_FAIL;
    bool cancelled = false;
    for (size_t i = 0; i < names.size() && !cancelled; ++i) {
        if (names[i].empty()) continue;
        UnpackJob& job = *jobs[i];
        job.inputPath = names[i];
        job.decodeMode = mode;
        if (mode == kModeUnpack || mode == kModeCheck) {
            bool compressed = false;
            job.outputPath = UnpackOutputPath(job.inputPath, folder, workingDirectory != FALSE, compressed);
            job.compressedContent = compressed ? 1 : 0;
            if (askForTarget && folder.empty()) {
                if (!AskForOutputName(owner, job.outputPath)) break;
                job.outputConfirmed = 1;
            }
        } else {
            bool compressed = false;
            UnpackOutputPath(job.inputPath, folder, false, compressed);
            job.compressedContent = compressed ? 1 : 0;
        }
        if (progress) {
            progress->SetLine(1, FormatText(kUnpackingLine, job.inputPath.c_str()).c_str(), TRUE, nullptr);
            progress->SetLine(2, FormatText(kTargetLine, job.outputPath.c_str()).c_str(), TRUE, nullptr);
            progress->StartProgressDialog(owner, nullptr, PROGDLG_NOTIME | PROGDLG_NOMINIMIZE, nullptr);
        }
        LONG result = ReadEnvelope(progress, &settings, &job, &view);
        last = result;
        if (progress) {
            cancelled = progress->HasUserCancelled() != FALSE;
            progress->StopProgressDialog();
        }
        bool opened = false;
        if (openFiles && mode == kModeUnpack && !cancelled && result == 0 && SucceededCleanly(job))
            opened = OpenOutput(job, owner);
        if (!opened) ShowUnpackResult(&job, owner);
        if (options.jobDone) options.jobDone(job, options.context);
        // A failed job's output goes now, not at the end of the run: a later file of the run that
        // names the same output would otherwise find it taken, or lose its own to this deletion.
        jobs[i].reset();
    }

    if (ownProgress) progress->Release();
    jobs.clear();
    if (!SaveUnpackSettings(&settings)) ReportSettingsNotSaved(owner, GetLastError());
    return last;
}
