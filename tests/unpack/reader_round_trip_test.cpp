// Envelopes written by our own writer and read back: every kind, both forms, every algorithm and
// the size classes around the read block.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>

#include "pack/envelope_writer.h"
#include "packer_ui/list_pages.h"
#include "packer_ui/packer_window.h"
#include "packer_ui/settings.h"
#include "reader_test_keys.h"
#include "tests/support/test_support.h"
#include "unpack/envelope_reader.h"
#include "unpack/recipient_key.h"

namespace {

using reader_test::QuietSettings;
using reader_test::TestRecipients;
using testing_support::FileExists;
using testing_support::PatternBytes;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using Bytes = std::vector<uint8_t>;

enum class Kind { kEnveloped, kSignedAndEnveloped, kSignedInsideEnveloped, kSigned };

struct Algorithm {
    DWORD algId;
    DWORD keyBits;
    const char* name;
};

const Algorithm kAlgorithms[] = {
    {CALG_RC2, 40, "rc2-40"},   {CALG_RC2, 64, "rc2-64"},     {CALG_RC2, 128, "rc2-128"},
    {CALG_RC4, 40, "rc4-40"},   {CALG_RC4, 128, "rc4-128"},   {CALG_DES, 56, "des"},
    {CALG_3DES, 168, "3des"},   {CALG_AES_128, 128, "aes128"}, {CALG_AES_192, 192, "aes192"},
    {CALG_AES_256, 256, "aes256"},
};

class ReaderRoundTripTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(recipients_.AddWithKey(L"alice", PROV_RSA_AES));
        ASSERT_TRUE(recipients_.AddWithKey(L"carol", PROV_RSA_AES));
        settings_ = QuietSettings(recipients_.store());
        ASSERT_TRUE(CryptAcquireContextW(verify_.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
        alice_.reset(Find(L"Alice Recipient"));
        carol_.reset(Find(L"Carol Signer"));
        ASSERT_TRUE(alice_ && carol_);
        ASSERT_TRUE(AcquireCertificateKey(carol_.get(), carolProvider_.put(), &carolKeySpec_));
    }

    PCCERT_CONTEXT Find(const wchar_t* subject) {
        return CertFindCertificateInStore(recipients_.store(), X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W, subject,
                                          nullptr);
    }

    // Writes the plaintext as an envelope of the kind into a file of the temporary folder.
    bool Write(Kind kind, const Algorithm& algorithm, const Bytes& plaintext, bool selfDecoding) {
        PackerWindow window;
        if (!CreatePackerWindow(&window)) return false;
        CVSettingsDlg& page = *window.settingsPage;
        page.EncryptAlgorithmID = algorithm.algId;
        page.EncryptKeyLength = algorithm.keyBits;
        page.CreateSelfdecodedFile = selfDecoding ? 1 : 0;
        page.SignedMessageType = kind == Kind::kSignedInsideEnveloped ? 3 : 4;
        page.HashAlgorithmID = CALG_SHA1;
        if (kind != Kind::kSigned)
            window.encryptionPage->AddItem(const_cast<CERT_CONTEXT*>(CertDuplicateCertificateContext(alice_.get())),
                                           FALSE);
        SignerEntry signer{carol_.get(), carolProvider_.get(), carolKeySpec_};
        const bool signedKind = kind != Kind::kEnveloped;
        BOOL ok = FALSE;
        {
            FileHandle file(CreateFileW(Packed().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                                        nullptr));
            testing_support::MemoryStream source(plaintext);
            ok = WriteEnvelope(file.get(), &source, selfDecoding ? 0 : static_cast<DWORD>(plaintext.size()),
                               signedKind ? &signer : nullptr, signedKind ? 1 : 0, &window,
                               kind == Kind::kSigned ? 0 : verify_.get());
        }
        DestroyPackerWindow(&window);
        return ok != FALSE;
    }

    std::unique_ptr<UnpackJob> Read(BYTE mode = kModeUnpack) {
        auto job = std::make_unique<UnpackJob>();
        job->inputPath = Packed();
        job->outputPath = Output();
        job->decodeMode = mode;
        result_ = ReadEnvelope(nullptr, &settings_, job.get(), nullptr);
        return job;
    }

    std::wstring Packed() const { return temp_.File(L"packed.pkcs7"); }
    std::wstring Output() const { return temp_.File(L"unpacked.bin"); }

    TempDir temp_;
    TestRecipients recipients_;
    UnpackSettings settings_;
    ProviderHandle verify_;
    CertHandle alice_;
    CertHandle carol_;
    ProviderHandle carolProvider_;
    DWORD carolKeySpec_ = 0;
    LONG result_ = -1;
};

TEST_F(ReaderRoundTripTest, EveryAlgorithmAndSizeInBothForms) {
    for (const Algorithm& algorithm : kAlgorithms) {
        for (size_t size : {size_t{0}, size_t{1}, size_t{4095}, size_t{32768}, size_t{65537}, size_t{100000}}) {
            for (bool selfDecoding : {false, true}) {
                SCOPED_TRACE(std::string(algorithm.name) + " size " + std::to_string(size) +
                             (selfDecoding ? " open form" : " plain form"));
                Bytes plaintext = PatternBytes(size, static_cast<uint32_t>(size + algorithm.algId));
                ASSERT_TRUE(Write(Kind::kEnveloped, algorithm, plaintext, selfDecoding)) << GetLastError();
                auto job = Read();
                EXPECT_EQ(result_, 0);
                EXPECT_EQ(job->jobResult, 0u);
                EXPECT_EQ(job->finalBlockStatus, 0);
                EXPECT_TRUE(ReadFileBytes(Output()) == plaintext);
                job.reset();
                DeleteFileW(Output().c_str());
            }
        }
    }
}

TEST_F(ReaderRoundTripTest, SignedKindsAreDecryptedAndTheirSignersChecked) {
    const Algorithm& aes = kAlgorithms[7];
    const Algorithm& rc2 = kAlgorithms[0];
    for (Kind kind : {Kind::kSignedAndEnveloped, Kind::kSignedInsideEnveloped, Kind::kSigned}) {
        for (const Algorithm* algorithm : {&aes, &rc2}) {
            for (bool selfDecoding : {false, true}) {
                // The self-decoding form has no signed-inside-enveloped kind, and its signed kind
                // (one end-of-contents pair for five open elements) is read only by the
                // self-decoding program.
                if (kind != Kind::kSignedAndEnveloped && selfDecoding) continue;
                SCOPED_TRACE(std::to_string(static_cast<int>(kind)) + " " + algorithm->name +
                             (selfDecoding ? " open form" : " plain form"));
                Bytes plaintext = PatternBytes(70000, 11);
                ASSERT_TRUE(Write(kind, *algorithm, plaintext, selfDecoding)) << GetLastError();
                auto job = Read();
                EXPECT_EQ(job->jobResult, 0u);
                EXPECT_EQ(job->outerContentType,
                          kind == Kind::kSigned ? 2u : kind == Kind::kSignedInsideEnveloped ? 3u : 4u);
                if (kind == Kind::kSignedInsideEnveloped) {
                    EXPECT_EQ(job->innerContentType, 2);
                }
                EXPECT_NE(job->signatureStatus, -1) << "the signers were checked";
                EXPECT_TRUE(ReadFileBytes(Output()) == plaintext);
                job.reset();
                DeleteFileW(Output().c_str());
            }
        }
    }
}

TEST_F(ReaderRoundTripTest, ContentAroundTheReadBatch) {
    // The reader takes the content in batches of 256 KiB, a whole number of read blocks: content
    // ending just before, on and after a batch and a block boundary, and the last batch holding
    // only the padding block.
    const size_t batch = 256 << 10;
    for (const Algorithm* algorithm : {&kAlgorithms[9], &kAlgorithms[6], &kAlgorithms[4]}) {
        for (size_t size : {batch - 17, batch - 16, batch - 1, batch, batch + 1, 2 * batch + 65536}) {
            SCOPED_TRACE(std::string(algorithm->name) + " size " + std::to_string(size));
            Bytes plaintext = PatternBytes(size, static_cast<uint32_t>(size));
            ASSERT_TRUE(Write(Kind::kEnveloped, *algorithm, plaintext, false)) << GetLastError();
            auto job = Read();
            EXPECT_EQ(job->jobResult, 0u);
            EXPECT_EQ(job->finalBlockStatus, 0);
            EXPECT_EQ(job->offset, ReadFileBytes(Packed()).size());
            EXPECT_TRUE(ReadFileBytes(Output()) == plaintext);
            job.reset();
            DeleteFileW(Output().c_str());
        }
    }
    // Signed kinds: every batch reaches the digests, the nested message gets the batches in order.
    for (Kind kind : {Kind::kSignedAndEnveloped, Kind::kSignedInsideEnveloped}) {
        SCOPED_TRACE(static_cast<int>(kind));
        Bytes plaintext = PatternBytes(2 * batch + 3, 5);
        ASSERT_TRUE(Write(kind, kAlgorithms[6], plaintext, false)) << GetLastError();
        auto job = Read();
        EXPECT_EQ(job->jobResult, 0u);
        EXPECT_EQ(job->signatureStatus, 0);
        EXPECT_TRUE(ReadFileBytes(Output()) == plaintext);
        job.reset();
        DeleteFileW(Output().c_str());
    }
}

TEST_F(ReaderRoundTripTest, DamagedPaddingInALaterBatchFailsTheJob) {
    // The padding spoiled (the last byte of the block before it flips the padding length to 0x52):
    // the full batch before it still goes out, the final call fails.
    const size_t batch = 256 << 10;
    Bytes plaintext = PatternBytes(batch + 5000, 9);
    ASSERT_TRUE(Write(Kind::kEnveloped, kAlgorithms[9], plaintext, false));
    Bytes packed = ReadFileBytes(Packed());
    packed[packed.size() - 17] ^= 0x5A;
    {
        FileHandle file(CreateFileW(Packed().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.get(), packed.data(), static_cast<DWORD>(packed.size()), &written, nullptr));
    }
    auto job = Read();
    EXPECT_EQ(job->jobResult, static_cast<DWORD>(CRYPT_E_NO_DECRYPT_CERT));
    EXPECT_NE(job->finalBlockStatus, 0);
    EXPECT_TRUE(ReadFileBytes(Output()) == Bytes(plaintext.begin(), plaintext.begin() + batch));
    job.reset();
    EXPECT_FALSE(FileExists(Output())) << "the failed job removes its output";
}

TEST_F(ReaderRoundTripTest, SignedAndEnvelopedInCheckAndDescribeModes) {
    ASSERT_TRUE(Write(Kind::kSignedAndEnveloped, kAlgorithms[9], PatternBytes(5000, 2), false));
    auto job = Read(kModeCheck);
    EXPECT_EQ(job->jobResult, 0u);
    EXPECT_EQ(job->finalBlockStatus, 0);
    EXPECT_FALSE(FileExists(Output()));
    job = Read(kModeDescribe);
    EXPECT_EQ(job->jobResult, 0u);
    EXPECT_EQ(job->finalBlockStatus, -1);
    EXPECT_EQ(job->offset, ReadFileBytes(Packed()).size()) << "the trailer was read after the skipped content";
    EXPECT_FALSE(FileExists(Output()));
}

}  // namespace
