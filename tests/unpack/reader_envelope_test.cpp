// The envelope reader on envelopes made by OpenSSL: every algorithm, the recipient scan, the three
// modes, compressed content, and damaged or foreign files.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <memory>

#include "format/der.h"
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

constexpr DWORD kNoDecryptCert = static_cast<DWORD>(CRYPT_E_NO_DECRYPT_CERT);

std::unique_ptr<UnpackJob> MakeJob(const std::wstring& input, const std::wstring& output, BYTE mode,
                                   BYTE compressed = 0) {
    auto job = std::make_unique<UnpackJob>();
    job->inputPath = input;
    job->outputPath = output;
    job->decodeMode = mode;
    job->compressedContent = compressed;
    return job;
}

class ReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(recipients_.AddWithKey(L"alice", PROV_RSA_AES));
        ASSERT_TRUE(recipients_.AddCertificateOnly(L"stranger"));
        settings_ = QuietSettings(recipients_.store());
    }

    // Runs the reader; the job is returned so that the test sees the output before it goes.
    std::unique_ptr<UnpackJob> Read(const std::wstring& input, BYTE mode = kModeUnpack, BYTE compressed = 0,
                                    UnpackView* view = nullptr) {
        auto job = MakeJob(input, Output(), mode, compressed);
        result_ = ReadEnvelope(nullptr, &settings_, job.get(), view);
        return job;
    }
    std::unique_ptr<UnpackJob> ReadData(const std::wstring& name, BYTE mode = kModeUnpack, BYTE compressed = 0) {
        return Read(TestDataFile(name), mode, compressed);
    }
    std::wstring Output() const { return temp_.File(L"out.bin"); }
    std::wstring WriteInput(const std::vector<uint8_t>& bytes) {
        std::wstring path = temp_.File(L"input.pkcs7");
        WriteFileBytes(path, bytes);
        return path;
    }

    TempDir temp_;
    TestRecipients recipients_;
    UnpackSettings settings_;
    LONG result_ = -1;
};

TEST_F(ReaderTest, DecryptsEveryAlgorithmOpenSslWrites) {
    const std::vector<uint8_t> plain = ReadFileBytes(TestDataFile(L"reader-plain-100k.bin"));
    for (const wchar_t* cipher : {L"des3", L"aes128", L"aes192", L"aes256", L"des", L"rc2-40", L"rc2-64", L"rc2-128",
                                  L"rc4"}) {
        SCOPED_TRACE(testing_support::Narrow(cipher));
        std::wstring name = std::wstring(L"reader-alice-") + cipher + L".pkcs7";
        auto job = ReadData(name);
        EXPECT_EQ(result_, 0);
        EXPECT_EQ(job->jobResult, 0u);
        EXPECT_EQ(job->finalBlockStatus, 0);
        EXPECT_EQ(job->outerContentType, 3u);
        EXPECT_EQ(job->innerContentType, 255);
        EXPECT_EQ(job->readError, 0u);
        EXPECT_EQ(job->writeError, 0u);
        EXPECT_EQ(job->offset, ReadFileBytes(TestDataFile(name)).size());
        EXPECT_TRUE(ReadFileBytes(Output()) == plain);
        job.reset();
        EXPECT_TRUE(FileExists(Output())) << "a good output stays";
        DeleteFileW(Output().c_str());
    }
}

TEST_F(ReaderTest, EmptyAndOneByteContents) {
    // des3 over an empty file: one block of padding, decrypted to nothing.
    auto job = ReadData(L"reader-alice-des3-0.pkcs7");
    EXPECT_EQ(job->jobResult, 0u);
    EXPECT_EQ(job->finalBlockStatus, 0);
    EXPECT_TRUE(ReadFileBytes(Output()).empty());
    job.reset();
    DeleteFileW(Output().c_str());
    // RC4 over an empty file has no ciphertext at all (80 00) and still counts as decrypted.
    job = ReadData(L"reader-alice-rc4-0.pkcs7");
    EXPECT_EQ(job->jobResult, 0u);
    EXPECT_EQ(job->finalBlockStatus, 0);
    EXPECT_TRUE(FileExists(Output()));
    job.reset();
    DeleteFileW(Output().c_str());
    job = ReadData(L"reader-alice-aes256-1.pkcs7");
    EXPECT_EQ(job->jobResult, 0u);
    EXPECT_EQ(ReadFileBytes(Output()), ReadFileBytes(TestDataFile(L"reader-plain-1.bin")));
}

TEST_F(ReaderTest, StreamCipherReadSizeStaysBoundedForAnyBlockSize) {
    // RC4 reports no block length: the configured one sets the read size (bits x 512 bytes),
    // which must neither wrap to 0 nor become absurdly large.
    const std::vector<uint8_t> plain = ReadFileBytes(TestDataFile(L"reader-plain-100k.bin"));
    for (DWORD bits : {0u, 1u, 128u, 1u << 20, 0xFFFFFFFFu}) {
        SCOPED_TRACE(bits);
        settings_.blockSize = bits;
        auto job = ReadData(L"reader-alice-rc4.pkcs7");
        EXPECT_EQ(job->jobResult, 0u);
        EXPECT_TRUE(ReadFileBytes(Output()) == plain);
        job.reset();
        DeleteFileW(Output().c_str());
    }
}

TEST_F(ReaderTest, KeyWeDoNotHoldFailsAndLeavesNoOutput) {
    auto job = ReadData(L"reader-stranger-des3.pkcs7");
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(job->jobResult, kNoDecryptCert);
    EXPECT_EQ(job->finalBlockStatus, -1);
    job.reset();
    EXPECT_FALSE(FileExists(Output()));
}

TEST_F(ReaderTest, SecondRecipientOpensTheFileAndBothAreListed) {
    INITCOMMONCONTROLSEX init = {sizeof(init), ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&init);
    HWND list = CreateWindowExW(0, WC_LISTVIEWW, L"", WS_POPUP | LVS_REPORT, 0, 0, 300, 200, nullptr, nullptr,
                                nullptr, nullptr);
    ASSERT_NE(list, nullptr);
    UnpackView view;
    view.recipientsList = list;
    auto job = Read(TestDataFile(L"reader-stranger-alice-aes128.pkcs7"), kModeUnpack, 0, &view);
    EXPECT_EQ(job->jobResult, 0u);
    EXPECT_EQ(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 2);
    EXPECT_EQ(SendMessageW(list, LVM_GETITEMSTATE, 1, LVIS_OVERLAYMASK), 0) << "the opening entry is not marked";
    EXPECT_TRUE(ReadFileBytes(Output()) == ReadFileBytes(TestDataFile(L"reader-plain-100k.bin")));
    DestroyWindow(list);
}

TEST_F(ReaderTest, CheckModeWritesNothingDescribeModeDecryptsNothing) {
    const std::wstring name = L"reader-stranger-alice-aes128.pkcs7";
    auto job = ReadData(name, kModeCheck);
    EXPECT_EQ(job->jobResult, 0u);
    EXPECT_EQ(job->finalBlockStatus, 0);
    EXPECT_EQ(job->writeError, 0xFFFFFFFFu);
    EXPECT_FALSE(FileExists(Output()));

    job = ReadData(name, kModeDescribe);
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(job->jobResult, 0u);
    EXPECT_EQ(job->finalBlockStatus, -1) << "no key is tried and nothing decrypted";
    EXPECT_EQ(job->offset, ReadFileBytes(TestDataFile(name)).size()) << "the content is skipped";
    EXPECT_FALSE(FileExists(Output()));
}

TEST_F(ReaderTest, CompressedContentIsInflatedAndChecked) {
    auto job = ReadData(L"reader-alice-aes128.gz.pkcs7", kModeUnpack, 1);
    EXPECT_EQ(job->jobResult, 0u);
    EXPECT_EQ(job->decompressStatus, 0);
    EXPECT_TRUE(ReadFileBytes(Output()) == ReadFileBytes(TestDataFile(L"reader-plain-100k.bin")));
    job.reset();
    DeleteFileW(Output().c_str());

    job = ReadData(L"reader-alice-des3-named.gz.pkcs7", kModeUnpack, 1);  // header with FNAME
    EXPECT_EQ(job->decompressStatus, 0);
    EXPECT_TRUE(ReadFileBytes(Output()) == ReadFileBytes(TestDataFile(L"reader-text.bin")));
    job.reset();
    DeleteFileW(Output().c_str());

    job = ReadData(L"reader-alice-bad-crc.gz.pkcs7", kModeUnpack, 1);
    EXPECT_EQ(job->jobResult, 0u) << "a decompression failure is reported in its own field";
    EXPECT_EQ(job->decompressStatus, kGzipCrcMismatch);
    EXPECT_TRUE(ReadFileBytes(Output()) == ReadFileBytes(TestDataFile(L"reader-text.bin")));
    job.reset();
    DeleteFileW(Output().c_str());

    job = ReadData(L"reader-alice-bad-size.gz.pkcs7", kModeCheck, 1);
    EXPECT_EQ(job->decompressStatus, kGzipSizeMismatch);
    job = ReadData(L"reader-alice-not-gzip.gz.pkcs7", kModeUnpack, 1);
    EXPECT_EQ(job->decompressStatus, Z_DATA_ERROR);
    EXPECT_TRUE(ReadFileBytes(Output()).empty());
}

TEST_F(ReaderTest, NestedSignedMessageIsUnwrapped) {
    auto job = ReadData(L"reader-alice-signed-des3.pkcs7");
    EXPECT_EQ(job->jobResult, 0u);
    EXPECT_EQ(job->innerContentType, 2);
    EXPECT_NE(job->signatureStatus, -1) << "the signers were checked";
    EXPECT_TRUE(ReadFileBytes(Output()) == ReadFileBytes(TestDataFile(L"reader-text.bin")));
}

TEST_F(ReaderTest, RefusesWithoutSettingsStoreOrInput) {
    auto job = MakeJob(L"", Output(), kModeUnpack);
    EXPECT_EQ(ReadEnvelope(nullptr, &settings_, job.get(), nullptr), E_FAIL);
    EXPECT_EQ(job->jobResult, 0xFFFFFFFFu);
    job->inputPath = TestDataFile(L"reader-alice-des3.pkcs7");
    EXPECT_EQ(ReadEnvelope(nullptr, nullptr, job.get(), nullptr), E_FAIL);
    UnpackSettings noStore = QuietSettings(nullptr);
    EXPECT_EQ(ReadEnvelope(nullptr, &noStore, job.get(), nullptr), E_FAIL);
    EXPECT_EQ(job->jobResult, 0xFFFFFFFFu);
    EXPECT_EQ(job->readError, 0xFFFFFFFFu);
}

TEST_F(ReaderTest, MissingInputAndUncreatableOutput) {
    auto job = Read(temp_.File(L"missing.pkcs7"));
    EXPECT_EQ(result_, 1);
    EXPECT_EQ(job->jobResult, static_cast<DWORD>(CRYPT_E_FILE_ERROR));
    EXPECT_EQ(job->readError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // An output that exists already is not overwritten unless its name was confirmed.
    WriteFileBytes(Output(), {1, 2, 3});
    job = MakeJob(TestDataFile(L"reader-alice-des3.pkcs7"), Output(), kModeUnpack);
    job->outputConfirmed = 1;
    EXPECT_EQ(ReadEnvelope(nullptr, &settings_, job.get(), nullptr), 0);
    EXPECT_EQ(job->jobResult, 0u);
    EXPECT_EQ(ReadFileBytes(Output()).size(), 100000u);
}

}  // namespace
