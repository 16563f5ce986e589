// The checks a certificate passes before a pack run uses it, and its description in questions.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <string>

// Longest question text CheckCertificate gives.
constexpr size_t kMaxQuestionLength = 1024;

// String 526 filled with the subject and issuer (simple names), the expiry date (short date of the
// user's locale, local time) and the serial number (upper-case hex pairs, most significant first).
std::wstring DescribeCertificate(PCCERT_CONTEXT certificate);

// The serial number as upper-case hex byte pairs, most significant first, separated by blanks.
std::wstring SerialNumberText(const CRYPT_INTEGER_BLOB& serial);

// The text for a chain's error status: strings 601-613 for the single values they name, else
// "0x%08X".
std::wstring ChainStatusText(DWORD errorStatus);

// 0 when the certificate can be used for encryption (or signing): valid now, with the needed key
// usage and a sound chain. Otherwise the reason (CERT_E_EXPIRED, CERT_E_WRONG_USAGE or
// CERT_E_CHAINING) and the question to ask the user (at most kMaxQuestionLength characters).
DWORD CheckCertificate(PCCERT_CONTEXT certificate, BOOL forSigning, std::wstring& question);
