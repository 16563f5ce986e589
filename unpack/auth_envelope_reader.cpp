// AuthEnvelopedData (AES-GCM) in the shared library's reader: the same recipient scan and content
// pass as enveloped data, with the plaintext made by AesGcmStream from the session key's bytes. The
// output is written as the content is decrypted, in constant memory, and only counts once the tag
// over all of it verifies; otherwise it is removed.
#include <algorithm>
#include <cstring>
#include <vector>

#include "format/algorithms.h"
#include "format/auth_enveloped.h"
#include "format/secret_bytes.h"
#include "format/service/aes_gcm.h"
#include "format/service/plain_key.h"
#include "unpack/reader_state.h"

namespace {

using reader_core::EnvelopeFile;
using reader_core::Fault;

constexpr DWORD kUnexpected = static_cast<DWORD>(CRYPT_E_UNEXPECTED_ENCODING);
constexpr DWORD kUnknownAlgorithm = static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO);
constexpr DWORD kNoDecryptCert = static_cast<DWORD>(CRYPT_E_NO_DECRYPT_CERT);
constexpr DWORD kFileError = static_cast<DWORD>(CRYPT_E_FILE_ERROR);
// The header is read from a first piece of the file, grown while the recipient set goes on past
// it, up to a bound no real recipient set comes near.
constexpr DWORD kFirstHeaderPiece = 4096;
constexpr DWORD kMaxHeader = 16u << 20;
// Bytes the recognition needs: the outer tag and length and the content type OID.
constexpr DWORD kRecognitionBytes = 32;
// 4096 AES blocks per piece, as for AES-CBC.
constexpr DWORD kGcmReadSize = 65536;
constexpr BYTE kEnvelopedKind = 3;  // reported as enveloped data: it is decrypted for its recipients

class GcmContent : public reader_core::ContentTransform {
public:
    bool Transform(BYTE* data, DWORD length) override { return stream.Decrypt(data, data, length); }
    AesGcmStream stream;
};

// The first count bytes of the file, with its position left at the start.
bool ReadFirstBytes(HANDLE file, DWORD count, std::vector<uint8_t>& out) {
    LARGE_INTEGER start = {};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
    out.resize(count);
    DWORD got = 0;
    const bool read = ReadFile(file, out.data(), count, &got, nullptr) != FALSE;
    const DWORD error = !read ? GetLastError() : got != count ? ERROR_HANDLE_EOF : 0;
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
    SetLastError(error);
    return error == 0;
}

// The header from a piece of the file that grows until the header fits; the file is then left at
// the content's [0] tag with the offset there.
Fault ReadAuthHeader(EnvelopeFile& file, uint64_t& offset, std::vector<uint8_t>& bytes, auth_enveloped::Header& header) {
    DWORD piece = static_cast<DWORD>(std::min<uint64_t>(file.size(), kFirstHeaderPiece));
    for (;;) {
        if (!ReadFirstBytes(file.handle(), piece, bytes)) return Fault{kFileError, GetLastError()};
        const auth_enveloped::Status status = auth_enveloped::ReadHeader(bytes.data(), bytes.size(), header);
        if (status == auth_enveloped::Status::kUnsupported) return reader_core::FormatFault(kUnknownAlgorithm);
        if (status == auth_enveloped::Status::kOk) break;
        if (piece == file.size() || piece >= kMaxHeader) return reader_core::FormatFault(kUnexpected);
        piece = piece > file.size() / 4 ? static_cast<DWORD>(std::min<uint64_t>(file.size(), kMaxHeader)) : piece * 4;
    }
    // Only data content: a nested signed message inside it is found by its first bytes, as for
    // enveloped data.
    if (header.contentType.size() != 9 || std::memcmp(header.contentType.data(), envelope_bytes::kOidData + 2, 9) != 0)
        return reader_core::FormatFault(kUnknownAlgorithm);
    LARGE_INTEGER position = {};
    position.QuadPart = static_cast<LONGLONG>(header.contentTagOffset);
    if (!SetFilePointerEx(file.handle(), position, nullptr, FILE_BEGIN)) return Fault{kFileError, GetLastError()};
    offset = header.contentTagOffset;
    return Fault();
}

// The content-encryption OID value of AES-GCM for the key length.
std::vector<uint8_t> GcmOid(ALG_ID algId) {
    std::vector<uint8_t> oid = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x06};
    if (algId == alg::kAes192) oid[8] = 0x1A;
    if (algId == alg::kAes256) oid[8] = 0x2E;
    return oid;
}

// The session key's bytes (exported in the clear, wiped after) into the GCM stream. 0 or the error.
DWORD StartGcm(HCRYPTKEY key, const uint8_t nonce[gcm::kIvSize], AesGcmStream& stream) {
    SecretBytes keyBytes;
    if (!ExportPlainKey(key, keyBytes)) return GetLastError();
    return stream.Start(keyBytes.bytes().data(), keyBytes.bytes().size(), nonce) ? 0 : GetLastError();
}

// The trailer after the content, and the tag over the content and the authenticated attributes.
void CheckTrailer(EnvelopeFile& file, auth_enveloped::Header header, AesGcmStream& stream, UnpackJob& job) {
    std::vector<BYTE> rest;
    if (Fault fault = file.ReadIntoBuffer(file.remaining(), rest)) {
        reader_core::RecordFault(job, fault);
        return;
    }
    // The content pass has read the content's own end mark already.
    header.openContentLength = false;
    auth_enveloped::Trailer trailer;
    if (auth_enveloped::ReadTrailer(rest.data(), rest.size(), header, trailer) != auth_enveloped::Status::kOk) {
        job.jobResult = kResultTagMissing;
        return;
    }
    const std::vector<uint8_t> aad = auth_enveloped::AuthenticatedData(trailer);
    if (!stream.CheckTag(aad.data(), aad.size(), trailer.mac.data(), trailer.mac.size()))
        job.jobResult = GetLastError() == kGcmTagMismatch ? kResultTagMismatch : GetLastError();
}

// Decrypts into the sink (or the nested message) and checks the tag. The job's result stays 0
// only when the tag verified.
void DecryptAndAuthenticate(ReaderState& state, EnvelopeFile& file, const auth_enveloped::Header& header,
                            HANDLE output) {
    UnpackJob* job = state.job;
    GcmContent gcm;
    if (DWORD error = StartGcm(state.session.key, header.gcm.nonce, gcm.stream)) {
        job->finalBlockStatus = static_cast<LONG>(error);
        job->jobResult = kNoDecryptCert;
        return;
    }
    reader_core::ContentElement content;
    if (!reader_core::StartContent(file, 0, state.header.algorithm, content, *job)) return;
    StartContentSink(&state.sink, job, output);
    const std::vector<HashHandle> noHashes;
    reader_core::ContentPass pass;
    pass.progress = state.progress;
    pass.transform = &gcm;
    pass.hashes = &noHashes;
    pass.readSize = kGcmReadSize;
    reader_core::RunContentPass(file, content, pass, state, *job);
    const LONG status = FinishContentSink(&state.sink);
    if (job->compressedContent) job->decompressStatus = status;
    if (job->jobResult == 0) CheckTrailer(file, header, gcm.stream, *job);
}

}  // namespace

bool IsAuthEnvelope(EnvelopeFile& file) {
    std::vector<uint8_t> start;
    return ReadFirstBytes(file.handle(), static_cast<DWORD>(std::min<uint64_t>(file.size(), kRecognitionBytes)), start) &&
           auth_enveloped::IsAuthEnvelopedData(start.data(), start.size());
}

LONG ReadAuthEnvelope(ReaderState& state, EnvelopeFile& file, FileHandle& output) {
    UnpackJob* job = state.job;
    job->outerContentType = kEnvelopedKind;
    if (state.view && state.view->recipientsList) EnableWindow(state.view->recipientsList, TRUE);
    std::vector<uint8_t> headerBytes;
    auth_enveloped::Header header;
    if (Fault fault = ReadAuthHeader(file, job->offset, headerBytes, header)) {
        reader_core::RecordFault(*job, fault);
        return 1;
    }
    if (state.progress) state.progress->SetProgress64(job->offset, file.size());

    reader_core::ContentAlgorithm& algorithm = state.header.algorithm;
    algorithm.algId = header.contentAlgorithm;
    algorithm.oid = GcmOid(algorithm.algId);
    algorithm.gcm = true;
    algorithm.exportable = true;
    state.OnAlgorithm(algorithm);
    if (state.view && state.view->algorithmReport) *state.view->algorithmReport = ContentAlgorithmName(algorithm);

    const std::vector<BYTE> recipients(header.recipientInfos.data(),
                                       header.recipientInfos.data() + header.recipientInfos.size());
    job->jobResult = reader_core::ScanRecipients(recipients, algorithm, state.settings->store,
                                                 job->decodeMode != kModeDescribe, state, state.session);
    const bool cancelled = state.progress && state.progress->HasUserCancelled();
    if (cancelled || job->jobResult != 0 || (!state.session.key && job->decodeMode != kModeDescribe)) return 0;

    if (job->decodeMode == kModeDescribe) {
        reader_core::ContentElement content;
        if (reader_core::StartContent(file, 0, algorithm, content, *job)) reader_core::SkipContent(file, content, *job);
        return 0;
    }
    DecryptAndAuthenticate(state, file, header, output.get());
    // A file that ends early has no tag to check: damaged, not unreadable.
    if (job->jobResult == kFileError && job->readError == ERROR_HANDLE_EOF) {
        job->readError = 0;
        job->jobResult = kResultTagMissing;
    }
    if (job->jobResult == 0) {
        job->finalBlockStatus = 0;
        VerifyNestedSigners(state);
    } else if (job->decodeMode == kModeUnpack) {
        // Plaintext whose tag did not verify is never left behind, whatever name it was given.
        output.reset();
        DeleteFileW(job->outputPath.c_str());
    }
    return 0;
}
