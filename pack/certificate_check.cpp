#include "pack/certificate_check.h"

#include <vector>

#include "format/service/resources.h"

namespace {

constexpr UINT kDescriptionId = 526;
constexpr UINT kUseItQuestionId = 527;
constexpr UINT kChainInvalidId = 528;
constexpr UINT kNoKeyUsageId = 535;
constexpr UINT kTimeInvalidId = 536;

// Chain error status values that have a text of their own, in the order of strings 601-613.
constexpr DWORD kStatusTexts[][2] = {
    {CERT_TRUST_NO_ERROR, 601},
    {CERT_TRUST_IS_NOT_TIME_VALID, 602},
    {CERT_TRUST_IS_NOT_TIME_NESTED, 603},
    {CERT_TRUST_IS_REVOKED, 604},
    {CERT_TRUST_IS_NOT_SIGNATURE_VALID, 605},
    {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, 606},
    {CERT_TRUST_IS_UNTRUSTED_ROOT, 607},
    {CERT_TRUST_REVOCATION_STATUS_UNKNOWN, 608},
    {CERT_TRUST_IS_CYCLIC, 609},
    {CERT_TRUST_IS_PARTIAL_CHAIN, 610},
    {CERT_TRUST_CTL_IS_NOT_TIME_VALID, 611},
    {CERT_TRUST_CTL_IS_NOT_SIGNATURE_VALID, 612},
    {CERT_TRUST_CTL_IS_NOT_VALID_FOR_USAGE, 613},
};

std::wstring SimpleName(const CERT_NAME_BLOB& name) {
    CERT_NAME_BLOB copy = name;
    DWORD size = CertNameToStrW(X509_ASN_ENCODING, &copy, CERT_SIMPLE_NAME_STR, nullptr, 0);
    if (size <= 1) return std::wstring();
    std::vector<wchar_t> buffer(size);
    size = CertNameToStrW(X509_ASN_ENCODING, &copy, CERT_SIMPLE_NAME_STR, buffer.data(), size);
    return size > 1 ? std::wstring(buffer.data(), size - 1) : std::wstring();
}

// The date a certificate expires, as the user's locale writes short dates, in local time.
std::wstring ExpiryDateText(const FILETIME& notAfter) {
    SYSTEMTIME utc = {}, local = {};
    if (!FileTimeToSystemTime(&notAfter, &utc)) return std::wstring();
    // The time zone rules of that date, not of today.
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) local = utc;
    wchar_t buffer[128];
    int length = GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &local, nullptr, buffer, 128);
    return length > 1 ? std::wstring(buffer, length - 1) : std::wstring();
}

// The question: description, reason and "do you want to use it?". A description too long for the
// limit is cut, never the reason or the question itself.
std::wstring Question(PCCERT_CONTEXT certificate, const std::wstring& reason) {
    std::wstring tail = reason + LoadText(kUseItQuestionId);
    std::wstring description = DescribeCertificate(certificate);
    if (tail.size() >= kMaxQuestionLength) return tail.substr(0, kMaxQuestionLength);
    size_t room = kMaxQuestionLength - tail.size();
    if (description.size() > room) {
        description.resize(room >= 5 ? room - 5 : 0);
        if (room >= 5) description += L"...\r\n";
    }
    return description + tail;
}

// Whether the key usage extension allows the use; a certificate without the extension may be used.
bool HasKeyUsage(PCCERT_CONTEXT certificate, BOOL forSigning) {
    BYTE usage[2] = {};
    SetLastError(ERROR_SUCCESS);
    if (!CertGetIntendedKeyUsage(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, certificate->pCertInfo, usage, 2)) {
        return GetLastError() == ERROR_SUCCESS;
    }
    BYTE needed = forSigning ? CERT_DIGITAL_SIGNATURE_KEY_USAGE : CERT_DATA_ENCIPHERMENT_KEY_USAGE;
    return (usage[0] & needed) != 0;
}

// The chain's error status; 0 also when no chain could be built (the check lets those pass).
DWORD ChainErrorStatus(PCCERT_CONTEXT certificate) {
    CERT_CHAIN_PARA parameters = {};
    parameters.cbSize = sizeof(parameters);
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, nullptr, &parameters, 0, nullptr, &chain) || !chain) {
        return 0;
    }
    DWORD status = chain->TrustStatus.dwErrorStatus;
    CertFreeCertificateChain(chain);
    return status;
}

}  // namespace

std::wstring SerialNumberText(const CRYPT_INTEGER_BLOB& serial) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text;
    // The blob holds the integer little-endian; people read it most significant byte first.
    for (DWORD i = serial.cbData; i > 0; --i) {
        BYTE b = serial.pbData[i - 1];
        if (!text.empty()) text += L' ';
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

std::wstring DescribeCertificate(PCCERT_CONTEXT certificate) {
    if (!certificate || !certificate->pCertInfo) return std::wstring();
    const CERT_INFO* info = certificate->pCertInfo;
    std::wstring subject = SimpleName(info->Subject);
    std::wstring issuer = SimpleName(info->Issuer);
    std::wstring expires = ExpiryDateText(info->NotAfter);
    std::wstring serial = SerialNumberText(info->SerialNumber);
    return FormatText(kDescriptionId, subject.c_str(), issuer.c_str(), expires.c_str(), serial.c_str());
}

std::wstring ChainStatusText(DWORD errorStatus) {
    for (const auto& entry : kStatusTexts) {
        if (entry[0] == errorStatus) return LoadText(entry[1]);
    }
    return FormatString(L"0x%08X", errorStatus);
}

DWORD CheckCertificate(PCCERT_CONTEXT certificate, BOOL forSigning, std::wstring& question) {
    question.clear();
    if (!certificate || !certificate->pCertInfo) return static_cast<DWORD>(E_INVALIDARG);
    if (CertVerifyTimeValidity(nullptr, certificate->pCertInfo) != 0) {
        question = Question(certificate, LoadText(kTimeInvalidId));
        return static_cast<DWORD>(CERT_E_EXPIRED);
    }
    if (!HasKeyUsage(certificate, forSigning)) {
        question = Question(certificate, LoadText(kNoKeyUsageId));
        return static_cast<DWORD>(CERT_E_WRONG_USAGE);
    }
    DWORD status = ChainErrorStatus(certificate);
    if (status != 0) {
        question = Question(certificate, LoadText(kChainInvalidId) + ChainStatusText(status));
        return static_cast<DWORD>(CERT_E_CHAINING);
    }
    return 0;
}
