// The pack run and the per-file job.
#include "pack/pack_run.h"

#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "format/gzip_member.h"
#include "format/service/crypto_handles.h"
#include "format/service/resources.h"
#include "pack/certificate_check.h"
#include "pack/envelope_writer.h"
#include "pack/messages.h"
#include "pack/parallel_deflate.h"
#include "pack/secure_delete.h"
#include "pack/self_decoding_builder.h"
#include "pack/source_stream.h"
#include "packer_ui/packer_window.h"
#include "packer_ui/recent_lists.h"
#include "unpack/recipient_key.h"

namespace {

constexpr UINT kPackedFilterText = 593;
constexpr UINT kNoFilesText = 516;
constexpr UINT kProviderFailedText = 518;
constexpr UINT kFolderTitleText = 521;
constexpr UINT kNoSignatureKeyText = 545;
constexpr UINT kNoSha2KeyText = 558;
constexpr UINT kNoCertificatesText = 507;
constexpr UINT kAllPackedText = 546;
constexpr UINT kUnreadableText = 508;
constexpr UINT kCannotCreateText = 512;
constexpr UINT kEncryptFailedText = 506;
constexpr UINT kAlreadyCompressedText = 547;
constexpr UINT kCannotCompressText = 548;
constexpr UINT kNoSpaceText = 559;
// What an envelope takes beyond its content (header, recipients, signers, padding), with room to spare.
constexpr ULONGLONG kEnvelopeOverhead = 1ULL << 20;

const wchar_t kPlainExtension[] = L".pkcs7";
const wchar_t kCompressedExtension[] = L".gz.pkcs7";

// Signers with the providers of their keys; the certificates stay the signing page's.
class SignerList {
public:
    SignerList() = default;
    SignerList(const SignerList&) = delete;
    SignerList& operator=(const SignerList&) = delete;
    ~SignerList() { Release(); }
    void Release() {
        for (SignerEntry& entry : entries) CryptReleaseContext(entry.provider, 0);
        entries.clear();
    }
    const SignerEntry* data() const { return entries.empty() ? nullptr : entries.data(); }
    DWORD size() const { return static_cast<DWORD>(entries.size()); }

    std::vector<SignerEntry> entries;
};

size_t NameStart(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? 0 : slash + 1;
}

std::wstring FileNamePart(const std::wstring& path) { return path.substr(NameStart(path)); }

// The folder of a path, or "." when it has none.
std::wstring FolderOf(const std::wstring& path) {
    size_t start = NameStart(path);
    return start == 0 ? std::wstring(L".") : path.substr(0, start - 1);
}

// Whether the volume of the output's folder has expected bytes free for the caller. A volume that
// does not tell is not refused: a full disk then fails the write and is cleaned up as any failure.
bool RoomForOutput(const std::wstring& outputPath, ULONGLONG expected) {
    ULARGE_INTEGER available = {};
    if (!GetDiskFreeSpaceExW(FolderOf(outputPath).c_str(), &available, nullptr, nullptr)) return true;
    return available.QuadPart >= expected;
}

bool HasItems(const CVListDlg* page) {
    for (DWORD i = 0; page && i < page->count; ++i)
        if (page->items[i]) return true;
    return false;
}

bool IsLetterOrDigit(wchar_t c) { return IsCharAlphaNumericW(c) != FALSE; }

int Ask(HWND owner, UINT textId, UINT style, const wchar_t* argument, DWORD error = 0) {
    return ShowMessageBox(owner, textId, style, argument, error);
}

// A question text built by the caller (certificate checks), caption 503, error icon, Yes/No.
bool AgreesTo(HWND owner, const std::wstring& question) {
    return ShowMessageBox(owner, 0, MB_ICONERROR | MB_YESNO, question.c_str(), 0) == IDYES;
}

bool AskTargetFolder(PackerWindow* window, HWND owner) {
    std::wstring title = LoadText(kFolderTitleText);
    BROWSEINFOW info = {};
    info.hwndOwner = owner;
    info.lpszTitle = title.c_str();
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_EDITBOX | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
    if (!chosen) return false;
    wchar_t path[MAX_PATH] = {};
    bool found = SHGetPathFromIDListW(chosen, path) != FALSE;
    CoTaskMemFree(chosen);
    if (found) window->targetFolder = path;
    return found;
}

bool ConfirmRecipients(const CVCertificateDlg* page, HWND owner) {
    for (DWORD i = 0; i < page->count; ++i) {
        PCCERT_CONTEXT certificate = page->CertificateAt(i);
        std::wstring question;
        if (certificate && CheckCertificate(certificate, FALSE, question) != 0 && !AgreesTo(owner, question))
            return false;
    }
    return true;
}

bool AcquireVerifyProvider(HCRYPTPROV* provider, const wchar_t* name, DWORD type) {
    return CryptAcquireContextW(provider, nullptr, name, type, CRYPT_VERIFYCONTEXT) != FALSE;
}

// The provider for the session key: the configured one, the type's default, then the RSA full
// type with settings it certainly offers. A provider lacking the configured algorithm (AES in the
// RSA full type) would only fail later at key generation; the RSA/AES type is taken for it instead.
bool AcquireRunProvider(CVSettingsDlg& settings, ProviderHandle& provider) {
    const wchar_t* name = settings.CryptCSPname.empty() ? nullptr : settings.CryptCSPname.c_str();
    if (!AcquireVerifyProvider(provider.put(), name, settings.CryptCSPtype) &&
        !AcquireVerifyProvider(provider.put(), nullptr, settings.CryptCSPtype)) {
        settings.CryptCSPtype = PROV_RSA_FULL;
        settings.EncryptKeyLength = 40;
        settings.EncryptAlgorithmID = CALG_RC2;
        if (!AcquireVerifyProvider(provider.put(), nullptr, PROV_RSA_FULL)) return false;
    }
    if (!ProviderSupportsAlgorithm(provider.get(), settings.EncryptAlgorithmID, 0)) {
        ProviderHandle aes;
        if (AcquireVerifyProvider(aes.put(), nullptr, PROV_RSA_AES)) provider = std::move(aes);
    }
    return true;
}

// Whether the provider computes the hash (the probe handle goes before the provider does).
bool ProviderHashes(HCRYPTPROV provider, ALG_ID hashAlgorithm) {
    HashHandle probe;
    return CryptCreateHash(provider, hashAlgorithm, 0, 0, probe.put()) != FALSE;
}

bool ProviderHoldsKey(HCRYPTPROV provider, DWORD keySpec) {
    KeyHandle key;
    return CryptGetUserKey(provider, keySpec, key.put()) != FALSE;
}

// A key kept by a provider that lacks the signing hash (SHA-2 in the RSA full type) is opened again
// under the same container name in the system's RSA AES provider, which shares the key store and
// offers every SHA-2 hash. False when neither provider can sign with a SHA-2 hash; any other hash
// the key's provider lacks is left to the writer, which reports it.
bool OpenKeyForHash(SignerEntry& entry, ALG_ID hashAlgorithm) {
    const bool sha2 = hashAlgorithm == CALG_SHA_256 || hashAlgorithm == CALG_SHA_384 || hashAlgorithm == CALG_SHA_512;
    if (!sha2 || ProviderHashes(entry.provider, hashAlgorithm)) return true;
    char container[MAX_PATH] = {};
    DWORD size = sizeof container;
    if (!CryptGetProvParam(entry.provider, PP_CONTAINER, reinterpret_cast<BYTE*>(container), &size, 0)) return false;
    DWORD keysetType = 0;
    size = sizeof keysetType;
    DWORD flags = CRYPT_SILENT;
    if (CryptGetProvParam(entry.provider, PP_KEYSET_TYPE, reinterpret_cast<BYTE*>(&keysetType), &size, 0) &&
        (keysetType & CRYPT_MACHINE_KEYSET))
        flags |= CRYPT_MACHINE_KEYSET;
    HCRYPTPROV aes = 0;
    if (!CryptAcquireContextA(&aes, container, nullptr, PROV_RSA_AES, flags)) return false;
    if (!ProviderHoldsKey(aes, entry.keySpec) || !ProviderHashes(aes, hashAlgorithm)) {
        CryptReleaseContext(aes, 0);
        return false;
    }
    CryptReleaseContext(entry.provider, 0);
    entry.provider = aes;
    return true;
}

// The signing page's certificates with their private keys. A certificate without a usable key
// may be left out (545 asks "do not use it?"); one that fails the checks may be used all the
// same (the check's question asks "do you want to use it?"). Any other answer ends the run.
bool AcquireSigners(const PackerWindow* window, HWND owner, SignerList& signers) {
    const CVCertificateDlg* page = window->signingPage;
    for (DWORD i = 0; page && i < page->count; ++i) {
        PCCERT_CONTEXT certificate = page->CertificateAt(i);
        if (!certificate) continue;
        SignerEntry entry;
        entry.certificate = certificate;
        if (!AcquireCertificateKey(certificate, &entry.provider, &entry.keySpec)) {
            if (AgreesTo(owner, DescribeCertificate(certificate) + LoadText(kNoSignatureKeyText))) continue;
            return false;
        }
        if (!OpenKeyForHash(entry, window->settingsPage->HashAlgorithmID)) {
            CryptReleaseContext(entry.provider, 0);
            ShowMessageBox(owner, 0, MB_ICONERROR | MB_OK,
                           (DescribeCertificate(certificate) + LoadText(kNoSha2KeyText)).c_str(), 0);
            return false;
        }
        std::wstring question;
        if (window->settingsPage->VerifyCertificates && CheckCertificate(certificate, TRUE, question) != 0 &&
            !AgreesTo(owner, question)) {
            CryptReleaseContext(entry.provider, 0);
            return false;
        }
        signers.entries.push_back(entry);
    }
    return true;
}

// The popup of the window's menu that holds the recent list with this base id (null if none).
HMENU FindRecentSubmenu(HMENU menu, UINT baseId) {
    int items = menu ? GetMenuItemCount(menu) : 0;
    for (int i = 0; i < items; ++i) {
        UINT id = GetMenuItemID(menu, i);
        if (id >= baseId && id < baseId + 1000) return menu;
        if (HMENU found = FindRecentSubmenu(GetSubMenu(menu, i), baseId)) return found;
    }
    return nullptr;
}

void UpdateRecentLists(PackerWindow* window) {
    HMENU menu = window->window ? GetMenu(window->window) : nullptr;
    DWORD capacity = window->settingsPage->RecentItemsCount;
    const CVFilesDlg* files = window->filesPage;
    UpdateRecentFiles(window->recentFiles, files->items, files->count,
                      FindRecentSubmenu(menu, kRecentFilesBaseId), capacity);
    // Every recipient of the run, the recovery certificates included: they were used as much as
    // the ones the user chose.
    const CVCertificateDlg* recipients = window->encryptionPage;
    if (recipients && recipients->count > 0)
        UpdateRecentCertificates(window->recentCertificates, recipients->items, recipients->count,
                                 FindRecentSubmenu(menu, kRecentCertificatesBaseId), capacity);
}

void FlushPages(PackerWindow* window) {
    window->filesPage->FlushItems();
    if (window->encryptionPage) window->encryptionPage->FlushItems();
    if (window->signingPage) window->signingPage->FlushItems();
    window->settingsPage->ReadSettingsPage();
}

// ---- the per-file job ----

enum class Outcome { kDone, kSkipped, kEndRun };

struct PackContext {
    PackerWindow* window;
    CVSettingsDlg& settings;
    HCRYPTPROV provider;
    const SignerEntry* signers;
    DWORD signerCount;
    HWND owner;
    const PackRunOptions& options;
    std::wstring leftTemporary;  // kept for secure deletion before the next file
};

HCRYPTPROV RandomProvider(HCRYPTPROV provider, const SignerEntry* signers, DWORD signerCount) {
    if (provider) return provider;
    return signerCount ? signers[0].provider : 0;
}

void RemoveLeftTemporary(PackContext& context) {
    if (context.leftTemporary.empty()) return;
    // One that cannot be overwritten (on a network share) is still deleted: it holds the content.
    if (!SecureDeleteFile(context.leftTemporary.c_str(),
                          RandomProvider(context.provider, context.signers, context.signerCount),
                          context.settings.OverwritePasses))
        DeleteFileW(context.leftTemporary.c_str());
    context.leftTemporary.clear();
}

Outcome AskAfterUnreadable(HWND owner, const wchar_t* path) {
    return Ask(owner, kUnreadableText, MB_ICONERROR | MB_OKCANCEL, path) == IDCANCEL ? Outcome::kEndRun
                                                                                        : Outcome::kSkipped;
}

// While compressing into the temporary file only the run's own progress display can be asked
// about cancel: the platform dialog comes up with the envelope.
std::function<bool()> CancelQuery(const PackRunOptions& options) {
    IProgressDialog* progress = options.platformProgress ? nullptr : options.progress;
    if (!progress) return nullptr;
    return [progress] { return progress->HasUserCancelled() != FALSE; };
}

bool Rewind(HANDLE file) { return SetFilePointer(file, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER; }

int CompressionLevel(const CVSettingsDlg& settings) {
    const int level = static_cast<int>(settings.GzCompressionLevel);
    return level < 1 || level > 9 ? 9 : level;
}

// The largest gzip member a source of this size gives on several threads.
uint64_t GzipBound(uint64_t size) { return gzip::kHeaderSize + parallel_deflate::OutputBound(size) + gzip::kTrailerSize; }

// On several threads the source is deflated while the envelope is written, so that the cipher
// works beside the compressing threads; that needs lengths the envelope can settle at its end.
bool StreamsCompression(const PackContext& context, HANDLE source) {
    LARGE_INTEGER size = {};
    return CompressionThreadCount(context.settings) > 1 && GetFileSizeEx(source, &size) &&
           EnvelopeLengthsMayComeLast(*context.window, context.signerCount);
}

// Gzips the source into a temporary file in its folder (kCompressed: temporary holds the gzip
// file, rewound), says it is deflated while the envelope is written (kStreamed), or says to pack
// the source as it is, to skip it or to end the run.
enum class Compression { kCompressed, kStreamed, kAsIs, kSkip, kEndRun };

Compression CompressSource(PackContext& context, const wchar_t* sourcePath, HANDLE source, FileHandle& temporary) {
    if (IsCompressedFormat(context.settings.CompressedFiles, sourcePath)) {
        int answer = Ask(context.owner, kAlreadyCompressedText, MB_ICONQUESTION | MB_YESNOCANCEL, sourcePath);
        if (answer == IDCANCEL) return Compression::kEndRun;
        if (answer == IDYES) return Compression::kAsIs;
    }
    if (StreamsCompression(context, source)) return Compression::kStreamed;
    bool safe = context.settings.DeleteSafelyFiles != 0;
    bool compressed = false;
    bool cancelled = false;
    wchar_t name[MAX_PATH] = {};
    if (GetTempFileNameW(FolderOf(sourcePath).c_str(), L"gz", 0, name)) {
        DWORD flags = FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN |
                      (safe ? 0 : FILE_FLAG_DELETE_ON_CLOSE);
        temporary.reset(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, flags, nullptr));
        if (!temporary) {
            DeleteFileW(name);  // GetTempFileNameW made it empty; nothing else would remove it
        } else {
            if (safe) context.leftTemporary = name;
            int result = CompressFileToGzip(source, temporary.get(), CompressionLevel(context.settings),
                                            CompressionThreadCount(context.settings),
                                            CancelQuery(context.options));
            cancelled = result == -1 && GetLastError() == ERROR_CANCELLED;
            compressed = result == 0 && SetEndOfFile(temporary.get()) && Rewind(temporary.get());
        }
    }
    if (compressed) return Compression::kCompressed;
    temporary.reset();
    if (cancelled) {
        Ask(context.owner, kEncryptFailedText, MB_ICONERROR | MB_OK, sourcePath, ERROR_CANCELLED);
        return Compression::kEndRun;
    }
    int answer = Ask(context.owner, kCannotCompressText, MB_ICONQUESTION | MB_YESNOCANCEL, sourcePath);
    if (answer == IDCANCEL) return Compression::kEndRun;
    if (answer == IDNO) return Compression::kSkip;
    return Rewind(source) ? Compression::kAsIs : Compression::kSkip;
}

bool AskOutputName(HWND owner, std::wstring& path, const std::wstring& suffix) {
    std::wstring folder = SaveDialogFolder(path);
    std::vector<wchar_t> buffer(path.size() + MAX_PATH + 1, L'\0');
    std::wstring fileName = FileNamePart(path);
    fileName.copy(buffer.data(), fileName.size());
    std::wstring filter = LoadText(kPackedFilterText) + L" (*" + suffix + L")";
    filter += L'\0';
    filter += L"*" + suffix;
    filter += L'\0';

    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = filter.c_str();  // the string's own terminator ends the list
    dialog.lpstrFile = buffer.data();
    dialog.nMaxFile = static_cast<DWORD>(buffer.size());
    dialog.lpstrInitialDir = folder.c_str();
    dialog.Flags = OFN_EXPLORER | OFN_NOREADONLYRETURN | OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY;
    if (!GetSaveFileNameW(&dialog)) return false;
    path = buffer.data();
    return true;
}

// Creates the output without ever overwriting an existing file silently; 512 offers another name.
Outcome CreateOutput(HWND owner, bool saveDialog, std::wstring& path, FileHandle& output) {
    const std::wstring suffix = NameSuffix(path);
    DWORD disposition = CREATE_NEW;
    for (;;) {
        output.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (output) return Outcome::kDone;
        int answer = Ask(owner, kCannotCreateText, MB_ICONERROR | MB_YESNOCANCEL, path.c_str(), GetLastError());
        if (answer == IDNO || (answer == IDYES && !saveDialog)) return Outcome::kSkipped;
        if (answer != IDYES || !AskOutputName(owner, path, suffix)) return Outcome::kEndRun;
        disposition = ApplyNameSuffix(path, suffix);
    }
}

struct WriteOutcome {
    BOOL written = FALSE;
    bool cancelled = false;
    DWORD error = 0;
};

// A gzip member over a compressing source stream: the header, then the stream's raw deflate
// bytes and its CRC-32 and size, which are the gzip trailer.
class GzipMemberStream : public ISequentialStream {
public:
    explicit GzipMemberStream(ISequentialStream& body) : body_(body) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOTIMPL; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 0; }
    ULONG STDMETHODCALLTYPE Release() override { return 0; }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG wanted, ULONG* got) override {
        BYTE* out = static_cast<BYTE*>(buffer);
        const ULONG header = static_cast<ULONG>(std::min<size_t>(wanted, gzip::kHeaderSize - headerSent_));
        std::copy(gzip::kHeader + headerSent_, gzip::kHeader + headerSent_ + header, out);
        headerSent_ += header;
        ULONG read = 0;
        HRESULT hr = header < wanted ? body_.Read(out + header, wanted - header, &read) : S_OK;
        if (got) *got = header + read;
        return hr;
    }

private:
    ISequentialStream& body_;
    size_t headerSent_ = 0;
};

WriteOutcome WriteOne(PackContext& context, SourceFile& file, HANDLE output, const std::wstring& outputPath,
                      bool streamed) {
    WriteOutcome outcome;
    const unsigned threads = streamed ? CompressionThreadCount(context.settings) : 1;
    std::unique_ptr<CSourceFileStream> stream(CreateSourceStream(&file, 1, outputPath.c_str(), streamed, context.owner,
                                                                 context.options, threads,
                                                                 CompressionLevel(context.settings)));
    if (!stream) {
        outcome.error = ERROR_NOT_ENOUGH_MEMORY;
        return outcome;
    }
    if (streamed) {
        GzipMemberStream member(*stream);
        outcome.written = WriteEnvelopeOfUnknownLength(output, &member, GzipBound(file.size),
                                                       context.signers, context.signerCount, context.window,
                                                       context.provider);
    } else {
        outcome.written = WriteEnvelope(output, stream.get(), file.size, context.signers, context.signerCount,
                                        context.window, context.provider);
    }
    outcome.error = GetLastError();
    outcome.cancelled = stream->Cancelled();
    return outcome;
}

Outcome PackOneFile(PackContext& context, DWORD index) {
    const wchar_t* sourcePath = context.window->filesPage->PathAt(index);
    FileHandle source(CreateFileW(sourcePath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!source) return AskAfterUnreadable(context.owner, sourcePath);

    FileHandle temporary;
    bool compressed = false;
    bool streamed = false;
    if (context.settings.CompressFiles) {
        switch (CompressSource(context, sourcePath, source.get(), temporary)) {
        case Compression::kEndRun: return Outcome::kEndRun;
        case Compression::kSkip: return Outcome::kSkipped;
        case Compression::kAsIs: break;
        case Compression::kStreamed: streamed = true; break;
        case Compression::kCompressed:
            compressed = true;
            source.reset();
            break;
        }
    }
    HANDLE input = compressed ? temporary.get() : source.get();
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(input, &size)) return AskAfterUnreadable(context.owner, sourcePath);

    std::wstring outputPath = PackedOutputName(context.window, sourcePath, compressed || streamed);
    // Checked before the output exists, so a refusal leaves nothing behind. A stream deflated while
    // it is written has no size yet: only the envelope's own bytes are asked for.
    if (!RoomForOutput(outputPath, (streamed ? 0 : static_cast<ULONGLONG>(size.QuadPart)) + kEnvelopeOverhead)) {
        Ask(context.owner, kNoSpaceText, MB_ICONERROR | MB_OK, sourcePath);
        return Outcome::kSkipped;
    }
    FileHandle output;
    Outcome created = CreateOutput(context.owner, context.options.saveDialogs, outputPath, output);
    if (created != Outcome::kDone) return created;

    SourceFile file;
    file.path = sourcePath;
    file.handle = input;
    file.size = static_cast<uint64_t>(size.QuadPart);
    WriteOutcome outcome = WriteOne(context, file, output.get(), outputPath, streamed);
    source.reset();
    temporary.reset();
    output.reset();
    if (!outcome.written || outcome.cancelled) {
        // A cancelled envelope is incomplete, and so is a failed one: neither may pass for a real one.
        DeleteFileW(outputPath.c_str());
        Ask(context.owner, kEncryptFailedText, MB_ICONERROR | MB_OK, sourcePath,
            outcome.cancelled ? ERROR_CANCELLED : outcome.error);
        return Outcome::kEndRun;
    }
    TreatPackedSource(context.window, index, context.provider, context.signers, context.signerCount);
    return Outcome::kDone;
}

}  // namespace

bool IsCompressedFormat(const std::wstring& list, const wchar_t* fileName) {
    std::wstring name = FileNamePart(fileName ? fileName : L"");
    size_t dot = name.rfind(L'.');
    if (list.empty() || dot == std::wstring::npos || dot + 1 == name.size()) return false;
    std::wstring extension = name.substr(dot + 1);
    CharUpperBuffW(&extension[0], static_cast<DWORD>(extension.size()));
    for (size_t at = list.find(extension); at != std::wstring::npos; at = list.find(extension, at + 1)) {
        size_t end = at + extension.size();
        bool joinedBefore = at > 0 && IsLetterOrDigit(list[at - 1]);
        bool joinedAfter = end < list.size() && IsLetterOrDigit(list[end]);
        if (!joinedBefore && !joinedAfter) return true;
    }
    return false;
}

std::wstring PackedOutputName(const PackerWindow* window, const wchar_t* sourcePath, bool compressed) {
    const wchar_t* extension = compressed ? kCompressedExtension : kPlainExtension;
    std::wstring source = sourcePath;
    if (!window->targetFolder.empty()) {
        std::wstring folder = window->targetFolder;
        if (folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
        return folder + FileNamePart(source) + extension;
    }
    if (window->useWorkingDirectory) return FileNamePart(source) + extension;
    return source + extension;
}

std::wstring NameSuffix(const std::wstring& path) {
    size_t dot = path.find(L'.', NameStart(path));
    return dot == std::wstring::npos ? std::wstring() : path.substr(dot);
}

std::wstring SaveDialogFolder(const std::wstring& path) {
    if (size_t start = NameStart(path)) return path.substr(0, start - 1);
    DWORD length = GetCurrentDirectoryW(0, nullptr);
    std::wstring current(length, L'\0');
    length = length ? GetCurrentDirectoryW(length, &current[0]) : 0;
    current.resize(length);
    return current;
}

DWORD ApplyNameSuffix(std::wstring& chosen, const std::wstring& suffix) {
    size_t dot = chosen.find(L'.', NameStart(chosen));
    if (dot == std::wstring::npos) {
        chosen += suffix;
        return CREATE_NEW;
    }
    // Compared exactly: another spelling is given the suffix as proposed and created as a new file.
    if (chosen.compare(dot, std::wstring::npos, suffix) == 0) return CREATE_ALWAYS;
    chosen.replace(dot, std::wstring::npos, suffix);
    return CREATE_NEW;
}

bool FitsInProgram(ULONGLONG size) { return size <= 0xFFFFFFFFull; }

CSourceFileStream* CreateSourceStream(SourceFile* files, DWORD count, const wchar_t* targetText, bool compress,
                                      HWND ownerWindow, const PackRunOptions& options, unsigned threads,
                                      int level) {
    if (options.platformProgress)
        return new (std::nothrow) CSourceFileStream(files, count, targetText, compress, ownerWindow, threads, level);
    return new (std::nothrow)
        CSourceFileStream(files, count, targetText, compress, ownerWindow, options.progress, threads, level);
}

unsigned CompressionThreadCount(const CVSettingsDlg& settings) {
    SYSTEM_INFO system = {};
    GetSystemInfo(&system);
    return parallel_deflate::ThreadCount(settings.CompressionThreads, system.dwNumberOfProcessors);
}

void TreatPackedSource(PackerWindow* window, DWORD index, HCRYPTPROV provider, const SignerEntry* signers,
                       DWORD signerCount) {
    CVFilesDlg* page = window->filesPage;
    const wchar_t* path = page->PathAt(index);
    if (!path) return;
    const CVSettingsDlg& settings = *window->settingsPage;
    if (settings.DeleteSafelyFiles)
        SecureDeleteFile(path, RandomProvider(provider, signers, signerCount), settings.OverwritePasses);
    else if (settings.DeleteFiles)
        DeleteFileW(path);
    if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) return;
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return;
    // With the page open the item belongs to its row; the flushed slot must not keep it.
    void* item = page->items[index];
    if (page->RemoveItem(item, FALSE)) page->items[index] = nullptr;
}

BOOL PackFiles(PackerWindow* window, HCRYPTPROV provider, const SignerEntry* signers, DWORD signerCount,
               HWND ownerWindow, const PackRunOptions& options) {
    PackContext context{window, *window->settingsPage, provider, signers, signerCount, ownerWindow, options, {}};
    BOOL result = FALSE;
    CVFilesDlg* page = window->filesPage;
    for (DWORD i = 0; i < page->count; ++i) {
        if (!page->PathAt(i)) continue;
        RemoveLeftTemporary(context);
        Outcome outcome = PackOneFile(context, i);
        if (outcome == Outcome::kEndRun) {
            result = FALSE;
            break;
        }
        if (outcome == Outcome::kDone) result = TRUE;
    }
    RemoveLeftTemporary(context);
    return result;
}

BOOL RunPack(PackerWindow* window, HWND ownerWindow, BOOL askFolder) {
    return RunPack(window, ownerWindow, askFolder, PackRunOptions());
}

BOOL RunPack(PackerWindow* window, HWND ownerWindow, BOOL askFolder, const PackRunOptions& options) {
    if (!window || !window->settingsPage || !window->filesPage) return FALSE;
    FlushPages(window);
    CVSettingsDlg& settings = *window->settingsPage;
    if (!HasItems(window->filesPage)) {
        Ask(ownerWindow, kNoFilesText, MB_ICONERROR | MB_OK, nullptr);
        return FALSE;
    }
    if (askFolder && !settings.CreateSelfdecodedFile && !AskTargetFolder(window, ownerWindow) &&
        window->targetFolder.empty())
        return FALSE;

    BOOL result = FALSE;
    {
        ProviderHandle provider;
        bool hasRecipients = HasItems(window->encryptionPage);
        if (hasRecipients) {
            if (settings.VerifyCertificates && !ConfirmRecipients(window->encryptionPage, ownerWindow)) return FALSE;
            if (!AcquireRunProvider(settings, provider)) {
                Ask(ownerWindow, kProviderFailedText, MB_ICONERROR | MB_OK, nullptr);
                return FALSE;
            }
        }
        SignerList signers;
        if (!AcquireSigners(window, ownerWindow, signers)) return FALSE;
        if (!hasRecipients && signers.size() == 0) {
            Ask(ownerWindow, kNoCertificatesText, MB_ICONERROR | MB_OK, nullptr);
            return FALSE;
        }
        if (settings.CreateSelfdecodedFile)
            result = BuildSelfDecodingFile(window, provider.get(), signers.data(), signers.size(), ownerWindow,
                                           options);
        else
            result = PackFiles(window, provider.get(), signers.data(), signers.size(), ownerWindow, options);
    }

    if (!window->targetFolder.empty()) {
        if (options.openTargetFolder)
            ShellExecuteW(ownerWindow, nullptr, window->targetFolder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        window->targetFolder.clear();
    }
    UpdateRecentLists(window);
    if (result) Ask(ownerWindow, kAllPackedText, MB_ICONINFORMATION | MB_OK, nullptr);
    return settings.CloseProgram ? result : FALSE;
}
