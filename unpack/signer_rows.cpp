// The recipients and signers lists of the "Info" page, signer chain checks, and the job status
// that follows from the signers.
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "format/service/algorithm_names.h"
#include "format/service/encoding.h"
#include "format/service/signature_check.h"
#include "unpack/signature_verify.h"

namespace {

constexpr DWORD kOutsideValidity = 0x30000000;
constexpr DWORD kChainProblem = 0xA0000000;

bool NameText(const CERT_NAME_BLOB& name, std::wstring& text) {
    CERT_NAME_BLOB copy = name;
    DWORD size = CertNameToStrW(kMessageEncoding, &copy, CERT_SIMPLE_NAME_STR, nullptr, 0);
    if (size == 0) return false;
    text.assign(size, L'\0');
    size = CertNameToStrW(kMessageEncoding, &copy, CERT_SIMPLE_NAME_STR, &text[0], size);
    if (size == 0) return false;
    text.resize(size - 1);
    return true;
}

// "%02X " per byte, most significant first (the blob holds it least significant first).
std::wstring SerialText(const CRYPT_INTEGER_BLOB& serial, bool spaced = true) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring text;
    for (DWORD i = serial.cbData; i-- > 0;) {
        text += kHex[serial.pbData[i] >> 4];
        text += kHex[serial.pbData[i] & 0x0F];
        if (i && spaced) text += L' ';
    }
    return text;
}

// The signature algorithm with the signer's curve when its certificate is known.
std::wstring SignerAlgorithmText(const SignerCheck& check) {
    return SignatureAlgorithmName(check.signerInfo,
                                  check.certificate ? &check.certificate->pCertInfo->SubjectPublicKeyInfo : nullptr);
}

void SetColumnText(HWND list, int row, int column, const std::wstring& text) {
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = const_cast<wchar_t*>(text.c_str());
    SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

}  // namespace

void SummarizeCertificate(const CERT_INFO* info, PCCERT_CONTEXT certificate, std::wstring& subject,
                          std::wstring& issuer, std::wstring& serial) {
    subject.clear();
    issuer.clear();
    serial.clear();
    const CERT_INFO* shown = certificate ? certificate->pCertInfo : info;
    if (!shown) return;
    // Without a certificate only the issuer and serial of the entry are known.
    if (certificate) NameText(shown->Subject, subject);
    NameText(shown->Issuer, issuer);
    serial = SerialText(shown->SerialNumber, false);
}

SignerSummary SummarizeSigner(SignerCheck& check) {
    SignerSummary summary;
    CERT_INFO info{};
    if (check.signerInfo) {
        info.Issuer = check.signerInfo->Issuer;
        info.SerialNumber = check.signerInfo->SerialNumber;
        if (check.signerInfo->HashAlgorithm.pszObjId)
            summary.digestAlgorithm = AlgorithmDisplayName(0, check.signerInfo->HashAlgorithm.pszObjId);
        summary.signatureAlgorithm = SignerAlgorithmText(check);
    }
    SummarizeCertificate(&info, check.certificate, summary.subject, summary.issuer, summary.serial);
    CheckSignerChain(&check);
    summary.status = check.status;
    summary.chainStatus = check.chainStatus;
    return summary;
}

void CheckSignerChain(SignerCheck* check) {
    if (!check) return;
    check->chainStatus = 0;
    if (!check->certificate) return;
    if (CertVerifyTimeValidity(nullptr, check->certificate->pCertInfo) != 0) {
        check->chainStatus = kOutsideValidity;
        return;
    }
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, check->certificate, nullptr, nullptr, &para, 0, nullptr, &chain)) return;
    if (chain->TrustStatus.dwErrorStatus != 0) check->chainStatus = chain->TrustStatus.dwErrorStatus | kChainProblem;
    CertFreeCertificateChain(chain);
}

int AddCertificateRow(const CERT_INFO* info, PCCERT_CONTEXT certificate, HWND list, int image, UINT state,
                      UINT stateMask) {
    if (!list) return -1;
    const CERT_INFO* shown = certificate ? certificate->pCertInfo : info;
    if (!shown) return -1;
    std::wstring issuer;
    if (!NameText(shown->Issuer, issuer)) return -1;

    LVITEMW item{};
    item.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM | LVIF_STATE;
    item.iItem = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    item.pszText = &issuer[0];
    item.iImage = image;
    // A row without a certificate (only its issuer and serial are known) is shown cut.
    item.state = state | (certificate ? 0 : LVIS_CUT);
    item.stateMask = stateMask | LVIS_CUT;
    item.lParam = reinterpret_cast<LPARAM>(certificate);
    int row = static_cast<int>(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    if (row < 0) return -1;

    std::wstring subject;
    if (NameText(shown->Subject, subject)) SetColumnText(list, row, 1, subject);
    SetColumnText(list, row, 2, SerialText(shown->SerialNumber));
    return row;
}

void ClearCertificateList(HWND list) {
    if (!list) return;
    int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int row = 0; row < count; ++row) {
        LVITEMW item{};
        item.mask = LVIF_PARAM;
        item.iItem = row;
        if (SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)) && item.lParam)
            CertFreeCertificateContext(reinterpret_cast<PCCERT_CONTEXT>(item.lParam));
    }
    SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
}

int AddSignerRow(SignerCheck* check, HWND list) {
    if (!list || !check) return -1;
    CERT_INFO info{};
    if (check->signerInfo) {
        info.Issuer = check->signerInfo->Issuer;
        info.SerialNumber = check->signerInfo->SerialNumber;
    }
    // A signature this system cannot check is shown not checked, never invalid.
    UINT stateImage = check->status == -1 || check->status == kSignatureNotSupported ? 1 : check->status == 0 ? 2 : 3;
    CheckSignerChain(check);
    const std::wstring algorithm = SignerAlgorithmText(*check);
    int row = AddCertificateRow(&info, check->certificate, list, check->chainStatus ? 1 : 0,
                                INDEXTOSTATEIMAGEMASK(stateImage), LVIS_STATEIMAGEMASK);
    if (row < 0) return -1;
    if (!algorithm.empty()) SetColumnText(list, row, 3, algorithm);
    check->certificate = nullptr;  // the list owns it now
    return row;
}

void ApplySignerChecks(UnpackJob* job, UnpackView* view, std::vector<SignerCheck>& checks, DWORD verifiedCount) {
    HWND list = view ? view->signersList : nullptr;
    ClearCertificateList(list);
    size_t notSupported = 0;
    for (SignerCheck& check : checks) {
        if (check.status == kSignatureNotSupported)
            ++notSupported;
        else if (job && job->signatureStatus == -1 && check.status != 0 && check.status != -1)
            job->signatureStatus = check.status;
        if (view && view->signerReport) view->signerReport->push_back(SummarizeSigner(check));
        AddSignerRow(&check, list);
        if (check.certificate) CertFreeCertificateContext(check.certificate);
        check.certificate = nullptr;
    }
    // A message without any SignerInfo has nothing verified: it stays "not verified". Signers we
    // cannot check beside verified ones make the file "not supported", which a failure outranks.
    if (job && job->signatureStatus == -1 && !checks.empty()) {
        if (verifiedCount == checks.size())
            job->signatureStatus = 0;
        else if (notSupported && verifiedCount + notSupported == checks.size())
            job->signatureStatus = kSignatureNotSupported;
    }
    checks.clear();
}
