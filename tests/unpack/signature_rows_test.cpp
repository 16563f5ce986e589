// Signers and recipients list rows on a real list view, chain checks and the job's signature status.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include "format/service/signature_check.h"
#include "tests/support/test_support.h"
#include "tests/unpack/signature_test_support.h"
#include "unpack/signature_verify.h"

namespace {

using namespace signature_test;
using testing_support::LoadCertificateFile;
using testing_support::ReadFileBytes;
using testing_support::TestDataFile;

// Verifies a signed file of the test data and fills the list and the job as the reader does.
void VerifyIntoList(const wchar_t* name, HCERTSTORE store, UnpackJob& job, UnpackView& view, bool alterContent = false) {
    Bytes file = ReadFileBytes(TestDataFile(name));
    if (alterContent) file[file.size() / 2] ^= 0x10;  // well inside the content
    size_t header = OuterHeaderSize(file);
    Decoded decoded;
    Decode(decoded, Bytes(file.begin() + static_cast<std::ptrdiff_t>(header), file.end()), false, 65536);
    ASSERT_TRUE(decoded.ok) << std::hex << decoded.error;
    std::vector<SignerCheck> checks;
    DWORD verified = VerifyMessageSigners(decoded.message, store, checks);
    ApplySignerChecks(&job, &view, checks, verified);
    EXPECT_TRUE(checks.empty());
}

TEST(CertificateRow, ShowsIssuerSubjectAndSerialAndOwnsTheCertificate) {
    HiddenList list;
    CertHandle carol = LoadCertificateFile(TestDataFile(L"carol.cer"));
    ASSERT_TRUE(carol);
    int row = AddCertificateRow(nullptr, carol.get(), list.list(), 1, INDEXTOSTATEIMAGEMASK(2), LVIS_STATEIMAGEMASK);
    ASSERT_EQ(row, 0);
    PCCERT_CONTEXT owned = carol.release();
    EXPECT_EQ(list.Text(0, 0), L"Quill Test CA, Quillarent Tests");
    EXPECT_EQ(list.Text(0, 1), L"Carol Signer, Quillarent Tests");
    EXPECT_EQ(list.Text(0, 2), L"10 02");
    EXPECT_EQ(list.SmallImage(0), 1);
    EXPECT_EQ(list.StateImage(0), 2u);
    EXPECT_FALSE(list.Cut(0));
    EXPECT_EQ(list.Certificate(0), owned);

    // Only the issuer and serial known: the row is cut and holds no certificate.
    BYTE serial[] = {0x05, 0x10};  // 1005, least significant first
    CERT_INFO info{};
    info.Issuer = owned->pCertInfo->Issuer;
    info.SerialNumber = {sizeof serial, serial};
    EXPECT_EQ(AddCertificateRow(&info, nullptr, list.list(), 0, 0, 0), 1);
    EXPECT_EQ(list.Text(1, 0), L"Quill Test CA, Quillarent Tests");
    EXPECT_EQ(list.Text(1, 2), L"10 05");
    EXPECT_TRUE(list.Cut(1));
    EXPECT_EQ(list.Certificate(1), nullptr);

    // An empty serial gives an empty text; no list gives no row.
    info.SerialNumber = {0, nullptr};
    EXPECT_EQ(AddCertificateRow(&info, nullptr, list.list(), 0, 0, 0), 2);
    EXPECT_EQ(list.Text(2, 2), L"");
    EXPECT_EQ(AddCertificateRow(&info, nullptr, nullptr, 0, 0, 0), -1);

    ClearCertificateList(list.list());
    EXPECT_EQ(list.Count(), 0);
}

TEST(SignerChain, ValidityComesBeforeTheChain) {
    SignerCheck expired;
    CertHandle expiredCertificate = LoadCertificateFile(TestDataFile(L"expired.cer"));
    expired.certificate = expiredCertificate.get();
    CheckSignerChain(&expired);
    EXPECT_EQ(expired.chainStatus, 0x30000000u);

    // The test CA is not trusted by the prefix: the chain reports a problem.
    SignerCheck carol;
    CertHandle carolCertificate = LoadCertificateFile(TestDataFile(L"carol.cer"));
    carol.certificate = carolCertificate.get();
    CheckSignerChain(&carol);
    EXPECT_EQ(carol.chainStatus & 0xF0000000u, 0xA0000000u);
    EXPECT_NE(carol.chainStatus & 0x0FFFFFFFu, 0u);

    SignerCheck none;
    none.chainStatus = 0xFFFFFFFF;
    CheckSignerChain(&none);
    EXPECT_EQ(none.chainStatus, 0u);
}

TEST(SignerRows, TwoVerifiedSignersOneOnlyInTheUserStore) {
    HiddenList list;
    UnpackView view;
    view.signersList = list.list();
    UnpackJob job;
    StoreHandle withDave = StoreWith({L"dave.cer"});
    VerifyIntoList(L"sig-two.p7", withDave.get(), job, view);
    EXPECT_EQ(job.signatureStatus, 0);
    ASSERT_EQ(list.Count(), 2);
    std::wstring subjects;
    for (int row = 0; row < 2; ++row) {
        EXPECT_EQ(list.StateImage(row), 2u);
        EXPECT_EQ(list.Text(row, 3), L"RSA SHA-1");  // the signature algorithm
        ASSERT_NE(list.Certificate(row), nullptr);
        subjects += list.Text(row, 1) + L";";
    }
    EXPECT_NE(subjects.find(L"Carol Signer"), std::wstring::npos);
    EXPECT_NE(subjects.find(L"Dave Signer"), std::wstring::npos);

    // A second run clears the rows of the first.
    VerifyIntoList(L"sig-carol-sha256.p7", withDave.get(), job, view);
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Text(0, 3), L"RSA SHA-256");
}

TEST(SignerRows, ExpiredAlteredAndUncheckedSigners) {
    HiddenList list;
    UnpackView view;
    view.signersList = list.list();
    StoreHandle empty = StoreWith({});

    UnpackJob expired;
    VerifyIntoList(L"sig-expired.p7", empty.get(), expired, view);
    EXPECT_EQ(expired.signatureStatus, 0);
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.StateImage(0), 2u);
    EXPECT_EQ(list.SmallImage(0), 1);

    UnpackJob altered;
    VerifyIntoList(L"sig-carol-sha1.p7", empty.get(), altered, view, true);
    EXPECT_EQ(altered.signatureStatus, static_cast<LONG>(CRYPT_E_HASH_VALUE));
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.StateImage(0), 3u);

    // No certificate anywhere: listed cut and failed with the lookup's error, not left "not verified".
    UnpackJob unchecked;
    VerifyIntoList(L"sig-nocerts.p7", empty.get(), unchecked, view);
    EXPECT_EQ(unchecked.signatureStatus, static_cast<LONG>(CRYPT_E_NOT_FOUND));
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.StateImage(0), 3u);
    EXPECT_TRUE(list.Cut(0));
    EXPECT_EQ(list.Text(0, 2), L"10 02");
}

TEST(SignerRows, JobStatusTakesTheFirstFailureAndNeedsEverySigner) {
    auto run = [](std::initializer_list<LONG> statuses, DWORD verified) {
        std::vector<SignerCheck> checks(statuses.size());
        size_t i = 0;
        for (LONG status : statuses) checks[i++].status = status;
        UnpackJob job;
        ApplySignerChecks(&job, nullptr, checks, verified);
        return job.signatureStatus;
    };
    EXPECT_EQ(run({0, 0}, 2), 0);
    EXPECT_EQ(run({0, -1}, 1), -1);
    EXPECT_EQ(run({-1, 5, 7}, 0), 5);
    EXPECT_EQ(run({0, static_cast<LONG>(NTE_BAD_SIGNATURE)}, 1), static_cast<LONG>(NTE_BAD_SIGNATURE));
    // Signers we cannot check beside verified ones: "not supported"; a failure or an unchecked
    // signer of another kind still decides.
    const LONG unsupported = kSignatureNotSupported;
    EXPECT_EQ(run({0, unsupported}, 1), unsupported);
    EXPECT_EQ(run({unsupported}, 0), unsupported);
    EXPECT_EQ(run({unsupported, static_cast<LONG>(NTE_BAD_SIGNATURE)}, 0), static_cast<LONG>(NTE_BAD_SIGNATURE));
    EXPECT_EQ(run({unsupported, -1}, 0), -1);
    // A message without signers verifies nothing.
    EXPECT_EQ(run({}, 0), -1);
}

}  // namespace
