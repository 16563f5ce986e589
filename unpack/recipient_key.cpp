#include "unpack/recipient_key.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "format/algorithms.h"
#include "format/service/algorithm_names.h"
#include "format/service/content_cipher.h"
#include "format/service/crypto_handles.h"
#include "format/service/resources.h"

namespace {

const wchar_t kProvidersKey[] = L"Software\\Microsoft\\Cryptography\\Defaults\\Provider";

// A provider parameter read as ANSI text (PP_NAME, PP_CONTAINER).
std::string ProviderText(HCRYPTPROV provider, DWORD param) {
    char buffer[1024] = {};
    DWORD size = sizeof(buffer) - 1;
    if (!CryptGetProvParam(provider, param, reinterpret_cast<BYTE*>(buffer), &size, 0)) return std::string();
    return std::string(buffer);
}

std::wstring AnsiToWide(const std::string& text) {
    if (text.empty()) return std::wstring();
    int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(length, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], length);
    wide.resize(length - 1);
    return wide;
}

// Acquires a container, creating it when the provider does not have it yet.
bool AcquireOrCreate(HCRYPTPROV* provider, const wchar_t* container, const wchar_t* name, DWORD type) {
    if (CryptAcquireContextW(provider, container, name, type, 0)) return true;
    // Wine's AES provider reports a missing container without an error code.
    DWORD error = GetLastError();
    if (error != static_cast<DWORD>(NTE_BAD_KEYSET) && error != ERROR_SUCCESS) return false;
    return CryptAcquireContextW(provider, container, name, type, CRYPT_NEWKEYSET) != FALSE;
}

// The same provider and container as the certificate's own: deleting it would destroy the key.
bool IsSameContainer(HCRYPTPROV a, HCRYPTPROV b) {
    return a && b && ProviderText(a, PP_NAME) == ProviderText(b, PP_NAME) &&
           ProviderText(a, PP_CONTAINER) == ProviderText(b, PP_CONTAINER);
}

// Overwrites an exported private key before its memory goes back.
void WipeBlob(std::vector<BYTE>& blob) {
    for (BYTE pattern : {BYTE{0x55}, BYTE{0xAA}, BYTE{0x00}}) {
        volatile BYTE* bytes = blob.data();
        for (size_t i = 0; i < blob.size(); ++i) bytes[i] = pattern;
    }
}

// Copies the certificate's private key into the candidate and imports the session key under it.
bool ImportThroughCopy(const ProviderFallbackRequest& request, HCRYPTPROV candidate, HCRYPTKEY* sessionKey,
                       bool* exportFailed) {
    DWORD size = 0;
    if (!CryptExportKey(request.exchangeKey, 0, PRIVATEKEYBLOB, 0, nullptr, &size)) {
        *exportFailed = true;
        return false;
    }
    std::vector<BYTE> blob(size);
    bool imported = false;
    if (CryptExportKey(request.exchangeKey, 0, PRIVATEKEYBLOB, 0, blob.data(), &size) && size >= 8) {
        blob.resize(size);
        const ALG_ID keyExchange = CALG_RSA_KEYX;
        std::memcpy(blob.data() + 4, &keyExchange, sizeof(keyExchange));
        KeyHandle copy;
        if (CryptImportKey(candidate, blob.data(), size, 0, 0, copy.put())) {
            const DWORD flags = request.importFlags | (request.exportable ? CRYPT_EXPORTABLE : 0);
            imported = CryptImportKey(candidate, request.simpleBlob, request.simpleBlobSize, copy.get(),
                                      WithCngImportFlags(flags, candidate, request.algId), sessionKey) != FALSE;
        }
        PreserveLastError keep;
        copy.reset();
    }
    PreserveLastError keep;
    WipeBlob(blob);
    return imported;
}

// Asks the question when Shift is held or the settings want it; updates the three flags.
// False when the question could not be shown (the flags then stay as they were).
bool AskAboutOtherProviders(const ProviderFallbackRequest& request) {
    UnpackSettings* settings = request.settings;
    bool shiftHeld = (GetKeyState(VK_SHIFT) & 0xFFFE) != 0;
    if (!shiftHeld && !settings->askReimport) return true;
    ReimportQuestion question;
    question.reimportKey = settings->reimportKey;
    question.askReimport = settings->askReimport;
    question.certificate = request.certificate;
    question.providerName = AnsiToWide(ProviderText(request.certificateProvider, PP_NAME));
    std::string dotted = alg::OidToDottedString(request.oid, request.oidLength);
    question.algorithmName = AlgorithmDisplayName(request.algId, dotted.c_str());
    INT_PTR answer = ShowReimportQuestion(request.owner, &question);
    // A question that could not be shown is no answer: nothing is tried, nothing is remembered.
    if (answer != IDYES && answer != IDNO && answer != IDCANCEL) return false;
    settings->reimportKey = question.reimportKey;
    settings->askReimport = question.askReimport;
    settings->enumProviders = answer == IDYES ? 1 : 0;
    return true;
}

// Releases a failed candidate; its container is removed unless it is the certificate's own.
void DropCandidate(const ProviderFallbackRequest& request, HCRYPTPROV candidate) {
    ReleaseProvider(candidate, !IsSameContainer(candidate, request.certificateProvider));
}

}  // namespace

BOOL AcquireCertificateKey(PCCERT_CONTEXT certificate, HCRYPTPROV* provider, DWORD* keySpec) {
    if (!certificate || !provider || !keySpec) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) return FALSE;
    std::vector<uint64_t> buffer(size / sizeof(uint64_t) + 1);
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size)) return FALSE;
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    HCRYPTPROV acquired = 0;
    if (!CryptAcquireContextW(&acquired, info->pwszContainerName, info->pwszProvName, info->dwProvType, 0))
        return FALSE;
    *provider = acquired;
    *keySpec = info->dwKeySpec;
    return TRUE;
}

BOOL ProviderSupportsAlgorithm(HCRYPTPROV provider, ALG_ID algId, DWORD keyBits) {
    if (!provider) return FALSE;
    PROV_ENUMALGS_EX record;
    DWORD flags = CRYPT_FIRST;
    for (;;) {
        DWORD size = sizeof(record);
        if (!CryptGetProvParam(provider, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&record), &size, flags))
            return FALSE;
        flags = 0;
        if (record.aiAlgid != algId) continue;
        if (keyBits == 0 || (record.dwMinLen <= keyBits && keyBits <= record.dwMaxLen)) return TRUE;
    }
}

BOOL FindAlgorithmProvider(HCRYPTPROV* provider, DWORD* position, ALG_ID algId, DWORD keyBits,
                           const wchar_t* containerName) {
    *provider = 0;
    RegKeyHandle providers;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProvidersKey, 0, KEY_ENUMERATE_SUB_KEYS, providers.put()) != ERROR_SUCCESS)
        return FALSE;
    DWORD longest = 0;
    if (RegQueryInfoKeyW(providers.get(), nullptr, nullptr, nullptr, nullptr, &longest, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        longest = 255;
    std::vector<wchar_t> name(longest + 1);
    for (;;) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        if (RegEnumKeyExW(providers.get(), (*position)++, name.data(), &nameLength, nullptr, nullptr, nullptr,
                          nullptr) != ERROR_SUCCESS)
            break;
        RegKeyHandle entry;
        if (RegOpenKeyExW(providers.get(), name.data(), 0, KEY_QUERY_VALUE, entry.put()) != ERROR_SUCCESS) continue;
        DWORD type = 0;
        DWORD size = sizeof(type);
        if (RegQueryValueExW(entry.get(), L"Type", nullptr, nullptr, reinterpret_cast<BYTE*>(&type), &size) !=
                ERROR_SUCCESS ||
            size != sizeof(type))
            continue;
        ProviderHandle probe;
        if (!CryptAcquireContextW(probe.put(), nullptr, name.data(), type, CRYPT_VERIFYCONTEXT)) continue;
        bool supported = ProviderSupportsAlgorithm(probe.get(), algId, keyBits) != FALSE;
        probe.reset();
        if (supported && AcquireOrCreate(provider, containerName, name.data(), type)) return TRUE;
    }
    *provider = 0;
    return FALSE;
}

namespace {

// The type a registered provider is listed with; 0 when it is not registered.
DWORD RegisteredProviderType(const std::string& name) {
    std::string path = "Software\\Microsoft\\Cryptography\\Defaults\\Provider\\" + name;
    DWORD type = 0;
    DWORD size = sizeof(type);
    if (RegGetValueA(HKEY_LOCAL_MACHINE, path.c_str(), "Type", RRF_RT_REG_DWORD, nullptr, &type, &size) !=
        ERROR_SUCCESS)
        return 0;
    return type;
}

}  // namespace

void ReleaseProvider(HCRYPTPROV provider, BOOL deleteContainer) {
    if (!provider) return;
    std::string name;
    std::string container;
    DWORD type = 0;
    if (deleteContainer) {
        name = ProviderText(provider, PP_NAME);
        container = ProviderText(provider, PP_CONTAINER);
        // The registration of the provider's name gives its type: Wine answers PP_PROVTYPE of its
        // AES provider with 1, and deleting under the wrong type leaves the container behind.
        type = RegisteredProviderType(name);
        DWORD size = sizeof(type);
        if (type == 0 && !CryptGetProvParam(provider, PP_PROVTYPE, reinterpret_cast<BYTE*>(&type), &size, 0))
            type = 0;
    }
    CryptReleaseContext(provider, 0);
    if (!deleteContainer || name.empty() || container.empty()) return;
    HCRYPTPROV unused = 0;
    CryptAcquireContextA(&unused, container.c_str(), name.c_str(), type, CRYPT_DELETEKEYSET);
}

void ClearImportedSalt(HCRYPTKEY key) {
    CRYPT_DATA_BLOB empty = {0, nullptr};
    CryptSetKeyParam(key, KP_SALT_EX, reinterpret_cast<const BYTE*>(&empty), 0);
}

bool ImportWithProviderFallback(const ProviderFallbackRequest& request, HCRYPTKEY* sessionKey,
                                HCRYPTPROV* keyProvider, DWORD* jobResult) {
    UnpackSettings* settings = request.settings;
    *sessionKey = 0;
    *keyProvider = 0;
    if (!AskAboutOtherProviders(request)) return false;
    if (request.progress && request.progress->HasUserCancelled()) return false;
    if (!settings->enumProviders) return false;

    // The configured provider first, then every registered one that offers the algorithm.
    HCRYPTPROV candidate = 0;
    const wchar_t* providerName = settings->providerName.empty() ? nullptr : settings->providerName.c_str();
    if (AcquireOrCreate(&candidate, settings->containerName.c_str(), providerName, settings->providerType) &&
        !ProviderSupportsAlgorithm(candidate, request.algId, request.keyBits)) {
        DropCandidate(request, candidate);
        candidate = 0;
    }
    DWORD position = 0;
    for (;;) {
        if (!candidate && !FindAlgorithmProvider(&candidate, &position, request.algId, request.keyBits,
                                                 settings->containerName.c_str()))
            return false;
        // The certificate's own container is never a candidate: a failure would delete its key.
        if (IsSameContainer(candidate, request.certificateProvider)) {
            ReleaseProvider(candidate, FALSE);
            candidate = 0;
            continue;
        }
        if (!settings->reimportKey) {
            DropCandidate(request, candidate);
            return false;
        }
        bool exportFailed = false;
        HCRYPTKEY key = 0;
        if (ImportThroughCopy(request, candidate, &key, &exportFailed)) {
            ClearImportedSalt(key);
            *sessionKey = key;
            *keyProvider = candidate;
            *jobResult = 0;
            return true;
        }
        if (exportFailed) {
            DropCandidate(request, candidate);
            return false;
        }
        *jobResult = GetLastError();
        DropCandidate(request, candidate);
        candidate = 0;
    }
}
