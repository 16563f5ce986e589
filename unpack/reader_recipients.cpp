// The reader's side of the recipient scan: the rows of the recipients list and the report, the
// certificate's key through its wide provider names, and the provider fallback.
#include "unpack/reader_state.h"

#include <commctrl.h>

#include "format/algorithms.h"
#include "format/recipient_names.h"
#include "format/service/algorithm_names.h"
#include "format/service/resources.h"
#include "unpack/envelope_reader.h"
#include "unpack/recipient_key.h"

namespace {

using reader_core::RecipientListing;

constexpr int kRecipientImage = 0;
constexpr int kFailedKeyOverlay = 2;
constexpr int kTransportColumn = 3;
constexpr UINT kEncryptedText = 725;
constexpr UINT kOaepRefusalText = 730;     // "... RSA-OAEP с %s не поддерживается провайдером ключа."
constexpr UINT kKindRefusalTexts = 731;    // 731-734: key agreement, KEK, password, other kind
constexpr UINT kKindNames = 735;           // 735-738: the same kinds as row names
constexpr UINT kKeyIdentifierText = 739;   // "Идентификатор ключа %s"

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::wstring TransportText(const RecipientListing& listing) {
    return Widen(recipient_names::KeyTransportName(listing.kind, listing.transport, listing.oaep, listing.algorithmOid));
}

std::wstring KeyIdentifierHex(const RecipientListing& listing) {
    return Widen(recipient_names::HexText(listing.subjectKeyId.data(), listing.subjectKeyId.size()));
}

RecipientSummary SummarizeRecipient(const RecipientListing& listing, PCCERT_CONTEXT certificate) {
    RecipientSummary summary;
    SummarizeCertificate(listing.issuerAndSerial, certificate, summary.subject, summary.issuer, summary.serial);
    summary.certificateFound = certificate != nullptr;
    HCRYPTPROV provider = 0;
    DWORD keySpec = 0;
    if (certificate && AcquireCertificateKey(certificate, &provider, &keySpec)) {
        summary.keyAvailable = true;
        ReleaseProvider(provider, FALSE);
    }
    summary.kind = listing.kind;
    if (!listing.subjectKeyId.empty()) summary.keyIdentifier = KeyIdentifierHex(listing);
    summary.keyTransport = TransportText(listing);
    summary.refusal = listing.refusal;
    if (listing.refusal == reader_core::kRefusalOaepHash) summary.refusedHash = listing.oaep.hash;
    return summary;
}

void SetColumnText(HWND list, int row, int column, const std::wstring& text) {
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = const_cast<wchar_t*>(text.c_str());
    SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

// A row for a recipient without certificate or issuer: its key identifier, or the entry's kind.
// Shown cut, like every row without a certificate.
int AddNamedRow(HWND list, const RecipientListing& listing) {
    if (!list) return -1;
    std::wstring name = !listing.subjectKeyId.empty()
                            ? FormatText(kKeyIdentifierText, KeyIdentifierHex(listing).c_str())
                            : LoadText(kKindNames + static_cast<UINT>(listing.kind) - 1);
    LVITEMW item{};
    item.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM | LVIF_STATE;
    item.iItem = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    item.pszText = &name[0];
    item.iImage = kRecipientImage;
    item.state = item.stateMask = LVIS_CUT;
    item.lParam = 0;
    return static_cast<int>(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
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

int ReaderState::ListRecipient(const RecipientListing& listing, PCCERT_CONTEXT certificate) {
    if (view && view->recipientReport) view->recipientReport->push_back(SummarizeRecipient(listing, certificate));
    HWND list = view ? view->recipientsList : nullptr;
    int row = -1;
    if (certificate || listing.issuerAndSerial) {
        // The list takes a certificate of its own with the row.
        PCCERT_CONTEXT forRow = certificate ? CertDuplicateCertificateContext(certificate) : nullptr;
        row = AddCertificateRow(listing.issuerAndSerial, forRow, list, kRecipientImage, 0, 0);
        if (row < 0 && forRow) CertFreeCertificateContext(forRow);
    } else {
        row = AddNamedRow(list, listing);
    }
    if (row >= 0) SetColumnText(list, row, kTransportColumn, TransportText(listing));
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
    request.importFlags = import.importFlags;
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

std::wstring RecipientRefusalText(BYTE refusal, ALG_ID hash) {
    if (refusal == reader_core::kRefusalNone) return std::wstring();
    if (refusal == reader_core::kRefusalOaepHash) {
        std::wstring name = Widen(recipient_names::HashName(hash));
        return FormatText(kOaepRefusalText, name.empty() ? L"?" : name.c_str());
    }
    return LoadText(kKindRefusalTexts + refusal - reader_core::kRefusalKeyAgreement);
}
