#include "format/service/plain_key.h"

#include <cstring>

#include "format/secret_bytes.h"

// PLAINTEXTKEYBLOB is BLOBHEADER, the key size, the key.
bool ImportPlainKey(HCRYPTPROV provider, ALG_ID algId, const uint8_t* key, size_t size, DWORD flags,
                    HCRYPTKEY* imported) {
    SecretBytes blob;
    blob.bytes().resize(sizeof(BLOBHEADER) + sizeof(DWORD) + size);
    auto* header = reinterpret_cast<BLOBHEADER*>(blob.bytes().data());
    header->bType = PLAINTEXTKEYBLOB;
    header->bVersion = CUR_BLOB_VERSION;
    header->reserved = 0;
    header->aiKeyAlg = algId;
    const DWORD keySize = static_cast<DWORD>(size);
    std::memcpy(blob.bytes().data() + sizeof(BLOBHEADER), &keySize, sizeof keySize);
    if (size) std::memcpy(blob.bytes().data() + sizeof(BLOBHEADER) + sizeof(DWORD), key, size);
    return CryptImportKey(provider, blob.bytes().data(), static_cast<DWORD>(blob.bytes().size()), 0, flags,
                          imported) != FALSE;
}
