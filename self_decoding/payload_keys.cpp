#include "self_decoding/payload_keys.h"

#include <cstdio>
#include <cstring>

#include "format/algorithms.h"
#include "format/der.h"
#include "format/service/content_cipher.h"
#include "format/service/crypto_handles.h"
#include "format/service/encoding.h"
#include "self_decoding/texts.h"

namespace quendrix {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const char kProvidersKey[] = "Software\\Microsoft\\Cryptography\\Defaults\\Provider";

std::string Narrow(const wchar_t* text) {
    if (!text) return std::string();
    int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return std::string();
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, &out[0], size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size) - 1);
    return out;
}

std::string ProviderText(HCRYPTPROV provider, DWORD parameter) {
    DWORD size = 0;
    if (!CryptGetProvParam(provider, parameter, nullptr, &size, 0) || size == 0) return std::string();
    std::string text(size, '\0');
    if (!CryptGetProvParam(provider, parameter, reinterpret_cast<BYTE*>(&text[0]), &size, 0)) return std::string();
    text.resize(std::strlen(text.c_str()));
    return text;
}

bool ProviderSupports(HCRYPTPROV provider, ALG_ID algId, DWORD keyBits) {
    PROV_ENUMALGS_EX info;
    DWORD flags = CRYPT_FIRST;
    for (;;) {
        DWORD size = sizeof info;
        if (!CryptGetProvParam(provider, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&info), &size, flags)) return false;
        flags = 0;
        if (info.aiAlgid != algId) continue;
        return keyBits == 0 || (keyBits >= info.dwMinLen && keyBits <= info.dwMaxLen);
    }
}

// Releases a candidate and removes its temporary container by the names it was acquired with
// (not every provider reports its container name back).
void ReleaseCandidate(HCRYPTPROV provider, const std::string& container, const char* providerName, DWORD type) {
    if (provider) CryptReleaseContext(provider, 0);
    HCRYPTPROV removed = 0;
    CryptAcquireContextA(&removed, container.c_str(), providerName, type, CRYPT_DELETEKEYSET);
}

// The temporary container in a provider, made when it does not exist yet.
HCRYPTPROV AcquireContainer(const std::string& container, const char* providerName, DWORD type) {
    HCRYPTPROV provider = 0;
    if (CryptAcquireContextA(&provider, container.c_str(), providerName, type, 0)) return provider;
    if (GetLastError() != static_cast<DWORD>(NTE_BAD_KEYSET)) return 0;
    if (CryptAcquireContextA(&provider, container.c_str(), providerName, type, CRYPT_NEWKEYSET)) return provider;
    return 0;
}

// Everything one recipient entry needs while its key is tried.
struct KeyAttempt {
    const reader_core::KeyImport* import = nullptr;
    QuendrixOptions* options = nullptr;
    IProgressDialog* progress = nullptr;
};

// Copies the private key into the candidate and imports the session key there; 0 or the fault.
DWORD ImportIntoCandidate(const KeyAttempt& attempt, HCRYPTPROV candidate, HCRYPTKEY* session) {
    DWORD size = 0;
    const reader_core::KeyImport& import = *attempt.import;
    if (!CryptExportKey(import.exchangeKey, 0, PRIVATEKEYBLOB, 0, nullptr, &size)) return GetLastError();
    std::vector<BYTE> blob(size);
    DWORD result = 0;
    if (!CryptExportKey(import.exchangeKey, 0, PRIVATEKEYBLOB, 0, blob.data(), &size)) {
        result = GetLastError();
    } else {
        const ALG_ID exchange = CALG_RSA_KEYX;
        std::memcpy(&blob[4], &exchange, 4);
        KeyHandle privateKey;
        if (!CryptImportKey(candidate, blob.data(), size, 0, 0, privateKey.put())) {
            result = GetLastError();
        } else if (!CryptImportKey(candidate, import.simpleBlob->data(), static_cast<DWORD>(import.simpleBlob->size()),
                                   privateKey.get(),
                                   WithCngImportFlags(import.importFlags, candidate, import.algorithm->algId),
                                   session)) {
            result = GetLastError();
        } else {
            reader_core::ClearImportedSalt(*session);
        }
    }
    // The exported private key is overwritten before its memory goes back.
    for (BYTE pattern : {BYTE{0x55}, BYTE{0xAA}, BYTE{0}}) {
        volatile BYTE* p = blob.data();
        for (size_t i = 0; i < blob.size(); ++i) p[i] = pattern;
    }
    return result;
}

// One candidate provider: 0 with the session key held, kStopSearch when no key may be copied,
// else the fault (the candidate is then released with its container).
constexpr DWORD kStopSearch = 0xFFFFFFFF;

DWORD TryCandidate(const KeyAttempt& attempt, HCRYPTPROV candidate, const char* providerName, DWORD type,
                   reader_core::SessionKey& session, KeyCopy& copy) {
    const std::string& container = attempt.options->CryptCSPcontainer;
    if (!attempt.options->ReimportPrivateKey) {
        ReleaseCandidate(candidate, container, providerName, type);
        return kStopSearch;
    }
    HCRYPTKEY key = 0;
    DWORD result = ImportIntoCandidate(attempt, candidate, &key);
    if (result != 0) {
        ReleaseCandidate(candidate, container, providerName, type);
        return result;
    }
    session = reader_core::SessionKey{key, candidate, true};
    copy.container = container;
    copy.providerName = providerName ? providerName : "";
    copy.providerType = type;
    return 0;
}

// The question of whether other providers may be tried.
void AskAboutOtherProviders(const KeyAttempt& attempt) {
    QuendrixOptions& options = *attempt.options;
    const bool shift = (GetKeyState(VK_SHIFT) & 0xFFFE) != 0;
    if (!shift && !options.AskReimportPrivateKey) return;
    const reader_core::KeyImport& import = *attempt.import;
    char issuer[512] = "";
    CertNameToStrA(kEncoding, &import.certificate->pCertInfo->Issuer, CERT_SIMPLE_NAME_STR, issuer, sizeof issuer);
    ReimportQuestion question;
    question.reimportKey = options.ReimportPrivateKey;
    question.text = ReimportQuestionText(ProviderText(import.certificateProvider, PP_NAME), issuer,
                                         SerialText(import.certificate->pCertInfo->SerialNumber, true),
                                         AlgorithmName(import.algorithm->algId, import.algorithm->oid));
    INT_PTR answer = ShowReimportQuestion(&question);
    options.ReimportPrivateKey = question.reimportKey;
    options.EnumCryptoProviders = answer == IDYES ? 1 : 0;
    options.AskReimportPrivateKey = 1;
}

DWORD TryOtherProviders(const KeyAttempt& attempt, reader_core::SessionKey& session, KeyCopy& copy, DWORD fault) {
    AskAboutOtherProviders(attempt);
    if (attempt.progress && attempt.progress->HasUserCancelled()) return fault;
    const QuendrixOptions& options = *attempt.options;
    if (!options.EnumCryptoProviders) return fault;
    const ALG_ID algId = attempt.import->algorithm->algId;
    const DWORD bits = attempt.import->algorithm->rc2Bits;
    HCRYPTPROV candidate = AcquireContainer(options.CryptCSPcontainer, nullptr, PROV_RSA_FULL);
    if (candidate && ProviderSupports(candidate, algId, bits)) {
        DWORD result = TryCandidate(attempt, candidate, nullptr, PROV_RSA_FULL, session, copy);
        if (result == 0) return 0;
        if (result == kStopSearch) return fault;
        fault = result;
    } else if (candidate) {
        ReleaseCandidate(candidate, options.CryptCSPcontainer, nullptr, PROV_RSA_FULL);
    }
    RegKeyHandle providers;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProvidersKey, 0, KEY_READ, providers.put()) != ERROR_SUCCESS) return fault;
    char name[256];
    for (DWORD index = 0;; ++index) {
        DWORD nameSize = sizeof name;
        if (RegEnumKeyExA(providers.get(), index, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        DWORD type = 0;
        DWORD typeSize = sizeof type;
        if (RegGetValueA(providers.get(), name, "Type", RRF_RT_REG_DWORD, nullptr, &type, &typeSize) != ERROR_SUCCESS)
            continue;
        candidate = AcquireContainer(options.CryptCSPcontainer, name, type);
        if (!candidate) continue;
        if (!ProviderSupports(candidate, algId, bits)) {
            ReleaseCandidate(candidate, options.CryptCSPcontainer, name, type);
            continue;
        }
        DWORD result = TryCandidate(attempt, candidate, name, type, session, copy);
        if (result == 0) return 0;
        if (result == kStopSearch) break;
        fault = result;
    }
    return fault;
}

}  // namespace

bool ImportWithOtherProviders(const reader_core::KeyImport& import, QuendrixOptions& options,
                              IProgressDialog* progress, reader_core::SessionKey& session, KeyCopy& copy,
                              DWORD& fault) {
    const KeyAttempt attempt{&import, &options, progress};
    fault = TryOtherProviders(attempt, session, copy, fault);
    return session.key != 0;
}

void ReleaseSessionKey(reader_core::SessionKey& session, const KeyCopy& copy) {
    if (session.key) CryptDestroyKey(session.key);
    if (!session.providerIsCopy) {
        ReleaseProvider(session.provider, false);
    } else {
        // The copy of the private key goes with its container.
        ReleaseCandidate(session.provider, copy.container,
                         copy.providerName.empty() ? nullptr : copy.providerName.c_str(), copy.providerType);
    }
    session = reader_core::SessionKey();
}

BOOL AcquireCertificateKey(PCCERT_CONTEXT certificate, HCRYPTPROV* provider, DWORD* keySpec) {
    DWORD size = 0;
    if (!certificate || !CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
        return FALSE;
    std::vector<uint64_t> buffer((size + 7) / 8);
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size)) return FALSE;
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    std::string container = Narrow(info->pwszContainerName);
    std::string providerName = Narrow(info->pwszProvName);
    if (!CryptAcquireContextA(provider, container.empty() ? nullptr : container.c_str(),
                              providerName.empty() ? nullptr : providerName.c_str(), info->dwProvType,
                              info->dwFlags & CRYPT_MACHINE_KEYSET))
        return FALSE;
    *keySpec = info->dwKeySpec;
    return TRUE;
}

void ReleaseProvider(HCRYPTPROV provider, bool deleteContainer) {
    if (!provider) return;
    if (!deleteContainer) {
        CryptReleaseContext(provider, 0);
        return;
    }
    std::string container = ProviderText(provider, PP_CONTAINER);
    std::string name = ProviderText(provider, PP_NAME);
    DWORD type = 0;
    DWORD size = sizeof type;
    CryptGetProvParam(provider, PP_PROVTYPE, reinterpret_cast<BYTE*>(&type), &size, 0);
    CryptReleaseContext(provider, 0);
    HCRYPTPROV removed = 0;
    if (!container.empty())
        CryptAcquireContextA(&removed, container.c_str(), name.c_str(), type, CRYPT_DELETEKEYSET);
}

std::string SerialText(const CRYPT_INTEGER_BLOB& serial, bool trailingSeparator) {
    std::string text;
    char digits[4];
    // The blob holds the serial least significant byte first.
    for (DWORD i = serial.cbData; i > 0; --i) {
        if (!text.empty() && !trailingSeparator) text += ' ';
        std::snprintf(digits, sizeof digits, "%02X", serial.pbData[i - 1]);
        text += digits;
        if (trailingSeparator) text += ' ';
    }
    return text;
}

std::string AlgorithmName(ALG_ID algId, const std::vector<uint8_t>& oid) {
    std::string dotted = alg::OidToDottedString(oid.data(), oid.size());
    UINT id = alg::DisplayStringId(algId, dotted.c_str());
    std::string text = id ? LoadText(id) : std::string();
    return text.empty() ? dotted : text;
}

std::string ReimportQuestionText(const std::string& providerName, const std::string& issuer,
                                 const std::string& serial, const std::string& algorithmName) {
    return FormatText(kReimportMessage, providerName.c_str(), issuer.c_str(), serial.c_str(), algorithmName.c_str());
}

namespace {

INT_PTR CALLBACK ReimportQuestionProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* question = reinterpret_cast<ReimportQuestion*>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
    switch (message) {
    case WM_INITDIALOG:
        question = reinterpret_cast<ReimportQuestion*>(lParam);
        SetWindowLongPtrA(dialog, GWLP_USERDATA, lParam);
        SendDlgItemMessageA(dialog, kReimportIconId, STM_SETICON,
                            reinterpret_cast<WPARAM>(LoadIconA(nullptr, MAKEINTRESOURCEA(32514))), 0);
        SetDlgItemTextA(dialog, kReimportTextId, question->text.c_str());
        CheckDlgButton(dialog, kReimportCheckId, question->reimportKey ? BST_CHECKED : BST_UNCHECKED);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDYES || LOWORD(wParam) == IDNO || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    case WM_HELP:
        return TRUE;
    case WM_DESTROY:
        if (question) question->reimportKey = IsDlgButtonChecked(dialog, kReimportCheckId) == BST_CHECKED ? 1 : 0;
        return FALSE;
    default:
        return FALSE;
    }
}

}  // namespace

INT_PTR ShowReimportQuestion(ReimportQuestion* question) {
    return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(kReimportDialogId), nullptr,
                           ReimportQuestionProc, reinterpret_cast<LPARAM>(question));
}

}  // namespace quendrix
