#include "tools/unpack_report.h"

#include "format/service/resources.h"
#include "format/service/signature_check.h"
#include "tools/console.h"

namespace {

constexpr DWORD kOutsideValidity = 0x30000000;

std::wstring CodeText(DWORD code) { return FormatString(L"0x%08X", static_cast<unsigned>(code)); }

// The issuer and serial that name a certificate even when the certificate itself is unknown.
std::wstring IssuerAndSerial(const std::wstring& issuer, const std::wstring& serial) {
    return L"issuer " + (issuer.empty() ? std::wstring(L"?") : issuer) + L", serial " +
           (serial.empty() ? std::wstring(L"?") : serial);
}

}  // namespace

bool UnpackJobSucceeded(const UnpackJob& job) {
    if (job.readError != 0 || job.jobResult != 0) return false;
    if (job.decodeMode == kModeUnpack && job.writeError != 0) return false;
    const bool encrypted = job.outerContentType == 3 || job.outerContentType == 4;
    const bool signedKind = job.outerContentType == 2 || job.outerContentType == 4 || job.innerContentType == 2;
    // Something that is none of the envelope kinds was not understood, whatever the reader said.
    if (!encrypted && !signedKind) return false;
    if (job.decodeMode == kModeDescribe) return true;
    if (encrypted && job.finalBlockStatus != 0) return false;
    if (job.compressedContent && job.decompressStatus != 0) return false;
    if (signedKind && job.signatureStatus != 0 && job.signatureStatus != kSignatureNotSupported) return false;
    return true;
}

bool SignatureNotChecked(const UnpackJob& job) {
    const bool signedKind = job.outerContentType == 2 || job.outerContentType == 4 || job.innerContentType == 2;
    return signedKind && job.signatureStatus == kSignatureNotSupported;
}

std::wstring SignatureStatusText(LONG status) {
    if (status == 0) return L"valid";
    if (status == -1) return L"not checked";
    if (status == kSignatureNotSupported) return L"cannot be verified: algorithm not supported (not checked)";
    return L"invalid: " + ErrorText(static_cast<DWORD>(status)) + L" (" + CodeText(static_cast<DWORD>(status)) + L")";
}

std::wstring SignerChainText(DWORD chainStatus) {
    if (chainStatus == 0) return L"in order";
    if (chainStatus == kOutsideValidity) return L"outside its validity period";
    return L"not trusted (" + CodeText(chainStatus) + L")";
}

std::wstring SignerLine(const SignerSummary& signer) {
    std::wstring line = L"Signer: " + (signer.subject.empty() ? std::wstring(L"(certificate not found)") : signer.subject);
    line += L"; " + IssuerAndSerial(signer.issuer, signer.serial);
    if (!signer.signatureAlgorithm.empty())
        line += L"; algorithm " + signer.signatureAlgorithm;
    else if (!signer.digestAlgorithm.empty())
        line += L"; digest " + signer.digestAlgorithm;
    line += L"; signature " + SignatureStatusText(signer.status);
    // Without a certificate there is no chain to speak of.
    if (!signer.subject.empty()) line += L"; chain " + SignerChainText(signer.chainStatus);
    return line;
}

std::wstring RecipientLine(const RecipientSummary& recipient) {
    std::wstring line = L"Recipient: ";
    line += recipient.certificateFound ? recipient.subject : std::wstring(L"(not in the store)");
    line += L"; " + IssuerAndSerial(recipient.issuer, recipient.serial);
    if (!recipient.certificateFound)
        line += L"; key: none";
    else
        line += recipient.keyAvailable ? L"; key: available" : L"; key: not available";
    return line;
}
