// The unpack-side settings, read once per unpack run from HKEY_CURRENT_USER
// "Software\Orbelin\Quillarent".
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <string>

struct UnpackSettings {
    std::wstring providerName;                  // "CryptCSPname"; empty: the type's default
    std::wstring containerName = L"Quillarent"; // "CryptCSPcontainer"
    DWORD providerType = 1;                     // "CryptCSPtype"
    DWORD enumProviders = 1;                    // "EnumCryptoProviders"
    DWORD reimportKey = 1;                      // "ReimportPrivateKey"
    DWORD askReimport = 1;                      // "AskReimportPrivateKey"
    HCERTSTORE store = nullptr;                 // "CertSystemStoreName", default "MY"
    DWORD blockSize = 64;                       // "DefaultEncryptionBlockSize", at least 64
};

// Upper bound of blockSize: larger registry values would make the read size wrap.
constexpr DWORD kMaxBlockSize = 16384;

// Never fails: unreadable values keep their defaults; the store is none only when even "MY" fails.
void LoadUnpackSettings(UnpackSettings* settings);
// Writes back the three flags (a flag that is not 0 deletes its value), closes the store. 0 with
// the error as last error when a flag could not be written (the store is closed all the same).
BOOL SaveUnpackSettings(UnpackSettings* settings);
