#include "format/certificate_record.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using certificate_record::BuildRecord;
using certificate_record::CertificateLength;
using certificate_record::Parts;
using certificate_record::SplitRecord;

std::vector<uint8_t> FakeCertificate(size_t contentLength) {
    std::vector<uint8_t> der{0x30};
    if (contentLength < 128) {
        der.push_back(static_cast<uint8_t>(contentLength));
    } else if (contentLength < 256) {
        der.insert(der.end(), {0x81, static_cast<uint8_t>(contentLength)});
    } else {
        der.insert(der.end(), {0x82, static_cast<uint8_t>(contentLength >> 8), static_cast<uint8_t>(contentLength)});
    }
    for (size_t i = 0; i < contentLength; ++i) der.push_back(static_cast<uint8_t>(i * 7 + 1));
    return der;
}

void PutLe(std::vector<uint8_t>& bytes, size_t at, size_t width, uint64_t value) {
    for (size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t GetLe(const uint8_t* p, size_t width) {
    uint64_t value = 0;
    for (size_t i = width; i > 0; --i) value = (value << 8) | p[i - 1];
    return value;
}

// A stored block: head, container "ab" at 48, provider "c" at 54, no parameters.
std::vector<uint8_t> StoredBlock() {
    std::vector<uint8_t> block(48, 0);
    block.insert(block.end(), {'a', 0, 'b', 0, 0, 0, 'c', 0, 0, 0});
    PutLe(block, 0, 8, 48);
    PutLe(block, 8, 8, 54);
    PutLe(block, 16, 4, 24);
    PutLe(block, 40, 4, 1);
    return block;
}

TEST(CertificateRecord, CertificateLengthFollowsTheHeader) {
    std::vector<uint8_t> shortForm = FakeCertificate(10);
    EXPECT_EQ(CertificateLength(shortForm.data(), shortForm.size()), 12u);
    std::vector<uint8_t> longForm = FakeCertificate(300);
    longForm.push_back(0xEE);  // trailing bytes are not part of it
    EXPECT_EQ(CertificateLength(longForm.data(), longForm.size()), 304u);
    std::vector<uint8_t> oneByte = FakeCertificate(200);
    EXPECT_EQ(CertificateLength(oneByte.data(), oneByte.size()), 203u);

    std::vector<uint8_t> cut(longForm.begin(), longForm.begin() + 200);
    EXPECT_EQ(CertificateLength(cut.data(), cut.size()), 0u);
    const uint8_t notSequence[] = {0x31, 0x01, 0x00};
    EXPECT_EQ(CertificateLength(notSequence, sizeof(notSequence)), 0u);
    const uint8_t openForm[] = {0x30, 0x80, 0x00, 0x00};
    EXPECT_EQ(CertificateLength(openForm, sizeof(openForm)), 0u);
    const uint8_t fiveLengthBytes[] = {0x30, 0x85, 0, 0, 0, 0, 1, 0};
    EXPECT_EQ(CertificateLength(fiveLengthBytes, sizeof(fiveLengthBytes)), 0u);
}

TEST(CertificateRecord, BareCertificateHasNoOtherParts) {
    std::vector<uint8_t> der = FakeCertificate(20);
    std::vector<uint8_t> record = BuildRecord(der.data(), der.size(), nullptr, 0, nullptr, 0);
    EXPECT_EQ(record, der);
    Parts parts;
    ASSERT_TRUE(SplitRecord(record.data(), record.size(), parts));
    EXPECT_EQ(parts.certificateLength, der.size());
    EXPECT_EQ(parts.friendlyNameLength, 0u);
    EXPECT_EQ(parts.keyProviderLength, 0u);
}

TEST(CertificateRecord, BlockWithoutNameGetsFourZeroBytes) {
    std::vector<uint8_t> der = FakeCertificate(20);
    std::vector<uint8_t> block = StoredBlock();
    std::vector<uint8_t> record = BuildRecord(der.data(), der.size(), nullptr, 0, block.data(), block.size());
    ASSERT_EQ(record.size(), der.size() + 4 + 4 + block.size());
    EXPECT_EQ(GetLe(&record[der.size()], 4), 4u);
    EXPECT_EQ(GetLe(&record[der.size() + 4], 4), 0u);
    EXPECT_EQ(0, memcmp(&record[der.size() + 8], block.data(), block.size()));

    Parts parts;
    ASSERT_TRUE(SplitRecord(record.data(), record.size(), parts));
    EXPECT_EQ(parts.friendlyNameLength, 4u);
    ASSERT_EQ(parts.keyProviderLength, block.size());
    EXPECT_EQ(parts.keyProvider, record.data() + der.size() + 8);
}

TEST(CertificateRecord, NameAndBlockRoundTrip) {
    std::vector<uint8_t> der = FakeCertificate(130);
    const uint8_t name[] = {'N', 0, 'a', 0, 0, 0};
    std::vector<uint8_t> block = StoredBlock();
    std::vector<uint8_t> record = BuildRecord(der.data(), der.size(), name, sizeof(name), block.data(), block.size());
    Parts parts;
    ASSERT_TRUE(SplitRecord(record.data(), record.size(), parts));
    ASSERT_EQ(parts.friendlyNameLength, sizeof(name));
    EXPECT_EQ(0, memcmp(parts.friendlyName, name, sizeof(name)));
    EXPECT_EQ(parts.keyProviderLength, block.size());
}

TEST(CertificateRecord, SplitIgnoresWhatDoesNotFit) {
    std::vector<uint8_t> der = FakeCertificate(20);
    Parts parts;
    // F claims more bytes than there are: neither name nor block is taken.
    std::vector<uint8_t> record = der;
    record.insert(record.end(), {0xFF, 0xFF, 0x00, 0x00, 'x', 0});
    ASSERT_TRUE(SplitRecord(record.data(), record.size(), parts));
    EXPECT_EQ(parts.friendlyNameLength, 0u);
    EXPECT_EQ(parts.keyProviderLength, 0u);
    // A name followed by fewer bytes than a block head: no block.
    record = der;
    record.insert(record.end(), {2, 0, 0, 0, 'x', 0});
    record.insert(record.end(), 47, 0);
    ASSERT_TRUE(SplitRecord(record.data(), record.size(), parts));
    EXPECT_EQ(parts.friendlyNameLength, 2u);
    EXPECT_EQ(parts.keyProviderLength, 0u);
    // Exactly L + 4 bytes: F is not read.
    record = der;
    record.insert(record.end(), 4, 0x7F);
    ASSERT_TRUE(SplitRecord(record.data(), record.size(), parts));
    EXPECT_EQ(parts.friendlyNameLength, 0u);

    const uint8_t notCertificate[] = {0x04, 0x02, 0x01, 0x02};
    EXPECT_FALSE(SplitRecord(notCertificate, sizeof(notCertificate), parts));
}

TEST(CertificateRecord, PointersBecomeOffsetsAndBack) {
    const uint64_t savedAt = 0x7FF612340000ull;
    std::vector<uint8_t> block = StoredBlock();
    PutLe(block, 0, 8, savedAt + 48);
    PutLe(block, 8, 8, savedAt + 54);
    PutLe(block, 32, 8, 0x1234);  // a pointer outside the block cannot be stored
    ASSERT_TRUE(certificate_record::PointersToOffsets(block.data(), block.size(), savedAt));
    EXPECT_EQ(GetLe(&block[0], 8), 48u);
    EXPECT_EQ(GetLe(&block[8], 8), 54u);
    EXPECT_EQ(GetLe(&block[32], 8), 0u);
    EXPECT_EQ(GetLe(&block[16], 4), 24u);  // other fields untouched
    EXPECT_EQ(GetLe(&block[40], 4), 1u);

    const uint64_t loadedAt = 0x10000ull;
    ASSERT_TRUE(certificate_record::OffsetsToPointers(block.data(), block.size(), loadedAt));
    EXPECT_EQ(GetLe(&block[0], 8), loadedAt + 48);
    EXPECT_EQ(GetLe(&block[8], 8), loadedAt + 54);
    EXPECT_EQ(GetLe(&block[40], 4), 1u);
}

TEST(CertificateRecord, ZeroOffsetsStayZero) {
    std::vector<uint8_t> block(48, 0);
    PutLe(block, 16, 4, 1);
    ASSERT_TRUE(certificate_record::OffsetsToPointers(block.data(), block.size(), 0x5000));
    EXPECT_EQ(GetLe(&block[0], 8), 0u);
    EXPECT_EQ(GetLe(&block[8], 8), 0u);
}

TEST(CertificateRecord, InvalidStoredBlocksAreRefused) {
    std::vector<uint8_t> block = StoredBlock();
    EXPECT_TRUE(certificate_record::IsValidKeyProviderBlock(block.data(), block.size()));
    std::vector<uint8_t> outside = block;
    PutLe(outside, 0, 8, 4000);
    EXPECT_FALSE(certificate_record::OffsetsToPointers(outside.data(), outside.size(), 0x5000));
    std::vector<uint8_t> intoHead = block;
    PutLe(intoHead, 8, 8, 16);
    EXPECT_FALSE(certificate_record::IsValidKeyProviderBlock(intoHead.data(), intoHead.size()));
    std::vector<uint8_t> unterminated = block;
    unterminated.resize(56);  // provider name "c" without its NUL
    EXPECT_FALSE(certificate_record::IsValidKeyProviderBlock(unterminated.data(), unterminated.size()));
    std::vector<uint8_t> parameters = block;
    PutLe(parameters, 24, 4, 3);
    PutLe(parameters, 32, 8, 48);  // three 16-byte entries do not fit in 10 bytes
    EXPECT_FALSE(certificate_record::IsValidKeyProviderBlock(parameters.data(), parameters.size()));
    EXPECT_FALSE(certificate_record::IsValidKeyProviderBlock(block.data(), 47));
}

TEST(CertificateRecord, LoadedParametersAreDropped) {
    std::vector<uint8_t> block = StoredBlock();
    block.insert(block.end(), 16, 0xAB);
    PutLe(block, 24, 4, 1);
    PutLe(block, 32, 8, 58);
    ASSERT_TRUE(certificate_record::OffsetsToPointers(block.data(), block.size(), 0x9000));
    EXPECT_EQ(GetLe(&block[24], 4), 0u);
    EXPECT_EQ(GetLe(&block[32], 8), 0u);
}

}  // namespace
