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
    bool keyFromFile = false;  // the platform's import gave a damaged key: the file's own was read
};

// Imports every certificate of the file that carries a private key. Each stored key is checked
// against its certificate (public key, a signature, a decryption); when the platform's import
// gave a key that fails, the key is read from the file itself. False with the last error when the
// file cannot be opened (ERROR_INVALID_PASSWORD for a wrong password or a damaged file), a key is
// not its certificate's (NTE_BAD_KEY), a key is not an RSA key (NTE_BAD_ALGID) or a key or
// certificate cannot be stored; the failing certificate leaves neither key nor certificate behind,
// those stored before it stay.
bool ImportPfx(const std::vector<BYTE>& file, const std::wstring& password, DWORD providerType,
               std::vector<ImportedCertificate>& imported);

// The key container a certificate's key gets: "Quillarent-" and its SHA-1 thumbprint.
std::wstring ContainerNameFor(const std::wstring& thumbprint);
