// How the front end judges a finished job and prints signers, recipients and settings values.
#include <windows.h>

#include <gtest/gtest.h>

#include "tools/settings_values.h"
#include "tools/unpack_report.h"

namespace {

// A job as the reader leaves it after a fully successful run of the given kind.
void MakeClean(UnpackJob& job, BYTE mode, DWORD outer, BYTE inner = 255, bool compressed = false) {
    job.decodeMode = mode;
    job.readError = 0;
    job.writeError = mode == kModeUnpack ? 0 : 0xFFFFFFFF;
    job.jobResult = 0;
    job.outerContentType = outer;
    job.innerContentType = inner;
    job.compressedContent = compressed ? 1 : 0;
    if (outer == 3 || outer == 4) job.finalBlockStatus = 0;
    if (compressed) job.decompressStatus = 0;
    if (outer == 2 || outer == 4 || inner == 2) job.signatureStatus = 0;
}

TEST(UnpackJobSucceeded, EveryLayerMustHaveSucceeded) {
    {
        UnpackJob job;
        MakeClean(job, kModeUnpack, 3, 255, true);
        EXPECT_TRUE(UnpackJobSucceeded(job));
        job.decompressStatus = kGzipCrcMismatch;
        EXPECT_FALSE(UnpackJobSucceeded(job)) << "a CRC mismatch";
    }
    {
        UnpackJob job;
        MakeClean(job, kModeUnpack, 3);
        job.finalBlockStatus = -1;
        EXPECT_FALSE(UnpackJobSucceeded(job)) << "the last block never decrypted";
    }
    {
        UnpackJob job;
        MakeClean(job, kModeUnpack, 3, 2);
        job.signatureStatus = -1;
        EXPECT_FALSE(UnpackJobSucceeded(job)) << "a nested signature not verified";
    }
    {
        UnpackJob job;
        MakeClean(job, kModeUnpack, 4);
        EXPECT_TRUE(UnpackJobSucceeded(job));
        job.writeError = ERROR_FILE_EXISTS;
        EXPECT_FALSE(UnpackJobSucceeded(job)) << "the output could not be made";
    }
    {
        UnpackJob job;
        MakeClean(job, kModeCheck, 2);
        EXPECT_TRUE(UnpackJobSucceeded(job)) << "a check writes nothing";
        job.signatureStatus = static_cast<LONG>(NTE_BAD_SIGNATURE);
        EXPECT_FALSE(UnpackJobSucceeded(job));
    }
    {
        UnpackJob job;
        MakeClean(job, kModeUnpack, 3);
        job.jobResult = ERROR_CANCELLED;
        EXPECT_FALSE(UnpackJobSucceeded(job));
    }
    {
        // Read without error but of no envelope kind: not understood.
        UnpackJob job;
        MakeClean(job, kModeUnpack, 0);
        EXPECT_FALSE(UnpackJobSucceeded(job));
    }
    {
        // A description is complete without decrypting or verifying.
        UnpackJob job;
        MakeClean(job, kModeDescribe, 4);
        job.finalBlockStatus = -1;
        job.signatureStatus = -1;
        EXPECT_TRUE(UnpackJobSucceeded(job));
        job.readError = ERROR_HANDLE_EOF;
        EXPECT_FALSE(UnpackJobSucceeded(job));
    }
}

TEST(ReportLines, SignerAndRecipientLinesSayWhatIsKnown) {
    SignerSummary signer;
    signer.subject = L"Carol Signer";
    signer.issuer = L"Test CA";
    signer.serial = L"1002";
    signer.digestAlgorithm = L"SHA-1";
    signer.status = 0;
    signer.chainStatus = 0x30000000;
    EXPECT_EQ(SignerLine(signer), L"Signer: Carol Signer; issuer Test CA, serial 1002; digest SHA-1; signature valid; "
                                  L"chain outside its validity period");
    signer.subject.clear();
    signer.status = static_cast<LONG>(NTE_BAD_SIGNATURE);
    std::wstring line = SignerLine(signer);
    EXPECT_EQ(line.find(L"Signer: (certificate not found)"), 0u) << line.c_str();
    EXPECT_NE(line.find(L"signature invalid: "), std::wstring::npos);
    EXPECT_NE(line.find(L"(0x80090006)"), std::wstring::npos);
    EXPECT_EQ(line.find(L"chain"), std::wstring::npos);

    RecipientSummary recipient;
    recipient.issuer = L"Test CA";
    recipient.serial = L"1000";
    EXPECT_EQ(RecipientLine(recipient), L"Recipient: (not in the store); issuer Test CA, serial 1000; key: none");
    recipient.certificateFound = true;
    recipient.subject = L"Alice Recipient";
    EXPECT_EQ(RecipientLine(recipient), L"Recipient: Alice Recipient; issuer Test CA, serial 1000; key: not available");
    recipient.keyAvailable = true;
    EXPECT_EQ(RecipientLine(recipient), L"Recipient: Alice Recipient; issuer Test CA, serial 1000; key: available");

    EXPECT_EQ(ChainStatusText(0xA0000020), L"not trusted (0xA0000020)");
    EXPECT_EQ(SignatureStatusText(-1), L"not checked");
}

TEST(SettingValues, NamesAndValueTexts) {
    ASSERT_NE(FindSetting(L"encryptalgorithmid"), nullptr);
    EXPECT_STREQ(FindSetting(L"encryptalgorithmid")->name, L"EncryptAlgorithmID");
    EXPECT_EQ(FindSetting(L"EncryptAlgorithm"), nullptr);
    EXPECT_EQ(FindSetting(L""), nullptr);

    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(EncodeSettingValue(SettingKind::kDword, L"0x6610", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data, (std::vector<BYTE>{0x10, 0x66, 0, 0}));
    EXPECT_EQ(DecodeSettingValue(SettingKind::kDword, type, data), L"26128 (0x6610)");
    EXPECT_FALSE(EncodeSettingValue(SettingKind::kDword, L"12x", type, data));
    EXPECT_FALSE(EncodeSettingValue(SettingKind::kDword, L"1,2", type, data));
    EXPECT_FALSE(EncodeSettingValue(SettingKind::kDword, L"0x123456789", type, data));
    EXPECT_FALSE(EncodeSettingValue(SettingKind::kDword, L"-1", type, data));

    ASSERT_TRUE(EncodeSettingValue(SettingKind::kDwordList, L"24,1", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(data.size(), 8u);
    EXPECT_EQ(DecodeSettingValue(SettingKind::kDwordList, type, data), L"24,1");
    EXPECT_FALSE(EncodeSettingValue(SettingKind::kDwordList, L"24,", type, data));

    ASSERT_TRUE(EncodeSettingValue(SettingKind::kString, L"ROOT", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data.size(), 10u) << "four characters and the terminator";
    EXPECT_EQ(DecodeSettingValue(SettingKind::kString, type, data), L"\"ROOT\"");
    // A stored value of another type is shown as such, not misread.
    EXPECT_EQ(DecodeSettingValue(SettingKind::kString, REG_DWORD, data), L"(wrong type)");
    EXPECT_EQ(DecodeSettingValue(SettingKind::kDword, REG_DWORD, std::vector<BYTE>(8)), L"(wrong type)");
}

}  // namespace
