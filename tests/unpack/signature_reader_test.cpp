// Signatures of encrypted files through the envelope reader, with Alice's key from the user's
// "MY" store (imported by the test-certificates fixture): signed-and-enveloped files written by
// OpenSSL and signed files encrypted as a whole.
#include <gtest/gtest.h>

#include "format/service/signature_check.h"
#include "tests/support/test_support.h"
#include "tests/unpack/signature_test_support.h"
#include "unpack/envelope_reader.h"
#include "unpack/signature_verify.h"

namespace {

using namespace signature_test;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::TestDataFile;

class SignedEnvelope : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testing_support::FindMyCertificate(L"Alice Recipient")) << "the test certificates are missing";
        myStore_.reset(CertOpenSystemStoreW(0, L"MY"));
        ASSERT_TRUE(myStore_);
        settings_.store = myStore_.get();
        // Never ask and never try other providers in a test.
        settings_.enumProviders = 0;
        settings_.reimportKey = 0;
        settings_.askReimport = 0;
        view_.signersList = list_.list();
        content_ = ReadFileBytes(TestDataFile(L"sig-content.bin"));
    }

    void Read(const wchar_t* name, UnpackJob& job, BYTE mode) {
        job.inputPath = TestDataFile(name);
        job.decodeMode = mode;
        if (mode == kModeUnpack) job.outputPath = temp_.File(std::wstring(name) + L".out");
        EXPECT_EQ(ReadEnvelope(nullptr, &settings_, &job, &view_), 0);
    }

    StoreHandle myStore_;
    UnpackSettings settings_;
    HiddenList list_;
    UnpackView view_;
    Bytes content_;
    TempDir temp_;
};

TEST_F(SignedEnvelope, OpenSslSignedAndEnvelopedFilesVerify) {
    for (const wchar_t* name : {L"sig-type4-sha1.p7", L"sig-type4-sha256.p7"}) {
        SCOPED_TRACE(testing_support::Narrow(name));
        UnpackJob job;
        Read(name, job, kModeUnpack);
        EXPECT_EQ(job.outerContentType, 4u);
        EXPECT_EQ(job.jobResult, 0u) << std::hex << job.jobResult;
        EXPECT_EQ(job.signatureStatus, 0) << std::hex << job.signatureStatus;
        EXPECT_TRUE(ReadFileBytes(job.outputPath) == content_);
        ASSERT_EQ(list_.Count(), 1);
        EXPECT_EQ(list_.StateImage(0), 2u);
        EXPECT_NE(list_.Text(0, 1).find(L"Carol Signer"), std::wstring::npos);
    }
}

TEST_F(SignedEnvelope, TodaysSignersVerifyOrAreNotCheckedWithTheContentKept) {
    struct Row {
        const wchar_t* file;
        DWORD outer;
        LONG status;
        UINT stateImage;  // 2 verified, 1 not checked
        const wchar_t* algorithm;
    };
    const Row rows[] = {
        {L"sig-type4-ec-p256.p7", 4, 0, 2, L"ECDSA P-256 SHA-256"},
        {L"sig-type4-dsa.p7", 4, kSignatureNotSupported, 1, L"DSA SHA-256"},
        {L"sig-nested-pss-sha256.p7", 3, 0, 2, L"RSA-PSS SHA-256"},
        {L"sig-nested-dsa-sha256.p7", 3, kSignatureNotSupported, 1, L"DSA SHA-256"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing_support::Narrow(row.file));
        UnpackJob job;
        Read(row.file, job, kModeUnpack);
        EXPECT_EQ(job.outerContentType, row.outer);
        EXPECT_EQ(job.jobResult, 0u) << std::hex << job.jobResult;
        EXPECT_EQ(job.signatureStatus, row.status) << std::hex << job.signatureStatus;
        EXPECT_TRUE(ReadFileBytes(job.outputPath) == content_);
        ASSERT_EQ(list_.Count(), 1);
        EXPECT_EQ(list_.StateImage(0), row.stateImage);
        EXPECT_EQ(list_.Text(0, 3), row.algorithm);
    }
}

TEST_F(SignedEnvelope, DescribeModeListsSignersUnchecked) {
    UnpackJob job;
    Read(L"sig-type4-sha1.p7", job, kModeDescribe);
    EXPECT_EQ(job.signatureStatus, -1);
    ASSERT_EQ(list_.Count(), 1);
    EXPECT_EQ(list_.StateImage(0), 1u);
    EXPECT_NE(list_.Certificate(0), nullptr);
}

TEST_F(SignedEnvelope, SignedFileInsideAnEnvelopeIsStreamedAndVerified) {
    for (const wchar_t* name : {L"sig-nested.p7", L"sig-nested-stream.p7"}) {
        SCOPED_TRACE(testing_support::Narrow(name));
        UnpackJob job;
        Read(name, job, kModeUnpack);
        EXPECT_EQ(job.outerContentType, 3u);
        EXPECT_EQ(job.innerContentType, 2);
        EXPECT_EQ(job.jobResult, 0u) << std::hex << job.jobResult;
        EXPECT_EQ(job.signatureStatus, 0) << std::hex << job.signatureStatus;
        EXPECT_TRUE(ReadFileBytes(job.outputPath) == content_);
        ASSERT_EQ(list_.Count(), 1);
        EXPECT_EQ(list_.StateImage(0), 2u);
    }
}

}  // namespace
