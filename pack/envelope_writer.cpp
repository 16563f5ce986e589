#include "pack/envelope_writer.h"

#include <algorithm>
#include <new>
#include <vector>

#include "format/algorithms.h"
#include "format/auth_enveloped.h"
#include "format/envelope_layout.h"
#include "format/service/aes_gcm.h"
#include "format/service/background_job.h"
#include "format/service/content_cipher.h"
#include "format/service/crypto_handles.h"
#include "format/service/encoding.h"
#include "format/service/plain_key.h"
#include "pack/envelope_parts.h"
#include "packer_ui/packer_window.h"

namespace {

using envelope::Kind;

// The content goes through the buffers in batches of whole chunks, about this size: one read and
// one write per batch instead of per chunk, while the cipher still gets one chunk per call. With
// the cipher on its own thread, batches this large keep both threads busy where smaller ones left
// one waiting on the other's jitter (256 KiB: 0.84 of the cipher's rate, 1 MiB: 0.99).
constexpr DWORD kBatchBytes = 1024u << 10;
// A deflate stream of unknown length delivers far below the cipher's rate: large batches would buy
// nothing there and only hold memory beside the deflate threads' own blocks.
constexpr DWORD kDeflatedBatchBytes = 256u << 10;

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

// The settings fields the writer reads, copied once at the start of a call.
struct WriterSettings {
    ALG_ID encryptAlgorithm = CALG_RC2;
    DWORD keyLength = 40;
    bool createSalt = true;
    bool createIv = true;
    ALG_ID hashAlgorithm = CALG_SHA1;
    DWORD signedMessageType = 4;
    bool addCertificates = true;
    bool selfDecoding = false;
    DWORD defaultBlockBits = 64;
    KeyTransport keyTransport = KeyTransport::kRsaPkcs1;
    bool gcm = false;  // AES in GCM mode: AuthEnvelopedData
};

WriterSettings ReadWriterSettings(const CVSettingsDlg& page) {
    WriterSettings s;
    s.encryptAlgorithm = page.EncryptAlgorithmID;
    s.keyLength = page.EncryptKeyLength;
    s.createSalt = page.EncryptCreateSalt != 0;
    s.createIv = page.EncryptCreateIV != 0;
    s.hashAlgorithm = page.HashAlgorithmID;
    s.signedMessageType = page.SignedMessageType;
    s.addCertificates = page.AddCertsToSignedFile != 0;
    s.selfDecoding = page.CreateSelfdecodedFile != 0;
    s.defaultBlockBits = page.DefaultEncryptionBlockSize;
    // The self-decoding program unwraps PKCS #1 v1.5 only, so its content key is wrapped that way.
    if (page.KeyTransport == static_cast<DWORD>(KeyTransport::kRsaOaep) && !s.selfDecoding)
        s.keyTransport = KeyTransport::kRsaOaep;
    // The same holds for GCM: a self-decoding program is written with AES in CBC mode.
    s.gcm = page.EncryptMode == kEncryptModeGcm && !s.selfDecoding && alg::IsAes(s.encryptAlgorithm);
    return s;
}

std::vector<PCCERT_CONTEXT> RecipientCertificates(const PackerWindow& window) {
    std::vector<PCCERT_CONTEXT> out;
    const CVCertificateDlg* page = window.encryptionPage;
    if (!page) return out;
    for (DWORD i = 0; i < page->count; ++i)
        if (page->items[i]) out.push_back(page->CertificateAt(i));
    return out;
}

bool WriteAll(HANDLE file, const void* data, DWORD size) {
    DWORD written = 0;
    if (!WriteFile(file, data, size, &written, nullptr)) return false;
    return written == size || Fail(ERROR_WRITE_FAULT);
}

bool WriteAll(HANDLE file, const std::vector<BYTE>& bytes) {
    return WriteAll(file, bytes.data(), static_cast<DWORD>(bytes.size()));
}

// One WriteEnvelope call. The members hold what the steps hand on to each other; every handle is
// owned, so any early return releases it.
class EnvelopeWriter {
public:
    EnvelopeWriter(HANDLE output, ISequentialStream* source, uint64_t plaintextSize, bool sizeIsBound,
                   const SignerEntry* signers, DWORD signerCount, const PackerWindow& window, HCRYPTPROV provider)
        : output_(output),
          source_(source),
          plaintextSize_(plaintextSize),
          lengthsLater_(sizeIsBound),
          signers_(signers, signers + signerCount),
          recipients_(RecipientCertificates(window)),
          settings_(ReadWriterSettings(*window.settingsPage)),
          provider_(provider) {}

    ~EnvelopeWriter() {
        cipherJob_.Wait();  // a batch may still be in the cipher when a step failed
        for (std::vector<BYTE>& buffer : buffers_)
            if (!buffer.empty()) SecureZeroMemory(buffer.data(), buffer.size());
    }

    bool Write() {
        return ChooseKind() && PrepareEncryption() && PrepareSigning() && WriteHeader() && AllocateBuffer() &&
               CopyContent() && FinishMac() && FinishTrailer() && FinishOpenForm() && SettleLengths();
    }

private:
    bool HasRecipients() const { return !recipients_.empty(); }
    bool HasSigners() const { return !signers_.empty(); }
    bool SignedHeaderInBuffer() const { return kind_ == Kind::kSignedInsideEnveloped; }
    bool Authenticated() const { return settings_.gcm && HasRecipients(); }
    // The cipher runs on a thread of its own while batches are read and written. Not for a
    // deflate stream, which keeps the processors busy with its own threads: there the cipher
    // stays on this thread, without a thread (and its memory) beside them.
    bool OverlapsCipher() const { return sessionKey_ && !lengthsLater_; }
    bool StartGcm();

    bool ChooseKind();
    bool PrepareEncryption();
    bool BuildRecipientInfos();
    bool BuildAlgorithmIdentifier();
    bool PrepareSigning();
    bool SizeTrailer();
    bool WriteHeader();
    bool AllocateBuffer();
    bool FillBatch(BYTE* data, DWORD wanted, DWORD& got, bool& ended);
    bool EncryptBatch(std::vector<BYTE>& buffer, DWORD& length, bool final);
    bool StartCipher(int index, DWORD length, bool final);
    bool WriteBatch(int index);
    bool CopyContent();
    bool BuildTrailer(std::vector<BYTE>& trailer);
    bool FinishTrailer();
    bool FinishMac();
    bool FinishOpenForm();
    bool BuildOuterHeader(std::vector<BYTE>& header);
    bool MoveContentBack(uint64_t from, uint64_t to, uint64_t end);
    bool SettleLengths();

    HANDLE output_;
    ISequentialStream* source_;
    uint64_t plaintextSize_;  // with lengthsLater_ only a bound until the content is in
    bool lengthsLater_;
    DWORD reservedHeader_ = 0;  // header bytes written for the bound
    std::vector<SignerEntry> signers_;
    std::vector<PCCERT_CONTEXT> recipients_;
    WriterSettings settings_;
    HCRYPTPROV provider_;

    Kind kind_ = Kind::kEnveloped;
    bool openForm_ = false;
    LARGE_INTEGER envelopeStart_ = {};
    KeyHandle sessionKey_;
    AesGcmStream gcm_;  // the content cipher in GCM mode; the session key then only travels
    CngContentCipher cng_;  // the content cipher when CNG took the session key over
    uint8_t gcmNonce_[auth_enveloped::kNonceSize] = {};
    DWORD cipherBlockBytes_ = 0;  // 0: stream cipher, GCM or no key
    std::vector<BYTE> recipientInfos_;
    std::vector<BYTE> algorithmIdentifier_;
    HashHandle hash_;
    std::vector<BYTE> digestSet_;
    std::vector<DWORD> signerInfoSizes_;  // trial sizes, checked against the real encodings
    uint64_t trailerLength_ = 0;
    std::vector<BYTE> signedHeader_;  // kept in front of the content in the buffer
    DWORD lengthPatchOffset_ = 0;     // from the envelope's start (open form)
    uint64_t expectedContent_ = 0;    // content bytes the plain-form header announced
    uint64_t contentRead_ = 0;        // plaintext bytes read from the source
    uint64_t contentWritten_ = 0;     // content bytes written (ciphertext, or clear content)
    // Two batches in turn where the cipher overlaps (one buffer otherwise): the cipher works on one
    // (on cipherJob_'s thread) while the batch before it is written from the other and the next is
    // read into it.
    std::vector<BYTE> buffers_[2];
    DWORD batchLengths_[2] = {};  // the bytes each buffer holds to be written
    DWORD chunk_ = 0;
    DWORD batch_ = 0;  // a whole number of chunks
    BackgroundJob cipherJob_;  // last: its thread ends before the members it uses go
};

bool EnvelopeWriter::ChooseKind() {
    openForm_ = settings_.selfDecoding;
    if (!HasRecipients() && !HasSigners()) return Fail(ERROR_INVALID_PARAMETER);
    if (!HasRecipients()) {
        kind_ = Kind::kSigned;
    } else if (!HasSigners()) {
        kind_ = Kind::kEnveloped;
    } else if (Authenticated()) {
        // signedAndEnvelopedData has no authenticated form: the signed message goes inside.
        kind_ = Kind::kSignedInsideEnveloped;
    } else if (openForm_ || settings_.signedMessageType == 4) {
        kind_ = Kind::kSignedAndEnveloped;
    } else if (settings_.signedMessageType == 3) {
        kind_ = Kind::kSignedInsideEnveloped;
    } else {
        // Any other message type has no envelope layout: refuse instead of guessing one.
        return Fail(static_cast<DWORD>(NTE_BAD_TYPE));
    }
    // A header inside the ciphertext or the open form's patch cannot be settled afterwards.
    if (lengthsLater_ && (openForm_ || kind_ == Kind::kSignedInsideEnveloped)) return Fail(ERROR_NOT_SUPPORTED);
    LARGE_INTEGER zero = {};
    return SetFilePointerEx(output_, zero, &envelopeStart_, FILE_CURRENT) != FALSE;
}

bool EnvelopeWriter::PrepareEncryption() {
    if (!HasRecipients()) return true;
    if (!provider_) return Fail(ERROR_INVALID_PARAMETER);
    if (!alg::IsContentEncryption(settings_.encryptAlgorithm)) return Fail(static_cast<DWORD>(NTE_BAD_ALGID));
    if (!GenerateSessionKey(provider_, settings_.encryptAlgorithm, settings_.keyLength, settings_.createSalt,
                            sessionKey_))
        return false;
    if (Authenticated()) return StartGcm() && BuildRecipientInfos();
    cipherBlockBytes_ = CipherBlockBytes(sessionKey_.get());
    // A provider that cannot tell the block length of a block cipher: the table knows it.
    if (cipherBlockBytes_ == 0 && alg::IsBlockCipher(settings_.encryptAlgorithm))
        cipherBlockBytes_ = alg::ContentEncryptionRow(settings_.encryptAlgorithm)->ivLength;
    if (!BuildRecipientInfos() || !BuildAlgorithmIdentifier()) return false;
    // With mode and IV set, CNG takes the bulk work over where the rule allows; else the provider does it.
    cng_.StartFromSessionKey(provider_, sessionKey_.get(), settings_.encryptAlgorithm);
    return true;
}

// GCM runs outside the key's provider: the stream gets the key's bytes and a random nonce, and
// the session key is kept only to be wrapped for the recipients. GCM pads nothing.
bool EnvelopeWriter::StartGcm() {
    SecretBytes keyBytes;
    if (!ExportPlainKey(sessionKey_.get(), keyBytes) ||
        !CryptGenRandom(provider_, sizeof gcmNonce_, gcmNonce_) ||
        !gcm_.Start(keyBytes.bytes().data(), keyBytes.bytes().size(), gcmNonce_))
        return false;
    algorithmIdentifier_ = auth_enveloped::GcmAlgorithmIdentifier(settings_.encryptAlgorithm, gcmNonce_,
                                                                  auth_enveloped::kWrittenTagSize);
    return !algorithmIdentifier_.empty() || Fail(static_cast<DWORD>(NTE_BAD_ALGID));
}

bool EnvelopeWriter::BuildRecipientInfos() {
    std::vector<std::vector<BYTE>> infos;
    DWORD lastError = 0;
    for (PCCERT_CONTEXT certificate : recipients_) {
        std::vector<BYTE> info;
        // A recipient whose key cannot be used is left out; the others still get the envelope.
        if (EncodeRecipientInfo(provider_, sessionKey_.get(), certificate, settings_.keyTransport, info))
            infos.push_back(std::move(info));
        else
            lastError = GetLastError();
    }
    if (infos.empty()) return Fail(lastError ? lastError : static_cast<DWORD>(NTE_BAD_PUBLIC_KEY));
    const BYTE version = kind_ == Kind::kSignedAndEnveloped ? 1 : 0;
    recipientInfos_ = envelope::RecipientInfosBlock(version, infos);
    return true;
}

bool EnvelopeWriter::BuildAlgorithmIdentifier() {
    std::vector<BYTE> parameters;
    if (!PrepareKeyParameters(provider_, sessionKey_.get(), settings_.encryptAlgorithm, settings_.keyLength,
                              settings_.createIv, parameters))
        return false;
    const alg::AlgorithmRow* row = alg::ContentEncryptionRow(settings_.encryptAlgorithm);
    algorithmIdentifier_ = envelope::AlgorithmIdentifier(row->oidElement, row->oidElementSize, parameters);
    return true;
}

bool EnvelopeWriter::PrepareSigning() {
    if (!HasSigners()) return true;
    // The envelope names only the hashes DigestSet knows; a signature over another digest would never verify.
    digestSet_ = DigestSet(settings_.hashAlgorithm);
    if (digestSet_.empty()) return Fail(static_cast<DWORD>(NTE_BAD_ALGID));
    // The session key's provider may be of a type without the SHA-2 hashes; the signer's key was
    // opened in one that signs with them.
    if ((!provider_ || !CryptCreateHash(provider_, settings_.hashAlgorithm, 0, 0, hash_.put())) &&
        !CryptCreateHash(signers_[0].provider, settings_.hashAlgorithm, 0, 0, hash_.put()))
        return false;
    return SizeTrailer();
}

bool EnvelopeWriter::SizeTrailer() {
    uint64_t certificates = 0;
    uint64_t signerInfos = 0;
    for (const SignerEntry& signer : signers_) {
        DWORD size = 0;
        if (!TrialSignerInfoSize(signer, settings_.hashAlgorithm,
                                 kind_ == Kind::kSignedAndEnveloped ? cipherBlockBytes_ : 0,
                                 kind_ == Kind::kSignedAndEnveloped, size))
            return false;
        signerInfoSizes_.push_back(size);
        signerInfos += size;
        certificates += signer.certificate->cbCertEncoded;
    }
    trailerLength_ = envelope::TrailerLength(certificates, settings_.addCertificates, signerInfos);
    if (trailerLength_ > 0x7FFFFFFF) return Fail(ERROR_ARITHMETIC_OVERFLOW);
    return true;
}

bool EnvelopeWriter::BuildOuterHeader(std::vector<BYTE>& header) {
    envelope::HeaderInput outer;
    outer.openForm = openForm_;
    outer.authenticated = Authenticated();
    outer.recipientInfos = recipientInfos_;
    outer.algorithmIdentifier = algorithmIdentifier_;
    switch (kind_) {
    case Kind::kEnveloped:
        outer.kind = Kind::kEnveloped;
        outer.contentLength = envelope::CiphertextLength(plaintextSize_, cipherBlockBytes_);
        if (outer.authenticated) outer.trailerLength = auth_enveloped::kMacElementSize;
        break;
    case Kind::kSignedAndEnveloped:
        outer.kind = Kind::kSignedAndEnveloped;
        outer.digestSet = digestSet_;
        outer.trailerLength = trailerLength_;
        outer.contentLength = envelope::CiphertextLength(plaintextSize_, cipherBlockBytes_);
        break;
    case Kind::kSignedInsideEnveloped: {
        envelope::HeaderInput inner;
        inner.kind = Kind::kSigned;
        inner.digestSet = digestSet_;
        inner.contentLength = plaintextSize_;
        inner.trailerLength = trailerLength_;
        if (!envelope::BuildHeader(inner, signedHeader_)) return Fail(ERROR_ARITHMETIC_OVERFLOW);
        uint64_t signedSize = signedHeader_.size() + plaintextSize_ + trailerLength_;
        outer.kind = Kind::kEnveloped;
        outer.contentLength = envelope::CiphertextLength(signedSize, cipherBlockBytes_);
        if (outer.authenticated) outer.trailerLength = auth_enveloped::kMacElementSize;
        break;
    }
    case Kind::kSigned:
        outer.kind = Kind::kSigned;
        outer.digestSet = digestSet_;
        outer.trailerLength = trailerLength_;
        outer.contentLength = plaintextSize_;
        break;
    }
    expectedContent_ = outer.contentLength;
    if (!envelope::BuildHeader(outer, header)) return Fail(ERROR_ARITHMETIC_OVERFLOW);
    if (openForm_) {
        lengthPatchOffset_ = kind_ == Kind::kSigned
                                 ? static_cast<DWORD>(header.size() - 4)
                                 : envelope::OpenFormLengthOffset(algorithmIdentifier_.size(), recipientInfos_.size(),
                                                                  digestSet_.size());
    }
    return true;
}

bool EnvelopeWriter::WriteHeader() {
    std::vector<BYTE> header;
    if (!BuildOuterHeader(header)) return false;
    reservedHeader_ = static_cast<DWORD>(header.size());
    return WriteAll(output_, header);
}

bool EnvelopeWriter::AllocateBuffer() {
    DWORD blockBits = cipherBlockBytes_ * 8;
    if (blockBits == 0) blockBits = settings_.defaultBlockBits;
    // The fallback comes from the registry: keep the chunk between 4 KiB and 512 KiB.
    if (blockBits < 8 || blockBits > 1024) blockBits = 64;
    chunk_ = blockBits * 512;
    // A chunk must hold the signed header in front of the content and whole cipher blocks.
    if (chunk_ < signedHeader_.size() + 1024 || (cipherBlockBytes_ && chunk_ % cipherBlockBytes_))
        return Fail(ERROR_INVALID_PARAMETER);
    const DWORD batchBytes = lengthsLater_ ? kDeflatedBatchBytes : kBatchBytes;
    batch_ = chunk_ * std::max<DWORD>(1, batchBytes / chunk_);
    uint64_t size = uint64_t{batch_} + cipherBlockBytes_ + trailerLength_ + 12;
    buffers_[0].assign(static_cast<size_t>(size), 0);
    if (OverlapsCipher()) buffers_[1].assign(static_cast<size_t>(size), 0);
    return true;
}

// Reads until the batch is full or the source ends. A short Read alone does not end the source:
// only S_FALSE or a Read that delivers nothing does, so a stream that hands out small pieces
// loses no data.
bool EnvelopeWriter::FillBatch(BYTE* data, DWORD wanted, DWORD& got, bool& ended) {
    got = 0;
    ended = false;
    while (got < wanted) {
        ULONG read = 0;
        SetLastError(0);
        HRESULT hr = source_->Read(data + got, wanted - got, &read);
        if (hr == E_ABORT) return Fail(ERROR_CANCELLED);
        if (FAILED(hr)) {
            // The source file stream leaves the cause of its E_FAIL (a read or deflate error) in
            // the last error; the user is shown that rather than "unspecified error".
            const DWORD cause = GetLastError();
            return Fail(hr == E_FAIL && cause ? cause : static_cast<DWORD>(hr));
        }
        got += std::min<ULONG>(read, wanted - got);
        if (hr == S_FALSE || read == 0) {
            ended = true;
            break;
        }
    }
    // In the plain form every length was computed from plaintextSize: more bytes would break them.
    if (!openForm_ && contentRead_ + got > plaintextSize_) return Fail(ERROR_INVALID_DATA);  // also past a bound
    contentRead_ += got;
    return true;
}

// Encrypts the first length bytes of the buffer in place, one chunk per call; with final the
// last call adds the padding, and length grows by it.
bool EnvelopeWriter::EncryptBatch(std::vector<BYTE>& buffer, DWORD& length, bool final) {
    if (Authenticated()) return gcm_.Encrypt(buffer.data(), buffer.data(), length);
    DWORD done = 0;
    for (;;) {
        const DWORD piece = std::min(chunk_, length - done);
        const bool last = done + piece == length;
        DWORD size = piece;
        const DWORD room = static_cast<DWORD>(buffer.size() - done);
        const bool encrypted = cng_.started()
                                   ? cng_.Encrypt(buffer.data() + done, size, room, final && last)
                                   : CryptEncrypt(sessionKey_.get(), 0, final && last, 0, buffer.data() + done, &size,
                                                  room) != FALSE;
        if (!encrypted) return false;
        done += size;
        if (last) break;
    }
    length = done;
    return true;
}

// Hands the batch in buffers_[index] to the cipher's thread once the batch before is through it,
// or encrypts it here; content written in the clear needs no pass.
bool EnvelopeWriter::StartCipher(int index, DWORD length, bool final) {
    batchLengths_[index] = length;
    if (!sessionKey_) return true;
    if (!OverlapsCipher()) return EncryptBatch(buffers_[index], batchLengths_[index], final);
    return cipherJob_.Start([this, index, final] { return EncryptBatch(buffers_[index], batchLengths_[index], final); });
}

bool EnvelopeWriter::WriteBatch(int index) {
    if (!WriteAll(output_, buffers_[index].data(), batchLengths_[index])) return false;
    contentWritten_ += batchLengths_[index];
    return true;
}

// Reads a batch into one buffer while the cipher works on the batch before in the other; that one
// is written as soon as the cipher is through it and the new batch has taken its place there. The
// buffers keep only ciphertext (or, without recipients, content written in the clear) between
// batches; the destructor wipes them once at the end.
bool EnvelopeWriter::CopyContent() {
    DWORD offset = static_cast<DWORD>(signedHeader_.size());
    std::copy(signedHeader_.begin(), signedHeader_.end(), buffers_[0].begin());
    int current = 0;
    bool earlierBatch = false;  // buffers_[current ^ 1] holds a batch still to be written
    for (;;) {
        std::vector<BYTE>& buffer = buffers_[current];
        DWORD got = 0;
        bool ended = false;
        if (!FillBatch(buffer.data() + offset, batch_ - offset, got, ended)) return false;
        const bool final = ended || offset + got < batch_;
        if (hash_ && !CryptHashData(hash_.get(), buffer.data() + offset, got, 0)) return false;
        DWORD length = offset + got;
        if (final && lengthsLater_) plaintextSize_ = contentRead_;
        if (final && !openForm_ && contentRead_ != plaintextSize_) return Fail(ERROR_INVALID_DATA);
        if (final && SignedHeaderInBuffer()) {
            // The signed ContentInfo ends with its trailer; it is encrypted with the last chunk.
            std::vector<BYTE> trailer;
            if (!BuildTrailer(trailer)) return false;
            std::copy(trailer.begin(), trailer.end(), buffer.begin() + length);
            length += static_cast<DWORD>(trailer.size());
            SecureZeroMemory(trailer.data(), trailer.size());
        }
        if (!StartCipher(current, length, final)) return false;
        if (!OverlapsCipher()) {
            if (!WriteBatch(current)) return false;
        } else {
            if (earlierBatch && !WriteBatch(current ^ 1)) return false;
            earlierBatch = true;
            current ^= 1;
        }
        offset = 0;
        if (final) break;
    }
    if (OverlapsCipher() && (!cipherJob_.Wait() || !WriteBatch(current ^ 1))) return false;
    if (!openForm_ && !lengthsLater_ && contentWritten_ != expectedContent_) return Fail(ERROR_INVALID_DATA);
    return true;
}

bool EnvelopeWriter::BuildTrailer(std::vector<BYTE>& trailer) {
    std::vector<BYTE> digest;
    if (!HashValue(hash_.get(), digest)) return false;
    std::vector<BYTE> signerInfos;
    std::vector<BYTE> certificates;
    for (size_t i = 0; i < signers_.size(); ++i) {
        std::vector<BYTE> info;
        HCRYPTKEY encryptWith = kind_ == Kind::kSignedAndEnveloped ? sessionKey_.get() : 0;
        if (!EncodeSignedSignerInfo(signers_[i], settings_.hashAlgorithm, digest, encryptWith, info))
            return false;
        // The header already carries the trial size; a different encoding would corrupt it.
        if (info.size() != signerInfoSizes_[i]) return Fail(ERROR_INVALID_DATA);
        signerInfos.insert(signerInfos.end(), info.begin(), info.end());
        const CERT_CONTEXT& cert = *signers_[i].certificate;
        certificates.insert(certificates.end(), cert.pbCertEncoded, cert.pbCertEncoded + cert.cbCertEncoded);
    }
    trailer.clear();
    if (settings_.addCertificates) {
        std::vector<BYTE> head = envelope::CertificatesBlockHeader(static_cast<DWORD>(certificates.size()));
        trailer.insert(trailer.end(), head.begin(), head.end());
        trailer.insert(trailer.end(), certificates.begin(), certificates.end());
    }
    std::vector<BYTE> head = envelope::SignerInfosBlockHeader(static_cast<DWORD>(signerInfos.size()));
    trailer.insert(trailer.end(), head.begin(), head.end());
    trailer.insert(trailer.end(), signerInfos.begin(), signerInfos.end());
    if (trailer.size() != trailerLength_) return Fail(ERROR_INVALID_DATA);
    return true;
}

// The tag behind the ciphertext; the writer puts no authenticated attributes in.
bool EnvelopeWriter::FinishMac() {
    if (!Authenticated()) return true;
    BYTE mac[auth_enveloped::kMacElementSize] = {0x04, static_cast<BYTE>(auth_enveloped::kWrittenTagSize)};
    return gcm_.ComputeTag(nullptr, 0, mac + 2, auth_enveloped::kWrittenTagSize) && WriteAll(output_, mac, sizeof mac);
}

bool EnvelopeWriter::FinishTrailer() {
    if (!HasSigners() || SignedHeaderInBuffer()) return true;
    std::vector<BYTE> trailer;
    return BuildTrailer(trailer) && WriteAll(output_, trailer);
}

bool EnvelopeWriter::FinishOpenForm() {
    if (!openForm_) return true;
    const BYTE end[2] = {0, 0};
    if (!WriteAll(output_, end, sizeof end)) return false;
    if (contentWritten_ > 0xFFFFFFFFu) return Fail(ERROR_ARITHMETIC_OVERFLOW);
    LARGE_INTEGER after = {};
    LARGE_INTEGER zero = {};
    if (!SetFilePointerEx(output_, zero, &after, FILE_CURRENT)) return false;
    LARGE_INTEGER patch = envelopeStart_;
    patch.QuadPart += lengthPatchOffset_;
    const DWORD length = static_cast<DWORD>(contentWritten_);
    const BYTE bytes[4] = {static_cast<BYTE>(length >> 24), static_cast<BYTE>(length >> 16),
                           static_cast<BYTE>(length >> 8), static_cast<BYTE>(length)};
    // Back to the end afterwards, so a caller may go on writing behind the envelope.
    return SetFilePointerEx(output_, patch, nullptr, FILE_BEGIN) && WriteAll(output_, bytes, sizeof bytes) &&
           SetFilePointerEx(output_, after, nullptr, FILE_BEGIN);
}

// Moves the bytes [from, end) of the output down to start at to, front first, which never
// overwrites a byte still to be moved; the file then ends after them.
bool EnvelopeWriter::MoveContentBack(uint64_t from, uint64_t to, uint64_t end) {
    while (from < end) {
        std::vector<BYTE>& buffer = buffers_[0];
        const DWORD piece = static_cast<DWORD>(std::min<uint64_t>(buffer.size(), end - from));
        LARGE_INTEGER at = {};
        at.QuadPart = static_cast<LONGLONG>(from);
        DWORD read = 0;
        if (!SetFilePointerEx(output_, at, nullptr, FILE_BEGIN) ||
            !ReadFile(output_, buffer.data(), piece, &read, nullptr))
            return false;
        if (read != piece) return Fail(ERROR_HANDLE_EOF);
        at.QuadPart = static_cast<LONGLONG>(to);
        if (!SetFilePointerEx(output_, at, nullptr, FILE_BEGIN) || !WriteAll(output_, buffer.data(), piece))
            return false;
        from += piece;
        to += piece;
    }
    return SetEndOfFile(output_) != FALSE;
}

// With the content in, the header is built for its real length. The bound's header is never
// shorter; when the real one is, everything behind it moves down, so the lengths stay minimal.
bool EnvelopeWriter::SettleLengths() {
    if (!lengthsLater_) return true;
    std::vector<BYTE> header;
    if (!BuildOuterHeader(header)) return false;
    if (contentWritten_ != expectedContent_ || header.size() > reservedHeader_) return Fail(ERROR_INVALID_DATA);
    LARGE_INTEGER end = {};
    LARGE_INTEGER zero = {};
    if (!SetFilePointerEx(output_, zero, &end, FILE_CURRENT)) return false;
    const uint64_t start = static_cast<uint64_t>(envelopeStart_.QuadPart);
    if (header.size() < reservedHeader_ &&
        !MoveContentBack(start + reservedHeader_, start + header.size(), static_cast<uint64_t>(end.QuadPart)))
        return false;
    end.QuadPart -= static_cast<LONGLONG>(reservedHeader_ - header.size());
    // Back to the end afterwards, so a caller may go on writing behind the envelope.
    return SetFilePointerEx(output_, envelopeStart_, nullptr, FILE_BEGIN) && WriteAll(output_, header) &&
           SetFilePointerEx(output_, end, nullptr, FILE_BEGIN);
}

BOOL Write(HANDLE output, ISequentialStream* source, uint64_t plaintextSize, bool sizeIsBound,
           const SignerEntry* signers, DWORD signerCount, PackerWindow* window, HCRYPTPROV provider) {
    if (!output || output == INVALID_HANDLE_VALUE || !source || !window || !window->settingsPage ||
        (signerCount && !signers))
        return Fail(ERROR_INVALID_PARAMETER);
    for (DWORD i = 0; i < signerCount; ++i)
        if (!signers[i].certificate || !signers[i].provider) return Fail(ERROR_INVALID_PARAMETER);
    try {
        bool ok = false;
        DWORD error = 0;
        {
            EnvelopeWriter writer(output, source, plaintextSize, sizeIsBound, signers, signerCount, *window, provider);
            ok = writer.Write();
            error = GetLastError();
        }  // releasing the key and hashes may overwrite the reason of a failure
        if (!ok) SetLastError(error);
        return ok ? TRUE : FALSE;
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

}  // namespace

BOOL WriteEnvelope(HANDLE output, ISequentialStream* source, uint64_t plaintextSize, const SignerEntry* signers,
                   DWORD signerCount, PackerWindow* window, HCRYPTPROV provider) {
    return Write(output, source, plaintextSize, false, signers, signerCount, window, provider);
}

BOOL WriteEnvelopeOfUnknownLength(HANDLE output, ISequentialStream* source, uint64_t sizeBound,
                                  const SignerEntry* signers, DWORD signerCount, PackerWindow* window,
                                  HCRYPTPROV provider) {
    return Write(output, source, sizeBound, true, signers, signerCount, window, provider);
}

bool EnvelopeLengthsMayComeLast(const PackerWindow& window, DWORD signerCount) {
    if (!window.settingsPage) return false;
    const WriterSettings settings = ReadWriterSettings(*window.settingsPage);
    const bool signedInsideEnveloped = !RecipientCertificates(window).empty() && signerCount &&
                                       (settings.signedMessageType == 3 || settings.gcm);
    return !settings.selfDecoding && !signedInsideEnveloped;
}
