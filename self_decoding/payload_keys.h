// The recipient key of the payload: the recipient scan over the certificate store, the
// certificate's own provider, and the fallback over other providers with the re-import question.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <shlobj.h>

#include <cstdint>
#include <string>
#include <vector>

#include "self_decoding/options.h"

namespace quendrix {

// What the scan needs about the content encryption.
struct ContentAlgorithm {
    ALG_ID algId = 0;
    std::vector<uint8_t> oid;  // OID value bytes
    DWORD rc2Bits = 0;         // RC2 effective key bits, 0 when none given
};

// The session key and the provider holding it; the provider's container is deleted on release
// when it is a temporary copy.
struct SessionKey {
    HCRYPTKEY key = 0;
    HCRYPTPROV provider = 0;
    bool providerIsCopy = false;
    // Where the temporary copy of the private key lives, to remove it again.
    std::string copyContainer;
    std::string copyProviderName;
    DWORD copyProviderType = 0;
    ~SessionKey();
};

// Walks the RecipientInfos (SET content) and tries each recipient found in the options' store
// until one gives the session key. Returns 0 with the key held, else the fault for the report.
DWORD ScanRecipients(const std::vector<uint8_t>& recipientInfos, const ContentAlgorithm& algorithm,
                     QuendrixOptions& options, IProgressDialog* progress, SessionKey& session);

// The provider and key spec named by the certificate's key-provider property (ANSI calls).
BOOL AcquireCertificateKey(PCCERT_CONTEXT certificate, HCRYPTPROV* provider, DWORD* keySpec);

// Releases a provider; with deleteContainer its key container is removed as well.
void ReleaseProvider(HCRYPTPROV provider, bool deleteContainer);

// Serial number text: two upper-case hexadecimal digits per byte, most significant first, with the
// given separator after every byte (question) or between bytes (report).
std::string SerialText(const CRYPT_INTEGER_BLOB& serial, bool trailingSeparator);

// The re-import question, dialog 208.
struct ReimportQuestion {
    DWORD reimportKey = 1;  // in: initial state of box 1108; out: its state when the dialog closed
    std::string text;       // text 720 filled in
};
constexpr int kReimportDialogId = 208;
constexpr int kReimportTextId = 2001;
constexpr int kReimportIconId = 2002;
constexpr int kReimportCheckId = 1108;
constexpr UINT kReimportMessage = 720;

// Text 720 for a provider name, an issuer, a serial text and an algorithm name.
std::string ReimportQuestionText(const std::string& providerName, const std::string& issuer,
                                 const std::string& serial, const std::string& algorithmName);
INT_PTR ShowReimportQuestion(ReimportQuestion* question);

// The display name of an algorithm: the string-table text, else the dotted OID itself.
std::string AlgorithmName(ALG_ID algId, const std::vector<uint8_t>& oid);

}  // namespace quendrix
