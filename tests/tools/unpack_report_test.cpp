// How the front end judges a finished job and prints signers, recipients and settings values.
#include <windows.h>

#include <gtest/gtest.h>

#include "format/service/signature_check.h"
#include "tools/settings_values.h"
#include "tools/unpack_report.h"

namespace {

// A job as the reader leaves it after a fully successful run of the given kind.
void MakeClean(UnpackJob& job, BYTE mode, DWORD outer, BYTE inner = 255) {
    job.decodeMode = mode;
    job.readError = job.writeError = job.jobResult = 0;
    job.outerContentType = outer;
    job.innerContentType = inner;
    job.compressedContent = 1;
    job.decompressStatus = 0;
    if (outer == 3 || outer == 4) job.finalBlockStatus = 0;
    if (outer == 2 || outer == 4 || inner == 2) job.signatureStatus = 0;
}

TEST(UnpackJobSucceeded, EveryLayerMustHaveSucceeded) {
    struct Case {
        BYTE mode;
        DWORD outer;
        BYTE inner;
        void (*spoil)(UnpackJob&);
        const char* what;
    };
    const Case cases[] = {
        {kModeUnpack, 3, 255, [](UnpackJob& j) { j.decompressStatus = kGzipCrcMismatch; }, "a CRC mismatch"},
        {kModeUnpack, 3, 255, [](UnpackJob& j) { j.finalBlockStatus = -1; }, "last block never decrypted"},
        {kModeUnpack, 3, 2, [](UnpackJob& j) { j.signatureStatus = -1; }, "nested signature not verified"},
        {kModeUnpack, 4, 255, [](UnpackJob& j) { j.writeError = ERROR_FILE_EXISTS; }, "output not made"},
        {kModeCheck, 2, 255, [](UnpackJob& j) { j.signatureStatus = NTE_BAD_SIGNATURE; }, "bad signature"},
        {kModeUnpack, 3, 255, [](UnpackJob& j) { j.jobResult = ERROR_CANCELLED; }, "cancelled"},
        {kModeUnpack, 3, 255, [](UnpackJob& j) { j.outerContentType = 0; }, "no envelope kind"},
        {kModeDescribe, 4, 255, [](UnpackJob& j) { j.readError = ERROR_HANDLE_EOF; }, "description cut short"},
    };
    for (const Case& c : cases) {
        UnpackJob job;
        MakeClean(job, c.mode, c.outer, c.inner);
        EXPECT_TRUE(UnpackJobSucceeded(job)) << "clean before: " << c.what;
        c.spoil(job);
        EXPECT_FALSE(UnpackJobSucceeded(job)) << c.what;
    }
    // A signature that could not be checked keeps the job (its content is sound) but is told apart.
    for (BYTE inner : {BYTE{255}, BYTE{2}}) {
        UnpackJob notChecked;
        MakeClean(notChecked, kModeUnpack, inner == 2 ? 3 : 2, inner);
        EXPECT_FALSE(SignatureNotChecked(notChecked));
        notChecked.signatureStatus = kSignatureNotSupported;
        EXPECT_TRUE(UnpackJobSucceeded(notChecked));
        EXPECT_TRUE(SignatureNotChecked(notChecked));
    }
    // A description is complete without decrypting or verifying.
    UnpackJob described;
    MakeClean(described, kModeDescribe, 4);
    described.finalBlockStatus = described.signatureStatus = -1;
    EXPECT_TRUE(UnpackJobSucceeded(described));
}

TEST(ReportLines, SignerAndRecipientLinesSayWhatIsKnown) {
    SignerSummary signer{L"Carol Signer", L"Test CA", L"1002", L"SHA-1", 0, 0x30000000, L""};
    EXPECT_EQ(SignerLine(signer), L"Signer: Carol Signer; issuer Test CA, serial 1002; digest SHA-1; signature valid; "
                                  L"chain outside its validity period");
    signer.subject.clear();
    signer.status = static_cast<LONG>(NTE_BAD_SIGNATURE);
    std::wstring line = SignerLine(signer);
    EXPECT_EQ(line.find(L"Signer: (certificate not found)"), 0u);
    EXPECT_NE(line.find(L"signature invalid: "), std::wstring::npos);
    EXPECT_NE(line.find(L"(0x80090006)"), std::wstring::npos);
    EXPECT_EQ(line.find(L"chain"), std::wstring::npos) << "no certificate, no chain";

    // The signature algorithm, when known, names the digest too; one we cannot check is not "invalid".
    signer = {L"Eve Signer", L"Test CA", L"1003", L"2.16.840.1.101.3.4.2.1", kSignatureNotSupported, 0, L"DSA SHA-256"};
    EXPECT_EQ(SignerLine(signer), L"Signer: Eve Signer; issuer Test CA, serial 1003; algorithm DSA SHA-256; signature "
                                  L"cannot be verified: algorithm not supported (not checked); chain in order");

    RecipientSummary recipient;
    recipient.issuer = L"Test CA";
    recipient.serial = L"1000";
    EXPECT_EQ(RecipientLine(recipient), L"Recipient: (not in the store); issuer Test CA, serial 1000; key: none");
    recipient.subject = L"Alice Recipient";
    recipient.certificateFound = true;
    EXPECT_EQ(RecipientLine(recipient), L"Recipient: Alice Recipient; issuer Test CA, serial 1000; key: not available");
    // Named by key identifier, not in the store, with a key transport this system refuses.
    recipient = {};
    recipient.keyIdentifier = L"0A1B";
    recipient.keyTransport = L"RSA-OAEP (SHA-256)";
    recipient.refusal = reader_core::kRefusalOaepHash;
    recipient.refusedHash = CALG_SHA_256;
    EXPECT_EQ(RecipientLine(recipient), L"Recipient: (not in the store); key identifier 0A1B; key transport RSA-OAEP "
                                        L"(SHA-256); key: none; not supported: key transport RSA-OAEP with SHA-256 "
                                        L"is not supported by the key's provider");
    // A KEK entry names no certificate: its kind and key wrap stand in its place.
    recipient = {};
    recipient.kind = recipient_info::Kind::kKek;
    recipient.keyTransport = L"2.16.840.1.101.3.4.1.5";
    recipient.refusal = reader_core::kRefusalKek;
    EXPECT_EQ(RecipientLine(recipient), L"Recipient: (KEK entry); key encryption 2.16.840.1.101.3.4.1.5; not "
                                        L"supported: KEK recipients are not supported");
    EXPECT_EQ(SignerChainText(0xA0000020), L"not trusted (0xA0000020)");
}

TEST(SettingValues, NamesAndValueTexts) {
    ASSERT_NE(FindSetting(L"encryptalgorithmid"), nullptr);
    EXPECT_STREQ(FindSetting(L"encryptalgorithmid")->name, L"EncryptAlgorithmID");
    EXPECT_EQ(FindSetting(L"EncryptAlgorithm"), nullptr);

    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(EncodeSettingValue(SettingKind::kDword, L"0x6610", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data, (std::vector<BYTE>{0x10, 0x66, 0, 0}));
    EXPECT_EQ(DecodeSettingValue(SettingKind::kDword, type, data), L"26128 (0x6610)");
    for (const wchar_t* bad : {L"12x", L"1,2", L"0x123456789", L"-1", L""})
        EXPECT_FALSE(EncodeSettingValue(SettingKind::kDword, bad, type, data)) << testing::PrintToString(bad);

    ASSERT_TRUE(EncodeSettingValue(SettingKind::kDwordList, L"24,1", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(DecodeSettingValue(SettingKind::kDwordList, type, data), L"24,1");
    EXPECT_FALSE(EncodeSettingValue(SettingKind::kDwordList, L"24,", type, data));

    ASSERT_TRUE(EncodeSettingValue(SettingKind::kString, L"ROOT", type, data));
    EXPECT_EQ(data.size(), 10u) << "four characters and the terminator";
    EXPECT_EQ(DecodeSettingValue(SettingKind::kString, type, data), L"\"ROOT\"");
    // A stored value of another type is shown as such, not misread.
    EXPECT_EQ(DecodeSettingValue(SettingKind::kString, REG_DWORD, data), L"(wrong type)");
    EXPECT_EQ(DecodeSettingValue(SettingKind::kDword, REG_DWORD, std::vector<BYTE>(8)), L"(wrong type)");
}

}  // namespace
