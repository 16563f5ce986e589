// The envelope reader on damaged, altered and foreign files: every fault is reported in the job
// and no output is left behind.
#include <windows.h>
#include <commdlg.h>
#include <dlgs.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "format/algorithms.h"
#include "format/der.h"
#include "pack/messages.h"
#include "reader_test_keys.h"
#include "tests/support/test_support.h"
#include "unpack/envelope_reader.h"

namespace {

using reader_test::QuietSettings;
using reader_test::TestRecipients;
using testing_support::FileExists;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::TestDataFile;
using testing_support::WriteFileBytes;
using Bytes = std::vector<uint8_t>;

constexpr DWORD kUnexpected = static_cast<DWORD>(CRYPT_E_UNEXPECTED_ENCODING);
constexpr DWORD kBadEncode = static_cast<DWORD>(CRYPT_E_BAD_ENCODE);
constexpr DWORD kUnknownAlgorithm = static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO);

// The elements of an EnvelopedData (version, recipient set, EncryptedContentInfo), whole.
std::vector<Bytes> SplitEnveloped(const Bytes& file) {
    der::Reader reader(file), contentInfo, explicitContent, enveloped, oid;
    std::vector<Bytes> parts;
    if (!reader.ReadElement(der::kSequence, contentInfo) || !contentInfo.ReadElement(der::kOid, oid) ||
        !contentInfo.ReadElement(der::kContext0, explicitContent) ||
        !explicitContent.ReadElement(der::kSequence, enveloped))
        return parts;
    while (!enveloped.empty()) {
        uint8_t tag = 0;
        der::Reader content, whole;
        if (!enveloped.ReadAnyElement(tag, content, &whole)) break;
        parts.emplace_back(whole.data(), whole.data() + whole.size());
    }
    return parts;
}

Bytes JoinEnveloped(const std::vector<Bytes>& parts, uint8_t contentType) {
    Bytes body;
    for (const Bytes& part : parts) body.insert(body.end(), part.begin(), part.end());
    Bytes enveloped, explicitContent, contentInfo, file;
    der::AppendElement(enveloped, der::kSequence, body);
    der::AppendElement(explicitContent, der::kContext0, enveloped);
    Bytes oid(envelope_bytes::kOidEnvelopedData, envelope_bytes::kOidEnvelopedData + 11);
    oid.back() = contentType;
    contentInfo = oid;
    contentInfo.insert(contentInfo.end(), explicitContent.begin(), explicitContent.end());
    der::AppendElement(file, der::kSequence, contentInfo);
    return file;
}

// The same envelope with only the outer ContentInfo's length in the open form (30 80).
Bytes WithOpenOuterLength(const Bytes& file) {
    der::ParsedLength length = der::ParseDerLength(file.data() + 1, file.size() - 1);
    Bytes open(file.begin() + length.used - 1, file.end());
    open[0] = 0x30;
    open[1] = 0x80;
    return open;
}

// ContentInfo, [0] and EnvelopedData all with open lengths, closed by their end-of-contents pairs.
Bytes FullyOpen(const std::vector<Bytes>& parts) {
    Bytes file = {0x30, 0x80};
    file.insert(file.end(), envelope_bytes::kOidEnvelopedData, envelope_bytes::kOidEnvelopedData + 11);
    file.insert(file.end(), {0xA0, 0x80, 0x30, 0x80});
    for (const Bytes& part : parts) file.insert(file.end(), part.begin(), part.end());
    file.insert(file.end(), 6, 0x00);
    return file;
}

// Answers every message box with "No" and remembers the texts.
class AnswerNo : public MessageSink {
public:
    int Answer(HWND, const std::wstring& text, const std::wstring&, UINT) override {
        texts.push_back(text);
        return IDNO;
    }
    std::vector<std::wstring> texts;
};

class ReaderDamagedTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(recipients_.AddWithKey(L"alice", PROV_RSA_AES));
        settings_ = QuietSettings(recipients_.store());
        original_ = ReadFileBytes(TestDataFile(L"reader-alice-des3.pkcs7"));
        ASSERT_EQ(SplitEnveloped(original_).size(), 3u);
    }

    // Reads the bytes as a packed file; the job is destroyed before returning, like the driver does.
    struct Outcome {
        LONG result;
        DWORD jobResult;
        DWORD offset;
        LONG finalBlockStatus;
        DWORD readError;
        bool outputLeft;
        Bytes output;
    };
    Outcome Read(const Bytes& bytes, BYTE mode = kModeUnpack) {
        std::wstring input = temp_.File(L"damaged.pkcs7");
        std::wstring output = temp_.File(L"damaged.out");
        WriteFileBytes(input, bytes);
        auto job = std::make_unique<UnpackJob>();
        job->inputPath = input;
        job->outputPath = output;
        job->decodeMode = mode;
        Outcome outcome;
        outcome.result = ReadEnvelope(nullptr, &settings_, job.get(), nullptr);
        outcome.jobResult = job->jobResult;
        outcome.offset = job->offset;
        outcome.finalBlockStatus = job->finalBlockStatus;
        outcome.readError = job->readError;
        if (FileExists(output)) outcome.output = ReadFileBytes(output);
        job.reset();
        outcome.outputLeft = FileExists(output);
        DeleteFileW(output.c_str());
        return outcome;
    }

    TempDir temp_;
    TestRecipients recipients_;
    UnpackSettings settings_;
    Bytes original_;
};

TEST_F(ReaderDamagedTest, RebuiltEnvelopeStillReads) {
    // Guards the helpers the other cases build on.
    Outcome outcome = Read(JoinEnveloped(SplitEnveloped(original_), 3));
    EXPECT_EQ(outcome.jobResult, 0u);
    EXPECT_EQ(outcome.output.size(), 100000u);
}

TEST_F(ReaderDamagedTest, AppendedByteFailsAtOffsetOneButOpenFormIsAccepted) {
    Bytes appended = original_;
    appended.push_back(0);
    Outcome outcome = Read(appended);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.jobResult, kBadEncode);
    EXPECT_EQ(outcome.offset, 1u);
    EXPECT_FALSE(outcome.outputLeft);

    outcome = Read(WithOpenOuterLength(original_));
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.jobResult, 0u);
    EXPECT_TRUE(outcome.output == ReadFileBytes(TestDataFile(L"reader-plain-100k.bin")));
}

TEST_F(ReaderDamagedTest, WrongOrOverlongVersionIsRefused) {
    std::vector<Bytes> parts = SplitEnveloped(original_);
    parts[0] = {0x02, 0x01, 0x01};
    Outcome outcome = Read(JoinEnveloped(parts, 3));
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.jobResult, kUnexpected);
    EXPECT_FALSE(outcome.outputLeft);
    // Two value bytes would otherwise be read as version 0 followed by a stray byte.
    parts[0] = {0x02, 0x02, 0x00, 0x00};
    EXPECT_EQ(Read(JoinEnveloped(parts, 3)).jobResult, kUnexpected);
    // signedAndEnvelopedData needs version 1.
    parts[0] = {0x02, 0x01, 0x00};
    outcome = Read(JoinEnveloped(parts, 4));
    EXPECT_EQ(outcome.jobResult, kUnexpected);
    EXPECT_FALSE(outcome.outputLeft);
}

TEST_F(ReaderDamagedTest, ForeignContentTypesAndAlgorithms) {
    // A data ContentInfo is not a packed file.
    std::vector<Bytes> parts = SplitEnveloped(original_);
    Outcome outcome = Read(JoinEnveloped(parts, 1));
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.jobResult, kUnknownAlgorithm);
    EXPECT_FALSE(outcome.outputLeft);

    // 3DES's OID turned into MD5's (same length): a digest is no content-encryption algorithm.
    const Bytes des3 = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x07};
    Bytes altered = original_;
    auto at = std::search(altered.begin(), altered.end(), des3.begin(), des3.end());
    ASSERT_NE(at, altered.end());
    at[6] = 0x02;
    at[7] = 0x05;
    EXPECT_EQ(Read(altered).jobResult, kUnknownAlgorithm);
}

TEST_F(ReaderDamagedTest, AesOidWithAnotherLastArcReadsAsAes128) {
    Bytes file = ReadFileBytes(TestDataFile(L"reader-alice-aes128.pkcs7"));
    const Bytes aes128 = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x02};
    auto at = std::search(file.begin(), file.end(), aes128.begin(), aes128.end());
    ASSERT_NE(at, file.end());
    at[8] = 0x01;
    Outcome outcome = Read(file);
    EXPECT_EQ(outcome.jobResult, 0u);
    EXPECT_EQ(outcome.output.size(), 100000u);
}

TEST_F(ReaderDamagedTest, TruncatedFilesFailWithoutOutput) {
    // A file that ends while the header is read is a file error; a definite outer length that no
    // longer matches the file size is caught first as a bad encoding.
    Bytes open = FullyOpen(SplitEnveloped(original_));
    struct Cut {
        const Bytes* file;
        size_t keep;
        DWORD expected;
    };
    const DWORD kFileError = static_cast<DWORD>(CRYPT_E_FILE_ERROR);
    const Cut cuts[] = {{&original_, 0, kFileError},  {&original_, 1, kFileError},
                        {&original_, 5, kBadEncode},  {&original_, 400, kBadEncode},
                        {&original_, original_.size() / 2, kBadEncode}, {&original_, original_.size() - 1, kBadEncode},
                        {&open, 1, kFileError},       {&open, 5, kFileError},
                        {&open, 40, kFileError},      {&open, 200, kFileError}};
    for (const Cut& cut : cuts) {
        SCOPED_TRACE(std::to_string(cut.keep) + (cut.file == &open ? " of the open form" : ""));
        Outcome outcome = Read(Bytes(cut.file->begin(), cut.file->begin() + cut.keep));
        EXPECT_EQ(outcome.result, 1);
        EXPECT_EQ(outcome.jobResult, cut.expected);
        EXPECT_FALSE(outcome.outputLeft);
    }
    // Cut inside the ciphertext of the open form: the header is fine, the content read fails.
    EXPECT_EQ(Read(open).jobResult, 0u);
    Outcome outcome = Read(Bytes(open.begin(), open.begin() + open.size() / 2));
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.jobResult, static_cast<DWORD>(CRYPT_E_FILE_ERROR));
    EXPECT_FALSE(outcome.outputLeft);
}

TEST_F(ReaderDamagedTest, CorruptedCiphertextFailsDecryption) {
    Bytes file = original_;
    file[file.size() - 3] ^= 0x5A;  // inside the final block: its padding no longer checks out
    Outcome outcome = Read(file);
    EXPECT_EQ(outcome.jobResult, static_cast<DWORD>(CRYPT_E_NO_DECRYPT_CERT));
    EXPECT_NE(outcome.finalBlockStatus, 0);
    EXPECT_NE(outcome.finalBlockStatus, -1);
    EXPECT_FALSE(outcome.outputLeft);
}

// The ciphertext of an EncryptedContentInfo (30 L, OID, AlgorithmIdentifier, 80 L ciphertext)
// moved into a constructed [0] as segments of the given sizes, the rest in a last one with lastTag.
Bytes SegmentedContentInfo(const Bytes& contentInfo, std::initializer_list<size_t> cuts, bool open,
                           uint8_t lastTag = der::kOctetString) {
    der::Reader whole(contentInfo), body, oid, algorithm, ciphertext, oidWhole, algorithmWhole;
    uint8_t tag = 0;
    if (!whole.ReadElement(der::kSequence, body) || !body.ReadAnyElement(tag, oid, &oidWhole) ||
        !body.ReadAnyElement(tag, algorithm, &algorithmWhole) || !body.ReadAnyElement(tag, ciphertext))
        return {};
    Bytes segments;
    size_t at = 0;
    for (size_t cut : cuts) {
        der::AppendElement(segments, der::kOctetString, ciphertext.data() + at, cut);
        at += cut;
    }
    der::AppendElement(segments, lastTag, ciphertext.data() + at, ciphertext.size() - at);
    Bytes inner(oidWhole.data(), oidWhole.data() + oidWhole.size());
    inner.insert(inner.end(), algorithmWhole.data(), algorithmWhole.data() + algorithmWhole.size());
    if (open) {
        inner.insert(inner.end(), {der::kContext0, 0x80});
        inner.insert(inner.end(), segments.begin(), segments.end());
        inner.insert(inner.end(), {0x00, 0x00});
    } else {
        der::AppendElement(inner, der::kContext0, segments);
    }
    Bytes result;
    der::AppendElement(result, der::kSequence, inner);
    return result;
}

TEST_F(ReaderDamagedTest, CiphertextInSegmentsAsStreamingWritersCutIt) {
    // Segments need not follow the cipher blocks, and an empty one may stand anywhere.
    const Bytes plain = ReadFileBytes(TestDataFile(L"reader-plain-100k.bin"));
    const std::vector<Bytes> parts = SplitEnveloped(original_);
    struct Case {
        const char* name;
        Bytes contentInfo;
        DWORD expected;
    };
    const Case cases[] = {
        {"open", SegmentedContentInfo(parts[2], {1, 7, 0, 1000, 40000}, true), 0},
        {"definite", SegmentedContentInfo(parts[2], {3, 65536}, false), 0},
        // Small segments whose headers fall around the end of the reader's 64 KiB buffer.
        {"headers at the buffer's end", SegmentedContentInfo(parts[2], {65460, 2, 1, 0, 3, 61, 4093, 1}, true), 0},
        {"a later segment not an OCTET STRING", SegmentedContentInfo(parts[2], {8, 8}, false, 0x05), kUnexpected},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Bytes> altered = parts;
        altered[2] = c.contentInfo;
        const Bytes file = JoinEnveloped(altered, 3);
        Outcome outcome = Read(file);
        EXPECT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.jobResult, c.expected);
        if (c.expected != 0) {
            EXPECT_FALSE(outcome.outputLeft);
            continue;
        }
        EXPECT_TRUE(outcome.output == plain);
        EXPECT_EQ(outcome.offset, file.size());
        // Describe mode walks the same segments without decrypting them.
        outcome = Read(file, kModeDescribe);
        EXPECT_EQ(outcome.jobResult, 0u);
        EXPECT_EQ(outcome.readError, 0u);
        EXPECT_EQ(outcome.offset, file.size());
    }
}

TEST_F(ReaderDamagedTest, FilesThatAreNoEnvelopeAreFailures) {
    for (const Bytes& bytes : {Bytes{'h', 'e', 'l', 'l', 'o'}, Bytes{0x30, 0x03, 0x02, 0x01, 0x00},
                               testing_support::PatternBytes(3000, 7)}) {
        Outcome outcome = Read(bytes);
        EXPECT_EQ(outcome.result, 1);
        EXPECT_NE(outcome.jobResult, 0u);
        EXPECT_NE(outcome.jobResult, 0xFFFFFFFFu);
        EXPECT_FALSE(outcome.outputLeft);
    }
}

TEST_F(ReaderDamagedTest, DamagedRecipientEntryDoesNotFailAFileThatOpens) {
    std::vector<Bytes> parts = SplitEnveloped(original_);
    der::Reader set(parts[1]), entries;
    ASSERT_TRUE(set.ReadElement(der::kSet, entries));
    const Bytes alice(entries.data(), entries.data() + entries.size());
    const Bytes damaged = {0x30, 0x03, 0x02, 0x01, 0x05};  // fewer than four elements
    auto withEntries = [&](const Bytes& first, const Bytes& second) {
        Bytes content = first;
        content.insert(content.end(), second.begin(), second.end());
        std::vector<Bytes> changed = parts;
        changed[1].clear();
        der::AppendElement(changed[1], der::kSet, content);
        return JoinEnveloped(changed, 3);
    };
    Outcome outcome = Read(withEntries(alice, damaged));
    EXPECT_EQ(outcome.jobResult, 0u) << "the key is already held";
    EXPECT_EQ(outcome.output.size(), 100000u);
    outcome = Read(withEntries(damaged, alice));
    EXPECT_EQ(outcome.jobResult, 0u);
    EXPECT_EQ(outcome.output.size(), 100000u);
    outcome = Read(withEntries(damaged, {}));
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.jobResult, kUnexpected);
    EXPECT_FALSE(outcome.outputLeft);
}

// A progress dialog whose user cancels after a number of polls.
class CancellingProgress : public IProgressDialog {
public:
    explicit CancellingProgress(int pollsBeforeCancel) : polls_(pollsBeforeCancel) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE StartProgressDialog(HWND, IUnknown*, DWORD, LPCVOID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE StopProgressDialog() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetTitle(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetAnimation(HINSTANCE, UINT) override { return S_OK; }
    BOOL STDMETHODCALLTYPE HasUserCancelled() override { return --polls_ < 0; }
    HRESULT STDMETHODCALLTYPE SetProgress(DWORD completed, DWORD total) override {
        return SetProgress64(completed, total);
    }
    HRESULT STDMETHODCALLTYPE SetProgress64(ULONGLONG completed, ULONGLONG total) override {
        lastCompleted = completed;
        lastTotal = total;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetLine(DWORD, LPCWSTR, BOOL, LPCVOID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetCancelMsg(LPCWSTR, LPCVOID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Timer(DWORD, LPCVOID) override { return S_OK; }
    ULONGLONG lastCompleted = 0;
    ULONGLONG lastTotal = 0;

private:
    int polls_;
};

TEST_F(ReaderDamagedTest, CancelledJobLeavesNoOutputAndProgressCountsTheFile) {
    std::wstring output = temp_.File(L"cancel.out");
    {
        // Polled after the recipient scan and after every content batch (1 MiB): the third poll,
        // after the second of the content's three batches, cancels. The third batch has been read
        // ahead by then; the job still stops where the second one ends.
        CancellingProgress progress(2);
        UnpackJob job;
        job.inputPath = TestDataFile(L"reader-alice-des3-3m.pkcs7");
        job.outputPath = output;
        EXPECT_EQ(ReadEnvelope(&progress, &settings_, &job, nullptr), 0);
        EXPECT_EQ(job.jobResult, static_cast<DWORD>(ERROR_CANCELLED));
        EXPECT_GT(job.offset, 2u << 20);
        EXPECT_LT(job.offset, (2u << 20) + 4096) << "the batch read ahead is not counted";
    }
    EXPECT_FALSE(FileExists(output));
    CancellingProgress never(1000000);
    UnpackJob job;
    job.inputPath = TestDataFile(L"reader-alice-des3.pkcs7");
    job.outputPath = output;
    EXPECT_EQ(ReadEnvelope(&never, &settings_, &job, nullptr), 0);
    EXPECT_EQ(job.jobResult, 0u);
    EXPECT_EQ(never.lastCompleted, original_.size());
    EXPECT_EQ(never.lastTotal, original_.size());
}

// A whole envelope followed by zeros up to past 4 GiB: the outer length is checked against the
// file's 64-bit size, so the file is damaged (a size cut to 32 bits would have matched it).
TEST_F(ReaderDamagedTest, FilesPastFourGibibytesAreCheckedAgainstTheirWholeSize) {
    std::wstring input = temp_.File(L"huge.pkcs7");
    {
        FileHandle file(CreateFileW(input.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file);
        WriteFile(file.get(), original_.data(), static_cast<DWORD>(original_.size()), nullptr, nullptr);
        LARGE_INTEGER end;
        end.QuadPart = 0x100000000LL + static_cast<LONGLONG>(original_.size());
        ASSERT_TRUE(SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(file.get()));
    }
    UnpackJob job;
    job.inputPath = input;
    job.outputPath = temp_.File(L"huge.out");
    job.decodeMode = kModeDescribe;
    EXPECT_EQ(ReadEnvelope(nullptr, &settings_, &job, nullptr), 1);
    EXPECT_EQ(job.jobResult, static_cast<DWORD>(CRYPT_E_BAD_ENCODE));
    EXPECT_EQ(job.offset, 1u) << "refused at the outer length";
    DeleteFileW(input.c_str());
}

// Answers "Yes" to the question and names another file in the save dialog.
class AnswerYesAndRename : public MessageSink {
public:
    explicit AnswerYesAndRename(std::wstring newPath) : newPath_(std::move(newPath)) {}
    ~AnswerYesAndRename() override {
        if (thread_.joinable()) thread_.join();
    }
    int Answer(HWND, const std::wstring&, const std::wstring&, UINT) override {
        if (!thread_.joinable()) thread_ = std::thread([this] { FillSaveDialog(); });
        return IDYES;
    }
    std::atomic<bool> done{false};

private:
    void FillSaveDialog() {
        HWND dialog = testing_support::WaitForProcessWindow(L"#32770");
        if (!dialog) return;
        SendMessageW(dialog, CDM_SETCONTROLTEXT, edt1, reinterpret_cast<LPARAM>(newPath_.c_str()));
        SendMessageW(dialog, CDM_SETCONTROLTEXT, cmb13, reinterpret_cast<LPARAM>(newPath_.c_str()));
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        done = true;
    }
    std::wstring newPath_;
    std::thread thread_;
};

TEST_F(ReaderDamagedTest, ExistingOutputLeadsToTheSaveDialogAndAConfirmedName) {
    std::wstring output = temp_.File(L"exists.bin");
    std::wstring renamed = temp_.File(L"renamed.bin");
    WriteFileBytes(output, {9, 9, 9});
    AnswerYesAndRename sink(renamed);
    MessageSink* previous = SetMessageSink(&sink);
    {
        UnpackJob job;
        job.inputPath = TestDataFile(L"reader-alice-des3.pkcs7");
        job.outputPath = output;
        EXPECT_EQ(ReadEnvelope(nullptr, &settings_, &job, nullptr), 0);
        EXPECT_TRUE(sink.done);
        EXPECT_EQ(job.jobResult, 0u);
        EXPECT_EQ(job.outputConfirmed, 1);
        EXPECT_EQ(job.outputPath, renamed);
    }
    SetMessageSink(previous);
    EXPECT_EQ(ReadFileBytes(output), (Bytes{9, 9, 9}));
    EXPECT_EQ(ReadFileBytes(renamed).size(), 100000u);
}

TEST_F(ReaderDamagedTest, ExistingOutputIsKeptWhenTheUserDeclinesAnotherName) {
    AnswerNo sink;
    MessageSink* previous = SetMessageSink(&sink);
    std::wstring output = temp_.File(L"exists.bin");
    WriteFileBytes(output, {9, 9, 9});
    {
        UnpackJob job;
        job.inputPath = TestDataFile(L"reader-alice-des3.pkcs7");
        job.outputPath = output;
        EXPECT_EQ(ReadEnvelope(nullptr, &settings_, &job, nullptr), 1);
        EXPECT_EQ(job.jobResult, static_cast<DWORD>(CRYPT_E_FILE_ERROR));
        EXPECT_EQ(job.writeError, static_cast<DWORD>(ERROR_FILE_EXISTS));
    }
    SetMessageSink(previous);
    ASSERT_EQ(sink.texts.size(), 1u);
    EXPECT_NE(sink.texts[0].find(output), std::wstring::npos);
    EXPECT_EQ(ReadFileBytes(output), (Bytes{9, 9, 9})) << "the existing file is neither overwritten nor deleted";
}

}  // namespace
