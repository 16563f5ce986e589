#include "packer_ui/settings.h"

#include <cstring>
#include <cwchar>

#include <wincrypt.h>

#include "format/service/crypto_handles.h"
#include "format/service/resources.h"

const wchar_t kSettingsKey[] = L"Software\\Orbelin\\Quillarent";
const wchar_t kDefaultCompressedFiles[] =
    L"RAR.7Z.JZ.JAR.BZ.BZ2.ZIP.LZH.ARJ.ARC.CAB.TAR.TGZ.TAZ.TZ.GZ.Z.UU.UUE.XXE.B64.HQX.BHX.MIM";

std::wstring ReadRegistryText(HKEY key, const wchar_t* subkey, const wchar_t* name) {
    DWORD size = 0;
    if (RegGetValueW(key, subkey, name, RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS || size < 2)
        return std::wstring();
    std::wstring text(size / sizeof(wchar_t), L'\0');
    if (RegGetValueW(key, subkey, name, RRF_RT_REG_SZ, nullptr, &text[0], &size) != ERROR_SUCCESS) return L"";
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

std::vector<BYTE> ReadRegistryBytes(HKEY key, const wchar_t* subkey, const wchar_t* name) {
    DWORD size = 0;
    if (RegGetValueW(key, subkey, name, RRF_RT_REG_BINARY, nullptr, nullptr, &size) != ERROR_SUCCESS || size == 0)
        return {};
    std::vector<BYTE> bytes(size);
    if (RegGetValueW(key, subkey, name, RRF_RT_REG_BINARY, nullptr, bytes.data(), &size) != ERROR_SUCCESS) return {};
    bytes.resize(size);
    return bytes;
}

namespace {

constexpr UINT kSettingsCaption = 532;

// Registry value names and the fields they fill; the order is the order of the record.
struct DwordValue {
    const wchar_t* name;
    DWORD CVSettingsDlg::*field;
    bool saved;
};

const DwordValue kDwordValues[] = {
    {L"VerifyCertificates", &CVSettingsDlg::VerifyCertificates, true},
    {L"DeleteFiles", &CVSettingsDlg::DeleteFiles, true},
    {L"DeleteSafelyFiles", &CVSettingsDlg::DeleteSafelyFiles, true},
    {L"OpenFiles", &CVSettingsDlg::OpenFiles, true},
    {L"CompressFiles", &CVSettingsDlg::CompressFiles, true},
    {L"CloseProgram", &CVSettingsDlg::CloseProgram, true},
    {L"AddCertsToSignedFile", &CVSettingsDlg::AddCertsToSignedFile, true},
    {L"CreateSelfdecodedFile", &CVSettingsDlg::CreateSelfdecodedFile, true},
    {L"CryptCSPtype", &CVSettingsDlg::CryptCSPtype, true},
    {L"EncryptAlgorithmID", &CVSettingsDlg::EncryptAlgorithmID, true},
    {L"HashAlgorithmID", &CVSettingsDlg::HashAlgorithmID, true},
    {L"EncryptKeyLength", &CVSettingsDlg::EncryptKeyLength, true},
    {L"EncryptCreateSalt", &CVSettingsDlg::EncryptCreateSalt, true},
    {L"EncryptCreateIV", &CVSettingsDlg::EncryptCreateIV, true},
    {L"OverwritePasses", &CVSettingsDlg::OverwritePasses, false},
    {L"DefaultEncryptionBlockSize", &CVSettingsDlg::DefaultEncryptionBlockSize, false},
    {L"SignedMessageType", &CVSettingsDlg::SignedMessageType, false},
    {L"GzCompressionLevel", &CVSettingsDlg::GzCompressionLevel, false},
    {L"RecentItemsCount", &CVSettingsDlg::RecentItemsCount, false},
    {L"CompressionThreads", &CVSettingsDlg::CompressionThreads, false},
    {L"KeyTransport", &CVSettingsDlg::KeyTransport, true},
    {L"EncryptMode", &CVSettingsDlg::EncryptMode, true},
};

// Order in which SaveSettings writes: the eight flags, the provider name, then the crypto values.
const wchar_t* const kSavedAfterName[] = {L"CryptCSPtype",       L"EncryptCreateSalt", L"EncryptCreateIV",
                                          L"EncryptAlgorithmID", L"HashAlgorithmID",   L"EncryptKeyLength",
                                          L"KeyTransport",       L"EncryptMode"};

void ReadDword(HKEY key, const wchar_t* name, DWORD& field) {
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
        size == sizeof value)
        field = value;
}

// A REG_SZ value; false when it is missing or unreadable.
bool ReadString(HKEY key, const wchar_t* name, std::wstring& out) {
    DWORD size = 0;
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&text[0]), &size) != ERROR_SUCCESS)
        return false;
    text.resize(size / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    out = text;
    return true;
}

bool ReadDwordArray(HKEY key, const wchar_t* name, std::vector<DWORD>& out) {
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return false;
    std::vector<BYTE> bytes(size);
    if (size && RegQueryValueExW(key, name, nullptr, nullptr, bytes.data(), &size) != ERROR_SUCCESS) return false;
    out.assign(size / sizeof(DWORD), 0);
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(DWORD));
    return true;
}

// The provider, cipher and hash a first start packs with.
void SetModernCryptoDefaults(CVSettingsDlg& settings) {
    settings.CryptCSPtype = PROV_RSA_AES;
    settings.EncryptAlgorithmID = CALG_AES_256;
    settings.EncryptKeyLength = 256;
    settings.HashAlgorithmID = CALG_SHA_256;
}

// What a record from an earlier set-up meant by the values it leaves out.
void SetEarlierCryptoDefaults(CVSettingsDlg& settings) {
    settings.CryptCSPtype = PROV_RSA_FULL;
    settings.EncryptAlgorithmID = CALG_RC2;
    settings.EncryptKeyLength = 40;
    settings.HashAlgorithmID = CALG_SHA1;
}

bool HoldsAnyCryptoValue(HKEY key) {
    for (const wchar_t* name : {L"CryptCSPtype", L"EncryptAlgorithmID", L"EncryptKeyLength", L"HashAlgorithmID"})
        if (RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) return true;
    return false;
}

LONG WriteDword(HKEY key, const wchar_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

}  // namespace

CVSettingsDlg::CVSettingsDlg() { LoadSettings(); }

void CVSettingsDlg::LoadSettings() {
    // Defaults first: a fresh record, keeping only the page window this object already has.
    HWND page = pageWindow;
    HWND parent = parentWindow;
    VerifyCertificates = 1;
    DeleteFiles = 0;
    DeleteSafelyFiles = 0;
    OpenFiles = 0;
    CompressFiles = 1;
    CloseProgram = 1;
    AddCertsToSignedFile = 1;
    CreateSelfdecodedFile = 0;
    CryptCSPname.clear();
    CompressedFiles = kDefaultCompressedFiles;
    SetModernCryptoDefaults(*this);
    EncryptCreateSalt = 1;
    EncryptCreateIV = 1;
    OverwritePasses = 1;
    DefaultEncryptionBlockSize = 64;
    SignedMessageType = 4;
    GzCompressionLevel = 9;
    CompressionThreads = 0;
    RecentItemsCount = 10;
    KeyTransport = 0;
    EncryptMode = kEncryptModeCbc;
    SupportedCSP.clear();
    pageWindow = page;
    parentWindow = parent;
    std::wstring title = LoadText(kSettingsCaption);
    lstrcpynW(caption, title.c_str(), static_cast<int>(sizeof caption / sizeof caption[0]));

    RegKeyHandle key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return;
    if (HoldsAnyCryptoValue(key.get())) SetEarlierCryptoDefaults(*this);
    for (const DwordValue& value : kDwordValues) ReadDword(key.get(), value.name, this->*value.field);
    if (GzCompressionLevel == 0 || GzCompressionLevel > 9) GzCompressionLevel = 9;
    // The recent lists are allocated with room for this many entries plus one.
    if (RecentItemsCount > kMaxRecentItems) RecentItemsCount = kMaxRecentItems;
    if (!ReadString(key.get(), L"CryptCSPname", CryptCSPname)) CryptCSPname.clear();
    if (!ReadString(key.get(), L"CompressedFiles", CompressedFiles)) CompressedFiles = kDefaultCompressedFiles;
    if (!ReadDwordArray(key.get(), L"SupportedCSP", SupportedCSP)) SupportedCSP.clear();
}

BOOL CVSettingsDlg::SaveSettings() const {
    RegKeyHandle key;
    RegistryWrites writes;
    writes.Note(RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr));
    if (!key) return writes.Result();
    for (size_t i = 0; i < 8; ++i) writes.Note(WriteDword(key.get(), kDwordValues[i].name, this->*kDwordValues[i].field));
    if (CryptCSPname.empty()) {
        writes.Note(RegDeleteValueW(key.get(), L"CryptCSPname"), true);
    } else {
        writes.Note(RegSetValueExW(key.get(), L"CryptCSPname", 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(CryptCSPname.c_str()),
                                   static_cast<DWORD>((CryptCSPname.size() + 1) * sizeof(wchar_t))));
    }
    for (const wchar_t* name : kSavedAfterName)
        for (const DwordValue& value : kDwordValues)
            if (value.saved && lstrcmpW(value.name, name) == 0)
                writes.Note(WriteDword(key.get(), name, this->*value.field));
    return writes.Result();
}
