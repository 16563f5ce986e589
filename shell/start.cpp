// The rundll entry and the shell's pack commands: names from a command line or the shell's
// selection go to the unpack driver (packed files, in one batch) or into the packer.
#include <windows.h>
#include <ole2.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "format/command_line.h"
#include "format/service/crypto_handles.h"
#include "format/service/exception_boundary.h"
#include "pack/messages.h"
#include "pack/pack_run.h"
#include "packer_ui/certificate_sources.h"
#include "packer_ui/main_window.h"
#include "packer_ui/packer_window.h"
#include "packer_ui/recent_lists.h"
#include "shell/library.h"
#include "shell/shell_extension.h"
#include "unpack/decode_data.h"
#include "unpack/unpack_driver.h"

namespace {

// Lists a file for packing; the page drops names of files that do not exist.
void AddFileToPack(PackerWindow& window, const std::wstring& name) {
    wchar_t* item = CVFilesDlg::DuplicatePath(name.c_str());
    if (item && window.filesPage->AddItem(item, TRUE) < 0) window.filesPage->FreeItem(item);
}

// Sorts the command line's names: packed files into the list for the unpack driver, certificate
// files onto the encryption page (or, when none could be read from them, into the files to pack),
// every other file into the files to pack; the -dw switch is remembered.
std::vector<std::wstring> SortNames(PackerWindow& window, const std::wstring& line) {
    std::vector<std::wstring> envelopes;
    for (const std::wstring& name : command_line::Split(line)) {
        if (name.empty()) continue;
        if (command_line::IsWorkingDirectorySwitch(name)) {
            window.useWorkingDirectory = 1;
        } else if (command_line::ExtensionIs(name, ".pkcs7")) {
            envelopes.push_back(name);
        } else if (command_line::IsCertificateFileName(name) &&
                   LoadCertificateFile(window.encryptionPage, name.c_str()) > 0) {
            continue;
        } else {
            AddFileToPack(window, name);
        }
    }
    return envelopes;
}

// A window's pages are deleted on every way out, an exception's included.
class PackerWindowScope {
public:
    PackerWindowScope() { created_ = CreatePackerWindow(&window_) != FALSE; }
    ~PackerWindowScope() {
        if (created_) DestroyPackerWindow(&window_);
    }
    PackerWindowScope(const PackerWindowScope&) = delete;
    PackerWindowScope& operator=(const PackerWindowScope&) = delete;
    bool created() const { return created_; }
    PackerWindow& window() { return window_; }

private:
    PackerWindow window_;
    bool created_ = false;
};

// What a boundary caught is told as any other failure: in a message box with the system's text.
void ReportCaughtFailure(DWORD error) noexcept {
    LastErrorBoundary([error] { ShowMessageBox(nullptr, 0, MB_OK | MB_ICONERROR, nullptr, error); });
}

void RunStart(const wchar_t* commandLine) {
    PackerWindowScope scope;
    if (!scope.created()) return;
    PackerWindow& window = scope.window();
    bool openWindow = true;
    if (commandLine && commandLine[0]) {
        const std::vector<std::wstring> envelopes = SortNames(window, commandLine);
        // The block may be missing (no memory): the driver then finds no names and does nothing.
        DecodeData data(BuildDropFilesBlock(envelopes));
        UnpackSelection(&data, nullptr, 0, FALSE, window.useWorkingDirectory != 0);
        openWindow = envelopes.empty() || window.filesPage->count > 0;
    }
    if (openWindow) OpenPackerWindow(&window, nullptr);
}

}  // namespace

extern "C" void CALLBACK StartW(HWND, HINSTANCE, LPWSTR commandLine, int) {
    InterlockedIncrement(&LibraryObjectCount);
    OleInitialize(nullptr);
    if (!LastErrorBoundary([commandLine] { RunStart(commandLine); })) ReportCaughtFailure(GetLastError());
    OleUninitialize();
    InterlockedDecrement(&LibraryObjectCount);
}

int PackShellSelection(CQuillarentShell* shell, HWND ownerWindow, PCCERT_CONTEXT certificate, bool openWindow) {
    CertHandle ownedCertificate(certificate);  // the packer's once its page has taken it
    PackerWindowScope scope;
    if (!scope.created()) return 0;
    PackerWindow& window = scope.window();
    if (shell->selection) {
        FORMATETC format = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        StgMediumScope medium;
        if (SUCCEEDED(shell->selection->GetData(&format, &medium.medium))) {
            HDROP files = static_cast<HDROP>(medium.medium.hGlobal);
            const UINT total = DragQueryFileW(files, 0xFFFFFFFF, nullptr, 0);
            for (UINT i = 0; i < total; ++i) {
                const UINT length = DragQueryFileW(files, i, nullptr, 0);
                if (length == 0) continue;
                std::wstring name(length + 1, L'\0');
                DragQueryFileW(files, i, &name[0], length + 1);
                name.resize(length);
                wchar_t* item = CVFilesDlg::DuplicatePath(name.c_str());
                if (item && window.filesPage->AddItem(item, FALSE) < 0) window.filesPage->FreeItem(item);
            }
        }
        shell->selection->Release();
        shell->selection = nullptr;
    }
    // The window loads the recovery certificates when it starts; a pack without it needs them as
    // well, for every envelope is made for them.
    if (!openWindow) LoadRecoveryCertificates(&window);
    if (ownedCertificate &&
        window.encryptionPage->AddItem(const_cast<CERT_CONTEXT*>(ownedCertificate.get()), FALSE) >= 0)
        ownedCertificate.release();
    if (window.filesPage->count == 0) return 0;
    if (openWindow) return static_cast<int>(OpenPackerWindow(&window, ownerWindow));
    return RunPack(&window, ownerWindow, FALSE);
}

DWORD WINAPI PackShellSelectionThread(LPVOID argument) {
    auto* request = static_cast<ShellPackRequest*>(argument);
    HMODULE library = request->library;
    OleInitialize(nullptr);
    DWORD status = 0;
    if (!LastErrorBoundary([request] {
            PackShellSelection(request->shell, request->ownerWindow, request->certificate, true);
        })) {
        status = GetLastError();
        ReportCaughtFailure(status);
    }
    request->shell->Release();
    delete request;
    OleUninitialize();
    // The object is gone and with it, maybe, the last reason to keep the library: the thread
    // leaves through a call that does not return into it.
    FreeLibraryAndExitThread(library, status);
}
