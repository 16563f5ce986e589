// The pack run over real files and the test certificates: where outputs go, compression and its
// questions, refusals, deletion of the sources and the run's result.
#include <windows.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "pack/pack_run.h"
#include "packer_ui/recent_lists.h"
#include "tests/pack/envelope_test_support.h"
#include "tests/pack/pack_run_test_support.h"
#include "tests/support/test_support.h"

namespace {

using pack_run_test::CancellingProgress;
using pack_run_test::DecryptContent;
using pack_run_test::Gunzip;
using pack_run_test::RecordingSink;
using pack_run_test::TestWindow;
using pack_run_test::TextBytes;
using testing_support::FileExists;
using testing_support::PatternBytes;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;
using Bytes = std::vector<uint8_t>;

constexpr UINT kEncryptFailed = 506;
constexpr UINT kNoCertificates = 507;
constexpr UINT kCannotCreate = 512;
constexpr UINT kNoSpace = 559;
constexpr UINT kNoFiles = 516;
constexpr UINT kAllPacked = 546;
constexpr UINT kAlreadyCompressed = 547;

// Files (not folders) matching the pattern in the folder.
int CountFiles(const std::wstring& folder, const wchar_t* pattern) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\" + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    int count = 0;
    do count += (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : 1;
    while (FindNextFileW(search, &found));
    FindClose(search);
    return count;
}

class PackRunTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(window_.AddRecipientFile(L"alice.cer")); }

    std::wstring MakeFile(const std::wstring& name, const Bytes& bytes) {
        std::wstring path = temp_.File(name);
        WriteFileBytes(path, bytes);
        return path;
    }

    void ExpectContent(const std::wstring& packed, const Bytes& expected) {
        Bytes content;
        ASSERT_TRUE(DecryptContent(packed, content)) << "cannot unpack";
        EXPECT_EQ(content, expected);
    }

    TempDir temp_;
    RecordingSink sink_;
    TestWindow window_;
};

TEST_F(PackRunTest, PacksNextToTheSourceAndReports) {
    const Bytes original = PatternBytes(5000, 3);
    std::wstring source = MakeFile(L"report.doc", original);
    window_.AddFile(source);
    PackerWindow* window = window_.get();
    window->recentFiles = AllocateRecentFiles(window_.settings().RecentItemsCount);
    window->recentCertificates = AllocateRecentCertificates(window_.settings().RecentItemsCount);
    EXPECT_TRUE(window_.Run());
    ASSERT_TRUE(FileExists(source + L".pkcs7"));
    ExpectContent(source + L".pkcs7", original);
    EXPECT_TRUE(FileExists(source)) << "the source is kept without a delete setting";
    EXPECT_TRUE(sink_.Saw(kAllPacked));
    EXPECT_EQ(sink_.texts.size(), 1u);
    // The recent lists now name the file and the recipient.
    ASSERT_TRUE(window->recentFiles[0]);
    EXPECT_EQ(std::wstring(window->recentFiles[0]), source);
    ASSERT_TRUE(window->recentCertificates[0]);
    EXPECT_TRUE(CertCompareCertificate(X509_ASN_ENCODING, window->recentCertificates[0]->pCertInfo,
                                       window->encryptionPage->CertificateAt(0)->pCertInfo));
    FreeRecentFiles(window->recentFiles);
    FreeRecentCertificates(window->recentCertificates);
}

TEST_F(PackRunTest, PacksIntoTheTargetFolderAndForgetsIt) {
    std::wstring source = MakeFile(L"a.txt", TextBytes("folder"));
    std::wstring folder = temp_.File(L"out");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    window_.get()->targetFolder = folder;
    window_.AddFile(source);
    EXPECT_TRUE(window_.Run());
    ExpectContent(folder + L"\\a.txt.pkcs7", TextBytes("folder"));
    EXPECT_FALSE(FileExists(source + L".pkcs7"));
    EXPECT_TRUE(window_.get()->targetFolder.empty());
}

TEST_F(PackRunTest, PacksIntoTheWorkingDirectoryUnderTheBareName) {
    std::wstring source = MakeFile(L"b.txt", TextBytes("working"));
    std::wstring work = temp_.File(L"work");
    ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
    wchar_t previous[MAX_PATH];
    ASSERT_TRUE(GetCurrentDirectoryW(MAX_PATH, previous));
    ASSERT_TRUE(SetCurrentDirectoryW(work.c_str()));
    window_.get()->useWorkingDirectory = 1;
    window_.AddFile(source);
    BOOL result = window_.Run();
    SetCurrentDirectoryW(previous);
    EXPECT_TRUE(result);
    ExpectContent(work + L"\\b.txt.pkcs7", TextBytes("working"));
    EXPECT_FALSE(FileExists(source + L".pkcs7"));
}

TEST_F(PackRunTest, CompressedOutputHoldsAGzipFileOfTheSourceAndNoTemporaryStays) {
    const Bytes original = PatternBytes(20000, 5);
    std::wstring source = MakeFile(L"notes.c", original);
    window_.settings().CompressFiles = 1;
    window_.AddFile(source);
    EXPECT_TRUE(window_.Run());
    EXPECT_FALSE(sink_.Saw(kAlreadyCompressed, source.c_str())) << "C is no compressed format";
    EXPECT_FALSE(FileExists(source + L".pkcs7"));
    Bytes gzip, content;
    ASSERT_TRUE(DecryptContent(source + L".gz.pkcs7", gzip));
    ASSERT_TRUE(Gunzip(gzip, content));
    EXPECT_EQ(content, original);
    EXPECT_EQ(CountFiles(temp_.path(), L"gz*.tmp"), 0);
}

TEST_F(PackRunTest, AlreadyCompressedFormatsAreAskedAbout) {
    window_.settings().CompressFiles = 1;
    std::wstring zip = MakeFile(L"archive.zip", TextBytes("zip"));
    std::wstring zipx = MakeFile(L"data.zipx", TextBytes("zipx"));
    std::wstring z = MakeFile(L"image.Z", TextBytes("z"));
    window_.AddFile(zip);
    window_.AddFile(zipx);
    window_.AddFile(z);
    sink_.answers = {IDYES, IDNO};  // archive.zip as it is, image.Z compressed all the same
    EXPECT_TRUE(window_.Run());
    EXPECT_TRUE(sink_.Saw(kAlreadyCompressed, zip.c_str()));
    EXPECT_FALSE(sink_.Saw(kAlreadyCompressed, zipx.c_str()));
    EXPECT_TRUE(sink_.Saw(kAlreadyCompressed, z.c_str()));
    ExpectContent(zip + L".pkcs7", TextBytes("zip"));
    EXPECT_TRUE(FileExists(zipx + L".gz.pkcs7"));
    EXPECT_TRUE(FileExists(z + L".gz.pkcs7"));
}

TEST_F(PackRunTest, AnotherNameFromTheSaveDialogGetsTheSuffix) {
    std::wstring source = MakeFile(L"taken.txt", TextBytes("renamed"));
    std::wstring existing = MakeFile(L"taken.txt.pkcs7", TextBytes("old output"));
    window_.AddFile(source);
    sink_.answers = {IDYES};
    {
        pack_run_test::SaveDialogFiller filler(temp_.File(L"other.doc"));
        EXPECT_TRUE(window_.Run());
        EXPECT_TRUE(filler.filled());
    }
    EXPECT_EQ(ReadFileBytes(existing), TextBytes("old output"));
    ExpectContent(temp_.File(L"other.txt.pkcs7"), TextBytes("renamed"));
}

TEST_F(PackRunTest, WithoutSaveDialogsAYesToAnotherNameSkipsTheFile) {
    std::wstring source = MakeFile(L"taken.txt", TextBytes("new"));
    std::wstring existing = MakeFile(L"taken.txt.pkcs7", TextBytes("old output"));
    window_.AddFile(source);
    window_.options().saveDialogs = false;
    sink_.defaultAnswer = IDYES;
    EXPECT_FALSE(window_.Run());
    EXPECT_TRUE(sink_.Saw(kCannotCreate, existing.c_str(), ERROR_FILE_EXISTS));
    EXPECT_EQ(ReadFileBytes(existing), TextBytes("old output"));
}

TEST_F(PackRunTest, NeitherRecipientNorSignerIsRefused) {
    TestWindow bare;
    std::wstring source = MakeFile(L"lonely.txt", TextBytes("x"));
    bare.AddFile(source);
    EXPECT_FALSE(bare.Run());
    EXPECT_TRUE(sink_.Saw(kNoCertificates));
    EXPECT_FALSE(FileExists(source + L".pkcs7"));
}

TEST_F(PackRunTest, NoFilesIsRefused) {
    EXPECT_FALSE(window_.Run());
    EXPECT_TRUE(sink_.Saw(kNoFiles));
}

TEST_F(PackRunTest, DeleteFilesRemovesThePackedSourceFromDiskAndPage) {
    std::wstring source = MakeFile(L"gone.txt", TextBytes("delete me"));
    int index = window_.AddFile(source);
    window_.settings().DeleteFiles = 1;
    EXPECT_TRUE(window_.Run());
    ExpectContent(source + L".pkcs7", TextBytes("delete me"));
    EXPECT_FALSE(FileExists(source));
    EXPECT_EQ(window_.get()->filesPage->items[index], nullptr);
}

TEST_F(PackRunTest, DeleteSafelyRemovesSourceAndTemporaryFile) {
    const Bytes original = PatternBytes(3000, 7);
    std::wstring first = MakeFile(L"one.txt", original);
    std::wstring second = MakeFile(L"two.txt", TextBytes("second"));
    window_.AddFile(first);
    window_.AddFile(second);
    window_.settings().CompressFiles = 1;
    window_.settings().DeleteSafelyFiles = 1;
    window_.settings().OverwritePasses = 1;
    EXPECT_TRUE(window_.Run());
    EXPECT_FALSE(FileExists(first));
    EXPECT_FALSE(FileExists(second));
    // Everything left in the folder is the two outputs.
    EXPECT_EQ(CountFiles(temp_.path(), L"*.*"), 2);
    Bytes gzip, content;
    ASSERT_TRUE(DecryptContent(first + L".gz.pkcs7", gzip));
    ASSERT_TRUE(Gunzip(gzip, content));
    EXPECT_EQ(content, original);
}

// Where overwriting is refused (a path of two leading backslashes, as on a network share) the
// source stays, but the compressed temporary copy of it does not.
TEST_F(PackRunTest, DeleteSafelyWhereOverwritingIsRefusedLeavesNoTemporary) {
    const Bytes original = PatternBytes(3000, 7);
    std::wstring source = MakeFile(L"one.txt", original);
    window_.AddFile(L"\\\\?\\" + source);
    window_.settings().CompressFiles = 1;
    window_.settings().CompressionThreads = 1;  // compressed into a temporary file first
    window_.settings().DeleteSafelyFiles = 1;
    EXPECT_TRUE(window_.Run());
    EXPECT_TRUE(ReadFileBytes(source) == original);
    EXPECT_EQ(CountFiles(temp_.path(), L"*.*"), 2) << "the source and its envelope only";
    Bytes gzip, content;
    ASSERT_TRUE(DecryptContent(source + L".gz.pkcs7", gzip));
    ASSERT_TRUE(Gunzip(gzip, content));
    EXPECT_EQ(content, original);
}

// A source larger than the free space of its volume (sparse, so it takes none itself): the pack
// says so before it writes anything, and goes on with the next file.
TEST_F(PackRunTest, ShortFreeSpaceIsReportedBeforeAnythingIsWritten) {
    ULARGE_INTEGER freeBytes = {};
    ASSERT_TRUE(GetDiskFreeSpaceExW(temp_.path().c_str(), &freeBytes, nullptr, nullptr));
    const std::wstring huge = temp_.File(L"beyond.bin");
    if (!pack_run_test::MakeSparseFile(huge, freeBytes.QuadPart + (1ULL << 30)))
        GTEST_SKIP() << "the file system holds no sparse file larger than its free space";
    const std::wstring small = MakeFile(L"fits.txt", TextBytes("fits"));
    window_.AddFile(huge);
    window_.AddFile(small);
    window_.settings().CompressFiles = 0;
    EXPECT_TRUE(window_.Run());
    EXPECT_TRUE(sink_.Saw(kNoSpace, huge.c_str()));
    EXPECT_FALSE(FileExists(huge + L".pkcs7"));
    EXPECT_EQ(CountFiles(temp_.path(), L"*.*"), 3) << "the two sources and the small one's envelope";
    ExpectContent(small + L".pkcs7", TextBytes("fits"));
}

// Writes bytes into an existing file at offset (a sparse file stays sparse around them).
bool WriteAt(const std::wstring& path, ULONGLONG offset, const Bytes& bytes) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    DWORD written = 0;
    return file && SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) &&
           WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

// A sparse file past 4 GiB, marked at its start, across the 4 GiB boundary and at its end, packs
// and unpacks back to the same bytes, in the clear and compressed. Plain needs room for the
// envelope and the unpacked copy; the compressed zeros pack small. Every file goes on every path.
TEST_F(PackRunTest, FilesPastFourGibibytesPackAndUnpackPlainAndCompressed) {
    const ULONGLONG size = 0x100000000ULL + 70001;
    ULARGE_INTEGER freeBytes = {};
    if (!GetDiskFreeSpaceExW(temp_.path().c_str(), &freeBytes, nullptr, nullptr) ||
        freeBytes.QuadPart < 2 * size + (256ULL << 20))
        GTEST_SKIP() << "less free space than two copies of a file past 4 GiB";
    const std::wstring source = temp_.File(L"huge.bin");
    if (!pack_run_test::MakeSparseFile(source, size)) GTEST_SKIP() << "the file system holds no file past 4 GiB";
    ASSERT_TRUE(WriteAt(source, 0, TextBytes("start")));
    ASSERT_TRUE(WriteAt(source, 0xFFFFFFFDULL, TextBytes("boundary")));
    ASSERT_TRUE(WriteAt(source, size - 3, TextBytes("end")));
    window_.AddFile(source);
    window_.settings().GzCompressionLevel = 1;
    // RC4 keeps the plain case's cipher time down; the lengths are the same as any cipher's.
    window_.settings().EncryptAlgorithmID = CALG_RC4;
    window_.settings().EncryptKeyLength = 128;
    struct Case {
        const char* what;
        DWORD compress;
        const wchar_t* extension;
    } cases[] = {{"compressed", 1, L".gz.pkcs7"}, {"plain", 0, L".pkcs7"}};
    const std::wstring unpacked = temp_.File(L"huge.out");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        window_.settings().CompressFiles = c.compress;
        const std::wstring packed = source + c.extension;
        EXPECT_TRUE(window_.Run());
        LARGE_INTEGER packedSize = {};
        FileHandle packedFile(CreateFileW(packed.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                          nullptr));
        EXPECT_TRUE(packedFile && GetFileSizeEx(packedFile.get(), &packedSize));
        packedFile.reset();
        if (!c.compress) {
            EXPECT_GT(static_cast<ULONGLONG>(packedSize.QuadPart), size);
        }
        EXPECT_TRUE(pack_run_test::UnpackToFile(packed, unpacked, c.compress != 0));
        EXPECT_TRUE(pack_run_test::SameFileBytes(source, unpacked));
        DeleteFileW(packed.c_str());
        DeleteFileW(unpacked.c_str());
    }
    DeleteFileW(source.c_str());
}

TEST_F(PackRunTest, WithoutCloseProgramTheRunAsksToStayOpen) {
    std::wstring source = MakeFile(L"stay.txt", TextBytes("stay"));
    window_.AddFile(source);
    window_.settings().CloseProgram = 0;
    EXPECT_FALSE(window_.Run());
    EXPECT_TRUE(FileExists(source + L".pkcs7"));
    EXPECT_TRUE(sink_.Saw(kAllPacked));
}

TEST_F(PackRunTest, CancelledEnvelopeLeavesNoOutputAndKeepsTheSource) {
    std::wstring source = MakeFile(L"cancel.txt", PatternBytes(100000, 2));
    window_.AddFile(source);
    window_.settings().DeleteFiles = 1;
    CancellingProgress progress(0);
    window_.options().progress = &progress;
    EXPECT_FALSE(window_.Run());
    EXPECT_FALSE(FileExists(source + L".pkcs7"));
    EXPECT_TRUE(FileExists(source));
    EXPECT_TRUE(sink_.Saw(kEncryptFailed, source.c_str(), ERROR_CANCELLED));
}

TEST_F(PackRunTest, FailedEnvelopeLeavesNoPartialOutput) {
    TestWindow broken;
    CertHandle unusable = envelope_test::UnusableCertificate();
    ASSERT_TRUE(unusable);
    ASSERT_GE(broken.get()->encryptionPage->AddItem(const_cast<CERT_CONTEXT*>(unusable.release()), FALSE), 0);
    std::wstring source = MakeFile(L"fails.txt", TextBytes("never packed"));
    broken.AddFile(source);
    EXPECT_FALSE(broken.Run());
    EXPECT_FALSE(FileExists(source + L".pkcs7"));
    ASSERT_EQ(sink_.texts.size(), 1u);
    EXPECT_EQ(sink_.texts[0].find(MessageBoxText(kEncryptFailed, source.c_str(), 0).substr(0, 20)), 0u);
}

TEST_F(PackRunTest, AesWithTheRsaFullTypeTakesAnAesProvider) {
    std::wstring source = MakeFile(L"aes.txt", TextBytes("aes content"));
    window_.AddFile(source);
    window_.settings().CryptCSPtype = PROV_RSA_FULL;
    window_.settings().EncryptAlgorithmID = CALG_AES_256;
    window_.settings().EncryptKeyLength = 256;
    EXPECT_TRUE(window_.Run());
    ExpectContent(source + L".pkcs7", TextBytes("aes content"));
}

TEST_F(PackRunTest, SignerAloneGivesASignedFile) {
    TestWindow signing;
    ASSERT_NO_FATAL_FAILURE(signing.AddSigner(L"Carol Signer"));
    std::wstring source = MakeFile(L"signed.txt", TextBytes("signed text"));
    signing.AddFile(source);
    EXPECT_TRUE(signing.Run());
    Bytes packed = ReadFileBytes(source + L".pkcs7");
    const Bytes signedDataOid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
    EXPECT_TRUE(envelope_test::Contains(packed, signedDataOid));
    EXPECT_TRUE(envelope_test::Contains(packed, TextBytes("signed text")));
}

// ---- helpers ----

TEST(PackRunNames, CompressedFormatsMatchOnlyWholeItems) {
    const std::wstring list = L"RAR.7Z.JZ.ZIP.GZ.Z.UU.UUE";
    EXPECT_TRUE(IsCompressedFormat(list, L"C:\\x\\archive.zip"));
    EXPECT_TRUE(IsCompressedFormat(list, L"archive.ZiP"));
    EXPECT_FALSE(IsCompressedFormat(list, L"data.zipx"));
    EXPECT_TRUE(IsCompressedFormat(list, L"image.Z"));
    EXPECT_TRUE(IsCompressedFormat(list, L"mail.uue"));
    EXPECT_FALSE(IsCompressedFormat(L"7Z.JZ", L"image.Z")) << "Z inside 7Z and JZ is no item";
    EXPECT_FALSE(IsCompressedFormat(list, L"notes.c"));
    EXPECT_FALSE(IsCompressedFormat(list, L"C:\\x.zip\\README"));
    EXPECT_FALSE(IsCompressedFormat(list, L"trailing."));
    EXPECT_FALSE(IsCompressedFormat(L"", L"archive.zip"));
}

// The two signer questions ask opposite things: "Yes" to "do not use this certificate?" (no key)
// leaves the signer out, "Yes" to "do you want to use it?" (a failed check) signs with it. "No"
// to either ends the run before anything is written.
TEST_F(PackRunTest, SignerQuestionsAreAnsweredAsTheyAsk) {
    const Bytes kSignedAndEnveloped = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x04};
    struct Case {
        bool withoutKey;  // a certificate without a private key, or Carol's, whose chain fails
        int answer;
        bool packed;
        bool signedOutput;
    };
    const Case cases[] = {{true, IDYES, true, false}, {true, IDNO, false, false},
                          {false, IDYES, true, true}, {false, IDNO, false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.withoutKey ? "no key, " : "failed check, ") + (c.answer == IDYES ? "Yes" : "No"));
        TempDir dir;
        std::wstring source = dir.File(L"signed.txt");
        WriteFileBytes(source, TextBytes("signed or not"));
        TestWindow window;
        ASSERT_NO_FATAL_FAILURE(window.AddRecipientFile(L"alice.cer"));
        window.AddFile(source);
        RecordingSink sink;
        if (c.withoutKey) {
            window.settings().VerifyCertificates = 0;
            CertHandle stranger = testing_support::LoadCertificateFile(testing_support::TestDataFile(L"stranger.cer"));
            ASSERT_TRUE(stranger);
            ASSERT_GE(window.get()->signingPage->AddItem(const_cast<CERT_CONTEXT*>(stranger.get()), FALSE), 0);
            stranger.release();
            sink.answers = {c.answer};
        } else {
            // The untrusted test CA fails Alice's check first: she is used, then Carol is asked about.
            window.settings().VerifyCertificates = 1;
            ASSERT_NO_FATAL_FAILURE(window.AddSigner(L"Carol Signer"));
            sink.answers = {IDYES, c.answer};
        }
        BOOL packed = window.Run();
        ASSERT_TRUE(sink.answers.empty()) << "a planned question was not asked";
        const std::wstring& question = c.withoutKey ? sink.texts[0] : sink.texts.at(1);
        EXPECT_NE(question.find(c.withoutKey ? L"Не использовать этот сертификат?" : L"Вы хотите его использовать?"),
                  std::wstring::npos)
            << testing_support::Narrow(question);
        EXPECT_NE(question.find(c.withoutKey ? L"Stranger" : L"Carol Signer"), std::wstring::npos)
            << testing_support::Narrow(question);
        EXPECT_EQ(packed != FALSE, c.packed);
        EXPECT_EQ(FileExists(source + L".pkcs7"), c.packed);
        if (!c.packed) continue;
        Bytes head = ReadFileBytes(source + L".pkcs7");
        head.resize(std::min<size_t>(head.size(), 32));
        bool isSigned = std::search(head.begin(), head.end(), kSignedAndEnveloped.begin(), kSignedAndEnveloped.end()) !=
                        head.end();
        EXPECT_EQ(isSigned, c.signedOutput);
    }
}

TEST(PackRunNames, SaveDialogNamesGetTheSuffix) {
    EXPECT_EQ(NameSuffix(L"C:\\a.b\\report.doc.pkcs7"), L".doc.pkcs7");
    EXPECT_EQ(NameSuffix(L"C:\\a.b\\README"), L"");
    struct Case {
        const wchar_t* chosen;
        DWORD disposition;
        const wchar_t* created;
    };
    const Case cases[] = {
        {L"C:\\out\\other.doc.pkcs7", CREATE_ALWAYS, L"C:\\out\\other.doc.pkcs7"},  // the dialog asked
        {L"C:\\out.d\\other.txt", CREATE_NEW, L"C:\\out.d\\other.doc.pkcs7"},
        {L"C:\\out.d\\other", CREATE_NEW, L"C:\\out.d\\other.doc.pkcs7"},
        {L"C:\\out\\other.DOC.PKCS7", CREATE_NEW, L"C:\\out\\other.doc.pkcs7"},  // compared exactly
    };
    for (const Case& c : cases) {
        std::wstring chosen = c.chosen;
        EXPECT_EQ(ApplyNameSuffix(chosen, L".doc.pkcs7"), c.disposition) << c.chosen;
        EXPECT_EQ(chosen, c.created);
    }
}

TEST(PackRunNames, TheSaveDialogStartsInTheOutputsFolder) {
    EXPECT_EQ(SaveDialogFolder(L"C:\\out.d\\report.doc.pkcs7"), L"C:\\out.d");
    wchar_t current[MAX_PATH] = {};
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, current), 0u);
    EXPECT_EQ(SaveDialogFolder(L"report.doc.pkcs7"), current);  // a bare name lives in the current directory
}

}  // namespace
