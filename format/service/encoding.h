// The platform's structure encoder and decoder (X509_ASN_ENCODING | PKCS_7_ASN_ENCODING), with our
// own encoding where the platform refuses a structure.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <vector>

constexpr DWORD kMessageEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// CryptEncodeObject with the size query; false with the last error on failure.
bool EncodeObject(LPCSTR structType, const void* value, std::vector<BYTE>& out);

// CryptDecodeObject with the size query into an aligned buffer; flags e.g. CRYPT_DECODE_NOCOPY_FLAG.
// The decoded structure lives in out (and, with NOCOPY, may point into the input).
bool DecodeObject(LPCSTR structType, const BYTE* data, DWORD size, DWORD flags, std::vector<uint64_t>& out);

template <typename T>
const T* Decoded(const std::vector<uint64_t>& buffer) {
    return reinterpret_cast<const T*>(buffer.data());
}

// RC2-CBC-Parameter: the platform encoder where it works, our own encoder (same bytes) where not.
bool EncodeRc2Parameters(DWORD version, const BYTE* iv, DWORD ivLength, std::vector<BYTE>& out);

// RC2-CBC-Parameter decoded by our own reader (the platform decoder fails on some systems).
bool DecodeRc2Parameters(const BYTE* data, DWORD size, DWORD& version, bool& hasIv, BYTE iv[8]);

// An INTEGER's content bytes (big-endian, as in a certificate) encoded as a DER INTEGER element.
void AppendIntegerFromLittleEndian(std::vector<BYTE>& out, const BYTE* littleEndian, DWORD length);

// The SIMPLEBLOB that imports a session key wrapped by a recipient's RSA key; the envelope stores the
// wrapped key most significant byte first, the blob least significant first.
std::vector<BYTE> BuildSimpleBlob(ALG_ID algId, const BYTE* encryptedKey, DWORD length);
