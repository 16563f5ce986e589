#include "format/service/plain_key.h"

#include <cstring>

// PLAINTEXTKEYBLOB is BLOBHEADER, the key size, the key.
constexpr size_t kKeyStart = sizeof(BLOBHEADER) + sizeof(DWORD);

bool ExportPlainKey(HCRYPTKEY key, SecretBytes& bytes) {
    SecretBytes blob;
    DWORD size = 0;
    if (!CryptExportKey(key, 0, PLAINTEXTKEYBLOB, 0, nullptr, &size)) return false;
    blob.bytes().resize(size);
    if (!CryptExportKey(key, 0, PLAINTEXTKEYBLOB, 0, blob.bytes().data(), &size)) return false;
    DWORD keySize = 0;
    if (size >= kKeyStart) std::memcpy(&keySize, blob.bytes().data() + sizeof(BLOBHEADER), sizeof keySize);
    if (size < kKeyStart || keySize == 0 || keySize > size - kKeyStart) {
        SetLastError(static_cast<DWORD>(NTE_BAD_KEY));
        return false;
    }
    bytes.Clear();
    bytes.bytes().assign(blob.bytes().begin() + kKeyStart, blob.bytes().begin() + kKeyStart + keySize);
    return true;
}

bool ImportPlainKey(HCRYPTPROV provider, ALG_ID algId, const uint8_t* key, size_t size, DWORD flags,
                    HCRYPTKEY* imported) {
    SecretBytes blob;
    blob.bytes().resize(kKeyStart + size);
    auto* header = reinterpret_cast<BLOBHEADER*>(blob.bytes().data());
    header->bType = PLAINTEXTKEYBLOB;
    header->bVersion = CUR_BLOB_VERSION;
    header->reserved = 0;
    header->aiKeyAlg = algId;
    const DWORD keySize = static_cast<DWORD>(size);
    std::memcpy(blob.bytes().data() + sizeof(BLOBHEADER), &keySize, sizeof keySize);
    if (size) std::memcpy(blob.bytes().data() + kKeyStart, key, size);
    return CryptImportKey(provider, blob.bytes().data(), static_cast<DWORD>(blob.bytes().size()), 0, flags,
                          imported) != FALSE;
}
