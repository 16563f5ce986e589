// The signed-file path: ReadSignedFile on OpenSSL-made files, and through the envelope reader.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"
#include "tests/unpack/signature_test_support.h"
#include "unpack/envelope_reader.h"
#include "unpack/signature_verify.h"

namespace {

using namespace signature_test;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::TestDataFile;
using testing_support::WriteFileBytes;

class SignedFile : public testing::Test {
protected:
    void SetUp() override {
        store_ = StoreWith({});
        settings_.store = store_.get();
        content_ = ReadFileBytes(TestDataFile(L"sig-content.bin"));
    }

    // Runs ReadSignedFile on a file positioned after its outer header, as the reader hands it over.
    // length: bytes claimed to follow the header (default: the rest of the file).
    int Run(const std::wstring& path, UnpackJob& job, HANDLE output, DWORD extraLength = 0) {
        Bytes bytes = ReadFileBytes(path);
        DWORD header = static_cast<DWORD>(OuterHeaderSize(bytes));
        FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_TRUE(file);
        SetFilePointer(file.get(), static_cast<LONG>(header), nullptr, FILE_BEGIN);
        job.offset = header;
        return ReadSignedFile(file.get(), static_cast<DWORD>(bytes.size()) - header + extraLength, output, nullptr,
                              &settings_, &job, &view_);
    }

    FileHandle CreateOutput(const std::wstring& path, DWORD access = GENERIC_WRITE) {
        return FileHandle(CreateFileW(path.c_str(), access, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }

    StoreHandle store_;
    UnpackSettings settings_;
    UnpackView view_;
    Bytes content_;
    TempDir temp_;
};

TEST_F(SignedFile, WritesTheContentAndVerifies) {
    for (const wchar_t* name : {L"sig-carol-sha256.p7", L"sig-stream.p7", L"sig-carol-md5-noattr.p7"}) {
        SCOPED_TRACE(testing_support::Narrow(name));
        std::wstring outputPath = temp_.File(L"out.bin");
        UnpackJob job;
        {
            FileHandle output = CreateOutput(outputPath);
            EXPECT_EQ(Run(TestDataFile(name), job, output.get()), 0);
        }
        EXPECT_EQ(job.jobResult, 0u);
        EXPECT_EQ(job.signatureStatus, 0);
        EXPECT_EQ(job.offset, ReadFileBytes(TestDataFile(name)).size());
        EXPECT_TRUE(ReadFileBytes(outputPath) == content_);
    }
}

TEST_F(SignedFile, DescribeModeReadsThroughWithoutOutput) {
    UnpackJob job;
    job.decodeMode = kModeDescribe;
    settings_.blockSize = 0x7FFFFFFF;  // a registry value that must not wrap the read size
    EXPECT_EQ(Run(TestDataFile(L"sig-carol-sha1.p7"), job, INVALID_HANDLE_VALUE), 0);
    EXPECT_EQ(job.decodeMode, kModeCheck);
    EXPECT_EQ(job.jobResult, 0u);
    EXPECT_EQ(job.signatureStatus, 0);
}

TEST_F(SignedFile, CompressedContentIsInflatedAndAStreamWithoutEndFails) {
    std::wstring outputPath = temp_.File(L"out.bin");
    UnpackJob job;
    job.compressedContent = 1;
    {
        FileHandle output = CreateOutput(outputPath);
        EXPECT_EQ(Run(TestDataFile(L"sig-content-gz.p7"), job, output.get()), 0);
    }
    EXPECT_EQ(job.decompressStatus, 0);
    EXPECT_EQ(job.signatureStatus, 0);
    EXPECT_TRUE(ReadFileBytes(outputPath) == content_);

    // The signature over the cut gzip file is valid, but its deflate stream never ends.
    UnpackJob cut;
    cut.compressedContent = 1;
    cut.decodeMode = kModeCheck;
    EXPECT_EQ(Run(TestDataFile(L"sig-content-cut-gz.p7"), cut, INVALID_HANDLE_VALUE), 0);
    EXPECT_EQ(cut.jobResult, 0u);
    EXPECT_EQ(cut.signatureStatus, 0);
    EXPECT_EQ(cut.decompressStatus, Z_DATA_ERROR);
}

TEST_F(SignedFile, ShortFileBadEncodingAndFailedWrites) {
    Bytes file = ReadFileBytes(TestDataFile(L"sig-carol-sha1.p7"));
    std::wstring cutPath = temp_.File(L"cut.p7");
    WriteFileBytes(cutPath, Bytes(file.begin(), file.end() - 200));

    // The file ends before the length the header promised.
    UnpackJob shortRead;
    shortRead.decodeMode = kModeCheck;
    EXPECT_EQ(Run(cutPath, shortRead, INVALID_HANDLE_VALUE, 200), 0);
    EXPECT_EQ(shortRead.jobResult, static_cast<DWORD>(CRYPT_E_FILE_ERROR));
    EXPECT_NE(shortRead.readError, 0u);
    EXPECT_EQ(shortRead.signatureStatus, -1);

    // The bytes end inside the message.
    UnpackJob truncated;
    truncated.decodeMode = kModeCheck;
    EXPECT_EQ(Run(cutPath, truncated, INVALID_HANDLE_VALUE), 0);
    EXPECT_EQ(truncated.jobResult, static_cast<DWORD>(CRYPT_E_ASN1_EOD));
    EXPECT_EQ(truncated.signatureStatus, -1);

    // An output that cannot be written.
    std::wstring outputPath = temp_.File(L"readonly.bin");
    WriteFileBytes(outputPath, Bytes{});
    FileHandle readOnly(CreateFileW(outputPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    UnpackJob writeFails;
    EXPECT_EQ(Run(TestDataFile(L"sig-carol-sha1.p7"), writeFails, readOnly.get()), 0);
    EXPECT_EQ(writeFails.jobResult, static_cast<DWORD>(CRYPT_E_FILE_ERROR));
    EXPECT_NE(writeFails.writeError, 0u);
    EXPECT_NE(writeFails.writeError, 0xFFFFFFFFu);
    EXPECT_EQ(writeFails.signatureStatus, -1);
}

TEST_F(SignedFile, TheEnvelopeReaderHandsSignedFilesOver) {
    StoreHandle withDave = StoreWith({L"dave.cer"});
    settings_.store = withDave.get();
    UnpackJob job;
    job.inputPath = TestDataFile(L"sig-two.p7");
    job.outputPath = temp_.File(L"two.bin");
    EXPECT_EQ(ReadEnvelope(nullptr, &settings_, &job, &view_), 0);
    EXPECT_EQ(job.outerContentType, 2u);
    EXPECT_EQ(job.jobResult, 0u);
    EXPECT_EQ(job.signatureStatus, 0);
    EXPECT_TRUE(ReadFileBytes(job.outputPath) == content_);
}

}  // namespace
