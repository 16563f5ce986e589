#include "format/certificate_record.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

void PutLe(Bytes& bytes, size_t at, size_t width, uint64_t value) {
    for (size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t GetLe(const Bytes& bytes, size_t at, size_t width) {
    uint64_t value = 0;
    for (size_t i = width; i > 0; --i) value = (value << 8) | bytes[at + i - 1];
    return value;
}

// A stored block: head, container "ab" at 48, provider "c" at 54, no parameters.
Bytes StoredBlock() {
    Bytes block(48, 0);
    block.insert(block.end(), {'a', 0, 'b', 0, 0, 0, 'c', 0, 0, 0});
    PutLe(block, 0, 8, 48);
    PutLe(block, 8, 8, 54);
    PutLe(block, 40, 4, 1);
    return block;
}

size_t Length(const Bytes& bytes) { return certificate_record::CertificateLength(bytes.data(), bytes.size()); }

TEST(CertificateRecord, CertificateLengthFollowsTheHeader) {
    EXPECT_EQ(Length({0x30, 0x02, 0xAA, 0xBB, 0xEE}), 4u);  // trailing bytes are not part of it
    Bytes longForm{0x30, 0x82, 0x01, 0x00};
    longForm.resize(4 + 256, 0x11);
    EXPECT_EQ(Length(longForm), 260u);
    longForm.pop_back();
    EXPECT_EQ(Length(longForm), 0u);                          // cut short
    EXPECT_EQ(Length({0x31, 0x01, 0x00}), 0u);                // not a SEQUENCE
    EXPECT_EQ(Length({0x30, 0x80, 0x00, 0x00}), 0u);          // open form
    EXPECT_EQ(Length({0x30, 0x89, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}), 0u);  // nine length bytes
    EXPECT_EQ(Length({0x30, 0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF6, 0}), 0u);  // would wrap
}

TEST(CertificateRecord, SplitTakesOnlyWhatFits) {
    const Bytes der{0x30, 0x01, 0x05};
    certificate_record::Parts parts;
    Bytes record = der;
    record.insert(record.end(), {0xFF, 0x00, 0x00, 0x00, 'x', 0});  // F runs past the data
    ASSERT_TRUE(certificate_record::SplitRecord(record.data(), record.size(), parts));
    EXPECT_EQ(parts.certificateLength, 3u);
    EXPECT_EQ(parts.friendlyNameLength, 0u);
    EXPECT_EQ(parts.keyProviderLength, 0u);

    Bytes block = StoredBlock();
    record = certificate_record::BuildRecord(der.data(), der.size(), nullptr, 0, block.data(), block.size());
    ASSERT_EQ(record.size(), 3u + 8u + block.size());  // F = 4 and four zero bytes stand for no name
    EXPECT_EQ(GetLe(record, 3, 8), 4u);
    ASSERT_TRUE(certificate_record::SplitRecord(record.data(), record.size(), parts));
    EXPECT_EQ(parts.keyProvider, record.data() + 11);
    EXPECT_EQ(parts.keyProviderLength, block.size());

    record.resize(11 + 47);  // less than a block head after the name: no block
    ASSERT_TRUE(certificate_record::SplitRecord(record.data(), record.size(), parts));
    EXPECT_EQ(parts.friendlyNameLength, 4u);
    EXPECT_EQ(parts.keyProviderLength, 0u);
}

TEST(CertificateRecord, PointersBecomeOffsetsAndBack) {
    const uint64_t savedAt = 0x7FF612340000ull;
    Bytes block = StoredBlock();
    PutLe(block, 0, 8, savedAt + 48);
    PutLe(block, 8, 8, savedAt + 54);
    PutLe(block, 32, 8, 0x1234);  // outside the block: cannot be stored
    ASSERT_TRUE(certificate_record::PointersToOffsets(block.data(), block.size(), savedAt));
    EXPECT_EQ(GetLe(block, 0, 8), 48u);
    EXPECT_EQ(GetLe(block, 8, 8), 54u);
    EXPECT_EQ(GetLe(block, 32, 8), 0u);
    ASSERT_TRUE(certificate_record::OffsetsToPointers(block.data(), block.size(), 0x10000));
    EXPECT_EQ(GetLe(block, 0, 8), 0x10000u + 48);
    EXPECT_EQ(GetLe(block, 8, 8), 0x10000u + 54);
    EXPECT_EQ(GetLe(block, 40, 4), 1u);
}

TEST(CertificateRecord, StoredBlocksAreCheckedBeforeUse) {
    Bytes block = StoredBlock();
    Bytes outside = block, intoHead = block, parameters = block;
    PutLe(outside, 0, 8, 4000);
    PutLe(intoHead, 8, 8, 16);
    Bytes unterminated(block.begin(), block.begin() + 56);  // provider "c" without its NUL
    PutLe(parameters, 24, 4, 3);
    PutLe(parameters, 32, 8, 48);  // three 24-byte entries in 10 bytes
    for (Bytes* bad : {&outside, &intoHead, &unterminated, &parameters})
        EXPECT_FALSE(certificate_record::OffsetsToPointers(bad->data(), bad->size(), 0x5000));
}

// The block with one parameter entry at 58 whose two data bytes follow it at 82.
Bytes BlockWithParameter() {
    Bytes block = StoredBlock();
    block.resize(84, 0);
    PutLe(block, 24, 4, 1);
    PutLe(block, 32, 8, 58);
    PutLe(block, 58, 4, 7);        // parameter id
    PutLe(block, 58 + 8, 8, 82);   // data
    PutLe(block, 58 + 16, 4, 2);   // data size
    block[82] = 0xAB;
    block[83] = 0xCD;
    return block;
}

// Parameters are saved as offsets and come back as pointers into the loaded block; entries that
// still hold another process's pointers (or data outside the block) lose all parameters.
TEST(CertificateRecord, ParametersSurviveTheRoundTrip) {
    const uint64_t savedAt = 0x7FF612340000ull;
    Bytes saved = BlockWithParameter();
    for (size_t field : {0u, 8u, 32u, 58u + 8u}) PutLe(saved, field, 8, GetLe(saved, field, 8) + savedAt);
    ASSERT_TRUE(certificate_record::PointersToOffsets(saved.data(), saved.size(), savedAt));
    EXPECT_EQ(saved, BlockWithParameter());
    ASSERT_TRUE(certificate_record::OffsetsToPointers(saved.data(), saved.size(), 0x9000));
    EXPECT_EQ(GetLe(saved, 24, 4), 1u);
    EXPECT_EQ(GetLe(saved, 32, 8), 0x9000u + 58);
    EXPECT_EQ(GetLe(saved, 58 + 8, 8), 0x9000u + 82);
    EXPECT_EQ(GetLe(saved, 58 + 16, 4), 2u);

    struct Damage {
        const char* what;
        uint64_t data;
        uint64_t size;
    };
    const Damage damages[] = {{"a pointer of the saving process", savedAt + 82, 2},
                              {"data past the end", 83, 2},
                              {"data in the head", 8, 2},
                              {"a size without data", 0, 2}};
    for (const Damage& damage : damages) {
        Bytes block = BlockWithParameter();
        PutLe(block, 58 + 8, 8, damage.data);
        PutLe(block, 58 + 16, 4, damage.size);
        ASSERT_TRUE(certificate_record::OffsetsToPointers(block.data(), block.size(), 0x9000)) << damage.what;
        EXPECT_EQ(GetLe(block, 24, 4), 0u) << damage.what;
        EXPECT_EQ(GetLe(block, 32, 8), 0u) << damage.what;
        EXPECT_EQ(GetLe(block, 0, 8), 0x9000u + 48) << damage.what;  // the names stay
    }
}

}  // namespace
