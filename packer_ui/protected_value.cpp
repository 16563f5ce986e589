#include "packer_ui/protected_value.h"

#include <wincrypt.h>

#include <cstring>
#include <string>
#include <vector>

#include "format/service/crypto_handles.h"
#include "packer_ui/settings.h"

namespace {

constexpr wchar_t kDefaultContainer[] = L"QuillarentPasswd";
constexpr wchar_t kContainerValue[] = L"PasswdCSPcontainer";
constexpr wchar_t kKeyValue[] = L"PasswordsKey";

std::wstring ContainerName() {
    std::wstring name = ReadRegistryText(HKEY_CURRENT_USER, kSettingsKey, kContainerValue);
    return name.empty() ? kDefaultContainer : name;
}

// The user's own key container of the default full RSA provider, made when it is missing.
bool AcquireContainer(ProviderHandle& provider) {
    const std::wstring name = ContainerName();
    if (CryptAcquireContextW(provider.put(), name.c_str(), nullptr, PROV_RSA_FULL, 0)) return true;
    if (GetLastError() != static_cast<DWORD>(NTE_BAD_KEYSET)) return false;
    return CryptAcquireContextW(provider.put(), name.c_str(), nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET) != 0;
}

bool ExchangeKey(HCRYPTPROV provider, KeyHandle& key) {
    if (CryptGetUserKey(provider, AT_KEYEXCHANGE, key.put())) return true;
    return CryptGenKey(provider, AT_KEYEXCHANGE, 0, key.put()) != 0;
}

bool StoreKeyBlob(const std::vector<BYTE>& blob) {
    RegKeyHandle key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return false;
    return RegSetValueExW(key.get(), kKeyValue, 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size())) ==
           ERROR_SUCCESS;
}

bool ImportKey(HCRYPTPROV provider, HCRYPTKEY exchange, const std::vector<BYTE>& blob, KeyHandle& key) {
    return !blob.empty() &&
           CryptImportKey(provider, blob.data(), static_cast<DWORD>(blob.size()), exchange, 0, key.put()) != 0;
}

// A fresh key, wrapped and stored. The value is then processed with the key as imported from its
// stored form, which is exactly what every later call will import: a key that could not be stored,
// or whose wrapped form comes back different (a salt no blob carries), never encrypts anything.
bool CreateStoredKey(HCRYPTPROV provider, HCRYPTKEY exchange, KeyHandle& key) {
    KeyHandle fresh;
    if (!CryptGenKey(provider, CALG_RC2, CRYPT_EXPORTABLE, fresh.put())) return false;
    DWORD size = 0;
    if (!CryptExportKey(fresh.get(), exchange, SIMPLEBLOB, 0, nullptr, &size)) return false;
    std::vector<BYTE> blob(size);
    if (!CryptExportKey(fresh.get(), exchange, SIMPLEBLOB, 0, blob.data(), &size)) return false;
    blob.resize(size);
    return StoreKeyBlob(blob) && ImportKey(provider, exchange, blob, key);
}

bool ValueKey(HCRYPTPROV provider, KeyHandle& key) {
    KeyHandle exchange;
    if (!ExchangeKey(provider, exchange)) return false;
    return ImportKey(provider, exchange.get(), ReadRegistryBytes(HKEY_CURRENT_USER, kSettingsKey, kKeyValue), key) ||
           CreateStoredKey(provider, exchange.get(), key);
}

// The shape of a text as it was protected: whole characters, the last one its terminating NUL and
// no other NUL before it, and a ciphertext exactly one padded block run longer than the plaintext.
bool HasProtectedTextShape(const BYTE* plain, DWORD length, DWORD protectedLength) {
    if (length < sizeof(wchar_t) || length % sizeof(wchar_t) != 0 || ProtectedBufferSize(length) != protectedLength)
        return false;
    const DWORD characters = length / sizeof(wchar_t);
    for (DWORD i = 0; i < characters; ++i) {
        wchar_t character;
        memcpy(&character, plain + i * sizeof(wchar_t), sizeof character);
        if ((character == L'\0') != (i + 1 == characters)) return false;
    }
    return true;
}

}  // namespace

BOOL ProtectValue(BOOL decrypt, BYTE* buffer, DWORD* dataLength, DWORD bufferSize) {
    if (!buffer || !dataLength || *dataLength > bufferSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ProviderHandle provider;
    KeyHandle key;
    const bool keys = AcquireContainer(provider) && ValueKey(provider.get(), key);
    DWORD error = keys ? ERROR_SUCCESS : GetLastError();
    DWORD length = *dataLength;
    BOOL done = FALSE;
    if (keys) {
        done = decrypt ? CryptDecrypt(key.get(), 0, TRUE, 0, buffer, &length)
                       : CryptEncrypt(key.get(), 0, TRUE, 0, buffer, &length, bufferSize);
        if (!done) error = GetLastError();
        else if (length > bufferSize) error = ERROR_MORE_DATA;
    }
    // Releasing the key and the provider may reset the last error: the reason is set after it.
    key.reset();
    provider.reset();
    if (!keys) {
        SetLastError(error);
        return FALSE;
    }
    if (error != ERROR_SUCCESS) {
        SecureZeroMemory(buffer, bufferSize);
        SetLastError(error);
        return FALSE;
    }
    *dataLength = length;
    if (decrypt) SecureZeroMemory(buffer + length, bufferSize - length);
    return TRUE;
}

BOOL RevealProtectedText(const std::vector<BYTE>& protectedText, std::wstring& text) {
    if (!text.empty()) SecureZeroMemory(&text[0], text.size() * sizeof(wchar_t));
    text.clear();
    std::vector<BYTE> plain = protectedText;
    const DWORD size = static_cast<DWORD>(plain.size());
    DWORD length = size;
    BOOL revealed = ProtectValue(TRUE, plain.data(), &length, size);
    DWORD error = GetLastError();
    if (revealed && !HasProtectedTextShape(plain.data(), length, size)) {
        revealed = FALSE;
        error = static_cast<DWORD>(NTE_BAD_DATA);
    }
    if (revealed) text.assign(reinterpret_cast<const wchar_t*>(plain.data()), length / sizeof(wchar_t) - 1);
    if (!plain.empty()) SecureZeroMemory(plain.data(), plain.size());
    SetLastError(error);
    return revealed;
}
