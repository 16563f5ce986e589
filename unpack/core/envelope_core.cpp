#include "unpack/core/envelope_core.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>

#include "format/algorithms.h"
#include "format/der.h"
#include "format/envelope_rules.h"
#include "format/recipient_info.h"
#include "format/secret_bytes.h"
#include "format/service/background_job.h"
#include "format/service/content_cipher.h"
#include "format/service/encoding.h"
#include "format/service/plain_key.h"

namespace reader_core {

namespace {

using envelope_rules::LengthRule;

constexpr DWORD kUnexpected = static_cast<DWORD>(CRYPT_E_UNEXPECTED_ENCODING);
constexpr DWORD kBadEncode = static_cast<DWORD>(CRYPT_E_BAD_ENCODE);
constexpr DWORD kUnknownAlgorithm = static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO);
constexpr DWORD kFileError = static_cast<DWORD>(CRYPT_E_FILE_ERROR);
constexpr DWORD kNoDecryptCert = static_cast<DWORD>(CRYPT_E_NO_DECRYPT_CERT);
// The content is read in batches of whole read-size pieces, about this size: one ReadFile per
// batch, while the cipher still gets one piece per call. Large batches keep the reading thread and
// the cipher's thread from waiting on each other's jitter.
constexpr DWORD kBatchBytes = 1024u << 10;

// The version INTEGER: exactly one value byte, and an accepted one. A longer INTEGER is refused
// rather than read by its first byte.
Fault ReadVersion(EnvelopeFile& file, bool (*accepted)(BYTE)) {
    der::ParsedLength length;
    if (Fault fault = file.ReadHeader(der::kInteger, LengthRule::kAtLeastOne, length)) return fault;
    if (length.value != 1) return FormatFault(kUnexpected);
    BYTE version = 0;
    if (!file.ReadByte(version)) return file.ReadFault();
    return accepted(version) ? Fault() : FormatFault(kUnexpected);
}

bool IsVersion1(BYTE version) { return version == 1; }

// EnvelopedData: 0 with key transport by issuer and serial only; 2 when an entry is named by key
// identifier or is key agreement or KEK; 3 and 4 with password or other entries. 1 is no version
// of it.
bool IsEnvelopedDataVersion(BYTE version) { return version == 0 || (version >= 2 && version <= 4); }

// A SET of at least one byte read whole into a buffer.
Fault ReadSet(EnvelopeFile& file, std::vector<BYTE>& out) {
    der::ParsedLength length;
    if (Fault fault = file.ReadHeader(der::kSet, LengthRule::kAtLeastOne, length)) return fault;
    return file.ReadIntoBuffer(length.value, out);
}

// The ContentInfo of the content: 30 (a zero length only as one byte) and the OID of data.
Fault ReadDataContentInfo(EnvelopeFile& file) {
    der::ParsedLength length;
    if (Fault fault = file.ReadHeader(der::kSequence, LengthRule::kZeroOnlyShort, length)) return fault;
    std::vector<uint8_t> oid;
    if (Fault fault = file.ReadOid(oid)) return fault;
    if (oid.size() != 9 || std::memcmp(oid.data(), envelope_bytes::kOidData + 2, 9) != 0)
        return FormatFault(kUnknownAlgorithm);
    return Fault();
}

// The content-encryption AlgorithmIdentifier: the OID, then the parameters read whole.
Fault ReadContentAlgorithm(EnvelopeFile& file, EnvelopeClient& client, ContentAlgorithm& algorithm) {
    der::ParsedLength length;
    if (Fault fault = file.ReadHeader(der::kSequence, LengthRule::kAtLeastOne, length)) return fault;
    const uint64_t start = file.position();
    if (Fault fault = file.ReadOid(algorithm.oid)) return fault;
    algorithm.algId = alg::AlgorithmFromOid(algorithm.oid.data(), algorithm.oid.size());
    if (!alg::IsContentEncryption(algorithm.algId)) return FormatFault(kUnknownAlgorithm);
    client.OnAlgorithm(algorithm);
    const uint64_t oidSize = file.position() - start;
    if (length.value < oidSize) return FormatFault(kUnexpected);
    std::vector<BYTE> parameters;
    if (Fault fault = file.ReadIntoBuffer(length.value - oidSize, parameters)) return fault;
    envelope_rules::ContentParameters read =
        envelope_rules::ReadContentParameters(algorithm.algId, parameters.data(), parameters.size());
    algorithm.rc2Bits = read.rc2Bits;
    algorithm.iv = std::move(read.iv);
    return Fault();
}

// Wine's provider refuses a SIMPLEBLOB import with CRYPT_OAEP beside CRYPT_EXPORTABLE. The wrapped key
// is then undone with CryptDecrypt (OAEP) and imported from its bytes, which Windows accepts as well.
bool ImportOaepKeyExportable(HCRYPTPROV provider, HCRYPTKEY exchangeKey, ALG_ID algId,
                             const uint8_t* wrapped, size_t wrappedSize, HCRYPTKEY* key) {
    SecretBytes plain;
    // CryptoAPI takes RSA data little-endian.
    plain.bytes().assign(std::reverse_iterator<const uint8_t*>(wrapped + wrappedSize),
                         std::reverse_iterator<const uint8_t*>(wrapped));
    DWORD size = static_cast<DWORD>(plain.bytes().size());
    if (size == 0 || !CryptDecrypt(exchangeKey, 0, TRUE, CRYPT_OAEP, plain.bytes().data(), &size)) return false;
    return ImportPlainKey(provider, algId, plain.bytes().data(), size, CRYPT_EXPORTABLE, key);
}

// The key of one recipient entry: the certificate's own provider first, then the client's
// fallback. 0 with the session key held; reachedImport tells whether an import was tried.
DWORD TryRecipientKey(const recipient_info::Entry& entry, PCCERT_CONTEXT certificate, const ContentAlgorithm& algorithm,
                      EnvelopeClient& client, SessionKey& session, bool& reachedImport) {
    reachedImport = false;
    HCRYPTPROV own = 0;
    DWORD keySpec = 0;
    if (!certificate || !client.AcquireCertificateKey(certificate, &own, &keySpec)) return kNoDecryptCert;
    KeyHandle exchangeKey;
    if (!CryptGetUserKey(own, keySpec, exchangeKey.put())) {
        CryptReleaseContext(own, 0);
        return kNoDecryptCert;
    }
    reachedImport = true;
    const std::vector<BYTE> blob = BuildSimpleBlob(algorithm.algId, entry.encryptedKey.data(),
                                                   static_cast<DWORD>(entry.encryptedKey.size()));
    // The SIMPLEBLOB carries the wrapped key the same way for both paddings; the flag tells which.
    // Wine's provider undoes OAEP only when CRYPT_OAEP is the sole flag, so OAEP goes without
    // CRYPT_NO_SALT: the salt is cleared after every import anyway.
    const DWORD flags = (entry.transport == recipient_info::KeyTransport::kRsaOaep ? CRYPT_OAEP : CRYPT_NO_SALT) |
                        (algorithm.exportable ? CRYPT_EXPORTABLE : 0);
    HCRYPTKEY key = 0;
    const DWORD importFlags = WithCngImportFlags(flags, own, algorithm.algId);
    if (CryptImportKey(own, blob.data(), static_cast<DWORD>(blob.size()), exchangeKey.get(), importFlags, &key) ||
        ((importFlags & CRYPT_OAEP) && (importFlags & CRYPT_EXPORTABLE) &&
         ImportOaepKeyExportable(own, exchangeKey.get(), algorithm.algId, entry.encryptedKey.data(),
                                 entry.encryptedKey.size(), &key))) {
        ClearImportedSalt(key);
        session = SessionKey{key, own, false};
        return 0;
    }
    DWORD result = kNoDecryptCert;
    KeyImport request{certificate, own, exchangeKey.get(), &blob, &algorithm};
    request.importFlags = flags;
    if (client.ImportThroughOtherProviders(request, session, result)) result = 0;
    exchangeKey.reset();
    CryptReleaseContext(own, 0);
    return result;
}

// CryptoAPI offers RSA-OAEP only with SHA-1 for both the hash and MGF1, and no label.
bool OaepThroughCryptoApi(const rsa_padding::OaepParameters& oaep) {
    return oaep.hash == CALG_SHA1 && oaep.mgf1Hash == CALG_SHA1;
}

RecipientRefusal KindRefusal(recipient_info::Kind kind) {
    switch (kind) {
    case recipient_info::Kind::kKeyAgreement:
        return kRefusalKeyAgreement;
    case recipient_info::Kind::kKek:
        return kRefusalKek;
    case recipient_info::Kind::kPassword:
        return kRefusalPassword;
    case recipient_info::Kind::kOther:
        return kRefusalOtherKind;
    default:
        return kRefusalNone;
    }
}

// Why an entry cannot be opened here whoever holds its key; kRefusalNone when it can be tried.
RecipientRefusal EntryRefusal(const recipient_info::Entry& entry) {
    if (entry.kind != recipient_info::Kind::kKeyTransport) return KindRefusal(entry.kind);
    if (entry.transport == recipient_info::KeyTransport::kRsaOaep && !OaepThroughCryptoApi(entry.oaep))
        return kRefusalOaepHash;
    return kRefusalNone;
}

// The OID value bytes of an AlgorithmIdentifier element; empty when it has none.
std::vector<uint8_t> AlgorithmOid(der::Reader algorithm) {
    der::Reader content, oid;
    if (!algorithm.ReadElement(der::kSequence, content) || !content.ReadElement(der::kOid, oid)) return {};
    return std::vector<uint8_t>(oid.data(), oid.data() + oid.size());
}

// The certificate whose key identifier property is the given one; the platform derives the
// property from the subject key identifier extension when it was not set.
// The issuer and serial number of an identifier as the platform's CERT_INFO holds them: the
// serial number least significant byte first. info points into this object and the identifier.
struct IssuerAndSerial {
    std::vector<BYTE> serial;
    CERT_INFO info = {};
    explicit IssuerAndSerial(const recipient_info::Identifier& id)
        : serial(id.serial.data(), id.serial.data() + id.serial.size()) {
        std::reverse(serial.begin(), serial.end());
        info.Issuer.pbData = const_cast<BYTE*>(id.issuer.data());
        info.Issuer.cbData = static_cast<DWORD>(id.issuer.size());
        info.SerialNumber.pbData = serial.data();
        info.SerialNumber.cbData = static_cast<DWORD>(serial.size());
    }
    IssuerAndSerial(const IssuerAndSerial&) = delete;
    IssuerAndSerial& operator=(const IssuerAndSerial&) = delete;
};

PCCERT_CONTEXT FindBySubjectKeyId(HCERTSTORE store, const der::Reader& keyId) {
    CRYPT_HASH_BLOB blob = {static_cast<DWORD>(keyId.size()), const_cast<BYTE*>(keyId.data())};
    return CertFindCertificateInStore(store, kMessageEncoding, 0, CERT_FIND_KEY_IDENTIFIER, &blob, nullptr);
}

// The scan's memory of refused entries: the first that names a certificate of the store (so is
// meant for this user), and the first at all.
struct RefusalTrack {
    ScanRefusal named, any;
    bool usableSeen = false;  // an entry whose key transport this system can undo

    void Note(const recipient_info::Entry& entry, RecipientRefusal reason, bool certificateFound) {
        const ScanRefusal refusal{reason, reason == kRefusalOaepHash ? entry.oaep.hash : 0};
        if (certificateFound && named.reason == kRefusalNone) named = refusal;
        if (any.reason == kRefusalNone) any = refusal;
    }
    // What explains a scan without a key: a refused entry meant for this user, or any refused one
    // in a file that has no entry this system could open at all.
    ScanRefusal Explanation() const {
        if (named.reason != kRefusalNone) return named;
        return usableSeen ? ScanRefusal() : any;
    }
};

// Lists the recipients an entry names (one, or for key agreement each of its recipients). found
// tells whether a certificate of one of them is in the store; certificate keeps the last looked up.
int ListEntry(const recipient_info::Entry& entry, RecipientRefusal refusal, HCERTSTORE store, EnvelopeClient& client,
              CertHandle& certificate, bool& found) {
    found = false;
    RecipientListing listing;
    listing.kind = entry.kind;
    listing.transport = entry.transport;
    listing.oaep = entry.oaep;
    listing.algorithmOid = AlgorithmOid(entry.keyEncryptionAlgorithm);
    listing.refusal = refusal;
    if (entry.recipients.empty()) return client.ListRecipient(listing, nullptr);
    int row = -1;
    for (const recipient_info::Identifier& id : entry.recipients) {
        certificate.reset(FindRecipientCertificate(store, id));
        found = found || certificate;
        const IssuerAndSerial name(id);
        listing.issuerAndSerial = id.bySubjectKeyId ? nullptr : &name.info;
        listing.subjectKeyId.assign(id.subjectKeyId.data(), id.subjectKeyId.data() + id.subjectKeyId.size());
        row = client.ListRecipient(listing, certificate.get());
    }
    return row;
}

// One segment's header: 04 and a definite length. An empty content (a stream cipher over an empty
// file) has a zero length: 04 00, or 04 84 00 00 00 00 where the length was filled in afterwards.
Fault ReadSegmentHeader(EnvelopeFile& file, uint64_t& length, DWORD& headerSize) {
    der::ParsedLength octets;
    if (Fault fault = file.ReadHeader(der::kOctetString, LengthRule::kDefinite, octets)) return fault;
    length = octets.value;
    headerSize = 1 + octets.used;
    return Fault();
}

// Whether another segment follows the current one. The open form ends at 00 00 (read here), or,
// in the self-decoding form located by its segment's length, where no segment follows: at the
// signer trailer or the end of the envelope.
Fault SegmentFollows(EnvelopeFile& file, const ContentElement& content, bool& follows) {
    follows = false;
    if (!content.open) {
        follows = content.definiteLeft != 0;
        return Fault();
    }
    BYTE tag = 0;
    if (!file.PeekByte(tag)) return file.systemError() == ERROR_HANDLE_EOF ? Fault() : file.ReadFault();
    if (tag == der::kOctetString) {
        follows = true;
        return Fault();
    }
    if (tag != 0) return Fault();
    BYTE end[2] = {};
    if (!file.ReadBytes(end, 2)) return file.ReadFault();
    return end[1] == 0 ? Fault() : FormatFault(kUnexpected);
}

// Moves to the next non-empty segment once the current one is used up; more is false at the end
// of the content.
Fault NextSegment(EnvelopeFile& file, ContentElement& content, bool& more) {
    while (content.segmentLeft == 0 && content.constructed && !content.ended) {
        bool follows = false;
        if (Fault fault = SegmentFollows(file, content, follows)) return fault;
        if (!follows) {
            content.ended = true;
            break;
        }
        DWORD headerSize = 0;
        if (Fault fault = ReadSegmentHeader(file, content.segmentLeft, headerSize)) return fault;
        if (!content.open) {
            if (uint64_t{headerSize} + content.segmentLeft > content.definiteLeft) return FormatFault(kBadEncode);
            content.definiteLeft -= headerSize + content.segmentLeft;
        }
    }
    more = content.segmentLeft != 0;
    return Fault();
}

// Up to count content bytes across segment headers; got falls short only at the content's end.
Fault ReadContent(EnvelopeFile& file, ContentElement& content, BYTE* out, DWORD count, DWORD& got) {
    got = 0;
    while (got < count) {
        bool more = false;
        if (Fault fault = NextSegment(file, content, more)) return fault;
        if (!more) break;
        const DWORD take = static_cast<DWORD>(std::min<uint64_t>(count - got, content.segmentLeft));
        if (!file.ReadBytes(out + got, take)) return file.ReadFault();
        content.segmentLeft -= take;
        got += take;
    }
    return Fault();
}

bool IsBlockCipher(HCRYPTKEY key) {
    DWORD blockBits = 0;
    DWORD size = sizeof(blockBits);
    return CryptGetKeyParam(key, KP_BLOCKLEN, reinterpret_cast<BYTE*>(&blockBits), &size, 0) && blockBits != 0;
}

// One piece through the provider, or through CNG when it took the key over; the first hash then
// gets the plaintext here, as the provider would have fed it.
bool DecryptPiece(const ContentPass& pass, HCRYPTHASH firstHash, bool final, BYTE* data, DWORD& size) {
    if (!pass.cng) return CryptDecrypt(pass.sessionKey, firstHash, final, 0, data, &size) != FALSE;
    return pass.cng->Decrypt(data, size, final) && (!firstHash || CryptHashData(firstHash, data, size, 0));
}

// Decrypts (or only hashes) one batch in place, readSize bytes per call (the last call final when
// final), and feeds every other hash. plain gets the plaintext bytes at the buffer's start, also
// when a call fails (false, with that call's error) after earlier ones succeeded.
bool TransformBatch(const ContentPass& pass, BYTE* buffer, DWORD length, bool final, DWORD& plain) {
    const std::vector<HashHandle>& hashes = *pass.hashes;
    HCRYPTHASH firstHash = hashes.empty() ? 0 : hashes[0].get();
    const size_t firstOther = pass.sessionKey ? 1 : 0;
    plain = 0;
    if (pass.transform) {
        if (!pass.transform->Transform(buffer, length)) return false;
        for (const HashHandle& hash : hashes) CryptHashData(hash.get(), buffer, length, 0);
        plain = length;
        return true;
    }
    DWORD done = 0;
    for (;;) {
        const DWORD piece = std::min(pass.readSize, length - done);
        const bool last = done + piece == length;
        DWORD size = piece;
        if (pass.sessionKey && final && last && piece == 0 && IsBlockCipher(pass.sessionKey)) {
            // No ciphertext at all cannot hold a block cipher's padding. Wine's provider reads the
            // byte before the buffer on such a call; Windows refuses it, as this does.
            SetLastError(static_cast<DWORD>(NTE_BAD_DATA));
            return false;
        }
        if (pass.sessionKey && !DecryptPiece(pass, firstHash, final && last, buffer + done, size)) return false;
        // Only a final call gives back fewer bytes than it took; keep the plaintext contiguous anyway.
        if (plain != done) std::memmove(buffer + plain, buffer + done, size);
        for (size_t i = firstOther; i < hashes.size(); ++i) CryptHashData(hashes[i].get(), buffer + plain, size, 0);
        plain += size;
        done += piece;
        if (last) return true;
    }
}

}  // namespace

void RecordFault(EnvelopeOutcome& outcome, const Fault& fault) {
    outcome.jobResult = fault.code;
    if (fault.code == kFileError) outcome.readError = fault.systemError;
}

void ClearImportedSalt(HCRYPTKEY key) {
    CRYPT_DATA_BLOB empty = {0, nullptr};
    CryptSetKeyParam(key, KP_SALT_EX, reinterpret_cast<const BYTE*>(&empty), 0);
}

Fault ReadContentInfoStart(EnvelopeFile& file, DWORD& contentType) {
    der::ParsedLength length;
    if (Fault fault = file.ReadHeader(der::kSequence, LengthRule::kEndsAtEnd, length)) return fault;
    std::vector<uint8_t> oid;
    if (Fault fault = file.ReadOid(oid)) return fault;
    if (oid.size() != 9 || std::memcmp(oid.data(), envelope_bytes::kPkcs7Prefix, 8) != 0)
        return FormatFault(kUnknownAlgorithm);
    // Only the three kinds a packed file can be; data or digested content is not an envelope.
    if (oid[8] != 2 && oid[8] != 3 && oid[8] != 4) return FormatFault(kUnknownAlgorithm);
    contentType = oid[8];
    return file.ReadHeader(der::kContext0, LengthRule::kEndsAtEnd, length);
}

Fault ReadEnvelopeHeader(EnvelopeFile& file, DWORD contentType, EnvelopeClient& client, EnvelopeHeader& header) {
    der::ParsedLength length;
    if (Fault fault = file.ReadHeader(der::kSequence, LengthRule::kEndsAtEnd, length)) return fault;
    if (Fault fault = ReadVersion(file, contentType == 4 ? IsVersion1 : IsEnvelopedDataVersion)) return fault;
    if (Fault fault = ReadSet(file, header.recipientInfos)) return fault;
    if (contentType == 4) {
        if (Fault fault = ReadSet(file, header.digestAlgorithms)) return fault;
    }
    if (Fault fault = ReadDataContentInfo(file)) return fault;
    return ReadContentAlgorithm(file, client, header.algorithm);
}

Fault ReadSignedDataHeader(EnvelopeFile& file, std::vector<BYTE>& digestAlgorithms) {
    der::ParsedLength length;
    if (Fault fault = file.ReadHeader(der::kSequence, LengthRule::kEndsAtEnd, length)) return fault;
    if (Fault fault = ReadVersion(file, IsVersion1)) return fault;
    if (Fault fault = ReadSet(file, digestAlgorithms)) return fault;
    return ReadDataContentInfo(file);
}

PCCERT_CONTEXT FindRecipientCertificate(HCERTSTORE store, const recipient_info::Identifier& id) {
    if (id.bySubjectKeyId) return FindBySubjectKeyId(store, id.subjectKeyId);
    IssuerAndSerial name(id);
    return CertGetSubjectCertificateFromStore(store, kMessageEncoding, &name.info);
}

DWORD ScanRecipients(const std::vector<BYTE>& recipientInfos, const ContentAlgorithm& algorithm, HCERTSTORE store,
                     bool tryKeys, EnvelopeClient& client, SessionKey& session, ScanRefusal* refusal) {
    DWORD result = 0;
    RefusalTrack refusals;
    // Once the session key is held, a later damaged entry is listed where possible but does not
    // fail a file that can be opened.
    auto fail = [&](DWORD code) {
        if (!session.key) result = code;
    };
    der::Reader set(recipientInfos);
    while (!set.empty()) {
        recipient_info::Entry entry;
        const recipient_info::EntryStatus status = recipient_info::ReadEntry(set, entry);
        if (status == recipient_info::EntryStatus::kNotAnEntry) {
            fail(kUnexpected);
            break;
        }
        if (status != recipient_info::EntryStatus::kRead) {
            fail(kUnexpected);
            continue;
        }
        // A key transport this system does not know at all is neither listed nor tried.
        if (entry.kind == recipient_info::Kind::kKeyTransport &&
            entry.transport == recipient_info::KeyTransport::kUnknown) {
            fail(kUnknownAlgorithm);
            continue;
        }
        const RecipientRefusal entryRefusal = EntryRefusal(entry);
        CertHandle certificate;
        bool found = false;
        const int row = ListEntry(entry, entryRefusal, store, client, certificate, found);
        if (entryRefusal != kRefusalNone) {
            refusals.Note(entry, entryRefusal, found);
            continue;
        }
        refusals.usableSeen = true;
        if (session.key || !tryKeys) continue;
        bool reachedImport = false;
        result = TryRecipientKey(entry, certificate.get(), algorithm, client, session, reachedImport);
        if (result != 0 && reachedImport) client.OnKeyRefused(row);
    }
    if (!tryKeys || session.key || (result != 0 && result != kNoDecryptCert)) return result;
    const ScanRefusal explanation = refusals.Explanation();
    if (explanation.reason == kRefusalNone) return result;
    if (refusal) *refusal = explanation;
    return kRecipientNotSupported;
}

DWORD SetUpSessionKey(HCRYPTKEY key, const ContentAlgorithm& algorithm) {
    if (algorithm.algId != CALG_RC4) {
        DWORD mode = CRYPT_MODE_CBC;
        if (!CryptSetKeyParam(key, KP_MODE, reinterpret_cast<const BYTE*>(&mode), 0)) return GetLastError();
    }
    if (algorithm.algId == CALG_RC2 && algorithm.rc2Bits) {
        if (!CryptSetKeyParam(key, KP_EFFECTIVE_KEYLEN, reinterpret_cast<const BYTE*>(&algorithm.rc2Bits), 0))
            return GetLastError();
    }
    if (algorithm.iv.empty()) return 0;
    if (algorithm.algId == CALG_RC4) {
        // The salt goes in with its own length; a fixed-size KP_SALT would read past a short one.
        CRYPT_DATA_BLOB salt = {static_cast<DWORD>(algorithm.iv.size()), const_cast<BYTE*>(algorithm.iv.data())};
        return CryptSetKeyParam(key, KP_SALT_EX, reinterpret_cast<const BYTE*>(&salt), 0) ? 0 : GetLastError();
    }
    // KP_IV takes one cipher block: an IV of another length would be read past its end.
    DWORD blockBits = 0;
    DWORD size = sizeof(blockBits);
    if (CryptGetKeyParam(key, KP_BLOCKLEN, reinterpret_cast<BYTE*>(&blockBits), &size, 0) &&
        algorithm.iv.size() != blockBits / 8)
        return static_cast<DWORD>(NTE_BAD_DATA);
    return CryptSetKeyParam(key, KP_IV, algorithm.iv.data(), 0) ? 0 : GetLastError();
}

DWORD ReadSize(HCRYPTKEY key, DWORD streamBlockBits) {
    DWORD blockBits = 0;
    DWORD size = sizeof(blockBits);
    if (!key || !CryptGetKeyParam(key, KP_BLOCKLEN, reinterpret_cast<BYTE*>(&blockBits), &size, 0) ||
        size < sizeof(blockBits) || blockBits == 0)
        blockBits = streamBlockBits;
    blockBits = std::min(std::max<DWORD>(blockBits, 1), kMaxStreamBlockBits);
    return blockBits * 512;
}

void CreateDigestObjects(const std::vector<BYTE>& digestAlgorithms, HCRYPTPROV provider,
                         std::vector<HashHandle>& hashes) {
    der::Reader set(digestAlgorithms);
    uint8_t tag = 0;
    der::Reader content;
    while (!set.empty() && set.ReadAnyElement(tag, content) && tag == der::kSequence) {
        der::Reader oid;
        if (!content.ReadElement(der::kOid, oid)) continue;
        // SHA-2 digests are recognised too; every other unknown OID is read as SHA-1.
        const ALG_ID algId = alg::DigestAlgorithmFromOid(oid.data(), oid.size());
        HashHandle hash;
        if (CryptCreateHash(provider, algId, 0, 0, hash.put())) hashes.push_back(std::move(hash));
    }
}

Fault ReadContentElement(EnvelopeFile& file, ContentElement& content) {
    const uint64_t start = file.position();
    BYTE tag = 0;
    if (!file.ReadByte(tag)) return file.ReadFault();
    if (tag != der::kContext0 && tag != der::kContext0Primitive) return FormatFault(kUnexpected);
    der::ParsedLength length;
    if (Fault fault = file.ReadLength(start, LengthRule::kContentLength, length)) return fault;
    if (tag == der::kContext0Primitive) {
        content.segmentLeft = content.bound = length.value;
        return Fault();
    }
    content.constructed = true;
    content.open = length.open;
    DWORD headerSize = 0;
    if (Fault fault = ReadSegmentHeader(file, content.segmentLeft, headerSize)) return fault;
    // A definite length that the first segment fills (or that is too short for it) holds just that one.
    const uint64_t first = uint64_t{headerSize} + content.segmentLeft;
    if (!content.open && length.value > first) content.definiteLeft = length.value - first;
    content.bound = content.open || content.definiteLeft ? file.remaining() : content.segmentLeft;
    return Fault();
}

bool StartContent(EnvelopeFile& file, HCRYPTKEY key, const ContentAlgorithm& algorithm, ContentElement& content,
                  EnvelopeOutcome& outcome) {
    if (key) {
        if (DWORD error = SetUpSessionKey(key, algorithm)) {
            outcome.finalBlockStatus = static_cast<LONG>(error);
            outcome.jobResult = kNoDecryptCert;
            return false;
        }
    }
    Fault fault = ReadContentElement(file, content);
    if (fault) RecordFault(outcome, fault);
    return !fault;
}

void SkipContent(EnvelopeFile& file, ContentElement& content, EnvelopeOutcome& outcome) {
    for (;;) {
        bool more = false;
        if (Fault fault = NextSegment(file, content, more)) {
            if (fault.code == kFileError) {
                outcome.readError = fault.systemError;
            } else {
                outcome.jobResult = fault.code;
            }
            return;
        }
        if (!more) return;
        if (content.segmentLeft > file.remaining()) {
            outcome.readError = ERROR_HANDLE_EOF;
            return;
        }
        if (!file.SkipBytes(content.segmentLeft)) {
            outcome.readError = file.systemError();
            return;
        }
        content.segmentLeft = 0;
    }
}

namespace {

// One batch of content on its way from the file to the client.
struct ContentBatch {
    explicit ContentBatch(DWORD capacity) : data(new BYTE[capacity]) {}
    std::unique_ptr<BYTE[]> data;
    DWORD length = 0;  // the content bytes read
    bool final = false;
    uint64_t end = 0;  // the file's position behind the batch
    // Set by the transform.
    DWORD plain = 0;
    bool transformed = false;
    DWORD error = 0;
};

Fault ReadBatch(EnvelopeFile& file, ContentElement& content, ContentBatch& batch, DWORD capacity) {
    bool more = false;
    Fault fault = ReadContent(file, content, batch.data.get(), capacity, batch.length);
    // The batch is final when no content follows it.
    if (!fault) fault = NextSegment(file, content, more);
    batch.final = !more;
    batch.end = file.position();
    return fault;
}

void TransformInBatch(const ContentPass& pass, ContentBatch& batch) {
    batch.transformed = TransformBatch(pass, batch.data.get(), batch.length, batch.final, batch.plain);
    batch.error = batch.transformed ? 0 : GetLastError();
}

// Hands the transformed batch to the client and polls the progress dialog; false stops the pass,
// with the outcome set.
bool DeliverBatch(const ContentPass& pass, const ContentBatch& batch, const ContentElement& content, bool first,
                  EnvelopeClient& client, const EnvelopeFile& file, EnvelopeOutcome& outcome) {
    if (batch.transformed && batch.final && pass.sessionKey) outcome.finalBlockStatus = 0;
    // What was decrypted before a failing call still goes out, as it would have piece by piece.
    if ((batch.plain > 0 || batch.transformed) &&
        !client.Deliver(batch.data.get(), batch.plain, first, batch.final && batch.transformed, content.bound))
        return false;
    if (!batch.transformed) {
        outcome.finalBlockStatus = static_cast<LONG>(batch.error);
        outcome.jobResult = kNoDecryptCert;
        return false;
    }
    if (pass.progress) {
        if (pass.progress->HasUserCancelled()) {
            outcome.jobResult = ERROR_CANCELLED;
            return false;
        }
        pass.progress->SetProgress64(batch.end, file.size());
    }
    return true;
}

}  // namespace

// The cipher works on one batch on a thread of its own while this thread delivers the batch
// before it and reads the next; the client, the file and the progress dialog stay on this thread.
void RunContentPass(EnvelopeFile& file, ContentElement& content, const ContentPass& pass, EnvelopeClient& client,
                    EnvelopeOutcome& outcome) {
    const DWORD batchSize = pass.readSize * std::max<DWORD>(1, kBatchBytes / pass.readSize);
    ContentBatch batches[2] = {ContentBatch(batchSize), ContentBatch(batchSize)};
    BackgroundJob transform;  // after the batches: it ends before they go
    ContentBatch* inTransform = nullptr;
    bool first = true;
    int fill = 0;
    // An empty content still gets its one (final) decryption: a stream cipher over an empty file
    // counts as decrypted, a block cipher without its padding block fails.
    for (;;) {
        ContentBatch* read = nullptr;
        Fault readFault;
        const uint64_t readStart = file.position();
        if (!inTransform || !inTransform->final) {
            read = &batches[fill];
            readFault = ReadBatch(file, content, *read, batchSize);
        }
        if (inTransform) transform.Wait();
        // Nothing more is decrypted after a failed call.
        if (read && !readFault && (!inTransform || inTransform->transformed)) transform.Start([&pass, read] {
            TransformInBatch(pass, *read);
            return true;
        });
        if (inTransform) {
            if (!DeliverBatch(pass, *inTransform, content, first, client, file, outcome)) {
                // The pass stops where the delivered content ends, not behind the batch read ahead.
                if (read) file.Rewind(readStart);
                return;
            }
            first = false;
        }
        // A read fault counts only once the batches before it are through.
        if (readFault) {
            RecordFault(outcome, readFault);
            return;
        }
        if (!read) return;
        inTransform = read;
        fill ^= 1;
    }
}

// The trailer's two elements, read whole.
static Fault ReadTrailerElements(EnvelopeFile& file, std::vector<BYTE>& certificates, std::vector<BYTE>& signerInfos) {
    uint64_t start = file.position();
    BYTE tag = 0;
    if (!file.ReadByte(tag)) return file.ReadFault();
    der::ParsedLength length;
    if (tag == der::kContext0) {
        if (Fault fault = file.ReadLength(start, LengthRule::kInsideEnd, length)) return fault;
        if (Fault fault = file.ReadIntoBuffer(length.value, certificates)) return fault;
        start = file.position();
        if (!file.ReadByte(tag)) return file.ReadFault();
    }
    if (tag != der::kSet) return FormatFault(kUnexpected);
    if (Fault fault = file.ReadLength(start, LengthRule::kAtLeastOne, length)) return fault;
    return file.ReadIntoBuffer(length.value, signerInfos);
}

bool ReadSignerTrailer(EnvelopeFile& file, const std::vector<HashHandle>& hashes, SignerTrailer& trailer,
                       EnvelopeOutcome& outcome) {
    if (Fault fault = ReadTrailerElements(file, trailer.certificates, trailer.signerInfos)) {
        RecordFault(outcome, fault);
        return false;
    }
    for (const HashHandle& hash : hashes) trailer.hashes.push_back(hash.get());
    return true;
}

}  // namespace reader_core
