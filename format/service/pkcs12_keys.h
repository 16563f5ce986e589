// The private keys of a PKCS#12 file, decrypted here with CryptoAPI's hashes, HMAC and ciphers:
// the importer's own reading, for when the platform's import gives a damaged key.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "format/pkcs12.h"
#include "format/secret_bytes.h"

// Reads every private key of the file as PKCS#8 PrivateKeyInfo DER, after checking the file's MAC.
// False with the last error: ERROR_INVALID_PASSWORD when the MAC or a decryption shows the password
// is wrong, ERROR_INVALID_DATA for a malformed file or one using algorithms not read here, else
// the platform's error.
bool ReadPkcs12PrivateKeys(const std::vector<BYTE>& file, const std::wstring& password,
                           std::vector<SecretBytes>& keys);

// False with ERROR_INVALID_PASSWORD when the file's MAC does not match the password: a wrong
// password or damaged content, which some platforms import without noticing. A file this reader
// cannot parse, or one without a MAC, passes: the platform's import decides on it.
bool Pkcs12MacAgrees(const std::vector<BYTE>& file, const std::wstring& password);

// The key and IV a piece protected as given is decrypted with (the IV of PBES2 is its parameter).
bool DerivePkcs12KeyAndIv(const pkcs12::Encryption& encryption, const std::wstring& password, SecretBytes& key,
                          std::vector<uint8_t>& iv);
