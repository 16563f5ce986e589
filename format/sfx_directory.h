// The file directory of a self-decoding program (between the program and its envelope) and the
// record inside the program that states the program's own size. Pure bytes, no platform types.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sfx {

// One packed file as the directory lists it.
struct DirectoryEntry {
    uint32_t flags = 0;     // bit 0: open after unpacking
    uint32_t size = 0;      // bytes of this file in the plaintext
    std::u16string name;    // without folder
};

constexpr uint32_t kOpenAfterUnpacking = 1;

struct Directory {
    bool compressed = false;
    std::vector<DirectoryEntry> entries;
};

// Directory bytes from T + 4 on (the D bytes after the length). Entries are taken while they begin
// inside the directory and fewer than the stated count were read; an entry cut off by the end of
// the directory (size fields or name without its zero unit) ends the list. False when the directory
// is too short for the count and flag, or states no files.
bool ParseDirectory(const uint8_t* data, size_t size, Directory& out);

// The directory as the builder writes it: length D, count, flag, three zero bytes, the entries.
std::vector<uint8_t> BuildDirectory(const Directory& directory);

// The record the program carries so that it knows its own file size: eight magic bytes followed by
// the size, least significant byte first.
// The bytes are kept here only in complemented form, so that a program linking this code still
// holds the magic exactly once.
constexpr size_t kTemplateMagicSize = 8;
void TemplateMagic(uint8_t out[kTemplateMagicSize]);

// Offset of the one template-size record in a program file, or -1 when there is none or more
// than one (then the size cannot be trusted).
long long FindTemplateSizeRecord(const uint8_t* data, size_t size);

// The size the record states; false when there is no single record.
bool ReadTemplateSize(const uint8_t* data, size_t size, uint32_t& templateSize);

}  // namespace sfx
