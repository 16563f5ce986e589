// quill pack [options] FILE...: one envelope per file, next to it or in --out-dir.
#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "format/service/crypto_handles.h"
#include "pack/envelope_writer.h"
#include "packer_ui/packer_window.h"
#include "tools/certificate_text.h"
#include "tools/commands.h"
#include "tools/console.h"
#include "tools/file_stream.h"
#include "tools/pack_options.h"
#include "unpack/recipient_key.h"

namespace {

// The packer state with its pages, destroyed on every path; the settings are never saved back.
class PackerState {
public:
    PackerState() { created_ = CreatePackerWindow(&window_) != FALSE; }
    ~PackerState() {
        if (created_) DestroyPackerWindow(&window_);
    }
    bool created() const { return created_; }
    PackerWindow& window() { return window_; }

private:
    PackerWindow window_{};
    bool created_ = false;
};

// Signers with the providers of their keys, released together.
class SignerList {
public:
    ~SignerList() {
        for (SignerEntry& s : entries_) {
            if (s.provider) CryptReleaseContext(s.provider, 0);
            if (s.certificate) CertFreeCertificateContext(s.certificate);
        }
    }
    std::vector<SignerEntry>& entries() { return entries_; }

private:
    std::vector<SignerEntry> entries_;
};

bool AddRecipient(PackerWindow& window, PCCERT_CONTEXT certificate) {
    PCCERT_CONTEXT owned = CertDuplicateCertificateContext(certificate);
    // Replacing drops a certificate named twice, which would otherwise get two recipient entries.
    if (window.encryptionPage->AddItem(const_cast<CERT_CONTEXT*>(owned), TRUE) < 0) {
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
        if (AddRecipient(window, c)) ++added;
    }
    if (added == 0) PrintError(L"quill: " + path + L" holds no certificate");
    return added > 0;
}

bool CollectRecipients(const PackOptions& options, PackerWindow& window, HCERTSTORE my) {
    for (const std::wstring& path : options.recipientFiles)
        if (!AddRecipientFile(window, path)) return false;
    for (const std::wstring& text : options.recipientTexts) {
        CertHandle found = FindMyCertificateByText(my, text);
        if (!found) {
            PrintError(L"quill: no certificate in MY matches '" + text + L"'");
            return false;
        }
        if (!AddRecipient(window, found.get())) return false;
    }
    return true;
}

bool CollectSigners(const PackOptions& options, HCERTSTORE my, SignerList& signers) {
    for (const std::wstring& text : options.signerTexts) {
        CertHandle found = FindMyCertificateByText(my, text);
        if (!found) {
            PrintError(L"quill: no certificate in MY matches '" + text + L"'");
            return false;
        }
        SignerEntry entry;
        if (!AcquireCertificateKey(found.get(), &entry.provider, &entry.keySpec)) {
            Fail(L"the private key of '" + NameText(found.get()->pCertInfo->Subject) + L"' cannot be opened",
                 GetLastError());
            return false;
        }
        entry.certificate = found.release();
        signers.entries().push_back(entry);
    }
    return true;
}

bool ProviderHasAlgorithm(HCRYPTPROV provider, DWORD algorithm) {
    PROV_ENUMALGS_EX record{};
    DWORD flags = CRYPT_FIRST;
    for (;;) {
        DWORD size = sizeof(record);
        if (!CryptGetProvParam(provider, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&record), &size, flags)) return false;
        if (record.aiAlgid == algorithm) return true;
        flags = 0;
    }
}

// The configured provider, or the RSA/AES provider when the configured one lacks the algorithm
// (AES with the full RSA provider).
bool AcquirePackProvider(CVSettingsDlg& settings, ProviderHandle& provider) {
    const wchar_t* name = settings.CryptCSPname.empty() ? nullptr : settings.CryptCSPname.c_str();
    bool acquired = CryptAcquireContextW(provider.put(), nullptr, name, settings.CryptCSPtype, CRYPT_VERIFYCONTEXT);
    if (acquired && ProviderHasAlgorithm(provider.get(), settings.EncryptAlgorithmID)) return true;
    if (settings.CryptCSPtype != PROV_RSA_AES || name) {
        ProviderHandle other;
        if (CryptAcquireContextW(other.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
            ProviderHasAlgorithm(other.get(), settings.EncryptAlgorithmID)) {
            settings.CryptCSPtype = PROV_RSA_AES;
            settings.CryptCSPname.clear();
            provider = std::move(other);
            return true;
        }
    }
    if (!acquired) return Fail(L"cannot open the cryptographic provider", GetLastError()) == 0;
    PrintError(L"quill: no installed provider offers the chosen algorithm");
    return false;
}

std::wstring FullPath(const std::wstring& path) {
    DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0) return path;
    std::vector<wchar_t> buffer(length);
    GetFullPathNameW(path.c_str(), length, buffer.data(), nullptr);
    return buffer.data();
}

std::wstring OutputPath(const std::wstring& source, const std::wstring& outDir) {
    if (outDir.empty()) return source + L".pkcs7";
    size_t slash = source.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? source : source.substr(slash + 1);
    std::wstring dir = outDir;
    if (dir.back() != L'\\' && dir.back() != L'/') dir += L'\\';
    return dir + name + L".pkcs7";
}

// One file into its envelope; a failed output is deleted, an existing one is never touched.
bool PackOneFile(const std::wstring& source, const std::wstring& output, PackerWindow& window,
                 std::vector<SignerEntry>& signers, HCRYPTPROV provider) {
    FileHandle input(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!input) return Fail(L"cannot open " + source, GetLastError()) == 0;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(input.get(), &size)) return Fail(L"cannot size " + source, GetLastError()) == 0;
    if (size.QuadPart > 0xFFFFFFFFll) {
        PrintError(L"quill: " + source + L" is larger than 4 GiB, which an envelope cannot hold");
        return false;
    }
    FileHandle out(CreateFileW(output.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
            PrintError(L"quill: " + output + L" already exists");
            return false;
        }
        return Fail(L"cannot create " + output, error) == 0;
    }
    FileReadStream stream(input.get(), static_cast<DWORD>(size.QuadPart));
    BOOL written = WriteEnvelope(out.get(), &stream, static_cast<DWORD>(size.QuadPart),
                                 signers.empty() ? nullptr : signers.data(), static_cast<DWORD>(signers.size()),
                                 &window, provider);
    DWORD error = GetLastError();
    out.reset();
    if (!written) {
        DeleteFileW(output.c_str());
        return Fail(L"cannot pack " + source, error) == 0;
    }
    PrintLine(L"packed: " + output);
    return true;
}

}  // namespace

int CommandPack(ArgumentReader& arguments) {
    PackOptions options;
    if (int status = ParsePackOptions(arguments, options)) return status;
    PackerState state;
    if (!state.created()) return Fail(L"cannot set up the packer", GetLastError());
    PackerWindow& window = state.window();
    if (!ApplyPackOptions(options, *window.settingsPage)) return 2;
    StoreHandle my = OpenMyStore();
    if (!my) return Fail(L"cannot open the certificate store MY", GetLastError());
    SignerList signers;
    if (!CollectRecipients(options, window, my.get()) || !CollectSigners(options, my.get(), signers)) return 1;
    bool hasRecipients = !options.recipientFiles.empty() || !options.recipientTexts.empty();
    ProviderHandle provider;
    if (hasRecipients && !AcquirePackProvider(*window.settingsPage, provider)) return 1;
    int failures = 0;
    for (const std::wstring& file : options.files) {
        std::wstring source = FullPath(file);
        // The files page holds what the run packs, as in the packer window.
        wchar_t* item = CVFilesDlg::DuplicatePath(source.c_str());
        if (item && window.filesPage->AddItem(item, FALSE) < 0) window.filesPage->FreeItem(item);
        std::wstring outDir = options.outDir.empty() ? std::wstring() : FullPath(options.outDir);
        if (!PackOneFile(source, OutputPath(source, outDir), window, signers.entries(), provider.get())) ++failures;
    }
    return failures == 0 ? 0 : 1;
}
