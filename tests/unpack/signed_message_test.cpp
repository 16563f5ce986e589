// The signed-data decoder and VerifyMessageSigners on files made by OpenSSL.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"
#include "tests/unpack/signature_test_support.h"
#include "unpack/signature_verify.h"

namespace {

using namespace signature_test;
using testing_support::ReadFileBytes;
using testing_support::TestDataFile;

Bytes Content() { return ReadFileBytes(TestDataFile(L"sig-content.bin")); }

// Decodes a signed file from its SignedData on, as the signed-file path does.
void DecodeOuter(Decoded& decoded, const Bytes& file, size_t piece) {
    size_t header = OuterHeaderSize(file);
    ASSERT_GT(header, 0u);
    Decode(decoded, Bytes(file.begin() + static_cast<std::ptrdiff_t>(header), file.end()), false, piece);
}

TEST(SignedMessage, OpenSslSignaturesVerifyForEveryDigestWithAndWithoutAttributes) {
    const Bytes content = Content();
    StoreHandle emptyStore = StoreWith({});
    for (const wchar_t* name : {L"sig-carol-sha1.p7", L"sig-carol-sha1-noattr.p7", L"sig-carol-md5.p7",
                                L"sig-carol-md5-noattr.p7", L"sig-carol-sha256.p7", L"sig-carol-sha256-noattr.p7",
                                L"sig-stream.p7"}) {
        SCOPED_TRACE(testing_support::Narrow(name));
        Bytes file = ReadFileBytes(TestDataFile(name));
        for (size_t piece : {size_t{32768}, size_t{1000}}) {
            Decoded decoded;
            DecodeOuter(decoded, file, piece);
            ASSERT_TRUE(decoded.ok) << std::hex << decoded.error;
            EXPECT_TRUE(decoded.output.bytes == content);
            EXPECT_EQ(decoded.output.finalCalls, 1);
            EXPECT_EQ(decoded.output.bytesAtFinal, content.size());
            std::vector<SignerCheck> checks;
            EXPECT_EQ(VerifyMessageSigners(decoded.message, emptyStore.get(), checks), 1u);
            ASSERT_EQ(checks.size(), 1u);
            EXPECT_EQ(checks[0].status, 0) << std::hex << checks[0].status;
            EXPECT_EQ(CommonName(checks[0].certificate), L"Carol Signer");
            CertFreeCertificateContext(checks[0].certificate);
        }
    }
}

TEST(SignedMessage, WholeContentInfoAndEmptyContent) {
    // The nested form: the decoder starts at the ContentInfo itself.
    Bytes file = ReadFileBytes(TestDataFile(L"sig-stream.p7"));
    Decoded nested;
    Decode(nested, file, true, 4096);
    ASSERT_TRUE(nested.ok) << std::hex << nested.error;
    EXPECT_TRUE(nested.output.bytes == Content());

    Decoded empty;
    DecodeOuter(empty, ReadFileBytes(TestDataFile(L"sig-empty.p7")), 100);
    ASSERT_TRUE(empty.ok);
    EXPECT_TRUE(empty.output.bytes.empty());
    std::vector<SignerCheck> checks;
    StoreHandle store = StoreWith({});
    EXPECT_EQ(VerifyMessageSigners(empty.message, store.get(), checks), 1u);
    for (SignerCheck& check : checks) CertFreeCertificateContext(check.certificate);
}

TEST(SignedMessage, SignerCertificateFromTheFileOrTheStoreOrNeither) {
    Bytes file = ReadFileBytes(TestDataFile(L"sig-two.p7"));
    Decoded decoded;
    DecodeOuter(decoded, file, 8192);
    ASSERT_TRUE(decoded.ok);

    // Carol's certificate is in the file, Dave's only in the user's store. The SignerInfos stand
    // in the order of their encodings, so each is found by its serial number (Carol 1002, Dave 1003).
    StoreHandle withDave = StoreWith({L"dave.cer"});
    std::vector<SignerCheck> checks;
    EXPECT_EQ(VerifyMessageSigners(decoded.message, withDave.get(), checks), 2u);
    ASSERT_EQ(checks.size(), 2u);
    for (SignerCheck& check : checks) {
        ASSERT_NE(check.signerInfo, nullptr);
        EXPECT_EQ(check.status, 0);
        EXPECT_EQ(CommonName(check.certificate), check.signerInfo->SerialNumber.pbData[0] == 0x02 ? L"Carol Signer"
                                                                                                 : L"Dave Signer");
        CertFreeCertificateContext(check.certificate);
    }

    // Without Dave in the store his signature fails with the lookup's error, and nothing crashes.
    StoreHandle empty = StoreWith({});
    EXPECT_EQ(VerifyMessageSigners(decoded.message, empty.get(), checks), 1u);
    ASSERT_EQ(checks.size(), 2u);
    for (SignerCheck& check : checks) {
        ASSERT_NE(check.signerInfo, nullptr);
        bool dave = check.signerInfo->SerialNumber.pbData[0] == 0x03;
        EXPECT_EQ(check.status, dave ? static_cast<LONG>(CRYPT_E_NOT_FOUND) : 0);
        EXPECT_EQ(check.certificate == nullptr, dave);
        EXPECT_STREQ(check.signerInfo->HashAlgorithm.pszObjId, "1.3.14.3.2.26");
        CertFreeCertificateContext(check.certificate);
    }
}

TEST(SignedMessage, AlteredContentOrSignatureFails) {
    const Bytes content = Content();
    StoreHandle store = StoreWith({});
    struct Case {
        const wchar_t* file;
        bool alterSignature;
        LONG expected;
    };
    // With attributes the messageDigest no longer matches; without them the signature fails.
    for (const Case& c : {Case{L"sig-carol-sha1.p7", false, static_cast<LONG>(CRYPT_E_HASH_VALUE)},
                          Case{L"sig-carol-sha256.p7", false, static_cast<LONG>(CRYPT_E_HASH_VALUE)},
                          Case{L"sig-carol-sha1-noattr.p7", false, static_cast<LONG>(NTE_BAD_SIGNATURE)},
                          Case{L"sig-stream.p7", false, static_cast<LONG>(CRYPT_E_HASH_VALUE)},
                          Case{L"sig-carol-md5-noattr.p7", true, static_cast<LONG>(NTE_BAD_SIGNATURE)},
                          Case{L"sig-carol-sha1.p7", true, static_cast<LONG>(NTE_BAD_SIGNATURE)}}) {
        SCOPED_TRACE(testing_support::Narrow(c.file));
        Bytes file = ReadFileBytes(TestDataFile(c.file));
        if (c.alterSignature) {
            file[file.size() - 10] ^= 0x01;  // the signature is the last element of these files
        } else {
            // A piece of the content that is not cut by a chunk boundary of the streamed form.
            size_t at = SIZE_MAX;
            for (std::ptrdiff_t from = 5000; at == SIZE_MAX && from < 60000; from += 700)
                at = Find(file, Bytes(content.begin() + from, content.begin() + from + 64));
            ASSERT_NE(at, SIZE_MAX);
            file[at + 7] ^= 0x40;
        }
        Decoded decoded;
        DecodeOuter(decoded, file, 32768);
        ASSERT_TRUE(decoded.ok);
        std::vector<SignerCheck> checks;
        EXPECT_EQ(VerifyMessageSigners(decoded.message, store.get(), checks), 0u);
        ASSERT_EQ(checks.size(), 1u);
        EXPECT_EQ(checks[0].status, c.expected) << std::hex << checks[0].status;
        CertFreeCertificateContext(checks[0].certificate);
    }
}

TEST(SignedMessage, TruncatedMessagesFailAndHaveNoSigners) {
    for (const wchar_t* name : {L"sig-carol-sha1.p7", L"sig-stream.p7"}) {
        Bytes file = ReadFileBytes(TestDataFile(name));
        size_t header = OuterHeaderSize(file);
        Bytes signedData(file.begin() + static_cast<std::ptrdiff_t>(header), file.end());
        // The streamed file ends with the end-of-contents of its open ContentInfo (four zero
        // bytes after the SignedData), so the cuts stop short of those.
        for (size_t cut : {size_t{1}, size_t{20}, size_t{1000}, signedData.size() / 2, signedData.size() - 300,
                           signedData.size() - 5}) {
            SCOPED_TRACE(cut);
            Decoded decoded;
            Decode(decoded, Bytes(signedData.begin(), signedData.begin() + static_cast<std::ptrdiff_t>(cut)), false,
                   4096);
            EXPECT_FALSE(decoded.ok);
            EXPECT_EQ(decoded.error, static_cast<DWORD>(CRYPT_E_ASN1_EOD));
            EXPECT_EQ(decoded.output.finalCalls, 0);
            std::vector<SignerCheck> checks;
            EXPECT_EQ(VerifyMessageSigners(decoded.message, nullptr, checks), 0u);
            EXPECT_TRUE(checks.empty());
        }
    }
}

TEST(SignedMessage, RefusedOutputAndWrongContentTypeStopTheDecoder) {
    Bytes file = ReadFileBytes(TestDataFile(L"sig-carol-sha1.p7"));
    size_t header = OuterHeaderSize(file);
    SignedMessage* message = nullptr;
    Output output;
    output.refuseAfter = 10000;
    message = OpenSignedMessage(false, CollectOutput, &output);
    ASSERT_NE(message, nullptr);
    EXPECT_FALSE(UpdateSignedMessage(message, file.data() + header, static_cast<DWORD>(file.size() - header), TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_LE(output.bytes.size(), 10000u);
    // Later updates keep failing with the same error.
    EXPECT_FALSE(UpdateSignedMessage(message, file.data(), 1, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    CloseSignedMessage(message);

    // A ContentInfo of another type is not a signed message.
    Bytes other = file;
    size_t oid = Find(other, Bytes{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02});
    ASSERT_LT(oid, header);
    other[oid + 10] = 0x03;  // last arc of the content type: envelopedData
    Decoded decoded;
    Decode(decoded, other, true, 4096);
    EXPECT_FALSE(decoded.ok);
    EXPECT_EQ(decoded.error, static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
}

}  // namespace
