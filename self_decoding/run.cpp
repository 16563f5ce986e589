#include "self_decoding/run.h"

#include <io.h>
#include <shlobj.h>

#include <string>

#include "format/service/crypto_handles.h"
#include "self_decoding/decode_status.h"
#include "self_decoding/options.h"
#include "self_decoding/report.h"
#include "self_decoding/texts.h"

namespace quendrix {

namespace {

constexpr UINT kCaptionText = 503;
constexpr UINT kCancelText = 550;
constexpr UINT kDecodingText = 552;
constexpr UINT kAnimationId = 423;

std::wstring Widen(const std::string& text) {
    int units = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (units <= 1) return std::wstring();
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], units);
    wide.resize(static_cast<size_t>(units) - 1);
    return wide;
}

IProgressDialog* CreateProgress(const std::string& ownPath) {
    IProgressDialog* progress = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ProgressDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IProgressDialog,
                                reinterpret_cast<void**>(&progress))))
        return nullptr;
    progress->SetAnimation(GetModuleHandleA(nullptr), kAnimationId);
    progress->SetTitle(Widen(LoadText(kCaptionText)).c_str());
    progress->SetCancelMsg(Widen(LoadText(kCancelText)).c_str(), nullptr);
    progress->SetLine(1, Widen(FormatText(kDecodingText, ownPath.c_str())).c_str(), TRUE, nullptr);
    return progress;
}

// Opens every readable file marked for it; true when at least one was opened.
bool OpenMarkedFiles(const ExtractedFiles& files) {
    bool opened = false;
    for (const ExtractedFile& file : files.items()) {
        if (!(file.flags & 1) || _access(file.path.c_str(), 4) != 0) continue;
        HINSTANCE result = ShellExecuteA(nullptr, nullptr, file.path.c_str(), nullptr, ".", SW_SHOWNORMAL);
        if (reinterpret_cast<INT_PTR>(result) > 32) opened = true;
    }
    return opened;
}

}  // namespace

int RunQuendrix(int count, const char* const* arguments, DWORD templateSize) {
    CommandLine line = ParseCommandLine(count, arguments);
    StoreHandle store;
    if (line.storeGiven) store.reset(CertOpenSystemStoreA(0, line.storeName.c_str()));
    if (!line.usageTexts.empty()) {
        const std::string caption = LoadText(kCaptionText);
        for (UINT id : line.usageTexts) MessageBoxA(nullptr, LoadText(id).c_str(), caption.c_str(), MB_ICONINFORMATION);
        return 0;
    }
    char ownPath[MAX_PATH + 1] = "";
    GetModuleFileNameA(nullptr, ownPath, MAX_PATH);
    if (!store) store.reset(CertOpenSystemStoreA(0, "MY"));
    line.options.certificateStore = store.get();

    HRESULT com = CoInitialize(nullptr);
    IProgressDialog* progress = CreateProgress(ownPath);
    DecodeStatus status;
    status.inputPath = ownPath;
    ExtractedFiles files;
    LONG result = DecodePayload(progress, &line.options, &status, line.folderGiven ? line.targetFolder.c_str() : nullptr,
                                files, templateSize);
    if (progress) {
        progress->SetAnimation(nullptr, 0);
        progress->StopProgressDialog();
        progress->Release();
    }
    if (SUCCEEDED(com)) CoUninitialize();

    bool opened = false;
    if (!line.extractOnly && result == 0 && status.readError == 0 && status.writeError == 0 && status.jobResult == 0)
        opened = OpenMarkedFiles(files);
    files.CloseAll();
    if (!opened) {
        Report report = BuildReport(status);
        MessageBoxA(nullptr, report.text.c_str(), ReportCaption(ownPath).c_str(), report.icon);
    }
    return 0;
}

}  // namespace quendrix
