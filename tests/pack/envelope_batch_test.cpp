// The writer moves content in batches of whole chunks (256 KiB per read and per write): sources
// that end on, just before and just after a batch boundary, short reads that cross the boundaries,
// the signed trailer behind a full batch, and writes that fail.
#include "pack/envelope_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "format/envelope_layout.h"
#include "tests/pack/envelope_test_support.h"
#include "tests/support/test_support.h"

namespace {

using namespace envelope_test;
using testing_support::PatternBytes;

constexpr size_t kBatch = 256 << 10;

struct Cipher {
    ALG_ID algorithm;
    DWORD keyBits;
    DWORD blockBytes;
};

class EnvelopeBatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        provider_ = VerifyProvider(PROV_RSA_AES);
        ASSERT_TRUE(provider_);
        ASSERT_TRUE(Get(Who::kAlice).certificate);
    }
    void UseCipher(Window& window, const Cipher& cipher) {
        window.AddRecipient(Get(Who::kAlice).certificate.get());
        window.settings().EncryptAlgorithmID = cipher.algorithm;
        window.settings().EncryptKeyLength = cipher.keyBits;
    }
    ProviderHandle provider_;
};

TEST_F(EnvelopeBatchTest, SourcesEndingAroundABatchRoundTrip) {
    // AES works in 64 KiB chunks, 3DES in 32 KiB ones: 4 and 8 chunks to a batch.
    for (Cipher cipher : {Cipher{CALG_AES_256, 256, 16}, Cipher{CALG_3DES, 168, 8}}) {
        for (size_t size : {kBatch - 1, kBatch, kBatch + 1, 2 * kBatch + 4097}) {
            // 100,000-byte reads end inside chunks and batches; lateEnd reports the end only with an
            // empty read after the last bytes.
            for (ULONG maxRead : {0ul, 100000ul}) {
                for (bool lateEnd : {false, true}) {
                    SCOPED_TRACE(testing::Message() << cipher.algorithm << " size " << size << " reads " << maxRead
                                                    << (lateEnd ? " late end" : ""));
                    Window window;
                    UseCipher(window, cipher);
                    const std::vector<uint8_t> plaintext = PatternBytes(size, static_cast<uint32_t>(size));
                    WriteResult result = WriteToFile(window, plaintext, {}, provider_.get(), maxRead, lateEnd);
                    ASSERT_TRUE(result.ok) << std::hex << result.error;
                    Parsed parsed;
                    ASSERT_TRUE(Parse(result.file, parsed));
                    EXPECT_EQ(parsed.content.size(), envelope::CiphertextLength(size, cipher.blockBytes));
                    KeyHandle key = ImportSessionKey(Get(Who::kAlice), parsed, 0);
                    ASSERT_TRUE(key);
                    EXPECT_TRUE(Decrypt(key.get(), parsed.content) == plaintext);
                }
            }
        }
    }
}

TEST_F(EnvelopeBatchTest, SignedTrailerBehindAFullBatch) {
    // The signed header fills the front of the first batch, so a source of exactly one batch leaves
    // a second batch of header-sized content with the trailer behind it.
    Window window;
    UseCipher(window, Cipher{CALG_AES_128, 128, 16});
    window.settings().SignedMessageType = 3;
    const std::vector<uint8_t> plaintext = PatternBytes(kBatch, 21);
    WriteResult result = WriteToFile(window, plaintext, {Signer(Who::kCarol)}, provider_.get());
    ASSERT_TRUE(result.ok) << std::hex << result.error;
    Parsed outer;
    ASSERT_TRUE(Parse(result.file, outer));
    KeyHandle key = ImportSessionKey(Get(Who::kAlice), outer, 0);
    ASSERT_TRUE(key);
    Parsed inner;
    ASSERT_TRUE(Parse(Decrypt(key.get(), outer.content), inner));
    EXPECT_TRUE(inner.content == plaintext);
    ASSERT_EQ(inner.signerInfos.size(), 1u);
    EXPECT_TRUE(VerifySignerInfo(inner.signerInfos[0], Get(Who::kCarol).certificate.get(), plaintext, 0));
}

TEST_F(EnvelopeBatchTest, SignedAndEnvelopedDigestCoversEveryBatch) {
    Window window;
    UseCipher(window, Cipher{CALG_3DES, 168, 8});
    const std::vector<uint8_t> plaintext = PatternBytes(2 * kBatch + 100, 22);
    WriteResult result = WriteToFile(window, plaintext, {Signer(Who::kCarol)}, provider_.get(), 70000);
    ASSERT_TRUE(result.ok) << std::hex << result.error;
    Parsed parsed;
    ASSERT_TRUE(Parse(result.file, parsed));
    KeyHandle key = ImportSessionKey(Get(Who::kAlice), parsed, 0);
    ASSERT_TRUE(key);
    EXPECT_TRUE(Decrypt(key.get(), parsed.content) == plaintext);
    ASSERT_EQ(parsed.signerInfos.size(), 1u);
    EXPECT_TRUE(VerifySignerInfo(parsed.signerInfos[0], Get(Who::kCarol).certificate.get(), plaintext, key.get()));
}

TEST_F(EnvelopeBatchTest, FailingWriteFailsTheCall) {
    testing_support::TempDir dir;
    const std::wstring path = dir.File(L"x.pkcs7");
    {
        FileHandle create(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(create);
    }
    // A handle open for reading only: every write fails, the first one already.
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    Window window;
    UseCipher(window, Cipher{CALG_AES_256, 256, 16});
    testing_support::MemoryStream source(PatternBytes(kBatch + 5));
    EXPECT_FALSE(WriteEnvelope(file.get(), &source, kBatch + 5, nullptr, 0, window.get(), provider_.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

}  // namespace
