// Opening a certificate's private key through its key-provider property, and the fallback over
// other providers when the certificate's own provider cannot import a session key.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <shlobj.h>

#include <string>

#include "unpack/unpack_settings.h"

// Acquires the provider named by the certificate's CERT_KEY_PROV_INFO_PROP_ID (container, provider
// name and type) and gives its key spec. False when the property is missing or the container cannot
// be acquired; the last error tells why.
BOOL AcquireCertificateKey(PCCERT_CONTEXT certificate, HCRYPTPROV* provider, DWORD* keySpec);

// True when the provider lists the algorithm, and (keyBits not 0) allows that key length.
BOOL ProviderSupportsAlgorithm(HCRYPTPROV provider, ALG_ID algId, DWORD keyBits);

// Walks the registered providers from *position on and acquires (or creates) containerName in the
// first one that supports the algorithm; *position moves past it, so a later call goes on from there.
BOOL FindAlgorithmProvider(HCRYPTPROV* provider, DWORD* position, ALG_ID algId, DWORD keyBits,
                           const wchar_t* containerName);

// Releases the handle; with deleteContainer also removes its key container and the keys in it.
void ReleaseProvider(HCRYPTPROV provider, BOOL deleteContainer);

// Wine adds eleven zero salt bytes to every imported session key of 40 bits; a key wrapped by
// another system carries none. Clearing the salt is harmless where the platform adds nothing.
void ClearImportedSalt(HCRYPTKEY key);

// What the provider fallback needs about the recipient entry whose own provider failed.
struct ProviderFallbackRequest {
    PCCERT_CONTEXT certificate = nullptr;
    HCRYPTPROV certificateProvider = 0;
    HCRYPTKEY exchangeKey = 0;
    const BYTE* simpleBlob = nullptr;  // the wrapped session key (SIMPLEBLOB)
    DWORD simpleBlobSize = 0;
    DWORD importFlags = CRYPT_NO_SALT; // CRYPT_OAEP for a key wrapped with RSA-OAEP
    ALG_ID algId = 0;                  // content-encryption algorithm
    const BYTE* oid = nullptr;         // its OID value bytes, for the question's text
    DWORD oidLength = 0;
    DWORD keyBits = 0;                 // RC2 effective key bits, 0 when none
    bool exportable = false;           // the session key's bytes are needed outside the provider
    UnpackSettings* settings = nullptr;
    IProgressDialog* progress = nullptr;
    HWND owner = nullptr;
};

// Asks (when wanted) and tries other providers, copying the private key there for the time of the
// file. True with the session key and the provider holding it (to be released with deletion of its
// container); false leaves *jobResult at its value or at the last candidate's error.
bool ImportWithProviderFallback(const ProviderFallbackRequest& request, HCRYPTKEY* sessionKey,
                                HCRYPTPROV* keyProvider, DWORD* jobResult);

// The question before other providers are tried (dialog template 208).
constexpr int kReimportQuestionDialogId = 208;
constexpr int kReimportIconId = 2002;
constexpr int kReimportTextId = 2001;
constexpr int kReimportKeyCheckId = 1108;
constexpr int kDoNotAskCheckId = 1107;
constexpr UINT kReimportMessageId = 720;

struct ReimportQuestion {
    DWORD reimportKey = 1;  // in: initial state; out: 1108 checked
    DWORD askReimport = 1;  // in: initial state; out: 1107 not checked
    HWND window = nullptr;
    PCCERT_CONTEXT certificate = nullptr;
    std::wstring providerName;
    std::wstring algorithmName;
};

// The text of control 2001: string 720 with provider, issuer, serial ("%02X " per byte, most
// significant first) and algorithm name, at most 1024 characters.
std::wstring ReimportQuestionText(const ReimportQuestion& question);

// Shows the question modally; IDYES, IDNO or IDCANCEL (-1 when it cannot be shown).
INT_PTR ShowReimportQuestion(HWND owner, ReimportQuestion* question);
