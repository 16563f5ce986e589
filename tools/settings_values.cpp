#include "tools/settings_values.h"

#include <cstring>

#include "format/service/resources.h"
#include "tools/arguments.h"

namespace {

std::wstring DwordText(DWORD value) { return FormatString(L"%lu (0x%lX)", value, value); }

bool ParseDword(const std::wstring& text, DWORD& value) {
    if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        if (text.size() > 10) return false;
        DWORD result = 0;
        for (size_t i = 2; i < text.size(); ++i) {
            wchar_t c = text[i];
            int digit = c >= L'0' && c <= L'9' ? c - L'0'
                        : c >= L'a' && c <= L'f' ? c - L'a' + 10
                        : c >= L'A' && c <= L'F' ? c - L'A' + 10
                                                 : -1;
            if (digit < 0) return false;
            result = result * 16 + static_cast<DWORD>(digit);
        }
        value = result;
        return true;
    }
    unsigned long parsed = 0;
    if (!ParseUnsigned(text, parsed)) return false;
    value = parsed;
    return true;
}

}  // namespace

const std::vector<SettingInfo>& AllSettings() {
    static const std::vector<SettingInfo> settings = {
        // The packer's settings record, in its field order.
        {L"VerifyCertificates", SettingKind::kDword, L"1"},
        {L"DeleteFiles", SettingKind::kDword, L"0"},
        {L"DeleteSafelyFiles", SettingKind::kDword, L"0"},
        {L"OpenFiles", SettingKind::kDword, L"0"},
        {L"CompressFiles", SettingKind::kDword, L"1"},
        {L"CloseProgram", SettingKind::kDword, L"1"},
        {L"AddCertsToSignedFile", SettingKind::kDword, L"1"},
        {L"CreateSelfdecodedFile", SettingKind::kDword, L"0"},
        {L"CryptCSPname", SettingKind::kString, L"none: the type's default provider"},
        {L"CompressedFiles", SettingKind::kString,
         L"RAR.7Z.JZ.JAR.BZ.BZ2.ZIP.LZH.ARJ.ARC.CAB.TAR.TGZ.TAZ.TZ.GZ.Z.UU.UUE.XXE.B64.HQX.BHX.MIM"},
        {L"CryptCSPtype", SettingKind::kDword, L"24"},
        {L"EncryptAlgorithmID", SettingKind::kDword, L"26128 (0x6610)"},
        {L"HashAlgorithmID", SettingKind::kDword, L"32780 (0x800C)"},
        {L"EncryptKeyLength", SettingKind::kDword, L"256"},
        {L"EncryptCreateSalt", SettingKind::kDword, L"1"},
        {L"EncryptCreateIV", SettingKind::kDword, L"1"},
        {L"OverwritePasses", SettingKind::kDword, L"1"},
        {L"DefaultEncryptionBlockSize", SettingKind::kDword, L"64"},
        {L"SignedMessageType", SettingKind::kDword, L"4"},
        {L"GzCompressionLevel", SettingKind::kDword, L"9"},
        {L"RecentItemsCount", SettingKind::kDword, L"10"},
        {L"CompressionThreads", SettingKind::kDword, L"0: one per processor"},
        {L"KeyTransport", SettingKind::kDword, L"0: RSA PKCS #1 v1.5 (1: RSA-OAEP with SHA-1)"},
        {L"EncryptMode", SettingKind::kDword, L"0: CBC (1: GCM, for AES)"},
        {L"SupportedCSP", SettingKind::kDwordList, L"1,24,12,18"},
        // The unpacker's own values.
        {L"CryptCSPcontainer", SettingKind::kString, L"Quillarent"},
        {L"EnumCryptoProviders", SettingKind::kDword, L"1"},
        {L"ReimportPrivateKey", SettingKind::kDword, L"1"},
        {L"AskReimportPrivateKey", SettingKind::kDword, L"1"},
        {L"CertSystemStoreName", SettingKind::kString, L"MY"},
    };
    return settings;
}

const SettingInfo* FindSetting(const std::wstring& name) {
    for (const SettingInfo& setting : AllSettings())
        if (CompareStringOrdinal(setting.name, -1, name.c_str(), static_cast<int>(name.size()), TRUE) == CSTR_EQUAL)
            return &setting;
    return nullptr;
}

bool EncodeSettingValue(SettingKind kind, const std::wstring& text, DWORD& type, std::vector<BYTE>& data) {
    data.clear();
    if (kind == SettingKind::kString) {
        type = REG_SZ;
        const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
        data.assign(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
        return true;
    }
    std::vector<DWORD> values;
    size_t start = 0;
    while (true) {
        size_t comma = text.find(L',', start);
        std::wstring part = text.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start);
        DWORD value = 0;
        if (!ParseDword(part, value)) return false;
        values.push_back(value);
        if (comma == std::wstring::npos) break;
        start = comma + 1;
    }
    if (kind == SettingKind::kDword && values.size() != 1) return false;
    type = kind == SettingKind::kDword ? REG_DWORD : REG_BINARY;
    data.resize(values.size() * sizeof(DWORD));
    std::memcpy(data.data(), values.data(), data.size());
    return true;
}

std::wstring DecodeSettingValue(SettingKind kind, DWORD type, const std::vector<BYTE>& data) {
    if (kind == SettingKind::kString) {
        if (type != REG_SZ && type != REG_EXPAND_SZ) return L"(wrong type)";
        std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
        // The stored value may or may not carry its terminator.
        size_t end = text.find(L'\0');
        if (end != std::wstring::npos) text.resize(end);
        return L"\"" + text + L"\"";
    }
    if (kind == SettingKind::kDword) {
        // The readers take any four-byte value, whatever its type says.
        if (data.size() != sizeof(DWORD)) return L"(wrong type)";
        DWORD value = 0;
        std::memcpy(&value, data.data(), sizeof(value));
        return DwordText(value);
    }
    if (type != REG_BINARY || data.empty() || data.size() % sizeof(DWORD) != 0) return L"(wrong type)";
    std::wstring text;
    for (size_t i = 0; i < data.size(); i += sizeof(DWORD)) {
        DWORD value = 0;
        std::memcpy(&value, data.data() + i, sizeof(value));
        if (!text.empty()) text += L",";
        text += std::to_wstring(value);
    }
    return text;
}
