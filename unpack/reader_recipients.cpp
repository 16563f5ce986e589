// The reader's side of the recipient scan: the rows of the recipients list and the report, the
// certificate's key through its wide provider names, and the provider fallback.
#include "unpack/reader_state.h"

#include <commctrl.h>

#include "format/algorithms.h"
#include "format/service/algorithm_names.h"
#include "format/service/resources.h"
#include "unpack/recipient_key.h"

namespace {

constexpr int kRecipientImage = 0;
constexpr int kFailedKeyOverlay = 2;
constexpr UINT kEncryptedText = 725;

RecipientSummary SummarizeRecipient(const CERT_INFO& info, PCCERT_CONTEXT certificate) {
    RecipientSummary summary;
    SummarizeCertificate(&info, certificate, summary.subject, summary.issuer, summary.serial);
    summary.certificateFound = certificate != nullptr;
    HCRYPTPROV provider = 0;
    DWORD keySpec = 0;
    if (certificate && AcquireCertificateKey(certificate, &provider, &keySpec)) {
        summary.keyAvailable = true;
        ReleaseProvider(provider, FALSE);
    }
    return summary;
}

}  // namespace

std::wstring ContentAlgorithmName(const reader_core::ContentAlgorithm& algorithm) {
    if (algorithm.gcm) return GcmDisplayName(algorithm.algId);
    std::string dotted = alg::OidToDottedString(algorithm.oid.data(), algorithm.oid.size());
    return AlgorithmDisplayName(algorithm.algId, dotted.c_str());
}

void ReaderState::OnAlgorithm(const reader_core::ContentAlgorithm& algorithm) {
    if (view && view->informationText)
        SetWindowTextW(view->informationText,
                       FormatText(kEncryptedText, ContentAlgorithmName(algorithm).c_str()).c_str());
}

int ReaderState::ListRecipient(const CERT_INFO& info, PCCERT_CONTEXT certificate) {
    if (view && view->recipientReport) view->recipientReport->push_back(SummarizeRecipient(info, certificate));
    // The list takes a certificate of its own with the row.
    PCCERT_CONTEXT forRow = certificate ? CertDuplicateCertificateContext(certificate) : nullptr;
    int row = AddCertificateRow(&info, forRow, view ? view->recipientsList : nullptr, kRecipientImage, 0, 0);
    if (row < 0 && forRow) CertFreeCertificateContext(forRow);
    return row;
}

BOOL ReaderState::AcquireCertificateKey(PCCERT_CONTEXT certificate, HCRYPTPROV* provider, DWORD* keySpec) {
    return ::AcquireCertificateKey(certificate, provider, keySpec);
}

bool ReaderState::ImportThroughOtherProviders(const reader_core::KeyImport& import, reader_core::SessionKey& key,
                                              DWORD& result) {
    const reader_core::ContentAlgorithm& algorithm = *import.algorithm;
    ProviderFallbackRequest request;
    request.certificate = import.certificate;
    request.certificateProvider = import.certificateProvider;
    request.exchangeKey = import.exchangeKey;
    request.simpleBlob = import.simpleBlob->data();
    request.simpleBlobSize = static_cast<DWORD>(import.simpleBlob->size());
    request.algId = algorithm.algId;
    request.oid = algorithm.oid.data();
    request.oidLength = static_cast<DWORD>(algorithm.oid.size());
    request.keyBits = algorithm.rc2Bits;
    request.exportable = algorithm.exportable;
    request.settings = settings;
    request.progress = progress;
    request.owner = view ? view->ownerWindow : nullptr;
    HCRYPTKEY sessionKey = 0;
    HCRYPTPROV copyProvider = 0;
    if (!ImportWithProviderFallback(request, &sessionKey, &copyProvider, &result)) return false;
    key = reader_core::SessionKey{sessionKey, copyProvider, true};
    return true;
}

void ReaderState::OnKeyRefused(int row) {
    HWND list = view ? view->recipientsList : nullptr;
    if (!list || row < 0) return;
    LVITEMW item = {};
    item.stateMask = LVIS_OVERLAYMASK;
    item.state = INDEXTOOVERLAYMASK(kFailedKeyOverlay);
    SendMessageW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
}
