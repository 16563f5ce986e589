#include "pack/envelope_writer.h"

#include <gtest/gtest.h>

#include "format/algorithms.h"
#include "format/envelope_layout.h"
#include "format/rc2_params.h"
#include "tests/pack/envelope_test_support.h"
#include "tests/support/test_support.h"

namespace {

using namespace envelope_test;
using testing_support::PatternBytes;

const std::vector<uint8_t> kEnvelopedOid = Bytes({0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03});
const std::vector<uint8_t> kSignedAndEnvelopedOid =
    Bytes({0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x04});
const std::vector<uint8_t> kSignedOid = Bytes({0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02});
const std::vector<uint8_t> kSha1Set = Bytes({0x31, 0x0B, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00});
const std::vector<uint8_t> kMd5Set =
    Bytes({0x31, 0x0E, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00});

struct CipherCase {
    ALG_ID algorithm;
    DWORD keyBits;
    DWORD salt;
    DWORD iv;
    DWORD blockBytes;  // 0 for RC4
};

class EnvelopeWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        provider_ = VerifyProvider(PROV_RSA_AES);
        ASSERT_TRUE(provider_);
        ASSERT_TRUE(Get(Who::kAlice).certificate);
        ASSERT_TRUE(Get(Who::kBob).certificate);
    }
    // Writes, parses and decrypts for Alice; returns the plaintext recovered.
    std::vector<uint8_t> RoundTrip(Window& window, const std::vector<uint8_t>& plaintext, Parsed& parsed) {
        WriteResult result = WriteToFile(window, plaintext, {}, provider_.get());
        EXPECT_TRUE(result.ok) << std::hex << result.error;
        EXPECT_TRUE(Parse(result.file, parsed));
        KeyHandle key = ImportSessionKey(Get(Who::kAlice), parsed, 0);
        EXPECT_TRUE(key) << std::hex << GetLastError();
        if (!key) return {};
        return Decrypt(key.get(), parsed.content);
    }
    ProviderHandle provider_;
};

TEST_F(EnvelopeWriterTest, EveryCipherAndKeyLengthRoundTrips) {
    const CipherCase cases[] = {
        {CALG_RC2, 40, 1, 1, 8},     {CALG_RC2, 56, 1, 1, 8},     {CALG_RC2, 64, 1, 1, 8},
        {CALG_RC2, 128, 1, 1, 8},    {CALG_RC2, 128, 1, 0, 8},    {CALG_RC4, 40, 0, 1, 0},
        {CALG_RC4, 128, 0, 1, 0},    {CALG_RC4, 40, 1, 1, 0},     {CALG_RC4, 128, 1, 1, 0},
        {CALG_DES, 56, 1, 1, 8},     {CALG_3DES, 168, 1, 1, 8},   {CALG_3DES, 168, 1, 0, 8},
        {CALG_AES_128, 128, 1, 1, 16}, {CALG_AES_192, 192, 1, 1, 16}, {CALG_AES_256, 256, 1, 1, 16},
    };
    const std::vector<uint8_t> plaintext = PatternBytes(70001, 7);
    for (const CipherCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.algorithm << std::dec << " " << c.keyBits << " salt "
                                        << c.salt << " iv " << c.iv);
        Window window;
        window.AddRecipient(Get(Who::kAlice).certificate.get());
        window.settings().EncryptAlgorithmID = c.algorithm;
        window.settings().EncryptKeyLength = c.keyBits;
        window.settings().EncryptCreateSalt = c.salt;
        window.settings().EncryptCreateIV = c.iv;
        Parsed parsed;
        EXPECT_EQ(RoundTrip(window, plaintext, parsed), plaintext);
        EXPECT_EQ(parsed.outerOid, kEnvelopedOid);
        EXPECT_EQ(parsed.version, 0u);
        EXPECT_EQ(parsed.content.size(), envelope::CiphertextLength(plaintext.size(), c.blockBytes));
        // The AlgorithmIdentifier names the algorithm with the OID of the table.
        const alg::AlgorithmRow* row = alg::ContentEncryptionRow(c.algorithm);
        ASSERT_NE(row, nullptr);
        std::vector<uint8_t> oid(row->oidElement, row->oidElement + row->oidElementSize);
        EXPECT_TRUE(std::equal(oid.begin(), oid.end(), parsed.algorithmIdentifier.begin() + 2));
        const std::vector<uint8_t> params(parsed.algorithmIdentifier.begin() + 2 + oid.size(),
                                          parsed.algorithmIdentifier.end());
        if (c.algorithm == CALG_RC2) {
            // 30 L 02 L version [04 08 iv]: never 05 00, the IV must reach the reader.
            rc2::Parameters decoded;
            ASSERT_TRUE(rc2::DecodeParameters(params.data(), params.size(), decoded));
            EXPECT_EQ(decoded.version, alg::Rc2VersionForBits(c.keyBits));
            EXPECT_EQ(decoded.hasIv, c.iv != 0);
        } else if (c.algorithm == CALG_RC4) {
            if (!c.salt) {
                EXPECT_EQ(params, Bytes({0x05, 0x00}));
            }
        } else if (c.iv) {
            EXPECT_EQ(params.size(), 2 + c.blockBytes);
            EXPECT_EQ(params[0], 0x04);
            EXPECT_EQ(params[1], c.blockBytes);
        } else {
            EXPECT_EQ(params, Bytes({0x05, 0x00}));
        }
    }
}

TEST_F(EnvelopeWriterTest, Rc4SaltTravelsInTheParameters) {
    Window window;
    window.AddRecipient(Get(Who::kAlice).certificate.get());
    window.settings().EncryptAlgorithmID = CALG_RC4;
    window.settings().EncryptKeyLength = 40;
    window.settings().EncryptCreateSalt = 1;
    const std::vector<uint8_t> plaintext = PatternBytes(5000, 3);
    Parsed parsed;
    EXPECT_EQ(RoundTrip(window, plaintext, parsed), plaintext);
    const size_t oidSize = 10;
    ASSERT_GT(parsed.algorithmIdentifier.size(), 2 + oidSize);
    // A 40-bit RC4 key made with a salt names all of it (11 bytes), so a reader that sets KP_SALT
    // on the imported key gets the same key stream (the round trip above does just that).
    EXPECT_EQ(parsed.algorithmIdentifier.size(), 2 + oidSize + 2 + 11);
    EXPECT_EQ(parsed.algorithmIdentifier[2 + oidSize], 0x04);
    EXPECT_EQ(parsed.algorithmIdentifier[2 + oidSize + 1], 11);
}

TEST_F(EnvelopeWriterTest, RecipientsInListOrderAndUnusableOnesLeftOut) {
    CertHandle unusable = UnusableCertificate();
    ASSERT_TRUE(unusable);
    Window window;
    window.AddRecipient(Get(Who::kBob).certificate.get());
    window.AddRecipient(unusable.get());
    window.AddRecipient(Get(Who::kAlice).certificate.get());
    window.settings().EncryptAlgorithmID = CALG_3DES;
    window.settings().EncryptKeyLength = 168;
    const std::vector<uint8_t> plaintext = PatternBytes(1234, 9);
    WriteResult result = WriteToFile(window, plaintext, {}, provider_.get());
    ASSERT_TRUE(result.ok) << std::hex << result.error;
    Parsed parsed;
    ASSERT_TRUE(Parse(result.file, parsed));
    ASSERT_EQ(parsed.recipients.size(), 2u);
    const CERT_INFO& bob = *Get(Who::kBob).certificate.get()->pCertInfo;
    EXPECT_EQ(parsed.recipients[0].issuer, std::vector<uint8_t>(bob.Issuer.pbData, bob.Issuer.pbData + bob.Issuer.cbData));
    EXPECT_EQ(parsed.recipients[0].encryptedKey.size(), 128u);  // RSA 1024
    EXPECT_EQ(parsed.recipients[1].encryptedKey.size(), 256u);  // RSA 2048
    EXPECT_EQ(parsed.recipients[0].keyTransport,
              Bytes({0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00}));
    // The serial number keeps the content bytes it has in the certificate's own DER.
    const CERT_CONTEXT& bobCert = *Get(Who::kBob).certificate.get();
    der::Reader certificate(bobCert.pbCertEncoded, bobCert.cbCertEncoded);
    der::Reader outer;
    der::Reader tbs;
    der::Reader serial;
    der::Reader version;
    bool hasVersion = false;
    ASSERT_TRUE(certificate.ReadElement(der::kSequence, outer) && outer.ReadElement(der::kSequence, tbs) &&
                tbs.ReadOptionalElement(der::kContext0, version, hasVersion) && tbs.ReadElement(der::kInteger, serial));
    EXPECT_EQ(parsed.recipients[0].serial, std::vector<uint8_t>(serial.data(), serial.data() + serial.size()));
    KeyHandle bobKey = ImportSessionKey(Get(Who::kBob), parsed, 0);
    KeyHandle aliceKey = ImportSessionKey(Get(Who::kAlice), parsed, 1);
    ASSERT_TRUE(bobKey);
    ASSERT_TRUE(aliceKey);
    EXPECT_EQ(Decrypt(bobKey.get(), parsed.content), plaintext);
    EXPECT_EQ(Decrypt(aliceKey.get(), parsed.content), plaintext);
}

// The suite's OpenSSL-made certificates, with their keys imported into "MY" by the test fixture;
// the stranger's key is nowhere, yet it gets its entry.
TEST_F(EnvelopeWriterTest, SuiteCertificatesFromTheStore) {
    CertHandle alice = testing_support::FindMyCertificate(L"Alice Recipient");
    CertHandle bob = testing_support::FindMyCertificate(L"Bob Recipient");
    CertHandle carol = testing_support::FindMyCertificate(L"Carol Signer");
    CertHandle stranger = testing_support::LoadCertificateFile(testing_support::TestDataFile(L"stranger.cer"));
    if (!alice || !bob || !carol || !stranger) GTEST_SKIP() << "the suite's certificates are not imported";
    auto privateKey = [](PCCERT_CONTEXT certificate, ProviderHandle& provider, DWORD& keySpec) {
        BOOL mustFree = FALSE;
        HCRYPTPROV handle = 0;
        bool ok = CryptAcquireCertificatePrivateKey(certificate, 0, nullptr, &handle, &keySpec, &mustFree) != FALSE;
        if (ok && mustFree) provider.reset(handle);
        return ok ? handle : 0;
    };
    ProviderHandle aliceProvider, bobProvider, carolProvider;
    DWORD aliceSpec = 0, bobSpec = 0, carolSpec = 0;
    HCRYPTPROV aliceKey = privateKey(alice.get(), aliceProvider, aliceSpec);
    HCRYPTPROV bobKey = privateKey(bob.get(), bobProvider, bobSpec);
    SignerEntry signer{carol.get(), privateKey(carol.get(), carolProvider, carolSpec), carolSpec};
    ASSERT_TRUE(aliceKey && bobKey && signer.provider);

    Window window;
    window.AddRecipient(stranger.get());
    window.AddRecipient(alice.get());
    window.AddRecipient(bob.get());
    window.settings().EncryptAlgorithmID = CALG_3DES;
    window.settings().EncryptKeyLength = 168;
    const std::vector<uint8_t> plaintext = PatternBytes(90000, 21);
    WriteResult result = WriteToFile(window, plaintext, {signer}, provider_.get());
    ASSERT_TRUE(result.ok) << std::hex << result.error;
    Parsed parsed;
    ASSERT_TRUE(Parse(result.file, parsed));
    ASSERT_EQ(parsed.recipients.size(), 3u);
    KeyHandle fromAlice = ImportSessionKey(aliceKey, parsed, 1);
    KeyHandle fromBob = ImportSessionKey(bobKey, parsed, 2);
    ASSERT_TRUE(fromAlice && fromBob);
    EXPECT_EQ(Decrypt(fromAlice.get(), parsed.content), plaintext);
    EXPECT_EQ(Decrypt(fromBob.get(), parsed.content), plaintext);
    ASSERT_EQ(parsed.signerInfos.size(), 1u);
    EXPECT_TRUE(VerifySignerInfo(parsed.signerInfos[0], carol.get(), plaintext, fromAlice.get()));
}

TEST_F(EnvelopeWriterTest, OnlyUnusableRecipientsFailTheCall) {
    CertHandle unusable = UnusableCertificate();
    Window window;
    window.AddRecipient(unusable.get());
    WriteResult result = WriteToFile(window, PatternBytes(10), {}, provider_.get());
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error, 0u);
}

TEST_F(EnvelopeWriterTest, MillionBytesUnderAesGiveTheAnnouncedLength) {
    Window window;
    window.AddRecipient(Get(Who::kAlice).certificate.get());
    window.settings().EncryptAlgorithmID = CALG_AES_256;
    window.settings().EncryptKeyLength = 256;
    const std::vector<uint8_t> plaintext = PatternBytes(1000000, 5);
    Parsed parsed;
    EXPECT_EQ(RoundTrip(window, plaintext, parsed), plaintext);
    EXPECT_EQ(parsed.content.size(), 1000016u);
    // Written straight in front of the ciphertext: 80 83 0F 42 50.
    WriteResult again = WriteToFile(window, plaintext, {}, provider_.get());
    ASSERT_TRUE(again.ok);
    const size_t header = again.file.size() - 1000016;
    EXPECT_EQ(std::vector<uint8_t>(again.file.begin() + header - 5, again.file.begin() + header),
              Bytes({0x80, 0x83, 0x0F, 0x42, 0x50}));
}

TEST_F(EnvelopeWriterTest, EmptySourceGivesOnePaddingBlockOrNothing) {
    for (ALG_ID algorithm : {CALG_RC2, CALG_RC4}) {
        Window window;
        window.AddRecipient(Get(Who::kAlice).certificate.get());
        window.settings().EncryptAlgorithmID = algorithm;
        WriteResult result = WriteToFile(window, {}, {}, provider_.get());
        ASSERT_TRUE(result.ok) << std::hex << result.error;
        if (algorithm == CALG_RC2) {
            ASSERT_GT(result.file.size(), 10u);
            EXPECT_EQ(result.file[result.file.size() - 10], 0x80);
            EXPECT_EQ(result.file[result.file.size() - 9], 0x08);
        } else {
            EXPECT_EQ(std::vector<uint8_t>(result.file.end() - 2, result.file.end()), Bytes({0x80, 0x00}));
        }
        Parsed parsed;
        ASSERT_TRUE(Parse(result.file, parsed));
        KeyHandle key = ImportSessionKey(Get(Who::kAlice), parsed, 0);
        ASSERT_TRUE(key);
        EXPECT_TRUE(Decrypt(key.get(), parsed.content).empty());
    }
}

TEST_F(EnvelopeWriterTest, ChunkEndsWithAndWithoutEarlyEndOfStream) {
    // 32,768 is one chunk of a 64-bit block cipher: the source ends exactly at the boundary,
    // once reporting S_FALSE with the last bytes and once only with an empty read after them.
    // Short reads of 1000 bytes must not end the chunk early.
    const std::vector<uint8_t> plaintext = PatternBytes(32768 * 2, 11);
    struct Source {
        ULONG maxRead;
        bool lateEnd;
    };
    for (Source source : {Source{0, false}, Source{0, true}, Source{1000, false}, Source{1000, true}}) {
        SCOPED_TRACE(testing::Message() << source.maxRead << " " << source.lateEnd);
        Window window;
        window.AddRecipient(Get(Who::kAlice).certificate.get());
        window.settings().EncryptAlgorithmID = CALG_DES;
        window.settings().EncryptKeyLength = 56;
        WriteResult result = WriteToFile(window, plaintext, {}, provider_.get(), source.maxRead, source.lateEnd);
        ASSERT_TRUE(result.ok) << std::hex << result.error;
        Parsed parsed;
        ASSERT_TRUE(Parse(result.file, parsed));
        EXPECT_EQ(parsed.content.size(), plaintext.size() + 8);
        KeyHandle key = ImportSessionKey(Get(Who::kAlice), parsed, 0);
        ASSERT_TRUE(key);
        EXPECT_EQ(Decrypt(key.get(), parsed.content), plaintext);
    }
}

TEST_F(EnvelopeWriterTest, FailingReadFailsTheCall) {
    Window window;
    window.AddRecipient(Get(Who::kAlice).certificate.get());
    testing_support::TempDir dir;
    FileHandle file(CreateFileW(dir.File(L"x.pkcs7").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                0, nullptr));
    // The failure is reported with the cause the stream left in the last error, if it left one.
    struct Row {
        HRESULT error;
        DWORD cause;
        DWORD reported;
    };
    const Row rows[] = {{E_FAIL, 0, static_cast<DWORD>(E_FAIL)},
                        {E_FAIL, ERROR_LOCK_VIOLATION, ERROR_LOCK_VIOLATION},
                        {E_ABORT, 0, ERROR_CANCELLED}};
    for (const Row& row : rows) {
        testing_support::MemoryStream source(PatternBytes(100000), 0, false);
        source.FailAfter(40000, row.error, row.cause);
        SetLastError(ERROR_ACCESS_DENIED);  // stale: must not be taken for the cause
        EXPECT_FALSE(WriteEnvelope(file.get(), &source, 100000, nullptr, 0, window.get(), provider_.get()));
        EXPECT_EQ(GetLastError(), row.reported) << std::hex << row.error << " " << row.cause;
    }
}

TEST_F(EnvelopeWriterTest, SourceOfAnotherSizeThanAnnouncedIsRefused) {
    Window window;
    window.AddRecipient(Get(Who::kAlice).certificate.get());
    testing_support::TempDir dir;
    FileHandle file(CreateFileW(dir.File(L"x.pkcs7").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                0, nullptr));
    for (DWORD announced : {999u, 1001u}) {
        testing_support::MemoryStream source(PatternBytes(1000));
        EXPECT_FALSE(WriteEnvelope(file.get(), &source, announced, nullptr, 0, window.get(), provider_.get()));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    }
}

TEST_F(EnvelopeWriterTest, RefusesWhatHasNoEnvelope) {
    Window window;
    window.AddRecipient(Get(Who::kAlice).certificate.get());
    window.settings().EncryptAlgorithmID = 0x6609;  // not a content-encryption algorithm of the table
    WriteResult badAlgorithm = WriteToFile(window, PatternBytes(10), {}, provider_.get());
    EXPECT_FALSE(badAlgorithm.ok);
    EXPECT_EQ(badAlgorithm.error, static_cast<DWORD>(NTE_BAD_ALGID));

    window.settings().EncryptAlgorithmID = CALG_RC2;
    window.settings().SignedMessageType = 5;
    WriteResult badType = WriteToFile(window, PatternBytes(10), {Signer(Who::kDave)}, provider_.get());
    EXPECT_FALSE(badType.ok);
    EXPECT_EQ(badType.error, static_cast<DWORD>(NTE_BAD_TYPE));

    window.settings().SignedMessageType = 4;
    window.settings().HashAlgorithmID = CALG_MD4;  // a hash no signature here may name
    WriteResult badHash = WriteToFile(window, PatternBytes(10), {Signer(Who::kDave)}, provider_.get());
    EXPECT_FALSE(badHash.ok);
    EXPECT_EQ(badHash.error, static_cast<DWORD>(NTE_BAD_ALGID));

    Window empty;
    WriteResult nothing = WriteToFile(empty, PatternBytes(10), {}, provider_.get());
    EXPECT_FALSE(nothing.ok);
    WriteResult noProvider = WriteToFile(window, PatternBytes(10), {}, 0);
    EXPECT_FALSE(noProvider.ok);
}

TEST_F(EnvelopeWriterTest, SignedDataWithSha1AndMd5) {
    for (ALG_ID hash : {CALG_SHA1, CALG_MD5}) {
        SCOPED_TRACE(hash);
        Window window;
        window.settings().HashAlgorithmID = hash;
        const std::vector<uint8_t> plaintext = PatternBytes(50000, 4);
        WriteResult result = WriteToFile(window, plaintext, {Signer(Who::kCarol), Signer(Who::kDave)}, 0);
        ASSERT_TRUE(result.ok) << std::hex << result.error;
        Parsed parsed;
        ASSERT_TRUE(Parse(result.file, parsed));
        EXPECT_EQ(parsed.outerOid, kSignedOid);
        EXPECT_EQ(parsed.version, 1u);
        EXPECT_EQ(parsed.digestSet, hash == CALG_MD5 ? kMd5Set : kSha1Set);
        EXPECT_EQ(parsed.content, plaintext);  // in clear
        ASSERT_EQ(parsed.certificates.size(), 2u);
        const CERT_CONTEXT& carol = *Get(Who::kCarol).certificate.get();
        EXPECT_EQ(parsed.certificates[0], std::vector<uint8_t>(carol.pbCertEncoded, carol.pbCertEncoded + carol.cbCertEncoded));
        ASSERT_EQ(parsed.signerInfos.size(), 2u);
        EXPECT_TRUE(VerifySignerInfo(parsed.signerInfos[0], Get(Who::kCarol).certificate.get(), plaintext, 0));
        EXPECT_TRUE(VerifySignerInfo(parsed.signerInfos[1], Get(Who::kDave).certificate.get(), plaintext, 0));
        const std::vector<uint8_t> digestOid = hash == CALG_MD5
                                                   ? Bytes({0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00})
                                                   : Bytes({0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00});
        EXPECT_TRUE(Contains(parsed.signerInfos[0], digestOid));
    }
}

TEST_F(EnvelopeWriterTest, CertificatesLeftOutWhenSwitchedOff) {
    Window window;
    window.settings().AddCertsToSignedFile = 0;
    const std::vector<uint8_t> plaintext = PatternBytes(300, 2);
    WriteResult result = WriteToFile(window, plaintext, {Signer(Who::kDave)}, 0);
    ASSERT_TRUE(result.ok) << std::hex << result.error;
    Parsed parsed;
    ASSERT_TRUE(Parse(result.file, parsed));
    EXPECT_TRUE(parsed.certificatesBlock.empty());
    // The trailer starts straight with the signerInfos SET behind the content.
    const size_t trailerStart = result.file.size() - parsed.signerInfosBlock.size();
    EXPECT_EQ(result.file[trailerStart], 0x31);
    EXPECT_TRUE(VerifySignerInfo(parsed.signerInfos[0], Get(Who::kDave).certificate.get(), plaintext, 0));
}

// The SHA-2 digests keep the type-4 layout: only the digest set and the hash OID grow.
TEST_F(EnvelopeWriterTest, SignedAndEnvelopedEncryptsTheSignature) {
    const std::vector<uint8_t> sha256Set = Bytes({0x31, 0x0F, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
                                                  0x03, 0x04, 0x02, 0x01, 0x05, 0x00});
    const std::vector<uint8_t> sha512Set = Bytes({0x31, 0x0F, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
                                                  0x03, 0x04, 0x02, 0x03, 0x05, 0x00});
    const struct {
        ALG_ID cipher;
        ALG_ID hash;
        const std::vector<uint8_t>& digestSet;
    } cases[] = {
        {CALG_RC2, CALG_SHA1, kSha1Set},         {CALG_AES_128, CALG_SHA1, kSha1Set},
        {CALG_RC4, CALG_SHA1, kSha1Set},         {CALG_AES_256, CALG_SHA_256, sha256Set},
        {CALG_AES_128, CALG_SHA_512, sha512Set},
    };
    for (const auto& c : cases) {
        const ALG_ID cipher = c.cipher;
        SCOPED_TRACE(cipher);
        SCOPED_TRACE(c.hash);
        Window window;
        window.AddRecipient(Get(Who::kAlice).certificate.get());
        window.settings().EncryptAlgorithmID = cipher;
        window.settings().EncryptKeyLength = cipher == CALG_RC2 ? 40 : cipher == CALG_AES_256 ? 256 : 128;
        window.settings().HashAlgorithmID = c.hash;
        const std::vector<uint8_t> plaintext = PatternBytes(70000, 8);
        WriteResult result = WriteToFile(window, plaintext, {Signer(Who::kCarol)}, provider_.get());
        ASSERT_TRUE(result.ok) << std::hex << result.error;
        Parsed parsed;
        ASSERT_TRUE(Parse(result.file, parsed));
        EXPECT_EQ(parsed.outerOid, kSignedAndEnvelopedOid);
        EXPECT_EQ(parsed.version, 1u);
        EXPECT_EQ(parsed.digestSet, c.digestSet);
        KeyHandle key = ImportSessionKey(Get(Who::kAlice), parsed, 0);
        ASSERT_TRUE(key);
        EXPECT_EQ(Decrypt(key.get(), parsed.content), plaintext);
        ASSERT_EQ(parsed.signerInfos.size(), 1u);
        EXPECT_TRUE(VerifySignerInfo(parsed.signerInfos[0], Get(Who::kCarol).certificate.get(), plaintext, key.get()));
    }
}

TEST_F(EnvelopeWriterTest, SignedDataInsideEnvelopedData) {
    Window window;
    window.AddRecipient(Get(Who::kAlice).certificate.get());
    window.settings().SignedMessageType = 3;
    window.settings().EncryptAlgorithmID = CALG_AES_192;
    window.settings().EncryptKeyLength = 192;
    window.settings().HashAlgorithmID = CALG_MD5;
    // Larger than one chunk, so the signed header shares the first chunk with content.
    const std::vector<uint8_t> plaintext = PatternBytes(150000, 12);
    WriteResult result = WriteToFile(window, plaintext, {Signer(Who::kDave)}, provider_.get());
    ASSERT_TRUE(result.ok) << std::hex << result.error;
    Parsed outer;
    ASSERT_TRUE(Parse(result.file, outer));
    EXPECT_EQ(outer.outerOid, kEnvelopedOid);
    EXPECT_TRUE(outer.digestSet.empty());
    KeyHandle key = ImportSessionKey(Get(Who::kAlice), outer, 0);
    ASSERT_TRUE(key);
    Parsed inner;
    ASSERT_TRUE(Parse(Decrypt(key.get(), outer.content), inner));
    EXPECT_EQ(inner.outerOid, kSignedOid);
    EXPECT_EQ(inner.digestSet, kMd5Set);
    EXPECT_EQ(inner.content, plaintext);
    ASSERT_EQ(inner.signerInfos.size(), 1u);
    EXPECT_TRUE(VerifySignerInfo(inner.signerInfos[0], Get(Who::kDave).certificate.get(), plaintext, 0));
}

// A length known only at the end: the envelope takes the bytes of one written for the known length
// (the same minimal lengths), whether the bound needs as many length bytes (nothing moves) or more (the content
// moves down), behind other bytes too. A source past the bound and the kinds whose header cannot
// be settled afterwards are refused.
TEST_F(EnvelopeWriterTest, LengthsSettledAfterTheContent) {
    struct Case {
        const char* name;
        bool recipient, signer;
        size_t size;
        DWORD bound;
    };
    const Case cases[] = {
        {"enveloped, same length bytes", true, false, 70000, 70100},
        {"enveloped, shorter header", true, false, 200, 16000000},
        {"signed and enveloped, shorter header", true, true, 3000, 70000},
        {"signed, shorter header", false, true, 100, 300},
        {"enveloped, exact bound", true, false, 65536, 65536},
    };
    const std::vector<uint8_t> prefix = Bytes({9, 8, 7});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Window window;
        if (c.recipient) window.AddRecipient(Get(Who::kAlice).certificate.get());
        std::vector<SignerEntry> signers;
        if (c.signer) signers.push_back(Signer(Who::kCarol));
        const std::vector<uint8_t> plaintext = PatternBytes(c.size, 6);
        WriteResult result = WriteToFile(window, plaintext, signers, c.recipient ? provider_.get() : 0, 0, false,
                                         prefix, c.bound);
        ASSERT_TRUE(result.ok) << std::hex << result.error;
        ASSERT_EQ(std::vector<uint8_t>(result.file.begin(), result.file.begin() + 3), prefix);
        std::vector<uint8_t> envelope(result.file.begin() + 3, result.file.end());
        EXPECT_EQ(envelope.size(), WriteToFile(window, plaintext, signers, c.recipient ? provider_.get() : 0).file.size());
        Parsed parsed;
        ASSERT_TRUE(Parse(envelope, parsed));
        KeyHandle key;
        if (c.recipient) {
            key = ImportSessionKey(Get(Who::kAlice), parsed, 0);
            ASSERT_TRUE(key);
        }
        EXPECT_EQ(c.recipient ? Decrypt(key.get(), parsed.content) : parsed.content, plaintext);
        if (c.signer) {
            ASSERT_EQ(parsed.signerInfos.size(), 1u);
            EXPECT_TRUE(VerifySignerInfo(parsed.signerInfos[0], Get(Who::kCarol).certificate.get(), plaintext,
                                         key.get()));
        }
    }

    Window window;
    window.AddRecipient(Get(Who::kAlice).certificate.get());
    EXPECT_FALSE(WriteToFile(window, PatternBytes(5000, 1), {}, provider_.get(), 0, false, {}, 4999).ok);
    window.settings().SignedMessageType = 3;
    WriteResult inner = WriteToFile(window, PatternBytes(50, 1), {Signer(Who::kDave)}, provider_.get(), 0, false, {}, 99);
    EXPECT_FALSE(inner.ok);
    EXPECT_EQ(inner.error, static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_FALSE(EnvelopeLengthsMayComeLast(*window.get(), 1));
    EXPECT_TRUE(EnvelopeLengthsMayComeLast(*window.get(), 0));
}

// The self-decoding form: open lengths, the content length patched at 34 + A + R + D from the
// envelope's start (here behind 7 bytes of something else), and 00 00 at the end.
class OpenFormTest : public EnvelopeWriterTest {
protected:
    const std::vector<uint8_t> prefix_ = Bytes({1, 2, 3, 4, 5, 6, 7});
};

TEST_F(OpenFormTest, EnvelopedWithoutSigners) {
    Window window;
    window.AddRecipient(Get(Who::kAlice).certificate.get());
    window.AddRecipient(Get(Who::kBob).certificate.get());
    window.settings().CreateSelfdecodedFile = 1;
    const std::vector<uint8_t> plaintext = PatternBytes(40000, 13);
    WriteResult result = WriteToFile(window, plaintext, {}, provider_.get(), 0, false, prefix_);
    ASSERT_TRUE(result.ok) << std::hex << result.error;
    std::vector<uint8_t> env(result.file.begin() + prefix_.size(), result.file.end());
    EXPECT_EQ(std::vector<uint8_t>(env.begin(), env.begin() + 4), Bytes({0x30, 0x80, 0x06, 0x09}));
    EXPECT_EQ(std::vector<uint8_t>(env.begin() + 2, env.begin() + 13), kEnvelopedOid);
    // 02 01 00 31 L: the recipientInfos block starts at 17.
    der::Reader block(env.data() + 17 + 3, env.size() - 20);
    der::Reader set;
    der::Reader whole;
    uint8_t tag = 0;
    ASSERT_TRUE(block.ReadAnyElement(tag, set, &whole));
    const size_t r = 3 + whole.size();
    const size_t a = env[17 + r + 2 + 11 + 1] + 2;  // 30 80 OID data, then 30 L (short form)
    const size_t offset = 34 + a + r;
    EXPECT_EQ(std::vector<uint8_t>(env.begin() + offset - 4, env.begin() + offset), Bytes({0xA0, 0x80, 0x04, 0x84}));
    const uint32_t length = (env[offset] << 24) | (env[offset + 1] << 16) | (env[offset + 2] << 8) | env[offset + 3];
    EXPECT_EQ(length, envelope::CiphertextLength(plaintext.size(), 8));
    ASSERT_EQ(env.size(), offset + 4 + length + 2);
    EXPECT_EQ(env[env.size() - 2], 0);
    EXPECT_EQ(env[env.size() - 1], 0);
    // The same recipient entries and ciphertext as the plain form: decrypt them.
    // Reuse the plain parser on a definite-length envelope rebuilt from the same parts.
    envelope::HeaderInput input;
    input.recipientInfos.assign(env.begin() + 17, env.begin() + 17 + r);
    input.algorithmIdentifier.assign(env.begin() + 17 + r + 2 + 11, env.begin() + 17 + r + 2 + 11 + a);
    input.contentLength = length;
    std::vector<uint8_t> rebuilt;
    ASSERT_TRUE(envelope::BuildHeader(input, rebuilt));
    rebuilt.insert(rebuilt.end(), env.begin() + offset + 4, env.begin() + offset + 4 + length);
    Parsed recipients;
    ASSERT_TRUE(Parse(rebuilt, recipients));
    ASSERT_EQ(recipients.recipients.size(), 2u);
    KeyHandle key = ImportSessionKey(Get(Who::kBob), recipients, 1);
    ASSERT_TRUE(key);
    EXPECT_EQ(Decrypt(key.get(), recipients.content), plaintext);
}

TEST_F(OpenFormTest, SignersGiveSignedAndEnveloped) {
    Window window;
    window.AddRecipient(Get(Who::kAlice).certificate.get());
    window.settings().CreateSelfdecodedFile = 1;
    window.settings().SignedMessageType = 3;  // the open form always uses signedAndEnvelopedData
    const std::vector<uint8_t> plaintext = PatternBytes(1000, 14);
    WriteResult result = WriteToFile(window, plaintext, {Signer(Who::kDave)}, provider_.get(), 0, false, prefix_);
    ASSERT_TRUE(result.ok) << std::hex << result.error;
    std::vector<uint8_t> env(result.file.begin() + prefix_.size(), result.file.end());
    EXPECT_EQ(std::vector<uint8_t>(env.begin() + 2, env.begin() + 13), kSignedAndEnvelopedOid);
    EXPECT_EQ(std::vector<uint8_t>(env.begin() + 17, env.begin() + 20), Bytes({0x02, 0x01, 0x01}));
    der::Reader block(env.data() + 20, env.size() - 20);
    der::Reader set;
    der::Reader whole;
    uint8_t tag = 0;
    ASSERT_TRUE(block.ReadAnyElement(tag, set, &whole));
    const size_t r = 3 + whole.size();
    EXPECT_EQ(std::vector<uint8_t>(env.begin() + 17 + r, env.begin() + 17 + r + 13), kSha1Set);
    const size_t a = env[17 + r + 13 + 2 + 11 + 1] + 2;
    const size_t offset = 34 + a + r + 13;
    EXPECT_EQ(std::vector<uint8_t>(env.begin() + offset - 4, env.begin() + offset), Bytes({0xA0, 0x80, 0x04, 0x84}));
    const uint32_t length = (env[offset] << 24) | (env[offset + 1] << 16) | (env[offset + 2] << 8) | env[offset + 3];
    EXPECT_EQ(length, 1008u);
    // Behind the ciphertext: the trailer with definite lengths, then 00 00 and nothing else.
    der::Reader trailer(env.data() + offset + 4 + length, env.size() - offset - 4 - length);
    der::Reader certs;
    der::Reader infos;
    ASSERT_TRUE(trailer.ReadElement(der::kContext0, certs));
    ASSERT_TRUE(trailer.ReadElement(der::kSet, infos));
    EXPECT_EQ(trailer.size(), 2u);
    EXPECT_EQ(trailer.data()[0] | trailer.data()[1], 0);
}

TEST_F(OpenFormTest, SignedWithoutRecipients) {
    Window window;
    window.settings().CreateSelfdecodedFile = 1;
    const std::vector<uint8_t> plaintext = PatternBytes(100000, 15);
    WriteResult result = WriteToFile(window, plaintext, {Signer(Who::kCarol)}, 0, 0, false, prefix_);
    ASSERT_TRUE(result.ok) << std::hex << result.error;
    std::vector<uint8_t> env(result.file.begin() + prefix_.size(), result.file.end());
    std::vector<uint8_t> header = Bytes({0x30, 0x80});
    header.insert(header.end(), kSignedOid.begin(), kSignedOid.end());
    for (uint8_t b : {0xA0, 0x80, 0x30, 0x80, 0x02, 0x01, 0x01}) header.push_back(b);
    header.insert(header.end(), kSha1Set.begin(), kSha1Set.end());
    for (uint8_t b : {0x30, 0x80, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01, 0xA0, 0x80, 0x04,
                      0x84, 0x00, 0x01, 0x86, 0xA0})
        header.push_back(b);  // the content length, 100000, patched in
    ASSERT_GT(env.size(), header.size() + plaintext.size());
    EXPECT_EQ(std::vector<uint8_t>(env.begin(), env.begin() + header.size()), header);
    EXPECT_EQ(std::vector<uint8_t>(env.begin() + header.size(), env.begin() + header.size() + plaintext.size()),
              plaintext);
    der::Reader trailer(env.data() + header.size() + plaintext.size(), env.size() - header.size() - plaintext.size());
    der::Reader certs;
    der::Reader infos;
    der::Reader whole;
    uint8_t tag = 0;
    ASSERT_TRUE(trailer.ReadElement(der::kContext0, certs));
    ASSERT_TRUE(trailer.ReadAnyElement(tag, infos, &whole));
    EXPECT_EQ(trailer.size(), 2u);
    der::Reader info;
    ASSERT_TRUE(infos.ReadAnyElement(tag, info, &whole));
    EXPECT_TRUE(VerifySignerInfo(std::vector<uint8_t>(whole.data(), whole.data() + whole.size()),
                                 Get(Who::kCarol).certificate.get(), plaintext, 0));
}

}  // namespace
