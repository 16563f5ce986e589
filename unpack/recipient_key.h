// Opening a certificate's private key through its key-provider property.
#pragma once
#include <windows.h>
#include <wincrypt.h>

// Acquires the provider named by the certificate's CERT_KEY_PROV_INFO_PROP_ID (container, provider
// name and type) and gives its key spec. False when the property is missing or the container cannot
// be acquired; the last error tells why.
BOOL AcquireCertificateKey(PCCERT_CONTEXT certificate, HCRYPTPROV* provider, DWORD* keySpec);
