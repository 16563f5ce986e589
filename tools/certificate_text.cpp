#include "tools/certificate_text.h"

#include <cwctype>
#include <vector>

#include "format/service/encoding.h"
#include "format/service/resources.h"

std::wstring HexText(const BYTE* bytes, DWORD size) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text;
    text.reserve(size * 2);
    for (DWORD i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

std::wstring ThumbprintText(PCCERT_CONTEXT certificate) {
    BYTE hash[20];
    DWORD size = sizeof(hash);
    if (!CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, hash, &size)) return std::wstring();
    return HexText(hash, size);
}

std::wstring NameText(const CERT_NAME_BLOB& name) {
    CERT_NAME_BLOB copy = name;
    DWORD flags = CERT_X500_NAME_STR;
    DWORD length = CertNameToStrW(X509_ASN_ENCODING, &copy, flags, nullptr, 0);
    if (length <= 1) return std::wstring();
    std::vector<wchar_t> buffer(length);
    CertNameToStrW(X509_ASN_ENCODING, &copy, flags, buffer.data(), length);
    return std::wstring(buffer.data());
}

std::wstring SerialText(PCCERT_CONTEXT certificate) {
    const CRYPT_INTEGER_BLOB& serial = certificate->pCertInfo->SerialNumber;
    // The platform keeps the serial least significant byte first.
    std::vector<BYTE> bigEndian(serial.pbData, serial.pbData + serial.cbData);
    std::vector<BYTE> reversed(bigEndian.rbegin(), bigEndian.rend());
    return HexText(reversed.data(), static_cast<DWORD>(reversed.size()));
}

std::wstring TimeText(const FILETIME& time) {
    SYSTEMTIME t{};
    if (!FileTimeToSystemTime(&time, &t)) return L"?";
    return FormatString(L"%04u-%02u-%02u %02u:%02u:%02u UTC", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                        t.wSecond);
}

StoreHandle OpenMyStore() {
    return StoreHandle(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY"));
}

namespace {

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

// The text as a thumbprint (40 hex digits once blanks and colons are dropped), else empty.
std::wstring ThumbprintFromText(const std::wstring& text) {
    std::wstring digits;
    for (wchar_t c : text) {
        if (c == L' ' || c == L':') continue;
        if (!std::iswxdigit(c)) return std::wstring();
        digits += static_cast<wchar_t>(std::towupper(c));
    }
    return digits.size() == 40 ? digits : std::wstring();
}

}  // namespace

CertHandle FindMyCertificateByText(HCERTSTORE store, const std::wstring& text) {
    if (text.empty()) return CertHandle();
    std::wstring thumbprint = ThumbprintFromText(text);
    std::wstring wanted = Lower(text);
    PCCERT_CONTEXT found = nullptr;
    PCCERT_CONTEXT bySubject = nullptr;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c;
         c = CertEnumCertificatesInStore(store, c)) {
        if (!thumbprint.empty() && ThumbprintText(c) == thumbprint) {
            found = CertDuplicateCertificateContext(c);
            CertFreeCertificateContext(c);
            break;
        }
        if (!bySubject && Lower(NameText(c->pCertInfo->Subject)).find(wanted) != std::wstring::npos)
            bySubject = CertDuplicateCertificateContext(c);
    }
    if (found) {
        if (bySubject) CertFreeCertificateContext(bySubject);
        return CertHandle(found);
    }
    return CertHandle(bySubject);
}
