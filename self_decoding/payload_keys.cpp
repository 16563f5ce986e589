#include "self_decoding/payload_keys.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "format/algorithms.h"
#include "format/der.h"
#include "format/recipient_set.h"
#include "format/service/crypto_handles.h"
#include "format/service/encoding.h"
#include "self_decoding/texts.h"

namespace quendrix {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kNoDecryptCert = static_cast<DWORD>(CRYPT_E_NO_DECRYPT_CERT);
constexpr DWORD kUnexpected = static_cast<DWORD>(CRYPT_E_UNEXPECTED_ENCODING);
constexpr DWORD kUnknownAlgorithm = static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO);
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

// Wine adds eleven zero salt bytes to every imported session key; a key wrapped elsewhere has none.
void ClearImportedSalt(HCRYPTKEY key) {
    CRYPT_DATA_BLOB empty = {0, nullptr};
    CryptSetKeyParam(key, KP_SALT_EX, reinterpret_cast<const BYTE*>(&empty), 0);
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
    PCCERT_CONTEXT certificate = nullptr;
    HCRYPTPROV ownProvider = 0;
    HCRYPTKEY exchangeKey = 0;
    std::vector<BYTE> simpleBlob;
    const ContentAlgorithm* algorithm = nullptr;
    QuendrixOptions* options = nullptr;
    IProgressDialog* progress = nullptr;
};

// Copies the private key into the candidate and imports the session key there; 0 or the fault.
DWORD ImportIntoCandidate(const KeyAttempt& attempt, HCRYPTPROV candidate, HCRYPTKEY* session) {
    DWORD size = 0;
    if (!CryptExportKey(attempt.exchangeKey, 0, PRIVATEKEYBLOB, 0, nullptr, &size)) return GetLastError();
    std::vector<BYTE> blob(size);
    DWORD result = 0;
    if (!CryptExportKey(attempt.exchangeKey, 0, PRIVATEKEYBLOB, 0, blob.data(), &size)) {
        result = GetLastError();
    } else {
        const ALG_ID exchange = CALG_RSA_KEYX;
        std::memcpy(&blob[4], &exchange, 4);
        KeyHandle privateKey;
        if (!CryptImportKey(candidate, blob.data(), size, 0, 0, privateKey.put())) {
            result = GetLastError();
        } else if (!CryptImportKey(candidate, attempt.simpleBlob.data(), static_cast<DWORD>(attempt.simpleBlob.size()),
                                   privateKey.get(), CRYPT_NO_SALT, session)) {
            result = GetLastError();
        } else {
            ClearImportedSalt(*session);
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
                   SessionKey& session) {
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
    session.key = key;
    session.provider = candidate;
    session.providerIsCopy = true;
    session.copyContainer = container;
    session.copyProviderName = providerName ? providerName : "";
    session.copyProviderType = type;
    return 0;
}

// The question of whether other providers may be tried.
void AskAboutOtherProviders(const KeyAttempt& attempt) {
    QuendrixOptions& options = *attempt.options;
    const bool shift = (GetKeyState(VK_SHIFT) & 0xFFFE) != 0;
    if (!shift && !options.AskReimportPrivateKey) return;
    char issuer[512] = "";
    CertNameToStrA(kEncoding, &attempt.certificate->pCertInfo->Issuer, CERT_SIMPLE_NAME_STR, issuer, sizeof issuer);
    ReimportQuestion question;
    question.reimportKey = options.ReimportPrivateKey;
    question.text = ReimportQuestionText(ProviderText(attempt.ownProvider, PP_NAME), issuer,
                                         SerialText(attempt.certificate->pCertInfo->SerialNumber, true),
                                         AlgorithmName(attempt.algorithm->algId, attempt.algorithm->oid));
    INT_PTR answer = ShowReimportQuestion(&question);
    options.ReimportPrivateKey = question.reimportKey;
    options.EnumCryptoProviders = answer == IDYES ? 1 : 0;
    options.AskReimportPrivateKey = 1;
}

// The provider fallback after the certificate's own provider could not import the session key.
DWORD ImportWithOtherProviders(const KeyAttempt& attempt, SessionKey& session, DWORD fault) {
    AskAboutOtherProviders(attempt);
    if (attempt.progress && attempt.progress->HasUserCancelled()) return fault;
    const QuendrixOptions& options = *attempt.options;
    if (!options.EnumCryptoProviders) return fault;
    const ALG_ID algId = attempt.algorithm->algId;
    const DWORD bits = attempt.algorithm->rc2Bits;
    HCRYPTPROV candidate = AcquireContainer(options.CryptCSPcontainer, nullptr, PROV_RSA_FULL);
    if (candidate && ProviderSupports(candidate, algId, bits)) {
        DWORD result = TryCandidate(attempt, candidate, nullptr, PROV_RSA_FULL, session);
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
        DWORD result = TryCandidate(attempt, candidate, name, type, session);
        if (result == 0) return 0;
        if (result == kStopSearch) break;
        fault = result;
    }
    return fault;
}

DWORD TryRecipientKey(KeyAttempt& attempt, const BYTE* wrapped, DWORD wrappedLength, SessionKey& session) {
    DWORD keySpec = 0;
    if (!AcquireCertificateKey(attempt.certificate, &attempt.ownProvider, &keySpec)) return kNoDecryptCert;
    KeyHandle exchangeKey;
    if (!CryptGetUserKey(attempt.ownProvider, keySpec, exchangeKey.put())) {
        ReleaseProvider(attempt.ownProvider, false);
        return kNoDecryptCert;
    }
    attempt.exchangeKey = exchangeKey.get();
    attempt.simpleBlob = BuildSimpleBlob(attempt.algorithm->algId, wrapped, wrappedLength);
    HCRYPTKEY key = 0;
    if (CryptImportKey(attempt.ownProvider, attempt.simpleBlob.data(), static_cast<DWORD>(attempt.simpleBlob.size()),
                       exchangeKey.get(), CRYPT_NO_SALT, &key)) {
        ClearImportedSalt(key);
        session.key = key;
        session.provider = attempt.ownProvider;
        session.providerIsCopy = false;
        return 0;
    }
    DWORD result = ImportWithOtherProviders(attempt, session, kNoDecryptCert);
    exchangeKey.reset();
    ReleaseProvider(attempt.ownProvider, false);
    return result;
}

}  // namespace

SessionKey::~SessionKey() {
    if (key) CryptDestroyKey(key);
    if (!providerIsCopy) {
        ReleaseProvider(provider, false);
        return;
    }
    // The copy of the private key goes with its container.
    ReleaseCandidate(provider, copyContainer, copyProviderName.empty() ? nullptr : copyProviderName.c_str(),
                     copyProviderType);
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

DWORD ScanRecipients(const std::vector<uint8_t>& recipientInfos, const ContentAlgorithm& algorithm,
                     QuendrixOptions& options, IProgressDialog* progress, SessionKey& session) {
    DWORD result = kNoDecryptCert;
    der::Reader set(recipientInfos);
    while (!set.empty() && !session.key) {
        recipient_set::Entry entry;
        recipient_set::EntryStatus status = recipient_set::ReadEntry(set, entry);
        if (status == recipient_set::EntryStatus::kNotAnEntry) return kUnexpected;
        if (status != recipient_set::EntryStatus::kRead) {
            result = status == recipient_set::EntryStatus::kUnknownKeyTransport ? kUnknownAlgorithm : kUnexpected;
            continue;
        }
        std::vector<BYTE> serial(entry.serial.data(), entry.serial.data() + entry.serial.size());
        std::reverse(serial.begin(), serial.end());  // the platform keeps serials least significant first
        CERT_INFO info = {};
        info.Issuer.pbData = const_cast<BYTE*>(entry.issuer.data());
        info.Issuer.cbData = static_cast<DWORD>(entry.issuer.size());
        info.SerialNumber.pbData = serial.data();
        info.SerialNumber.cbData = static_cast<DWORD>(serial.size());
        CertHandle certificate(CertGetSubjectCertificateFromStore(options.certificateStore, kEncoding, &info));
        if (!certificate) {
            result = kNoDecryptCert;
            continue;
        }
        KeyAttempt attempt;
        attempt.certificate = certificate.get();
        attempt.algorithm = &algorithm;
        attempt.options = &options;
        attempt.progress = progress;
        result = TryRecipientKey(attempt, entry.encryptedKey.data(), static_cast<DWORD>(entry.encryptedKey.size()),
                                 session);
    }
    return session.key ? 0 : result;
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
