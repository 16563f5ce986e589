// The envelope reading both programs share: the outer header, the recipient scan with the
// session-key import, the content element and its pass, and the signer trailer. What differs
// between the shared library and the self-decoding program (wide or ANSI calls, where the
// plaintext goes, what is shown and how signers are checked) is the client's part. No call here
// has a wide and an ANSI form.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <shlobj.h>  // IProgressDialog

#include <cstdint>
#include <vector>

#include "format/recipient_info.h"
#include "format/service/crypto_handles.h"
#include "unpack/core/envelope_file.h"
#include "unpack/core/envelope_outcome.h"

class CngContentCipher;

namespace reader_core {

// The content-encryption algorithm and its parameters.
struct ContentAlgorithm {
    ALG_ID algId = 0;
    std::vector<uint8_t> oid;  // OID value bytes
    DWORD rc2Bits = 0;         // RC2 effective key bits, 0 when the envelope gives none
    std::vector<BYTE> iv;      // IV, or the salt for RC4; empty when none
    bool gcm = false;          // AES in GCM mode: the key's bytes go to the content transform
    bool exportable = false;   // import the session key exportable (its bytes are needed outside)
};

// EnvelopedData / SignedAndEnvelopedData up to the encrypted content element.
struct EnvelopeHeader {
    std::vector<BYTE> recipientInfos;    // SET content
    std::vector<BYTE> digestAlgorithms;  // SET content, kind 4 only
    ContentAlgorithm algorithm;
};

// The session key and the provider that holds it; the client releases both after the read.
struct SessionKey {
    HCRYPTKEY key = 0;
    HCRYPTPROV provider = 0;
    bool providerIsCopy = false;  // a temporary container in another provider
};

// A recipient entry whose certificate's own provider could not import the session key.
struct KeyImport {
    PCCERT_CONTEXT certificate = nullptr;
    HCRYPTPROV certificateProvider = 0;
    HCRYPTKEY exchangeKey = 0;
    const std::vector<BYTE>* simpleBlob = nullptr;  // the wrapped session key
    const ContentAlgorithm* algorithm = nullptr;
    DWORD importFlags = CRYPT_NO_SALT;              // CRYPT_OAEP alone for RSA-OAEP (SHA-1)
};

// One recipient as the scan lists it: a key transport entry, one recipient of a key agreement
// entry, or a KEK, password or other entry (which names no certificate).
struct RecipientListing {
    recipient_info::Kind kind = recipient_info::Kind::kKeyTransport;
    const CERT_INFO* issuerAndSerial = nullptr;  // when named by issuer and serial number
    std::vector<BYTE> subjectKeyId;              // when named by subject key identifier
    recipient_info::KeyTransport transport = recipient_info::KeyTransport::kUnknown;  // key transport
    rsa_padding::OaepParameters oaep;                                                 // kRsaOaep
    std::vector<uint8_t> algorithmOid;  // the key encryption algorithm's OID value (not for kOther)
    RecipientRefusal refusal = kRefusalNone;  // why this entry cannot be opened here
};

// How the scan ended when no entry gave the session key for a reason other than the key.
struct ScanRefusal {
    RecipientRefusal reason = kRefusalNone;
    ALG_ID hash = 0;  // kRefusalOaepHash
};

// The result of a refused scan: the operation (the key transport or recipient kind) is not supported.
constexpr DWORD kRecipientNotSupported = static_cast<DWORD>(NTE_NOT_SUPPORTED);

// The program's side of a read.
class EnvelopeClient {
public:
    virtual ~EnvelopeClient() = default;

    // The content-encryption algorithm is known (its parameters are read next).
    virtual void OnAlgorithm(const ContentAlgorithm&) {}
    // One recipient with its certificate from the store (or none); returns its row, -1 for none.
    // The client duplicates a certificate it keeps.
    virtual int ListRecipient(const RecipientListing&, PCCERT_CONTEXT) { return -1; }
    // The provider and key spec of the certificate's private key.
    virtual BOOL AcquireCertificateKey(PCCERT_CONTEXT certificate, HCRYPTPROV* provider, DWORD* keySpec) = 0;
    // The provider fallback: true with the session key in session; false leaves result at its
    // value or at the last provider's error.
    virtual bool ImportThroughOtherProviders(const KeyImport&, SessionKey&, DWORD&) { return false; }
    // The entry of the row reached the import but gave no session key.
    virtual void OnKeyRefused(int) {}
    // Plaintext in order; first on the first call, final on the last. contentBound is the most
    // content there can be. False stops the pass, with the outcome set by the client.
    virtual bool Deliver(BYTE* data, DWORD length, bool first, bool final, uint64_t contentBound) = 0;
};

// 30 (ends at the end), the PKCS#7 content type (2, 3 or 4), A0 (ends at the end).
Fault ReadContentInfoStart(EnvelopeFile& file, DWORD& contentType);

// The EnvelopedData (3) or SignedAndEnvelopedData (4) after the [0], up to the content element.
Fault ReadEnvelopeHeader(EnvelopeFile& file, DWORD contentType, EnvelopeClient& client, EnvelopeHeader& header);

// The SignedData after the [0] up to its content element: version 1, the digest set, the content
// info of type data.
Fault ReadSignedDataHeader(EnvelopeFile& file, std::vector<BYTE>& digestAlgorithms);

// Lists every recipient entry and, with tryKeys, tries the keys until one gives the session key.
// Returns the job result: 0 with the key held (or when only listing), else the fault that stood
// last. A damaged entry after the key was found fails nothing. When no key was found because the
// entries this user could open (or all entries) use a key transport or kind this system does not
// support, the result is kRecipientNotSupported and refusal (when given) tells which.
DWORD ScanRecipients(const std::vector<BYTE>& recipientInfos, const ContentAlgorithm& algorithm, HCERTSTORE store,
                     bool tryKeys, EnvelopeClient& client, SessionKey& session, ScanRefusal* refusal = nullptr);

// The certificate a recipient names: by issuer and serial number, or by subject key identifier
// (the store's key identifier property, which follows the extension). None when not in the store.
PCCERT_CONTEXT FindRecipientCertificate(HCERTSTORE store, const recipient_info::Identifier& id);

// Mode, effective key length and IV (RC4: salt) on the session key; 0 or the failing call's error.
DWORD SetUpSessionKey(HCRYPTKEY key, const ContentAlgorithm& algorithm);

// Upper bound of a stream cipher's block bits: larger values would make the read size wrap.
constexpr DWORD kMaxStreamBlockBits = 16384;

// Bytes per content read: 4096 cipher blocks; stream ciphers (and no key) use streamBlockBits.
DWORD ReadSize(HCRYPTKEY key, DWORD streamBlockBits);

// The hash objects named by a digestAlgorithms SET content, in its order; unknown ones are skipped.
void CreateDigestObjects(const std::vector<BYTE>& digestAlgorithms, HCRYPTPROV provider,
                         std::vector<HashHandle>& hashes);

// The content element: 80 L, or A0 around one or more OCTET STRING segments (open or definite).
struct ContentElement {
    uint64_t segmentLeft = 0;  // content bytes left in the current segment
    bool constructed = false;
    bool open = false;          // A0 80
    bool ended = false;         // the element's end was read: no further segment is looked for
    uint64_t definiteLeft = 0;  // definite A0: bytes after the current segment still inside it
    uint64_t bound = 0;         // the most content there can be
};
Fault ReadContentElement(EnvelopeFile& file, ContentElement& content);

// After the recipient scan: the session key, when there is one, set up for the content, then the
// content element read. False with the outcome's fault set.
bool StartContent(EnvelopeFile& file, HCRYPTKEY key, const ContentAlgorithm& algorithm, ContentElement& content,
                  EnvelopeOutcome& outcome);

// Passes over the content without reading it; only a misplaced segment header fails the job, a
// file fault sets only the read error.
void SkipContent(EnvelopeFile& file, ContentElement& content, EnvelopeOutcome& outcome);

// A decryption the platform's session key cannot do (AES-GCM): it turns every content batch into
// plaintext in place. False with the last error set.
class ContentTransform {
public:
    virtual ~ContentTransform() = default;
    virtual bool Transform(BYTE* data, DWORD length) = 0;
};

// The content pass: read in batches, decrypted with the session key (the first hash object fed
// by the decryption, the others after it) or, without a key, only hashed; the plaintext goes to
// the client. Between batches the progress dialog is polled and told the position.
struct ContentPass {
    IProgressDialog* progress = nullptr;
    HCRYPTKEY sessionKey = 0;
    ContentTransform* transform = nullptr;  // in place of the session key; finalBlockStatus is left to the caller
    CngContentCipher* cng = nullptr;        // the session key's cipher through CNG, when it took the key over
    const std::vector<HashHandle>* hashes = nullptr;
    DWORD readSize = 0;
};
void RunContentPass(EnvelopeFile& file, ContentElement& content, const ContentPass& pass, EnvelopeClient& client,
                    EnvelopeOutcome& outcome);

// What the signer check of a signed-and-enveloped file takes: the trailer's certificates and
// SignerInfos, and the content's hash objects.
struct SignerTrailer {
    std::vector<BYTE> certificates;
    std::vector<BYTE> signerInfos;
    std::vector<HCRYPTHASH> hashes;
};
// The signer trailer: optional A0 certificates (inside the end), then 31 with the SignerInfos.
// False with the outcome's fault set.
bool ReadSignerTrailer(EnvelopeFile& file, const std::vector<HashHandle>& hashes, SignerTrailer& trailer,
                       EnvelopeOutcome& outcome);

// Records a fault: the result, and the reason for file faults.
void RecordFault(EnvelopeOutcome& outcome, const Fault& fault);

// Wine adds eleven zero salt bytes to every imported session key of 40 bits; a key wrapped by
// another system carries none. Clearing the salt is harmless where the platform adds nothing.
void ClearImportedSalt(HCRYPTKEY key);

}  // namespace reader_core
