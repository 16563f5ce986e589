// ReadEnvelope: the outer header, the session key, the content pass and the signature check of one
// packed file. The content is streamed from the disk block by block; only the recipient set, the
// digest set and the signer trailer are held in memory.
#include "unpack/envelope_reader.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "format/algorithms.h"
#include "format/der.h"
#include "format/service/encoding.h"
#include "format/service/algorithm_names.h"
#include "format/service/resources.h"
#include "unpack/reader_file.h"
#include "unpack/reader_state.h"
#include "unpack/recipient_key.h"
#include "unpack/signature_verify.h"

namespace {

constexpr UINT kNotEncryptedText = 723;
constexpr UINT kEncryptedText = 725;
constexpr DWORD kUnexpected = static_cast<DWORD>(CRYPT_E_UNEXPECTED_ENCODING);
constexpr DWORD kBadEncode = static_cast<DWORD>(CRYPT_E_BAD_ENCODE);
constexpr DWORD kUnknownAlgorithm = static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO);
constexpr DWORD kFileError = static_cast<DWORD>(CRYPT_E_FILE_ERROR);
constexpr DWORD kNoDecryptCert = static_cast<DWORD>(CRYPT_E_NO_DECRYPT_CERT);
// The content is read in batches of whole read-size pieces, about this size: one ReadFile per
// batch, while the cipher still gets one piece per call.
constexpr DWORD kBatchBytes = 256u << 10;

// A header fault: the job's result, and the system error for file faults.
struct Fault {
    DWORD code = 0;
    DWORD systemError = 0;
    explicit operator bool() const { return code != 0; }
};

Fault Format(DWORD code) { return Fault{code, 0}; }

void RecordFault(UnpackJob* job, const Fault& fault) {
    job->jobResult = fault.code;
    if (fault.code == kFileError) job->readError = fault.systemError;
}

// A read that failed, also one that met the end of the file early: a file error, with the
// system's reason (ERROR_HANDLE_EOF for a file that ends too soon).
Fault ReadFault(const EnvelopeFile& file) { return Fault{kFileError, file.systemError()}; }

enum class LengthCheck {
    kNone,
    kEndsAtFileEnd,  // tag, length bytes and length reach exactly the end of the file (open form exempt)
    kAtLeastOne,     // a definite length of at least 1
};

struct ElementHeader {
    DWORD length = 0;
    bool open = false;
    DWORD lengthBytes = 0;
};

Fault ReadElementHeader(EnvelopeFile& file, BYTE tag, LengthCheck check, ElementHeader& header) {
    const DWORD start = file.position();
    BYTE actual = 0;
    if (!file.ReadByte(actual)) return ReadFault(file);
    if (actual != tag) return Format(kUnexpected);
    der::ParsedLength length = file.PeekLength();
    if (length.used == 0 || file.systemError() != 0) return ReadFault(file);
    header.length = length.value;
    header.open = length.open;
    header.lengthBytes = length.used;
    if (check == LengthCheck::kEndsAtFileEnd && !length.open &&
        uint64_t{1} + length.used + length.value != uint64_t{file.size()} - start)
        return Format(kBadEncode);
    if (check == LengthCheck::kAtLeastOne && length.value == 0) return Format(kUnexpected);
    file.Consume(length.used);
    return Fault();
}

// A length must also fit in what is left of the file before it is read into memory.
Fault ReadIntoBuffer(EnvelopeFile& file, DWORD length, std::vector<BYTE>& out) {
    // Checked before anything is allocated: the read would meet the end of the file.
    if (length > file.remaining()) return Fault{kFileError, ERROR_HANDLE_EOF};
    out.resize(length);
    if (!file.ReadBytes(out.data(), length)) return ReadFault(file);
    return Fault();
}

Fault ReadOidValue(EnvelopeFile& file, std::vector<uint8_t>& value) {
    if (file.ReadOid(value)) return Fault();
    if (file.systemError() != 0) return ReadFault(file);
    return Format(kUnexpected);
}

void ShowView(HWND window, int command) {
    if (window) ShowWindow(window, command);
}

void SetViewText(HWND window, const std::wstring& text) {
    if (window) SetWindowTextW(window, text.c_str());
}

// Outer ContentInfo up to its [0]: the content type.
Fault ReadContentInfoStart(EnvelopeFile& file, UnpackJob* job) {
    ElementHeader header;
    if (Fault fault = ReadElementHeader(file, der::kSequence, LengthCheck::kEndsAtFileEnd, header)) return fault;
    std::vector<uint8_t> oid;
    if (Fault fault = ReadOidValue(file, oid)) return fault;
    if (oid.size() != 9 || std::memcmp(oid.data(), envelope_bytes::kPkcs7Prefix, 8) != 0)
        return Format(kUnknownAlgorithm);
    // Only the three kinds a packed file can be; data or digested content is not an envelope.
    if (oid[8] != 2 && oid[8] != 3 && oid[8] != 4) return Format(kUnknownAlgorithm);
    job->outerContentType = oid[8];
    return ReadElementHeader(file, der::kContext0, LengthCheck::kEndsAtFileEnd, header);
}

// The version INTEGER: exactly one value byte, 1 for signedAndEnvelopedData and 0 otherwise.
Fault ReadVersion(EnvelopeFile& file, DWORD contentType) {
    ElementHeader header;
    if (Fault fault = ReadElementHeader(file, der::kInteger, LengthCheck::kAtLeastOne, header)) return fault;
    // A longer INTEGER is refused rather than read by its first byte.
    if (header.length != 1) return Format(kUnexpected);
    BYTE version = 0;
    if (!file.ReadByte(version)) return ReadFault(file);
    if (version != (contentType == 4 ? 1 : 0)) return Format(kUnexpected);
    return Fault();
}

// The parameters after the OID: RC2-CBC-Parameter, or an IV (RC4: salt) OCTET STRING, or NULL.
Fault ReadAlgorithmParameters(EnvelopeFile& file, DWORD length, ReaderState& state) {
    std::vector<BYTE> parameters;
    if (length == 0) return Fault();
    if (Fault fault = ReadIntoBuffer(file, length, parameters)) return fault;
    if (state.algId == CALG_RC2) {
        DWORD version = 0;
        bool hasIv = false;
        BYTE iv[8] = {};
        if (DecodeRc2Parameters(parameters.data(), length, version, hasIv, iv)) {
            state.rc2Bits = alg::Rc2BitsForVersion(version);
            if (hasIv) state.iv.assign(iv, iv + 8);
        }
        return Fault();
    }
    std::vector<uint64_t> decoded;
    if (DecodeObject(X509_OCTET_STRING, parameters.data(), length, 0, decoded)) {
        const auto* octets = Decoded<CRYPT_DATA_BLOB>(decoded);
        state.iv.assign(octets->pbData, octets->pbData + octets->cbData);
    }
    return Fault();
}

// EnvelopedData / SignedAndEnvelopedData up to the encrypted content element.
Fault ReadEnvelopeHeader(EnvelopeFile& file, ReaderState& state) {
    UnpackJob* job = state.job;
    ElementHeader header;
    if (Fault fault = ReadElementHeader(file, der::kSequence, LengthCheck::kEndsAtFileEnd, header)) return fault;
    if (Fault fault = ReadVersion(file, job->outerContentType)) return fault;
    if (Fault fault = ReadElementHeader(file, der::kSet, LengthCheck::kAtLeastOne, header)) return fault;
    if (Fault fault = ReadIntoBuffer(file, header.length, state.recipientInfos)) return fault;
    if (job->outerContentType == 4) {
        if (Fault fault = ReadElementHeader(file, der::kSet, LengthCheck::kAtLeastOne, header)) return fault;
        if (Fault fault = ReadIntoBuffer(file, header.length, state.digestAlgorithms)) return fault;
    }
    // EncryptedContentInfo: a zero length only as a single byte (00, or the open form 80).
    if (Fault fault = ReadElementHeader(file, der::kSequence, LengthCheck::kNone, header)) return fault;
    if (header.length == 0 && header.lengthBytes > 1) return Format(kUnexpected);
    std::vector<uint8_t> oid;
    if (Fault fault = ReadOidValue(file, oid)) return fault;
    if (oid.size() != 9 || std::memcmp(oid.data(), envelope_bytes::kOidData + 2, 9) != 0)
        return Format(kUnknownAlgorithm);
    if (Fault fault = ReadElementHeader(file, der::kSequence, LengthCheck::kAtLeastOne, header)) return fault;
    const DWORD algorithmStart = file.position();
    if (Fault fault = ReadOidValue(file, state.algorithmOid)) return fault;
    state.algId = alg::AlgorithmFromOid(state.algorithmOid.data(), state.algorithmOid.size());
    if (!alg::IsContentEncryption(state.algId)) return Format(kUnknownAlgorithm);
    std::string dotted = alg::OidToDottedString(state.algorithmOid.data(), state.algorithmOid.size());
    if (state.view)
        SetViewText(state.view->informationText,
                    FormatText(kEncryptedText, AlgorithmDisplayName(state.algId, dotted.c_str()).c_str()));
    const DWORD oidSize = file.position() - algorithmStart;
    if (header.length < oidSize) return Format(kUnexpected);
    return ReadAlgorithmParameters(file, header.length - oidSize, state);
}

// Mode, IV/salt and effective key length on the session key; 0 or the failing call's error.
DWORD SetUpSessionKey(ReaderState& state) {
    HCRYPTKEY key = state.sessionKey;
    if (state.algId != CALG_RC4) {
        DWORD mode = CRYPT_MODE_CBC;
        if (!CryptSetKeyParam(key, KP_MODE, reinterpret_cast<const BYTE*>(&mode), 0)) return GetLastError();
    }
    if (state.algId == CALG_RC2 && state.rc2Bits) {
        if (!CryptSetKeyParam(key, KP_EFFECTIVE_KEYLEN, reinterpret_cast<const BYTE*>(&state.rc2Bits), 0))
            return GetLastError();
    }
    if (state.iv.empty()) return 0;
    if (state.algId == CALG_RC4) {
        // The salt goes in with its own length; a fixed-size KP_SALT would read past a short one.
        CRYPT_DATA_BLOB salt = {static_cast<DWORD>(state.iv.size()), state.iv.data()};
        if (!CryptSetKeyParam(key, KP_SALT_EX, reinterpret_cast<const BYTE*>(&salt), 0)) return GetLastError();
        return 0;
    }
    // KP_IV takes one cipher block: an IV of another length would be read past its end.
    DWORD blockBits = 0;
    DWORD size = sizeof(blockBits);
    if (CryptGetKeyParam(key, KP_BLOCKLEN, reinterpret_cast<BYTE*>(&blockBits), &size, 0) &&
        state.iv.size() != blockBits / 8)
        return static_cast<DWORD>(NTE_BAD_DATA);
    if (!CryptSetKeyParam(key, KP_IV, state.iv.data(), 0)) return GetLastError();
    return 0;
}

// Bytes per content read: 4096 cipher blocks; stream ciphers use the configured block size.
DWORD ReadSize(const ReaderState& state) {
    DWORD blockBits = 0;
    DWORD size = sizeof(blockBits);
    if (!state.sessionKey ||
        !CryptGetKeyParam(state.sessionKey, KP_BLOCKLEN, reinterpret_cast<BYTE*>(&blockBits), &size, 0) ||
        size < sizeof(blockBits) || blockBits == 0)
        blockBits = state.settings->blockSize;
    if (blockBits < 1) blockBits = 1;
    if (blockBits > kMaxBlockSize) blockBits = kMaxBlockSize;
    return blockBits * 512;
}

// The encrypted content element: one run of ciphertext (80 L, or A0 around one 04 L as our writer
// makes it), or a constructed [0] cut into several OCTET STRING segments, as streaming writers
// (gpgsm, OpenSSL's -stream) make it. The ciphertext is read segment by segment, never buffered.
struct ContentElement {
    DWORD segmentLeft = 0;   // ciphertext bytes left in the current segment
    bool constructed = false;
    bool open = false;       // A0 80
    bool ended = false;      // the element's end was read: no further segment is looked for
    DWORD definiteLeft = 0;  // definite A0: bytes after the current segment still inside it
    DWORD bound = 0;         // the most ciphertext there can be
};

// One segment's header: 04 and a definite length.
Fault ReadSegmentHeader(EnvelopeFile& file, DWORD& length, DWORD& headerSize) {
    BYTE tag = 0;
    if (!file.ReadByte(tag)) return ReadFault(file);
    if (tag != der::kOctetString) return Format(kUnexpected);
    der::ParsedLength octets = file.PeekLength();
    if (octets.used == 0 || file.systemError() != 0) return ReadFault(file);
    // An empty content (a stream cipher over an empty file) has a zero length: 04 00, or 04 84 00 00
    // 00 00 where the length was filled in after the content. Only the open form is refused.
    if (octets.open) return Format(kUnexpected);
    file.Consume(octets.used);
    length = octets.value;
    headerSize = 1 + octets.used;
    return Fault();
}

Fault ReadContentElement(EnvelopeFile& file, ContentElement& content) {
    BYTE tag = 0;
    if (!file.ReadByte(tag)) return ReadFault(file);
    if (tag != der::kContext0 && tag != der::kContext0Primitive) return Format(kUnexpected);
    der::ParsedLength length = file.PeekLength();
    if (length.used == 0 || file.systemError() != 0) return ReadFault(file);
    if (length.value == 0 && length.used > 1) return Format(kBadEncode);
    file.Consume(length.used);
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
    if (!content.open && length.value > first) content.definiteLeft = length.value - static_cast<DWORD>(first);
    content.bound = content.open || content.definiteLeft ? file.remaining() : content.segmentLeft;
    return Fault();
}

// Whether another segment follows the current one. The open form ends at 00 00 (read here), or, in
// the self-decoding form located by its segment's length, where no segment follows: at the signer
// trailer or the end of the file.
Fault SegmentFollows(EnvelopeFile& file, const ContentElement& content, bool& follows) {
    follows = false;
    if (!content.open) {
        follows = content.definiteLeft != 0;
        return Fault();
    }
    BYTE tag = 0;
    if (!file.PeekByte(tag)) return file.systemError() == ERROR_HANDLE_EOF ? Fault() : ReadFault(file);
    if (tag == der::kOctetString) {
        follows = true;
        return Fault();
    }
    if (tag != 0) return Fault();
    BYTE end[2] = {};
    if (!file.ReadBytes(end, 2)) return ReadFault(file);
    return end[1] == 0 ? Fault() : Format(kUnexpected);
}

// Moves to the next non-empty segment once the current one is used up; more is false at the end of
// the ciphertext.
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
            if (uint64_t{headerSize} + content.segmentLeft > content.definiteLeft) return Format(kBadEncode);
            content.definiteLeft -= headerSize + content.segmentLeft;
        }
    }
    more = content.segmentLeft != 0;
    return Fault();
}

// Up to count ciphertext bytes across segment headers; got falls short only at the content's end.
Fault ReadCiphertext(EnvelopeFile& file, ContentElement& content, BYTE* out, DWORD count, DWORD& got) {
    got = 0;
    while (got < count) {
        bool more = false;
        if (Fault fault = NextSegment(file, content, more)) return fault;
        if (!more) break;
        const DWORD take = std::min(count - got, content.segmentLeft);
        if (!file.ReadBytes(out + got, take)) return ReadFault(file);
        content.segmentLeft -= take;
        got += take;
    }
    return Fault();
}

// Describe mode passes over the ciphertext; only a misplaced segment header fails the job.
void SkipContent(EnvelopeFile& file, ContentElement& content, UnpackJob* job) {
    for (;;) {
        bool more = false;
        if (Fault fault = NextSegment(file, content, more)) {
            if (fault.code == kFileError) {
                job->readError = fault.systemError;
            } else {
                job->jobResult = fault.code;
            }
            return;
        }
        if (!more) return;
        if (content.segmentLeft > file.remaining()) {
            job->readError = ERROR_HANDLE_EOF;
            return;
        }
        if (!file.SkipBytes(content.segmentLeft)) {
            job->readError = file.systemError();
            return;
        }
        content.segmentLeft = 0;
    }
}

// The digest objects of a signed-and-enveloped file, one per digestAlgorithms entry we know.
void CreateDigestObjects(const ReaderState& state, std::vector<HashHandle>& hashes) {
    der::Reader set(state.digestAlgorithms);
    while (!set.empty()) {
        uint8_t tag = 0;
        der::Reader content;
        if (!set.ReadAnyElement(tag, content) || tag != der::kSequence) break;
        der::Reader oid;
        if (!content.ReadElement(der::kOid, oid)) continue;
        // SHA-2 digests are recognised too; every other unknown OID is read as SHA-1.
        ALG_ID algId = alg::DigestAlgorithmFromOid(oid.data(), oid.size());
        HashHandle hash;
        if (CryptCreateHash(state.keyProvider, algId, 0, 0, hash.put())) hashes.push_back(std::move(hash));
    }
}

// A nested signed ContentInfo at the start of the plaintext: 30 L 06 09 1.2.840.113549.1.7.x.
// The open length form (streamed signing, as OpenSSL writes it) is recognised as well.
BYTE NestedContentType(const BYTE* block, DWORD length, DWORD contentLength) {
    if (length < 2 || block[0] != der::kSequence) return 255;
    der::ParsedLength parsed = der::ParseDerLength(block + 1, length - 1);
    const DWORD o = parsed.used;
    if (o == 0 || o + 12 >= length) return 255;
    if (!parsed.open && (parsed.value <= 11 || uint64_t{parsed.value} + o + 1 > contentLength)) return 255;
    static const BYTE kOidStart[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07};
    if (std::memcmp(block + 1 + o, kOidStart, sizeof(kOidStart)) != 0) return 255;
    return block[1 + o + sizeof(kOidStart)];
}

struct ContentPass {
    ContentSink sink;
    std::vector<HashHandle> hashes;
    SignedMessage* message = nullptr;
    ~ContentPass() {
        if (message) CloseSignedMessage(message);
    }
};

void ReportProgress(ReaderState& state, DWORD fileSize) {
    if (state.progress) state.progress->SetProgress(state.job->offset, fileSize);
}

// Decrypts one batch in place, readSize bytes per call (the last call final when final), and
// feeds every hash. plain gets the plaintext bytes at the buffer's start, also when a call fails
// (false, with that call's error) after earlier ones succeeded.
bool DecryptBatch(const ReaderState& state, ContentPass& pass, BYTE* buffer, DWORD length, DWORD readSize,
                  bool final, DWORD& plain) {
    HCRYPTHASH firstHash = pass.hashes.empty() ? 0 : pass.hashes[0].get();
    plain = 0;
    DWORD done = 0;
    for (;;) {
        const DWORD piece = std::min(readSize, length - done);
        const bool last = done + piece == length;
        DWORD size = piece;
        if (!CryptDecrypt(state.sessionKey, firstHash, final && last, 0, buffer + done, &size)) return false;
        // Only a final call gives back fewer bytes than it took; keep the plaintext contiguous anyway.
        if (plain != done) std::memmove(buffer + plain, buffer + done, size);
        for (size_t i = 1; i < pass.hashes.size(); ++i) CryptHashData(pass.hashes[i].get(), buffer + plain, size, 0);
        plain += size;
        done += piece;
        if (last) return true;
    }
}

// Hands the first plaintext to the nested signed message when it is one, else to the sink; later
// plaintext goes where the first went. False with jobResult (and writeError) set on failure.
bool DeliverPlaintext(ReaderState& state, ContentPass& pass, BYTE* data, DWORD length, bool first, bool final,
                      DWORD contentLength) {
    UnpackJob* job = state.job;
    if (first) {
        job->innerContentType = NestedContentType(data, length, contentLength);
        if (job->innerContentType == 2) {
            pass.message = OpenSignedMessage(true, WriteContent, &pass.sink);
            if (!pass.message) {
                job->jobResult = GetLastError();
                return false;
            }
        } else {
            job->innerContentType = 255;  // anything but a signed message is plain content
        }
    }
    if (pass.message) {
        if (UpdateSignedMessage(pass.message, data, length, final)) return true;
        job->jobResult = GetLastError();
        return false;
    }
    if (WriteContent(&pass.sink, data, length, final)) return true;
    job->writeError = GetLastError();
    job->jobResult = kFileError;
    return false;
}

// Decrypts the content batch by batch into the sink (or the nested message).
void DecryptContent(ReaderState& state, EnvelopeFile& file, ContentElement& content, ContentPass& pass,
                    HANDLE output) {
    UnpackJob* job = state.job;
    StartContentSink(&pass.sink, job, output);
    const DWORD readSize = ReadSize(state);
    const DWORD batchSize = readSize * std::max<DWORD>(1, kBatchBytes / readSize);
    std::unique_ptr<BYTE[]> buffer(new BYTE[batchSize]);
    bool first = true;
    bool final = false;
    // An empty content still gets its one (final) decryption: a stream cipher over an empty file
    // counts as decrypted, a block cipher without its padding block fails.
    do {
        DWORD batch = 0;
        bool more = false;
        Fault fault = ReadCiphertext(file, content, buffer.get(), batchSize, batch);
        // The batch is final when no ciphertext follows it.
        if (!fault) fault = NextSegment(file, content, more);
        if (fault) {
            RecordFault(job, fault);
            break;
        }
        final = !more;
        DWORD plain = 0;
        const bool decrypted = DecryptBatch(state, pass, buffer.get(), batch, readSize, final, plain);
        const DWORD decryptError = decrypted ? 0 : GetLastError();
        if (decrypted && final) job->finalBlockStatus = 0;
        // What was decrypted before a failing call still goes out, as it would have piece by piece.
        if ((plain > 0 || decrypted) &&
            !DeliverPlaintext(state, pass, buffer.get(), plain, first, final && decrypted, content.bound))
            break;
        first = false;
        if (!decrypted) {
            job->finalBlockStatus = static_cast<LONG>(decryptError);
            job->jobResult = kNoDecryptCert;
            break;
        }
        if (state.progress) {
            if (state.progress->HasUserCancelled()) {
                job->jobResult = ERROR_CANCELLED;
                break;
            }
            ReportProgress(state, file.size());
        }
    } while (!final);
    LONG status = FinishContentSink(&pass.sink);
    if (job->compressedContent) job->decompressStatus = status;
}

// The signer trailer of a signed-and-enveloped file: optional certificates, then the SignerInfos.
void VerifyTrailer(ReaderState& state, EnvelopeFile& file, ContentPass& pass) {
    UnpackJob* job = state.job;
    std::vector<BYTE> certificates;
    std::vector<BYTE> signerInfos;
    auto fail = [&](const Fault& fault) {
        job->jobResult = fault.code;
        if (fault.code == kFileError) job->readError = fault.systemError;
    };
    BYTE tag = 0;
    if (!file.ReadByte(tag)) return fail(ReadFault(file));
    if (tag == der::kContext0) {
        const DWORD start = file.position() - 1;
        der::ParsedLength length = file.PeekLength();
        if (length.used == 0 || file.systemError() != 0) return fail(ReadFault(file));
        if (uint64_t{1} + length.used + length.value > uint64_t{file.size()} - start) return fail(Format(kBadEncode));
        file.Consume(length.used);
        if (Fault fault = ReadIntoBuffer(file, length.value, certificates)) return fail(fault);
        if (!file.ReadByte(tag)) return fail(ReadFault(file));
    }
    if (tag != der::kSet) return fail(Format(kUnexpected));
    der::ParsedLength length = file.PeekLength();
    if (length.used == 0 || file.systemError() != 0) return fail(ReadFault(file));
    if (length.value == 0) return fail(Format(kUnexpected));
    file.Consume(length.used);
    if (Fault fault = ReadIntoBuffer(file, length.value, signerInfos)) return fail(fault);
    std::vector<HCRYPTHASH> hashes;
    for (const HashHandle& hash : pass.hashes) hashes.push_back(hash.get());
    std::vector<SignerCheck> checks;
    DWORD verified = VerifyEnvelopeSigners(state.settings->store, state.keyProvider, hashes.data(),
                                           static_cast<DWORD>(hashes.size()), state.sessionKey, certificates.data(),
                                           static_cast<DWORD>(certificates.size()), signerInfos.data(),
                                           static_cast<DWORD>(signerInfos.size()), checks);
    ApplySignerChecks(job, state.view, checks, verified);
}

void Verify(ReaderState& state, EnvelopeFile& file, ContentPass& pass) {
    UnpackJob* job = state.job;
    if (pass.message && job->innerContentType == 2) {
        if (state.view) {
            ShowView(state.view->signersList, SW_SHOW);
            ShowView(state.view->signatureCaption, SW_SHOW);
        }
        std::vector<SignerCheck> checks;
        DWORD verified = VerifyMessageSigners(pass.message, state.settings->store, checks);
        ApplySignerChecks(job, state.view, checks, verified);
    } else if (job->outerContentType == 4) {
        VerifyTrailer(state, file, pass);
    }
}

// Everything after the packed file and the output are open.
LONG ReadOpenEnvelope(ReaderState& state, EnvelopeFile& file, FileHandle& output) {
    UnpackJob* job = state.job;
    UnpackView* view = state.view;
    if (Fault fault = ReadContentInfoStart(file, job)) {
        RecordFault(job, fault);
        return 1;
    }
    const DWORD type = job->outerContentType;
    if (view) {
        if (type == 3 || type == 4) EnableWindow(view->recipientsList, TRUE);
        if (type == 2 || type == 4) {
            SetViewText(view->informationText, LoadText(kNotEncryptedText));
            ShowView(view->signersList, SW_SHOW);
            ShowView(view->signatureCaption, SW_SHOW);
        }
    }
    if (type == 2)
        return ReadSignedFile(file.handle(), file.remaining(), output.get(), state.progress, state.settings, job, view);
    if (Fault fault = ReadEnvelopeHeader(file, state)) {
        RecordFault(job, fault);
        return 1;
    }
    ReportProgress(state, file.size());

    ScanRecipients(state);
    state.recipientInfos.clear();
    bool cancelled = state.progress && state.progress->HasUserCancelled();
    if (cancelled || job->jobResult != 0 || (!state.sessionKey && job->decodeMode != kModeDescribe)) return 0;

    if (state.sessionKey) {
        DWORD error = SetUpSessionKey(state);
        if (error) {
            job->finalBlockStatus = static_cast<LONG>(error);
            job->jobResult = kNoDecryptCert;
            return 0;
        }
    }
    ContentElement content;
    if (Fault fault = ReadContentElement(file, content)) {
        RecordFault(job, fault);
        return 0;
    }
    ContentPass pass;
    if (job->decodeMode == kModeDescribe) {
        SkipContent(file, content, job);
    } else {
        if (type == 4) CreateDigestObjects(state, pass.hashes);
        DecryptContent(state, file, content, pass, output.get());
    }
    if (job->jobResult == 0) Verify(state, file, pass);
    return 0;
}

}  // namespace

LONG ReadEnvelope(IProgressDialog* progress, UnpackSettings* settings, UnpackJob* job, UnpackView* view) {
    if (!settings || !settings->store || !job || job->inputPath.empty()) return E_FAIL;
    ReaderState state;
    state.progress = progress;
    state.settings = settings;
    state.job = job;
    state.view = view;

    FileHandle input(CreateFileW(job->inputPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!input || !GetFileSizeEx(input.get(), &size)) {
        job->jobResult = kFileError;
        job->readError = GetLastError();
        return 1;
    }
    // Offsets and lengths are 32-bit: a larger file is refused before anything is created.
    if (size.QuadPart > 0xFFFFFFFFLL) {
        job->jobResult = ERROR_FILE_TOO_LARGE;
        job->readError = ERROR_FILE_TOO_LARGE;
        return 1;
    }
    job->readError = 0;
    FileHandle output;
    if (job->decodeMode == kModeUnpack && !OpenReaderOutput(state, output)) return 1;

    EnvelopeFile file(input.get(), static_cast<DWORD>(size.QuadPart), &job->offset);
    LONG result = ReadOpenEnvelope(state, file, output);

    // Clean-up: the session key before the provider that holds it (hash objects went with the pass).
    if (state.sessionKey) CryptDestroyKey(state.sessionKey);
    input.reset();
    ReleaseProvider(state.keyProvider, state.keyProviderIsCopy);
    if (progress && progress->HasUserCancelled()) job->jobResult = ERROR_CANCELLED;
    output.reset();
    return result;
}
