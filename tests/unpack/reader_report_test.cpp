// The reader's records for callers without windows: recipients with whether their key opens, the
// algorithm, and the signers, filled with or without the list views.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>

#include "reader_test_keys.h"
#include "tests/support/test_support.h"
#include "unpack/envelope_reader.h"

namespace {

using reader_test::QuietSettings;
using reader_test::TestRecipients;
using testing_support::TempDir;
using testing_support::TestDataFile;

class ReaderReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(recipients_.AddWithKey(L"alice", PROV_RSA_AES));
        ASSERT_TRUE(recipients_.AddCertificateOnly(L"stranger"));
        settings_ = QuietSettings(recipients_.store());
        view_.recipientReport = &recipients;
        view_.signerReport = &signers;
        view_.algorithmReport = &algorithm;
    }

    std::unique_ptr<UnpackJob> Read(const wchar_t* name, BYTE mode) {
        auto job = std::make_unique<UnpackJob>();
        job->inputPath = TestDataFile(name);
        job->outputPath = temp_.File(L"out.bin");
        job->decodeMode = mode;
        ReadEnvelope(nullptr, &settings_, job.get(), &view_);
        return job;
    }

    TempDir temp_;
    TestRecipients recipients_;
    UnpackSettings settings_;
    UnpackView view_;
    std::vector<RecipientSummary> recipients;
    std::vector<SignerSummary> signers;
    std::wstring algorithm;
};

TEST_F(ReaderReportTest, DescribeListsEveryRecipientWithItsKeyAndTheAlgorithm) {
    auto job = Read(L"reader-stranger-alice-aes128.pkcs7", kModeDescribe);
    EXPECT_EQ(job->jobResult, 0u);
    ASSERT_EQ(recipients.size(), 2u);
    // Both certificates are known; only Alice's key is held.
    const RecipientSummary* alice = nullptr;
    const RecipientSummary* stranger = nullptr;
    for (const RecipientSummary& recipient : recipients) {
        if (recipient.subject == L"Alice Recipient, Quillarent Tests") alice = &recipient;
        if (recipient.subject == L"Stranger Recipient, Quillarent Tests") stranger = &recipient;
    }
    ASSERT_NE(alice, nullptr);
    ASSERT_NE(stranger, nullptr);
    EXPECT_TRUE(stranger->certificateFound);
    EXPECT_FALSE(stranger->keyAvailable);
    EXPECT_EQ(alice->issuer, L"Quill Test CA, Quillarent Tests");
    EXPECT_EQ(alice->serial, L"1000");
    EXPECT_TRUE(alice->certificateFound);
    EXPECT_TRUE(alice->keyAvailable);
    EXPECT_NE(algorithm.find(L"128"), std::wstring::npos) << testing_support::Narrow(algorithm);
    EXPECT_TRUE(signers.empty());
}

TEST_F(ReaderReportTest, SignersOfAnEnvelopedSignedFileAreReportedWithoutAList) {
    auto job = Read(L"reader-alice-signed-des3.pkcs7", kModeUnpack);
    EXPECT_EQ(job->jobResult, 0u);
    ASSERT_EQ(signers.size(), 1u);
    const SignerSummary& carol = signers[0];
    EXPECT_EQ(carol.subject, L"Carol Signer, Quillarent Tests");
    EXPECT_EQ(carol.issuer, L"Quill Test CA, Quillarent Tests");
    EXPECT_EQ(carol.serial, L"1002");
    EXPECT_FALSE(carol.digestAlgorithm.empty());
    EXPECT_EQ(carol.status, job->signatureStatus);
    // The suite's CA is not trusted by the prefix: the chain is reported as a problem.
    EXPECT_EQ(carol.chainStatus & 0xA0000000u, 0xA0000000u);
}

}  // namespace
