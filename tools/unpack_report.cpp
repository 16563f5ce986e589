#include "tools/unpack_report.h"

#include "format/recipient_names.h"
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

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::wstring KindName(recipient_info::Kind kind) {
    switch (kind) {
    case recipient_info::Kind::kKeyAgreement:
        return L"key agreement";
    case recipient_info::Kind::kKek:
        return L"KEK";
    case recipient_info::Kind::kPassword:
        return L"password";
    case recipient_info::Kind::kOther:
        return L"other";
    default:
        return L"key transport";
    }
}

// What the algorithm beside a recipient does for its kind.
std::wstring TransportLabel(recipient_info::Kind kind) {
    if (kind == recipient_info::Kind::kKeyTransport) return L"key transport ";
    if (kind == recipient_info::Kind::kKeyAgreement) return L"key agreement ";
    return L"key encryption ";
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

std::wstring RecipientRefusalReason(BYTE refusal, ALG_ID hash) {
    switch (refusal) {
    case reader_core::kRefusalOaepHash: {
        std::string name = recipient_names::HashName(hash);
        return L"key transport RSA-OAEP with " + (name.empty() ? std::wstring(L"?") : Widen(name)) +
               L" is not supported by the key's provider";
    }
    case reader_core::kRefusalKeyAgreement:
        return L"key agreement (EC) recipients are not supported";
    case reader_core::kRefusalKek:
        return L"KEK recipients are not supported";
    case reader_core::kRefusalPassword:
        return L"password recipients are not supported";
    case reader_core::kRefusalOtherKind:
        return L"recipients of this kind are not supported";
    default:
        return std::wstring();
    }
}

std::wstring RecipientLine(const RecipientSummary& recipient) {
    std::wstring line = L"Recipient: ";
    const bool named = !recipient.issuer.empty() || !recipient.keyIdentifier.empty();
    if (recipient.certificateFound)
        line += recipient.subject;
    else
        line += named ? L"(not in the store)" : L"(" + KindName(recipient.kind) + L" entry)";
    // An entry names its certificate by key identifier or by issuer and serial.
    if (!recipient.certificateFound && !recipient.keyIdentifier.empty())
        line += L"; key identifier " + recipient.keyIdentifier;
    else if (named)
        line += L"; " + IssuerAndSerial(recipient.issuer, recipient.serial);
    if (!recipient.keyTransport.empty()) line += L"; " + TransportLabel(recipient.kind) + recipient.keyTransport;
    if (named) {
        if (!recipient.certificateFound)
            line += L"; key: none";
        else
            line += recipient.keyAvailable ? L"; key: available" : L"; key: not available";
    }
    if (recipient.refusal != reader_core::kRefusalNone)
        line += L"; not supported: " + RecipientRefusalReason(recipient.refusal, recipient.refusedHash);
    return line;
}
