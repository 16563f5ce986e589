// How the front end names certificates: texts for listing them and lookup in the "MY" store.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <string>

#include "format/service/crypto_handles.h"

// Upper-case hex of bytes in the given order.
std::wstring HexText(const BYTE* bytes, DWORD size);
// SHA-1 thumbprint as 40 hex digits; empty when the platform cannot compute it.
std::wstring ThumbprintText(PCCERT_CONTEXT certificate);
// A Name in "CN=..., O=..." form.
std::wstring NameText(const CERT_NAME_BLOB& name);
// The serial number most significant byte first, in hex.
std::wstring SerialText(PCCERT_CONTEXT certificate);
// "YYYY-MM-DD HH:MM:SS UTC".
std::wstring TimeText(const FILETIME& time);

// Opens the current user's "MY" store; null with the last error on failure.
StoreHandle OpenMyStore();

// The "MY" certificate whose SHA-1 thumbprint equals the text (hex, blanks and colons ignored,
// any case), else the first whose subject contains the text (any case). Null when none matches.
CertHandle FindMyCertificateByText(HCERTSTORE store, const std::wstring& text);
