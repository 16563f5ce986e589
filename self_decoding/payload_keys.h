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
#include "unpack/core/envelope_core.h"

namespace quendrix {

// Where the fallback's temporary copy of the private key lives, to remove it again.
struct KeyCopy {
    std::string container;
    std::string providerName;
    DWORD providerType = 0;
};

// The provider fallback after the certificate's own provider could not import the session key:
// the question, then the default provider and the registered ones. True with the session key in
// session (a copy, described in copy); false leaves fault at its value or the last provider's error.
bool ImportWithOtherProviders(const reader_core::KeyImport& import, QuendrixOptions& options,
                              IProgressDialog* progress, reader_core::SessionKey& session, KeyCopy& copy,
                              DWORD& fault);

// Destroys the session key and releases its provider; a copy goes with its container.
void ReleaseSessionKey(reader_core::SessionKey& session, const KeyCopy& copy);

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
