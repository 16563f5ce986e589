// quill pack [options] FILE...: the packer's own run (compression, checks, deletion, self-decoding
// program) over pages filled from the command line, with console messages and progress.
#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "format/service/crypto_handles.h"
#include "format/service/resources.h"
#include "pack/messages.h"
#include "pack/pack_run.h"
#include "packer_ui/packer_window.h"
#include "packer_ui/recent_lists.h"
#include "tools/certificate_text.h"
#include "tools/commands.h"
#include "tools/console.h"
#include "tools/console_progress.h"
#include "tools/pack_options.h"

namespace {

constexpr UINT kAllPackedText = 546;
constexpr UINT kAlreadyCompressedText = 547;
const wchar_t kTemplateName[] = L"Quendrix.exe";

// The packer state with its pages and recent lists, destroyed on every path. The settings are
// never saved back; the recent lists are, as the packer window saves them when it closes.
class PackerState {
public:
    PackerState() { created_ = CreatePackerWindow(&window_) != FALSE; }
    ~PackerState() {
        FreeRecentFiles(window_.recentFiles);
        FreeRecentCertificates(window_.recentCertificates);
        if (created_) DestroyPackerWindow(&window_);
    }
    bool created() const { return created_; }
    PackerWindow& window() { return window_; }

    // The recovery certificates first: every envelope is made for them as well as for the
    // recipients named on the command line.
    void LoadRecovery() { LoadRecoveryCertificates(&window_); }
    // Only the recent lists: the remembered signers belong to the window.
    void LoadRecent() { LoadRecentLists(&window_); }
    BOOL SaveRecent() { return SaveRecentLists(&window_); }

private:
    PackerWindow window_{};
    bool created_ = false;
};

// Answers the run's boxes for a user who cannot be asked: nothing is overwritten, a file that
// cannot be packed is skipped and the run goes on, a certificate that fails its checks ends the
// run. Every box is printed; errors and refusals are counted for the exit status.
class PackMessages : public MessageSink {
public:
    PackMessages(std::vector<std::wstring> compressedQuestions, bool compressAnyway)
        : compressedQuestions_(std::move(compressedQuestions)), compressAnyway_(compressAnyway),
          allPackedText_(LoadText(kAllPackedText)) {}

    int Answer(HWND, const std::wstring& text, const std::wstring& caption, UINT style) override {
        bool formatQuestion = IsCompressedQuestion(text);
        int answer = formatQuestion ? (compressAnyway_ ? IDNO : IDYES) : Choose(style);
        std::wstring line = caption + L": " + text;
        while (!line.empty() && (line.back() == L'\r' || line.back() == L'\n' || line.back() == L' ')) line.pop_back();
        if ((style & MB_TYPEMASK) != MB_OK) line += std::wstring(L" [") + ButtonName(answer) + L"]";
        bool error = (style & MB_ICONMASK) == MB_ICONERROR;
        bool refused = !formatQuestion && (answer == IDNO || answer == IDCANCEL || answer == IDABORT);
        if (error || refused) {
            ++failures_;
            PrintError(line);
        } else {
            PrintLine(line);
        }
        if (text == allPackedText_) allPacked_ = true;
        return answer;
    }

    unsigned failures() const { return failures_; }
    bool allPacked() const { return allPacked_; }

private:
    bool IsCompressedQuestion(const std::wstring& text) const {
        for (const std::wstring& question : compressedQuestions_)
            if (text == question) return true;
        return false;
    }
    // Yes/No/Cancel questions offer another name or packing uncompressed: No skips just this file.
    static int Choose(UINT style) {
        UINT type = style & MB_TYPEMASK;
        if (type == MB_YESNOCANCEL || type == MB_YESNO) return IDNO;
        return SafeAnswer(style);
    }
    static const wchar_t* ButtonName(int answer) {
        switch (answer) {
            case IDYES: return L"Yes";
            case IDNO: return L"No";
            case IDCANCEL: return L"Cancel";
            case IDABORT: return L"Abort";
            default: return L"OK";
        }
    }

    std::vector<std::wstring> compressedQuestions_;
    bool compressAnyway_;
    std::wstring allPackedText_;
    unsigned failures_ = 0;
    bool allPacked_ = false;
};

// Installs a sink for the lifetime of the object.
class SinkScope {
public:
    explicit SinkScope(MessageSink* sink) : previous_(SetMessageSink(sink)) {}
    ~SinkScope() { SetMessageSink(previous_); }

private:
    MessageSink* previous_;
};

// Whether the certificate is one of the page's fixed (recovery) items.
bool IsFixedItem(const CVCertificateDlg* page, PCCERT_CONTEXT certificate) {
    for (DWORD i = 0; i < page->fixedCount; ++i)
        if (page->items[i] && page->CompareItems(page->items[i], certificate)) return true;
    return false;
}

bool AddCertificate(CVCertificateDlg* page, PCCERT_CONTEXT certificate) {
    // Replacing passes over the fixed items: a recovery certificate named again is a recipient already.
    if (IsFixedItem(page, certificate)) return true;
    PCCERT_CONTEXT owned = CertDuplicateCertificateContext(certificate);
    // Replacing drops a certificate named twice, which would otherwise get two entries.
    if (page->AddItem(const_cast<CERT_CONTEXT*>(owned), TRUE) < 0) {
        CertFreeCertificateContext(owned);
        return false;
    }
    return true;
}

bool AddRecipientFile(PackerWindow& window, const std::wstring& path) {
    StoreHandle store(CertOpenStore(CERT_STORE_PROV_FILENAME_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                    CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG, path.c_str()));
    if (!store) {
        Fail(L"cannot read certificates from " + path, GetLastError());
        return false;
    }
    int added = 0;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store.get(), nullptr); c;
         c = CertEnumCertificatesInStore(store.get(), c)) {
        if (AddCertificate(window.encryptionPage, c)) ++added;
    }
    if (added == 0) PrintError(L"quill: " + path + L" holds no certificate");
    return added > 0;
}

bool AddFromStore(CVCertificateDlg* page, HCERTSTORE my, const std::wstring& text) {
    CertHandle found = FindMyCertificateByText(my, text);
    if (!found) {
        PrintError(L"quill: no certificate in MY matches '" + text + L"'");
        return false;
    }
    return AddCertificate(page, found.get());
}

// Recipients and signers onto the pages; the run itself opens the signers' keys.
bool CollectCertificates(const PackOptions& options, PackerWindow& window, HCERTSTORE my) {
    for (const std::wstring& path : options.recipientFiles)
        if (!AddRecipientFile(window, path)) return false;
    for (const std::wstring& text : options.recipientTexts)
        if (!AddFromStore(window.encryptionPage, my, text)) return false;
    for (const std::wstring& text : options.signerTexts)
        if (!AddFromStore(window.signingPage, my, text)) return false;
    return true;
}

std::wstring FullPath(const std::wstring& path) {
    DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0) return path;
    std::vector<wchar_t> buffer(length + 1, L'\0');
    if (GetFullPathNameW(path.c_str(), length + 1, buffer.data(), nullptr) == 0) return path;
    return buffer.data();
}

std::wstring NamePart(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool IsFolder(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The files page holds what the run packs, as in the packer window.
bool AddFiles(const std::vector<std::wstring>& files, CVFilesDlg* page) {
    for (const std::wstring& file : files) {
        std::wstring path = FullPath(file);
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES || IsFolder(path)) {
            PrintError(L"quill: " + path + L" is no file to pack");
            return false;
        }
        wchar_t* item = CVFilesDlg::DuplicatePath(path.c_str());
        if (!item || page->AddItem(item, FALSE) < 0) {
            if (item) page->FreeItem(item);
            PrintError(L"quill: " + path + L" cannot go into the list (named twice?)");
            return false;
        }
    }
    return true;
}

// Files-page indices of the --open names: a name matches the file's name or its full path.
bool FindOpenIndices(const std::vector<std::wstring>& names, const CVFilesDlg* page, std::vector<DWORD>& indices) {
    for (const std::wstring& name : names) {
        std::wstring full = FullPath(name);
        bool found = false;
        for (DWORD i = 0; i < page->count && !found; ++i) {
            const wchar_t* path = page->PathAt(i);
            if (!path) continue;
            if (_wcsicmp(NamePart(path).c_str(), name.c_str()) == 0 || _wcsicmp(path, full.c_str()) == 0) {
                indices.push_back(i);
                found = true;
            }
        }
        if (!found) {
            PrintError(L"quill: --open " + name + L" names none of the files packed");
            return false;
        }
    }
    return true;
}

std::wstring TemplateBesideProgram() {
    std::vector<wchar_t> module(MAX_PATH);
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size()));
        if (length == 0) return kTemplateName;
        if (length < module.size()) {
            std::wstring path(module.data(), length);
            return path.substr(0, path.size() - NamePart(path).size()) + kTemplateName;
        }
        module.resize(module.size() * 2);
    }
}

// The 547 question as the run will word it for each file, so that only it gets the answer of
// --compress-anyway.
std::vector<std::wstring> CompressedFormatQuestions(const CVFilesDlg* page) {
    std::vector<std::wstring> questions;
    for (DWORD i = 0; i < page->count; ++i)
        if (page->PathAt(i)) questions.push_back(MessageBoxText(kAlreadyCompressedText, page->PathAt(i), 0));
    return questions;
}

int RunCommandPack(const PackOptions& options, PackerState& state) {
    PackerWindow& window = state.window();
    StoreHandle my = OpenMyStore();
    if (!my) return Fail(L"cannot open the certificate store MY", GetLastError());
    state.LoadRecovery();
    // The recovery certificates alone are recipients enough, as in the packer window.
    if (window.encryptionPage->fixedCount == 0 && options.recipientFiles.empty() && options.recipientTexts.empty() &&
        options.signerTexts.empty())
        return UsageError(L"pack needs a recipient (--to, --to-store, quill recovery) or a signer (--sign)");
    for (DWORD i = 0; i < window.encryptionPage->fixedCount; ++i)
        PrintLine(L"Recovery recipient: " + NameText(window.encryptionPage->CertificateAt(i)->pCertInfo->Subject));
    if (!CollectCertificates(options, window, my.get()) || !AddFiles(options.files, window.filesPage)) return 1;

    PackRunOptions run;
    run.openTargetFolder = false;
    run.saveDialogs = false;
    run.platformProgress = false;
    if (!options.outDir.empty()) {
        window.targetFolder = FullPath(options.outDir);
        if (!IsFolder(window.targetFolder)) return Fail(window.targetFolder, ERROR_DIRECTORY);
    }
    if (!options.sfxOutput.empty()) {
        run.selfDecodingOutput = FullPath(options.sfxOutput);
        // The program is made by copying the template over its name; an existing file stays.
        if (GetFileAttributesW(run.selfDecodingOutput.c_str()) != INVALID_FILE_ATTRIBUTES) {
            PrintError(L"quill: " + run.selfDecodingOutput + L" already exists");
            return 1;
        }
        run.selfDecodingTemplate = options.sfxTemplate.empty() ? TemplateBesideProgram() : FullPath(options.sfxTemplate);
        if (!FindOpenIndices(options.openNames, window.filesPage, run.openAfterUnpack)) return 2;
    }

    PackMessages messages(CompressedFormatQuestions(window.filesPage), options.compressAnyway);
    SinkScope scope(&messages);
    InstallConsoleCancelHandler();
    HANDLE errorOutput = GetStdHandle(STD_ERROR_HANDLE);
    DWORD consoleMode = 0;
    bool draw = options.progress || GetConsoleMode(errorOutput, &consoleMode) != 0;
    ConsoleProgress* progress = ConsoleProgress::Create(errorOutput, draw);
    run.progress = progress;
    state.LoadRecent();
    RunPack(&window, nullptr, FALSE, run);
    bool succeeded = messages.failures() == 0 && messages.allPacked();
    // The files are packed; recent lists that could not be kept are said, and fail the command.
    if (!state.SaveRecent()) {
        Fail(L"recent lists", GetLastError());
        succeeded = false;
    }
    // The run's own message told what stopped; this line says it was the user's Ctrl+C (one that
    // came after the last file leaves the run as it was).
    if (!succeeded && progress && progress->HasUserCancelled())
        PrintError(L"quill: cancelled by Ctrl+C: " + ErrorText(ERROR_CANCELLED));
    if (progress) progress->Release();
    return succeeded ? 0 : 1;
}

}  // namespace

int CommandPack(ArgumentReader& arguments) {
    PackOptions options;
    if (int status = ParsePackOptions(arguments, options)) return status;
    PackerState state;
    if (!state.created()) return Fail(L"cannot set up the packer", GetLastError());
    if (!ApplyPackOptions(options, *state.window().settingsPage)) return 2;
    return RunCommandPack(options, state);
}
