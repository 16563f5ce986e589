// Putting a PKCS#12 file's certificates with their private keys into the current user's "MY"
// store, every key in a container of its own.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

struct ImportedCertificate {
    std::wstring subject;
    std::wstring thumbprint;
    std::wstring container;
    DWORD providerType = 0;
};

// Imports every certificate of the file that carries a private key. False with the last error
// when the file cannot be opened (ERROR_INVALID_PASSWORD for a wrong password or a damaged file)
// or a key or certificate cannot be stored; certificates stored before the failure stay.
bool ImportPfx(const std::vector<BYTE>& file, const std::wstring& password, DWORD providerType,
               std::vector<ImportedCertificate>& imported);

// The key container a certificate's key gets: "Quillarent-" and its SHA-1 thumbprint.
std::wstring ContainerNameFor(const std::wstring& thumbprint);
