#include "format/service/algorithm_names.h"

#include <gtest/gtest.h>

#include "format/algorithms.h"
#include "format/service/encoding.h"
#include "format/service/resources.h"

namespace {

TEST(AlgorithmNames, ComeFromTheStringTable) {
    EXPECT_EQ(AlgorithmDisplayName(26625, nullptr), L"RSA Data Security's RC4");
    EXPECT_EQ(AlgorithmDisplayName(0, "1.3.14.3.2.26"), L"Secure Hash Algorithm (SHA-1)");
    EXPECT_EQ(AlgorithmDisplayName(alg::kAes128, nullptr), L"Advanced Encryption Standard 128-bit");
    EXPECT_EQ(AlgorithmDisplayName(alg::kAes192, nullptr), L"Advanced Encryption Standard 192-bit");
    EXPECT_EQ(AlgorithmDisplayName(alg::kAes256, nullptr), L"Advanced Encryption Standard 256-bit");
    EXPECT_EQ(AlgorithmDisplayName(alg::kMd5, nullptr), L"Message Digest (MD5)");
}

TEST(AlgorithmNames, GcmNamesCarryTheMode) {
    EXPECT_EQ(GcmDisplayName(alg::kAes128), L"AES-128 GCM");
    EXPECT_EQ(GcmDisplayName(alg::kAes192), L"AES-192 GCM");
    EXPECT_EQ(GcmDisplayName(alg::kAes256), L"AES-256 GCM");
    EXPECT_EQ(GcmDisplayName(alg::kRc2), L"");
}

TEST(AlgorithmNames, UnknownOidIsShownAsItself) {
    EXPECT_EQ(AlgorithmDisplayName(0, "1.2.840.113549.2.4"), L"1.2.840.113549.2.4");
    EXPECT_EQ(AlgorithmDisplayName(0, nullptr), L"");
}

TEST(StringTable, RussianTextsAreStoredAsWritten) {
    EXPECT_EQ(LoadText(503), L"Quillarent 1.0");
    EXPECT_EQ(LoadText(514), L"Ошибка - 0x%X");
    EXPECT_EQ(FormatText(514, 0x80092003u), L"Ошибка - 0x80092003");
    EXPECT_EQ(LoadText(526), L"Сертификат\r\n\tКому выдан: %s\r\n\tКем выдан: %s\r\n\tДействителен до: %s\r\n"
                             L"\tСерийный номер: %s\r\n");
    EXPECT_EQ(LoadText(531), L"Файлы");
    EXPECT_EQ(LoadText(99999), L"");
}

TEST(Rc2Encoding, PlatformOrOwnEncoderGivesTheStandardBytes) {
    const BYTE iv[8] = {9, 8, 7, 6, 5, 4, 3, 2};
    std::vector<BYTE> encoded;
    ASSERT_TRUE(EncodeRc2Parameters(120, iv, 8, encoded));
    EXPECT_EQ(encoded, (std::vector<BYTE>{0x30, 0x0D, 0x02, 0x01, 0x78, 0x04, 0x08, 9, 8, 7, 6, 5, 4, 3, 2}));
    DWORD version = 0;
    bool hasIv = false;
    BYTE decodedIv[8] = {};
    ASSERT_TRUE(DecodeRc2Parameters(encoded.data(), static_cast<DWORD>(encoded.size()), version, hasIv, decodedIv));
    EXPECT_EQ(version, 120u);
    EXPECT_TRUE(hasIv);
    EXPECT_EQ(decodedIv[0], 9);
}

TEST(PlatformEncoder, OctetStringAndSequenceOfAny) {
    BYTE iv[16] = {};
    iv[0] = 0xAB;
    CRYPT_DATA_BLOB blob = {16, iv};
    std::vector<BYTE> encoded;
    ASSERT_TRUE(EncodeObject(X509_OCTET_STRING, &blob, encoded));
    ASSERT_EQ(encoded.size(), 18u);
    EXPECT_EQ(encoded[0], 0x04);
    EXPECT_EQ(encoded[1], 16);
    EXPECT_EQ(encoded[2], 0xAB);

    std::vector<uint64_t> decoded;
    ASSERT_TRUE(DecodeObject(X509_OCTET_STRING, encoded.data(), static_cast<DWORD>(encoded.size()), 0, decoded));
    const auto* octets = Decoded<CRYPT_DATA_BLOB>(decoded);
    ASSERT_EQ(octets->cbData, 16u);
    EXPECT_EQ(octets->pbData[0], 0xAB);
}

}  // namespace
