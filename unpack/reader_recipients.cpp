// The recipient scan: every RecipientInfo is listed; keys are tried until one opens the envelope.
#include "unpack/reader_state.h"

#include <commctrl.h>

#include <cstring>

#include "format/algorithms.h"
#include "format/der.h"
#include "format/service/algorithm_names.h"
#include "format/service/encoding.h"
#include "unpack/recipient_key.h"
#include "unpack/signature_verify.h"

namespace {

constexpr int kRecipientImage = 0;
constexpr int kFailedKeyOverlay = 2;

// One RecipientInfo split into its elements (pointing into the scan buffer).
struct RecipientEntry {
    CRYPT_DER_BLOB version;
    CRYPT_DER_BLOB issuerAndSerial;
    CRYPT_DER_BLOB keyTransport;
    CRYPT_DER_BLOB encryptedKey;
};

// Checks version 0 and rsaEncryption with NULL parameters; 0 or the entry's fault.
DWORD CheckEntry(const RecipientEntry& entry) {
    std::vector<uint64_t> decoded;
    if (!DecodeObject(X509_INTEGER, entry.version.pbData, entry.version.cbData, 0, decoded) ||
        *Decoded<int>(decoded) != 0)
        return static_cast<DWORD>(CRYPT_E_UNEXPECTED_ENCODING);
    const auto& expected = envelope_bytes::kKeyTransportAlgorithm;
    if (entry.keyTransport.cbData != sizeof(expected) ||
        std::memcmp(entry.keyTransport.pbData, expected, sizeof(expected)) != 0)
        return static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO);
    return 0;
}

// Looks the recipient's certificate up by issuer and serial number. The issuer blob points into
// the scan buffer and the serial into serialBuffer; info stays valid while both live.
DWORD FindRecipientCertificate(const RecipientEntry& entry, HCERTSTORE store, CERT_INFO& info,
                               std::vector<uint64_t>& parts, std::vector<uint64_t>& serialBuffer,
                               CertHandle& certificate) {
    if (!DecodeObject(X509_SEQUENCE_OF_ANY, entry.issuerAndSerial.pbData, entry.issuerAndSerial.cbData,
                      CRYPT_DECODE_NOCOPY_FLAG, parts))
        return GetLastError();
    const auto* sequence = Decoded<CRYPT_SEQUENCE_OF_ANY>(parts);
    if (sequence->cValue < 2) return static_cast<DWORD>(CRYPT_E_UNEXPECTED_ENCODING);
    if (!DecodeObject(X509_MULTI_BYTE_INTEGER, sequence->rgValue[1].pbData, sequence->rgValue[1].cbData, 0,
                      serialBuffer))
        return GetLastError();
    info = CERT_INFO();
    info.Issuer = sequence->rgValue[0];
    info.SerialNumber = *Decoded<CRYPT_INTEGER_BLOB>(serialBuffer);
    certificate.reset(CertGetSubjectCertificateFromStore(store, kMessageEncoding, &info));
    return 0;
}

void MarkFailedKey(HWND list, int row) {
    if (!list || row < 0) return;
    LVITEMW item = {};
    item.stateMask = LVIS_OVERLAYMASK;
    item.state = INDEXTOOVERLAYMASK(kFailedKeyOverlay);
    SendMessageW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
}

// Tries the certificate's key on the entry; 0 when the session key is now held.
DWORD TryRecipientKey(ReaderState& state, const RecipientEntry& entry, PCCERT_CONTEXT certificate,
                      bool* reachedImport) {
    const DWORD noKey = static_cast<DWORD>(CRYPT_E_NO_DECRYPT_CERT);
    *reachedImport = false;
    if (!certificate) return noKey;
    HCRYPTPROV own = 0;
    DWORD keySpec = 0;
    if (!AcquireCertificateKey(certificate, &own, &keySpec)) return noKey;
    KeyHandle exchangeKey;
    if (!CryptGetUserKey(own, keySpec, exchangeKey.put())) {
        ReleaseProvider(own, FALSE);
        return noKey;
    }
    *reachedImport = true;
    DWORD result = noKey;
    std::vector<uint64_t> octets;
    if (DecodeObject(X509_OCTET_STRING, entry.encryptedKey.pbData, entry.encryptedKey.cbData, 0, octets)) {
        const auto* wrapped = Decoded<CRYPT_DATA_BLOB>(octets);
        std::vector<BYTE> blob = BuildSimpleBlob(state.algId, wrapped->pbData, wrapped->cbData);
        HCRYPTKEY key = 0;
        if (CryptImportKey(own, blob.data(), static_cast<DWORD>(blob.size()), exchangeKey.get(), CRYPT_NO_SALT,
                           &key)) {
            ClearImportedSalt(key);
            state.sessionKey = key;
            state.keyProvider = own;
            state.keyProviderIsCopy = false;
            return 0;
        }
        ProviderFallbackRequest request;
        request.certificate = certificate;
        request.certificateProvider = own;
        request.exchangeKey = exchangeKey.get();
        request.simpleBlob = blob.data();
        request.simpleBlobSize = static_cast<DWORD>(blob.size());
        request.algId = state.algId;
        request.oid = state.algorithmOid.data();
        request.oidLength = static_cast<DWORD>(state.algorithmOid.size());
        request.keyBits = state.rc2Bits;
        request.settings = state.settings;
        request.progress = state.progress;
        request.owner = state.view ? state.view->ownerWindow : nullptr;
        HCRYPTPROV copyProvider = 0;
        if (ImportWithProviderFallback(request, &key, &copyProvider, &result)) {
            state.sessionKey = key;
            state.keyProvider = copyProvider;
            state.keyProviderIsCopy = true;
            result = 0;
        }
    }
    exchangeKey.reset();
    ReleaseProvider(own, FALSE);
    return result;
}

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

void ScanRecipients(ReaderState& state) {
    UnpackJob* job = state.job;
    HWND list = state.view ? state.view->recipientsList : nullptr;
    job->jobResult = 0;
    // Once the session key is held, a later damaged entry is listed where possible but does not
    // fail a file that can be opened.
    auto fail = [&](DWORD code) {
        if (!state.sessionKey) job->jobResult = code;
    };
    if (state.view && state.view->algorithmReport) {
        std::string dotted = alg::OidToDottedString(state.algorithmOid.data(), state.algorithmOid.size());
        *state.view->algorithmReport = AlgorithmDisplayName(state.algId, dotted.c_str());
    }
    const BYTE* data = state.recipientInfos.data();
    const size_t size = state.recipientInfos.size();
    size_t position = 0;
    while (position < size) {
        if (data[position] != der::kSequence) {
            fail(static_cast<DWORD>(CRYPT_E_UNEXPECTED_ENCODING));
            break;
        }
        der::ParsedLength length = der::ParseDerLength(data + position + 1, size - position - 1);
        size_t entrySize = 1 + length.used + static_cast<size_t>(length.value);
        if (length.used == 0 || length.open || entrySize > size - position) {
            fail(static_cast<DWORD>(CRYPT_E_UNEXPECTED_ENCODING));
            break;
        }
        std::vector<uint64_t> elements;
        if (!DecodeObject(X509_SEQUENCE_OF_ANY, data + position, static_cast<DWORD>(entrySize),
                          CRYPT_DECODE_NOCOPY_FLAG, elements)) {
            fail(GetLastError());
            break;
        }
        position += entrySize;
        const auto* sequence = Decoded<CRYPT_SEQUENCE_OF_ANY>(elements);
        if (sequence->cValue < 4) {
            fail(static_cast<DWORD>(CRYPT_E_UNEXPECTED_ENCODING));
            continue;
        }
        RecipientEntry entry = {sequence->rgValue[0], sequence->rgValue[1], sequence->rgValue[2],
                                sequence->rgValue[3]};
        DWORD fault = CheckEntry(entry);
        CERT_INFO info;
        std::vector<uint64_t> parts;
        std::vector<uint64_t> serial;
        CertHandle certificate;
        if (!fault) fault = FindRecipientCertificate(entry, state.settings->store, info, parts, serial, certificate);
        if (fault) {
            fail(fault);
            continue;
        }
        if (state.view && state.view->recipientReport)
            state.view->recipientReport->push_back(SummarizeRecipient(info, certificate.get()));
        // The list takes the certificate with its row; keep a reference for the key attempt.
        CertHandle forKey(certificate ? CertDuplicateCertificateContext(certificate.get()) : nullptr);
        int row = AddCertificateRow(&info, certificate.get(), list, kRecipientImage, 0, 0);
        if (row >= 0) certificate.release();
        if (state.sessionKey || job->decodeMode == kModeDescribe) continue;
        bool reachedImport = false;
        DWORD result = TryRecipientKey(state, entry, forKey.get(), &reachedImport);
        job->jobResult = result;
        if (result != 0 && reachedImport) MarkFailedKey(list, row);
    }
}
