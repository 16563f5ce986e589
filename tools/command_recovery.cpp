// quill recovery: the recovery certificates, recipients that every pack run adds to the ones the
// user names (HKEY_CURRENT_USER "Software\Orbelin\Quillarent\RecoveryCerts"). The packer only
// reads the list; this command is how a user sees and keeps it.
//   quill recovery [list]        the certificates in the order the packer reads them
//   quill recovery add FILE...   every certificate of the files, each once
//   quill recovery remove WHICH  by its number in the list, its SHA-1 or a part of its subject
//   quill recovery clear         the whole list
#include <windows.h>
#include <wincrypt.h>

#include <cwctype>
#include <string>
#include <vector>

#include "format/service/crypto_handles.h"
#include "packer_ui/recent_lists.h"
#include "tools/certificate_text.h"
#include "tools/commands.h"
#include "tools/console.h"

namespace {

// The list as the packer reads it, owning its certificate contexts.
class RecoveryList {
public:
    RecoveryList() = default;
    RecoveryList(const RecoveryList&) = delete;
    RecoveryList& operator=(const RecoveryList&) = delete;
    ~RecoveryList() {
        for (PCCERT_CONTEXT certificate : certificates_)
            if (certificate) CertFreeCertificateContext(certificate);
    }

    // Values that hold no certificate are passed over, and a certificate listed twice counts once,
    // as the packer takes them.
    void Load() {
        PCCERT_CONTEXT* loaded = nullptr;
        DWORD count = 0;
        if (LoadCertificateList(loaded, count, kRecoveryCertsKey)) {
            for (DWORD i = 0; i < count; ++i) {
                if (Contains(loaded[i]))
                    CertFreeCertificateContext(loaded[i]);
                else
                    certificates_.push_back(loaded[i]);
            }
        }
        delete[] loaded;
    }

    // Replaces the registry list with this one, in the packer's record format ("cert%d", numbered
    // from 0). An empty list leaves no key. The contexts go with the save. 0 with the error as last
    // error when the list could not be written whole.
    BOOL Save() {
        const BOOL deleted = DeleteListKey(kRecoveryCertsKey);
        const DWORD deleteError = GetLastError();
        const BOOL saved = SaveCertificateList(certificates_.data(), static_cast<DWORD>(certificates_.size()),
                                               kRecoveryCertsKey, FALSE);
        certificates_.clear();
        if (!deleted) SetLastError(deleteError);
        return deleted && saved;
    }

    const std::vector<PCCERT_CONTEXT>& certificates() const { return certificates_; }

    bool Contains(PCCERT_CONTEXT certificate) const {
        for (PCCERT_CONTEXT listed : certificates_)
            if (SameEncoding(listed, certificate)) return true;
        return false;
    }
    void Append(PCCERT_CONTEXT certificate) { certificates_.push_back(CertDuplicateCertificateContext(certificate)); }
    void RemoveAt(size_t index) {
        CertFreeCertificateContext(certificates_[index]);
        certificates_.erase(certificates_.begin() + static_cast<std::ptrdiff_t>(index));
    }

private:
    static bool SameEncoding(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
        return a->cbCertEncoded == b->cbCertEncoded && memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
    }

    std::vector<PCCERT_CONTEXT> certificates_;
};

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

// Hex digits only, upper case: "ab:cd ef" and "ABCDEF" name the same thumbprint.
std::wstring HexDigits(const std::wstring& text) {
    std::wstring digits;
    for (wchar_t c : text)
        if (c != L' ' && c != L':') digits += static_cast<wchar_t>(std::towupper(c));
    return digits;
}

// The list index that WHICH names: a number from 1, a SHA-1 thumbprint, else the first subject
// containing the text (any case). -1 when none.
int FindEntry(const RecoveryList& list, const std::wstring& which) {
    const std::vector<PCCERT_CONTEXT>& certificates = list.certificates();
    unsigned long number = 0;
    if (ParseUnsigned(which, number)) return number >= 1 && number <= certificates.size() ? static_cast<int>(number - 1) : -1;
    std::wstring thumbprint = HexDigits(which);
    for (size_t i = 0; i < certificates.size(); ++i)
        if (ThumbprintText(certificates[i]) == thumbprint) return static_cast<int>(i);
    std::wstring part = Upper(which);
    for (size_t i = 0; i < certificates.size(); ++i)
        if (Upper(NameText(certificates[i]->pCertInfo->Subject)).find(part) != std::wstring::npos) return static_cast<int>(i);
    return -1;
}

int List(ArgumentReader& arguments) {
    if (!arguments.AtEnd()) return UsageError(L"recovery list takes no arguments");
    RecoveryList list;
    list.Load();
    const std::vector<PCCERT_CONTEXT>& certificates = list.certificates();
    if (certificates.empty()) {
        PrintLine(L"no recovery certificates");
        return 0;
    }
    for (size_t i = 0; i < certificates.size(); ++i) {
        PCCERT_CONTEXT c = certificates[i];
        PrintLine(std::to_wstring(i + 1) + L". " + NameText(c->pCertInfo->Subject));
        PrintLine(L"   Issuer:    " + NameText(c->pCertInfo->Issuer));
        PrintLine(L"   Not after: " + TimeText(c->pCertInfo->NotAfter));
        PrintLine(L"   SHA-1:     " + ThumbprintText(c));
    }
    return 0;
}

int Add(ArgumentReader& arguments) {
    std::vector<std::wstring> files;
    while (!arguments.AtEnd()) {
        const std::wstring& argument = arguments.Next();
        if (arguments.IsOption()) return UsageError(L"unknown option for recovery add: --" + arguments.OptionName());
        if (argument != L"--") files.push_back(argument);
    }
    if (files.empty()) return UsageError(L"recovery add needs a certificate file");

    RecoveryList list;
    list.Load();
    // Every file is read before anything is written: a bad one leaves the list as it was.
    for (const std::wstring& file : files) {
        StoreHandle store(CertOpenStore(CERT_STORE_PROV_FILENAME_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                        CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG, file.c_str()));
        if (!store) return Fail(L"cannot read certificates from " + file, GetLastError());
        int found = 0;
        for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store.get(), nullptr); c;
             c = CertEnumCertificatesInStore(store.get(), c)) {
            ++found;
            std::wstring subject = NameText(c->pCertInfo->Subject);
            if (list.Contains(c)) {
                PrintLine(L"already listed: " + subject);
                continue;
            }
            list.Append(c);
            PrintLine(L"added: " + subject);
        }
        if (found == 0) {
            PrintError(L"quill: " + file + L" holds no certificate");
            return 1;
        }
    }
    if (!list.Save()) return Fail(kRecoveryCertsKey, GetLastError());
    return 0;
}

int Remove(ArgumentReader& arguments) {
    if (arguments.AtEnd()) return UsageError(L"recovery remove needs a number, a SHA-1 or a subject text");
    std::wstring which = arguments.Next();
    if (arguments.IsOption() || !arguments.AtEnd()) return UsageError(L"recovery remove takes one certificate");
    RecoveryList list;
    list.Load();
    int index = FindEntry(list, which);
    if (index < 0) {
        PrintError(L"quill: no recovery certificate matches '" + which + L"'");
        return 1;
    }
    PrintLine(L"removed: " + NameText(list.certificates()[static_cast<size_t>(index)]->pCertInfo->Subject));
    list.RemoveAt(static_cast<size_t>(index));
    if (!list.Save()) return Fail(kRecoveryCertsKey, GetLastError());
    return 0;
}

int Clear(ArgumentReader& arguments) {
    if (!arguments.AtEnd()) return UsageError(L"recovery clear takes no arguments");
    if (!DeleteListKey(kRecoveryCertsKey)) return Fail(kRecoveryCertsKey, GetLastError());
    PrintLine(L"no recovery certificates");
    return 0;
}

}  // namespace

void PrintRecoverySummary() {
    RecoveryList list;
    list.Load();
    const std::vector<PCCERT_CONTEXT>& certificates = list.certificates();
    if (certificates.empty()) return;
    PrintLine(L"");
    PrintLine(L"Recovery certificates, a recipient of every packed file (quill recovery list):");
    for (size_t i = 0; i < certificates.size(); ++i)
        PrintLine(L"  " + std::to_wstring(i + 1) + L". " + NameText(certificates[i]->pCertInfo->Subject));
}

int CommandRecovery(ArgumentReader& arguments) {
    if (arguments.AtEnd()) return List(arguments);
    std::wstring action = arguments.Next();
    if (arguments.IsOption()) return UsageError(L"unknown option for recovery: --" + arguments.OptionName());
    if (action == L"list") return List(arguments);
    if (action == L"add") return Add(arguments);
    if (action == L"remove") return Remove(arguments);
    if (action == L"clear") return Clear(arguments);
    return UsageError(L"unknown recovery action '" + action + L"' (list, add, remove, clear)");
}
