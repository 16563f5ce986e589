// DecodePayload: the directory behind the program, the output files, and the envelope in its
// self-decoding form read element by element from the program's own file.
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "format/service/content_cipher.h"
#include "format/service/crypto_handles.h"
#include "format/sfx_directory.h"
#include "self_decoding/decode_status.h"
#include "self_decoding/options.h"
#include "self_decoding/payload_keys.h"
#include "self_decoding/payload_signers.h"
#include "self_decoding/payload_sink.h"
#include "self_decoding/texts.h"
#include "unpack/core/envelope_core.h"

namespace quendrix {

namespace {

using reader_core::EnvelopeFile;
using reader_core::Fault;

constexpr DWORD kFileError = static_cast<DWORD>(CRYPT_E_FILE_ERROR);
constexpr DWORD kNoDecryptCert = static_cast<DWORD>(CRYPT_E_NO_DECRYPT_CERT);
constexpr DWORD kNoProvider = static_cast<DWORD>(CRYPT_E_NO_PROVIDER);
constexpr UINT kToFileText = 554;

// This program's side of the envelope reading: keys through the ANSI calls and this program's
// fallback, the plaintext to the extracted files, the signers into the report text.
class Decode : public reader_core::EnvelopeClient {
public:
    Decode(IProgressDialog* progress, QuendrixOptions* options, DecodeStatus* status, PayloadSink& sink)
        : progress_(progress), options_(options), status_(status), sink_(sink) {}
    ~Decode() override {
        hashes_.clear();  // before the provider they live in
        ReleaseSessionKey(session_, copy_);
    }

    // From the [0] of the outer ContentInfo on; 1 when the header could not be read.
    LONG Read(EnvelopeFile& file) {
        return status_->outerContentType == 2 ? ReadSigned(file) : ReadEnveloped(file);
    }

    BOOL AcquireCertificateKey(PCCERT_CONTEXT certificate, HCRYPTPROV* provider, DWORD* keySpec) override {
        return quendrix::AcquireCertificateKey(certificate, provider, keySpec);
    }
    bool ImportThroughOtherProviders(const reader_core::KeyImport& import, reader_core::SessionKey& session,
                                     DWORD& result) override {
        return ImportWithOtherProviders(import, *options_, progress_, session, copy_, result);
    }
    bool Deliver(BYTE* data, DWORD length, bool, bool final, uint64_t) override {
        if (sink_.Write(data, length, final)) return true;
        status_->writeError = GetLastError();
        status_->jobResult = kFileError;
        return false;
    }

private:
    // Kind 2: the content is only hashed, on a verify-only provider of its own.
    LONG ReadSigned(EnvelopeFile& file) {
        std::vector<BYTE> digestSet;
        reader_core::ContentElement content;
        Fault fault = reader_core::ReadSignedDataHeader(file, digestSet);
        if (!fault) fault = reader_core::ReadContentElement(file, content);
        if (fault) {
            reader_core::RecordFault(*status_, fault);
            return 1;
        }
        if (!CryptAcquireContextA(hashProvider_.put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
            status_->signatureStatus = static_cast<LONG>(GetLastError());
            status_->jobResult = kNoProvider;
            return 0;
        }
        status_->jobResult = 0;
        reader_core::CreateDigestObjects(digestSet, hashProvider_.get(), hashes_);
        Process(file, content, hashProvider_.get());
        return 0;
    }

    LONG ReadEnveloped(EnvelopeFile& file) {
        reader_core::EnvelopeHeader header;
        if (Fault fault = reader_core::ReadEnvelopeHeader(file, status_->outerContentType, *this, header)) {
            reader_core::RecordFault(*status_, fault);
            return 1;
        }
        if (progress_) progress_->SetProgress64(file.position(), file.size());
        status_->jobResult = reader_core::ScanRecipients(header.recipientInfos, header.algorithm,
                                                         options_->certificateStore, true, *this, session_);
        if (status_->jobResult == 0 && !session_.key) status_->jobResult = kNoDecryptCert;
        if (status_->jobResult != 0 || (progress_ && progress_->HasUserCancelled())) return 0;
        reader_core::ContentElement content;
        if (!reader_core::StartContent(file, session_.key, header.algorithm, content, *status_)) return 0;
        if (status_->outerContentType == 4)
            reader_core::CreateDigestObjects(header.digestAlgorithms, session_.provider, hashes_);
        contentAlgorithm_ = header.algorithm.algId;
        Process(file, content, session_.provider);
        return 0;
    }

    // The content pass, then for the signed kinds the signer trailer and the signer check.
    void Process(EnvelopeFile& file, reader_core::ContentElement& content, HCRYPTPROV provider) {
        reader_core::ContentPass pass;
        pass.progress = progress_;
        pass.sessionKey = session_.key;
        pass.hashes = &hashes_;
        pass.readSize = reader_core::ReadSize(session_.key, static_cast<DWORD>(options_->DefaultEncryptionBlockSize));
        CngContentCipher cng;
        if (session_.key && cng.StartFromSessionKey(session_.provider, session_.key, contentAlgorithm_)) pass.cng = &cng;
        reader_core::RunContentPass(file, content, pass, *this, *status_);
        if (status_->jobResult != 0 || status_->outerContentType == 3) return;
        reader_core::SignerTrailer trailer;
        if (!reader_core::ReadSignerTrailer(file, hashes_, trailer, *status_)) return;
        std::vector<SignerRecord> records;
        VerifyPayloadSigners(provider, trailer.hashes, session_.key, trailer.certificates, trailer.signerInfos,
                             options_->certificateStore, records);
        status_->signatureStatus = CombinedSignatureStatus(records);
        status_->signerText = SignerListText(records);
    }

    IProgressDialog* progress_;
    QuendrixOptions* options_;
    DecodeStatus* status_;
    PayloadSink& sink_;
    reader_core::SessionKey session_;
    KeyCopy copy_;
    ProviderHandle hashProvider_;      // kind 2: the provider of the hash objects
    std::vector<HashHandle> hashes_;
    ALG_ID contentAlgorithm_ = 0;  // of the enveloped kinds
};

std::string ToAnsi(const std::u16string& name) {
    std::wstring wide(name.begin(), name.end());
    int size = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return std::string();
    std::string narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &narrow[0], size, nullptr, nullptr);
    narrow.resize(static_cast<size_t>(size) - 1);
    return narrow;
}

// The path of an output file: the target folder, a backslash and the name, or the name alone.
std::string OutputPath(const char* targetFolder, const std::u16string& name) {
    std::string path;
    if (targetFolder && *targetFolder) {
        path = targetFolder;
        if (path.back() != '\\') path += '\\';
    }
    return path + ToAnsi(name);
}

// Creates the files of the directory; never overwrites one. Stops at the first that fails.
void CreateOutputs(const sfx::Directory& directory, const char* targetFolder, DecodeStatus* status,
                   ExtractedFiles& files) {
    for (const sfx::DirectoryEntry& entry : directory.entries) {
        ExtractedFile file;
        file.flags = entry.flags;
        file.remaining = entry.size;
        file.path = OutputPath(targetFolder, entry.name);
        // A name that is empty or leaves the folder is not created: the payload names files only.
        const bool badName = !IsPlainOutputName(entry.name);
        file.handle = badName ? INVALID_HANDLE_VALUE
                              : CreateFileA(file.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file.handle == INVALID_HANDLE_VALUE) {
            status->outputPath = file.path;
            status->jobResult = kFileError;
            status->writeError = badName ? ERROR_INVALID_NAME : GetLastError();
            return;
        }
        files.items().push_back(std::move(file));
    }
}

}  // namespace

bool IsPlainOutputName(const std::u16string& name) {
    // Checked as the file system will read the name: the ANSI form read back. A best-fit
    // conversion can turn look-alikes (fullwidth dots, backslash, colon) into the real characters.
    std::string narrow = ToAnsi(name);
    int size = MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), -1, nullptr, 0);
    if (size <= 1) return false;
    std::wstring seen(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), -1, &seen[0], size);
    seen.resize(static_cast<size_t>(size) - 1);
    return seen != L"." && seen != L".." && seen.find_first_of(L"\\/:") == std::wstring::npos;
}

LONG DecodePayload(IProgressDialog* progress, QuendrixOptions* options, DecodeStatus* status,
                   const char* targetFolder, ExtractedFiles& files, DWORD templateSize) {
    if (!options || !status || !options->certificateStore || status->inputPath.empty()) return E_FAIL;
    FileHandle input(CreateFileA(status->inputPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!input) {
        status->jobResult = kFileError;
        status->readError = GetLastError();
        return 1;
    }
    uint64_t payload = 0;
    DWORD error = reader_core::LocateEnvelope(input.get(), templateSize, payload);
    // The program's envelope states its content length in four bytes, so it never reaches 4 GiB.
    if (!error && templateSize + payload > 0xFFFFFFFFull) error = ERROR_FILE_TOO_LARGE;
    if (error) {
        status->jobResult = kFileError;
        status->readError = error;
        return 1;
    }

    BYTE lengthBytes[4];
    DWORD got = 0;
    DWORD directoryLength = 0;
    std::vector<BYTE> directoryBytes;
    if (payload >= 4 && ReadFile(input.get(), lengthBytes, 4, &got, nullptr) && got == 4) {
        directoryLength = lengthBytes[0] | lengthBytes[1] << 8 | lengthBytes[2] << 16 | DWORD{lengthBytes[3]} << 24;
        if (directoryLength != 0 && directoryLength <= payload - 4) {
            status->readError = 0;
            try {
                directoryBytes.resize(directoryLength);
            } catch (const std::bad_alloc&) {
                // A damaged length in a large program: as good as no directory.
            }
            if (directoryBytes.size() != directoryLength ||
                !ReadFile(input.get(), directoryBytes.data(), directoryLength, &got, nullptr) ||
                got != directoryLength)
                directoryBytes.clear();
        }
    }
    sfx::Directory directory;
    if (!directoryBytes.empty() && sfx::ParseDirectory(directoryBytes.data(), directoryBytes.size(), directory)) {
        status->compressedContent = directory.compressed ? 1 : 0;
        CreateOutputs(directory, targetFolder, status, files);
    }
    if (files.items().empty()) {
        status->jobResult = kFileError;
        return 1;
    }
    const DWORD envelopeLength = static_cast<DWORD>(payload - 4 - directoryLength);

    if (progress) {
        progress->StartProgressDialog(nullptr, nullptr, PROGDLG_NOTIME | PROGDLG_NOMINIMIZE, nullptr);
        std::string line = FormatText(kToFileText, files.items()[0].path.c_str());
        std::wstring wide(line.size() + 1, L'\0');
        int units = MultiByteToWideChar(CP_ACP, 0, line.c_str(), -1, &wide[0], static_cast<int>(wide.size()));
        if (units > 0) progress->SetLine(2, wide.c_str(), TRUE, nullptr);
    }
    // A file after the first that could not be created: the ones before it are still decoded.
    const bool creationFailed = status->jobResult == kFileError;
    const std::string failedPath = status->outputPath;
    const DWORD failedError = status->writeError;
    status->jobResult = 0xFFFFFFFF;
    status->writeError = 0;

    EnvelopeFile file(input.get(), envelopeLength, &status->offset);
    PayloadSink sink(files, status->compressedContent != 0, progress);
    Decode decode(progress, options, status, sink);
    LONG result = 1;
    if (Fault fault = reader_core::ReadContentInfoStart(file, status->outerContentType)) {
        reader_core::RecordFault(*status, fault);
    } else if (!sink.Start()) {
        status->jobResult = kFileError;
    } else {
        result = decode.Read(file);
    }
    LONG sinkStatus = sink.Finish();
    if (status->compressedContent) status->decompressStatus = sinkStatus;
    if (progress && progress->HasUserCancelled()) status->jobResult = ERROR_CANCELLED;
    // The file that could not be made is still reported: the run did not write everything.
    if (creationFailed) {
        status->outputPath = failedPath;
        status->writeError = failedError;
        if (status->jobResult == 0) status->jobResult = kFileError;
    }
    return result;
}

}  // namespace quendrix
