#include "unpack/unpack_settings.h"

#include <vector>

#include "format/service/crypto_handles.h"

namespace {

const wchar_t kSettingsKey[] = L"Software\\Orbelin\\Quillarent";
const wchar_t* const kFlagNames[] = {L"EnumCryptoProviders", L"ReimportPrivateKey", L"AskReimportPrivateKey"};

// A four-byte value of any type; anything larger (or missing) keeps the default.
void ReadDword(HKEY key, const wchar_t* name, DWORD* value) {
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size) == ERROR_SUCCESS &&
        size == sizeof(data))
        *value = data;
}

// A string value; an empty result (missing, empty or unreadable) keeps the default.
void ReadString(HKEY key, const wchar_t* name, std::wstring* value) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || size == 0) return;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return;
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS)
        return;
    std::wstring text(buffer.data());  // the stored value may or may not carry its terminator
    if (!text.empty()) *value = text;
}

DWORD* FlagField(UnpackSettings* settings, int index) {
    switch (index) {
    case 0: return &settings->enumProviders;
    case 1: return &settings->reimportKey;
    default: return &settings->askReimport;
    }
}

}  // namespace

void LoadUnpackSettings(UnpackSettings* settings) {
    *settings = UnpackSettings();
    settings->containerName.clear();
    RegKeyHandle key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS) {
        ReadDword(key.get(), L"DefaultEncryptionBlockSize", &settings->blockSize);
        for (int i = 0; i < 3; ++i) ReadDword(key.get(), kFlagNames[i], FlagField(settings, i));
        ReadDword(key.get(), L"CryptCSPtype", &settings->providerType);
        ReadString(key.get(), L"CryptCSPname", &settings->providerName);
        ReadString(key.get(), L"CryptCSPcontainer", &settings->containerName);
        std::wstring storeName;
        ReadString(key.get(), L"CertSystemStoreName", &storeName);
        if (!storeName.empty()) settings->store = CertOpenSystemStoreW(0, storeName.c_str());
    }
    // The read size is block bits x 512 bytes: keep it between 64 bits and 16384 bits (1 MiB reads)
    // so that a registry value can neither make it tiny nor wrap the 32-bit product.
    if (settings->blockSize < 64) settings->blockSize = 64;
    if (settings->blockSize > kMaxBlockSize) settings->blockSize = kMaxBlockSize;
    if (settings->containerName.empty()) settings->containerName = L"Quillarent";
    if (!settings->store) settings->store = CertOpenSystemStoreW(0, L"MY");
}

BOOL SaveUnpackSettings(UnpackSettings* settings) {
    RegKeyHandle key;
    LONG firstError = RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                                      nullptr);
    if (firstError == ERROR_SUCCESS) {
        for (int i = 0; i < 3; ++i) {
            DWORD value = *FlagField(settings, i);
            // A set flag goes back to the default by removing its value.
            LONG status = value != 0 ? RegDeleteValueW(key.get(), kFlagNames[i])
                                     : RegSetValueExW(key.get(), kFlagNames[i], 0, REG_DWORD,
                                                      reinterpret_cast<const BYTE*>(&value), sizeof(value));
            if (status == ERROR_FILE_NOT_FOUND && value != 0) status = ERROR_SUCCESS;
            if (firstError == ERROR_SUCCESS) firstError = status;
        }
    }
    if (settings->store) CertCloseStore(settings->store, 0);
    settings->store = nullptr;
    settings->providerName.clear();
    settings->containerName.clear();
    if (firstError == ERROR_SUCCESS) return TRUE;
    SetLastError(static_cast<DWORD>(firstError));
    return FALSE;
}
