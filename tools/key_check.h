// Whether a stored private key is really the certificate's: the platform's PKCS#12 import can hand
// over a damaged key that still exports and imports without complaint.
#pragma once
#include <windows.h>
#include <wincrypt.h>

// True when the provider's AT_KEYEXCHANGE key has the certificate's public key, signs a hash that
// verifies against the certificate, and decrypts what the certificate's key encrypted. False with
// NTE_BAD_KEY as the last error when the key is not the certificate's, else the platform's error.
bool KeyMatchesCertificate(HCRYPTPROV provider, PCCERT_CONTEXT certificate);
