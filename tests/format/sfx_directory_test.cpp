#include "format/sfx_directory.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Two files, the second to be opened: "a.txt" (5 bytes) and "b" (0x0102 bytes), compressed.
const Bytes kTwoFiles = {
    0x28, 0x00, 0x00, 0x00,                    // D = 40
    0x02, 0x00, 0x00, 0x00,                    // two entries
    0x01, 0x00, 0x00, 0x00,                    // compressed, three zero bytes
    0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00,  // flags 0, size 5
    'a', 0, '.', 0, 't', 0, 'x', 0, 't', 0, 0, 0,     // "a.txt"
    0x01, 0x00, 0x00, 0x00, 0x02, 0x01, 0x00, 0x00,  // flags 1, size 0x102
    'b', 0, 0, 0,                                     // "b"
};

sfx::Directory TwoFiles() {
    sfx::Directory directory;
    directory.compressed = true;
    directory.entries.push_back({0, 5, u"a.txt"});
    directory.entries.push_back({sfx::kOpenAfterUnpacking, 0x102, u"b"});
    return directory;
}

TEST(SfxDirectory, BuildsTheLayoutByteForByte) { EXPECT_EQ(sfx::BuildDirectory(TwoFiles()), kTwoFiles); }

TEST(SfxDirectory, ParsesWhatItBuilds) {
    sfx::Directory parsed;
    ASSERT_TRUE(sfx::ParseDirectory(kTwoFiles.data() + 4, kTwoFiles.size() - 4, parsed));
    EXPECT_TRUE(parsed.compressed);
    ASSERT_EQ(parsed.entries.size(), 2u);
    EXPECT_EQ(parsed.entries[0].name, u"a.txt");
    EXPECT_EQ(parsed.entries[0].size, 5u);
    EXPECT_EQ(parsed.entries[0].flags, 0u);
    EXPECT_EQ(parsed.entries[1].name, u"b");
    EXPECT_EQ(parsed.entries[1].size, 0x102u);
    EXPECT_EQ(parsed.entries[1].flags, 1u);
}

TEST(SfxDirectory, NonAsciiNamesKeepTheirUnits) {
    sfx::Directory directory;
    directory.entries.push_back({0, 1, u"\u0444\u0430\u0439\u043B.txt"});
    Bytes bytes = sfx::BuildDirectory(directory);
    sfx::Directory parsed;
    ASSERT_TRUE(sfx::ParseDirectory(bytes.data() + 4, bytes.size() - 4, parsed));
    EXPECT_FALSE(parsed.compressed);
    EXPECT_EQ(parsed.entries[0].name, directory.entries[0].name);
}

TEST(SfxDirectory, StopsAtTheStatedCount) {
    Bytes bytes = kTwoFiles;
    bytes[4] = 1;  // one entry only; the second stays unread
    sfx::Directory parsed;
    ASSERT_TRUE(sfx::ParseDirectory(bytes.data() + 4, bytes.size() - 4, parsed));
    ASSERT_EQ(parsed.entries.size(), 1u);
    EXPECT_EQ(parsed.entries[0].name, u"a.txt");
}

TEST(SfxDirectory, ACountBeyondTheEntriesKeepsWhatIsThere) {
    Bytes bytes = kTwoFiles;
    bytes[4] = 9;
    sfx::Directory parsed;
    ASSERT_TRUE(sfx::ParseDirectory(bytes.data() + 4, bytes.size() - 4, parsed));
    EXPECT_EQ(parsed.entries.size(), 2u);
}

TEST(SfxDirectory, AnEntryCutByTheEndIsNotTaken) {
    sfx::Directory parsed;
    // The second name loses its zero unit: only the first entry remains.
    ASSERT_TRUE(sfx::ParseDirectory(kTwoFiles.data() + 4, kTwoFiles.size() - 4 - 2, parsed));
    ASSERT_EQ(parsed.entries.size(), 1u);
    // Cut inside the second entry's size field.
    ASSERT_TRUE(sfx::ParseDirectory(kTwoFiles.data() + 4, 8 + 20 + 6, parsed));
    EXPECT_EQ(parsed.entries.size(), 1u);
    // Cut inside the first name: nothing usable.
    EXPECT_FALSE(sfx::ParseDirectory(kTwoFiles.data() + 4, 8 + 8 + 3, parsed));
    EXPECT_TRUE(parsed.entries.empty());
}

TEST(SfxDirectory, RefusesEmptyAndShortDirectories) {
    sfx::Directory parsed;
    EXPECT_FALSE(sfx::ParseDirectory(kTwoFiles.data() + 4, 7, parsed));
    EXPECT_FALSE(sfx::ParseDirectory(nullptr, 0, parsed));
    Bytes none = {0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(sfx::ParseDirectory(none.data(), none.size(), parsed));
}

Bytes WithRecord(size_t at, uint32_t size, size_t total) {
    Bytes file(total, 0xCC);
    uint8_t magic[sfx::kTemplateMagicSize];
    sfx::TemplateMagic(magic);
    for (size_t i = 0; i < sfx::kTemplateMagicSize; ++i) file[at + i] = magic[i];
    for (int i = 0; i < 4; ++i) file[at + 8 + i] = static_cast<uint8_t>(size >> (8 * i));
    return file;
}

TEST(SfxTemplateSize, FindsTheSingleRecord) {
    Bytes file = WithRecord(100, 246784, 400);
    EXPECT_EQ(sfx::FindTemplateSizeRecord(file.data(), file.size()), 100);
    uint32_t size = 0;
    ASSERT_TRUE(sfx::ReadTemplateSize(file.data(), file.size(), size));
    EXPECT_EQ(size, 246784u);
}

TEST(SfxTemplateSize, NoOrTwoRecordsGiveNoSize) {
    uint32_t size = 0;
    Bytes plain(300, 0x51);
    EXPECT_FALSE(sfx::ReadTemplateSize(plain.data(), plain.size(), size));
    Bytes twice = WithRecord(10, 5, 300);
    Bytes second = WithRecord(200, 5, 300);
    std::copy(second.begin() + 200, second.begin() + 212, twice.begin() + 200);
    EXPECT_EQ(sfx::FindTemplateSizeRecord(twice.data(), twice.size()), -1);
    // A record cut off by the end of the file does not count.
    Bytes cut = WithRecord(290, 5, 302);
    EXPECT_EQ(sfx::FindTemplateSizeRecord(cut.data(), 298), -1);
}

TEST(SfxTemplateSize, MagicIsTheOneTheBuildStamps) {
    uint8_t magic[sfx::kTemplateMagicSize];
    sfx::TemplateMagic(magic);
    EXPECT_EQ(Bytes(magic, magic + 8), (Bytes{'Q', 'n', 'd', 'x', 'T', 0xA7, 0x5E, 0x01}));
}

}  // namespace
