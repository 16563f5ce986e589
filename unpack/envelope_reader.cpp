// ReadEnvelope: the shared library's reading of one packed file on the common envelope reading:
// the files it opens, the view it fills, the nested signed message and the signer check. The
// content is streamed from the disk block by block; only the recipient set, the digest set and
// the signer trailer are held in memory.
#include "unpack/envelope_reader.h"

#include <vector>

#include "format/algorithms.h"
#include "format/envelope_rules.h"
#include "format/service/algorithm_names.h"
#include "format/service/content_cipher.h"
#include "format/service/resources.h"
#include "unpack/reader_state.h"
#include "unpack/recipient_key.h"
#include "unpack/signature_verify.h"

namespace {

using reader_core::EnvelopeFile;
using reader_core::Fault;

constexpr UINT kNotEncryptedText = 723;
constexpr DWORD kFileError = static_cast<DWORD>(CRYPT_E_FILE_ERROR);

void ShowView(HWND window, int command) {
    if (window) ShowWindow(window, command);
}

// The signer trailer of a signed-and-enveloped file: optional certificates, then the SignerInfos.
void VerifyTrailer(ReaderState& state, EnvelopeFile& file, const std::vector<HashHandle>& hashObjects) {
    UnpackJob* job = state.job;
    reader_core::SignerTrailer trailer;
    if (!reader_core::ReadSignerTrailer(file, hashObjects, trailer, *job)) return;
    std::vector<SignerCheck> checks;
    DWORD verified = VerifyEnvelopeSigners(
        state.settings->store, state.session.provider, trailer.hashes.data(), static_cast<DWORD>(trailer.hashes.size()),
        state.session.key, trailer.certificates.data(), static_cast<DWORD>(trailer.certificates.size()),
        trailer.signerInfos.data(), static_cast<DWORD>(trailer.signerInfos.size()), checks);
    ApplySignerChecks(job, state.view, checks, verified);
}

void Verify(ReaderState& state, EnvelopeFile& file, const std::vector<HashHandle>& hashes) {
    UnpackJob* job = state.job;
    if (state.message && job->innerContentType == 2) {
        VerifyNestedSigners(state);
    } else if (job->outerContentType == 4) {
        VerifyTrailer(state, file, hashes);
    }
}

void ShowContentType(UnpackView* view, DWORD type) {
    if (!view) return;
    if (type == 3 || type == 4) EnableWindow(view->recipientsList, TRUE);
    if (type == 2 || type == 4) {
        if (view->informationText) SetWindowTextW(view->informationText, LoadText(kNotEncryptedText).c_str());
        ShowView(view->signersList, SW_SHOW);
        ShowView(view->signatureCaption, SW_SHOW);
    }
}

// Decrypts the content into the sink (or the nested message) and records the sink's status.
void DecryptContent(ReaderState& state, EnvelopeFile& file, reader_core::ContentElement& content,
                    const std::vector<HashHandle>& hashes, HANDLE output) {
    UnpackJob* job = state.job;
    StartContentSink(&state.sink, job, output);
    reader_core::ContentPass pass;
    pass.progress = state.progress;
    pass.sessionKey = state.session.key;
    pass.hashes = &hashes;
    pass.readSize = reader_core::ReadSize(state.session.key, state.settings->blockSize);
    CngContentCipher cng;
    const reader_core::SessionKey& session = state.session;
    if (session.key && cng.StartFromSessionKey(session.provider, session.key, state.header.algorithm.algId))
        pass.cng = &cng;
    reader_core::RunContentPass(file, content, pass, state, *job);
    LONG status = FinishContentSink(&state.sink);
    if (job->compressedContent) job->decompressStatus = status;
}

// Everything after the packed file and the output are open.
LONG ReadOpenEnvelope(ReaderState& state, EnvelopeFile& file, FileHandle& output) {
    UnpackJob* job = state.job;
    if (IsAuthEnvelope(file)) return ReadAuthEnvelope(state, file, output);
    if (Fault fault = reader_core::ReadContentInfoStart(file, job->outerContentType)) {
        reader_core::RecordFault(*job, fault);
        return 1;
    }
    const DWORD type = job->outerContentType;
    ShowContentType(state.view, type);
    if (type == 2)
        return ReadSignedFile(file.handle(), file.remaining(), output.get(), state.progress, state.settings, job,
                              state.view);
    if (Fault fault = reader_core::ReadEnvelopeHeader(file, type, state, state.header)) {
        reader_core::RecordFault(*job, fault);
        return 1;
    }
    if (state.progress) state.progress->SetProgress64(job->offset, file.size());

    const reader_core::ContentAlgorithm& algorithm = state.header.algorithm;
    if (state.view && state.view->algorithmReport) *state.view->algorithmReport = ContentAlgorithmName(algorithm);
    reader_core::ScanRefusal refusal;
    job->jobResult = reader_core::ScanRecipients(state.header.recipientInfos, algorithm, state.settings->store,
                                                 job->decodeMode != kModeDescribe, state, state.session, &refusal);
    job->recipientRefusal = refusal.reason;
    job->refusedHash = refusal.hash;
    state.header.recipientInfos.clear();
    bool cancelled = state.progress && state.progress->HasUserCancelled();
    if (cancelled || job->jobResult != 0 || (!state.session.key && job->decodeMode != kModeDescribe)) return 0;

    reader_core::ContentElement content;
    if (!reader_core::StartContent(file, state.session.key, algorithm, content, *job)) return 0;
    std::vector<HashHandle> hashes;
    if (job->decodeMode == kModeDescribe) {
        reader_core::SkipContent(file, content, *job);
    } else {
        if (type == 4) reader_core::CreateDigestObjects(state.header.digestAlgorithms, state.session.provider, hashes);
        DecryptContent(state, file, content, hashes, output.get());
    }
    if (job->jobResult == 0) Verify(state, file, hashes);
    return 0;
}

}  // namespace

void VerifyNestedSigners(ReaderState& state) {
    if (!state.message || state.job->innerContentType != 2) return;
    if (state.view) {
        ShowView(state.view->signersList, SW_SHOW);
        ShowView(state.view->signatureCaption, SW_SHOW);
    }
    std::vector<SignerCheck> checks;
    DWORD verified = VerifyMessageSigners(state.message, state.settings->store, checks);
    ApplySignerChecks(state.job, state.view, checks, verified);
}

// Hands the first plaintext to the nested signed message when it is one, else to the sink; later
// plaintext goes where the first went. False with jobResult (and writeError) set on failure.
bool ReaderState::Deliver(BYTE* data, DWORD length, bool first, bool final, uint64_t contentBound) {
    if (first) {
        job->innerContentType = envelope_rules::NestedContentType(data, length, contentBound);
        if (job->innerContentType == 2) {
            message = OpenSignedMessage(true, WriteContent, &sink);
            if (!message) {
                job->jobResult = GetLastError();
                return false;
            }
        } else {
            job->innerContentType = envelope_rules::kPlainContent;  // anything but a signed message
        }
    }
    if (message) {
        if (UpdateSignedMessage(message, data, length, final)) return true;
        job->jobResult = GetLastError();
        return false;
    }
    if (WriteContent(&sink, data, length, final)) return true;
    job->writeError = GetLastError();
    job->jobResult = kFileError;
    return false;
}

LONG ReadEnvelope(IProgressDialog* progress, UnpackSettings* settings, UnpackJob* job, UnpackView* view) {
    if (!settings || !settings->store || !job || job->inputPath.empty()) return E_FAIL;
    ReaderState state;
    state.progress = progress;
    state.settings = settings;
    state.job = job;
    state.view = view;

    FileHandle input(CreateFileW(job->inputPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    uint64_t size = 0;
    const DWORD error = input ? reader_core::LocateEnvelope(input.get(), 0, size) : GetLastError();
    if (error) {
        job->jobResult = kFileError;
        job->readError = error;
        return 1;
    }
    job->readError = 0;
    FileHandle output;
    if (job->decodeMode == kModeUnpack && !OpenReaderOutput(state, output)) return 1;

    EnvelopeFile file(input.get(), size, &job->offset);
    LONG result = ReadOpenEnvelope(state, file, output);
    if (state.message) {
        CloseSignedMessage(state.message);
        state.message = nullptr;
    }

    // Clean-up: the session key before the provider that holds it (hash objects went with the pass).
    if (state.session.key) CryptDestroyKey(state.session.key);
    input.reset();
    ReleaseProvider(state.session.provider, state.session.providerIsCopy);
    if (progress && progress->HasUserCancelled()) job->jobResult = ERROR_CANCELLED;
    output.reset();
    return result;
}
