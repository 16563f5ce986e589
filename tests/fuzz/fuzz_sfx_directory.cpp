// The self-decoding directory and the template-size record: a parsed directory rebuilds into
// bytes that parse to the same entries.
#include <cstring>
#include <vector>

#include "format/sfx_directory.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

bool SameEntries(const sfx::Directory& a, const sfx::Directory& b) {
    if (a.compressed != b.compressed || a.entries.size() != b.entries.size()) return false;
    for (size_t i = 0; i < a.entries.size(); ++i) {
        const sfx::DirectoryEntry& x = a.entries[i];
        const sfx::DirectoryEntry& y = b.entries[i];
        if (x.flags != y.flags || x.size != y.size || x.name != y.name) return false;
    }
    return true;
}

void CheckDirectory(const uint8_t* data, size_t size) {
    sfx::Directory directory;
    if (!sfx::ParseDirectory(data, size, directory)) {
        FUZZ_CHECK(directory.entries.empty());
        return;
    }
    uint32_t count = 0;
    std::memcpy(&count, data, 4);  // the fuzzing hosts are little-endian
    FUZZ_CHECK(!directory.entries.empty() && directory.entries.size() <= count);
    size_t bytes = 8;
    for (const sfx::DirectoryEntry& entry : directory.entries) {
        bytes += 8 + 2 * (entry.name.size() + 1);
        for (char16_t unit : entry.name) FUZZ_CHECK(unit != 0);
    }
    FUZZ_CHECK(bytes <= size);
    std::vector<uint8_t> built = sfx::BuildDirectory(directory);
    FUZZ_CHECK(built.size() == 4 + bytes);
    sfx::Directory again;
    FUZZ_CHECK(sfx::ParseDirectory(built.data() + 4, built.size() - 4, again) && SameEntries(directory, again));
}

void CheckTemplateRecord(const uint8_t* data, size_t size) {
    long long offset = sfx::FindTemplateSizeRecord(data, size);
    uint32_t templateSize = 0;
    bool found = sfx::ReadTemplateSize(data, size, templateSize);
    FUZZ_CHECK(found == (offset >= 0));
    if (!found) return;
    FUZZ_CHECK(static_cast<size_t>(offset) + sfx::kTemplateMagicSize + 4 <= size);
    uint8_t magic[sfx::kTemplateMagicSize];
    sfx::TemplateMagic(magic);
    FUZZ_CHECK(std::memcmp(data + offset, magic, sizeof magic) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckDirectory(data, size);
    CheckTemplateRecord(data, size);
    return 0;
}
