#include "format/sfx_directory.h"

#include <cstring>

namespace sfx {

namespace {

// Complement of "QndxT" A7 5E 01: the magic itself must appear only in the record. Read through
// volatile, so that the compiler cannot fold the complement back into a constant in the code.
volatile const uint8_t kMagicComplement[kTemplateMagicSize] = {0xAE, 0x91, 0x9B, 0x87, 0xAB, 0x58, 0xA1, 0xFE};

uint32_t ReadLe32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void AppendLe32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Reads one entry at position; false when it does not fit in the directory.
bool ReadEntry(const uint8_t* data, size_t size, size_t& position, DirectoryEntry& entry) {
    if (size - position < 8) return false;
    entry.flags = ReadLe32(data + position);
    entry.size = ReadLe32(data + position + 4);
    size_t p = position + 8;
    entry.name.clear();
    for (;;) {
        if (size - p < 2) return false;  // the name runs past the directory without its zero unit
        char16_t unit = static_cast<char16_t>(data[p] | data[p + 1] << 8);
        p += 2;
        if (unit == 0) break;
        entry.name.push_back(unit);
    }
    position = p;
    return true;
}

}  // namespace

void TemplateMagic(uint8_t out[kTemplateMagicSize]) {
    for (size_t i = 0; i < kTemplateMagicSize; ++i) out[i] = static_cast<uint8_t>(~kMagicComplement[i]);
}

bool ParseDirectory(const uint8_t* data, size_t size, Directory& out) {
    out = Directory();
    if (!data || size < 8) return false;
    const uint32_t count = ReadLe32(data);
    out.compressed = data[4] != 0;
    if (count == 0) return false;
    size_t position = 8;
    while (position < size && out.entries.size() < count) {
        DirectoryEntry entry;
        if (!ReadEntry(data, size, position, entry)) break;
        out.entries.push_back(std::move(entry));
    }
    return !out.entries.empty();
}

std::vector<uint8_t> BuildDirectory(const Directory& directory) {
    std::vector<uint8_t> body;
    AppendLe32(body, static_cast<uint32_t>(directory.entries.size()));
    body.push_back(directory.compressed ? 1 : 0);
    body.insert(body.end(), 3, 0);
    for (const DirectoryEntry& entry : directory.entries) {
        AppendLe32(body, entry.flags);
        AppendLe32(body, entry.size);
        for (char16_t unit : entry.name) {
            body.push_back(static_cast<uint8_t>(unit & 0xFF));
            body.push_back(static_cast<uint8_t>(unit >> 8));
        }
        body.push_back(0);
        body.push_back(0);
    }
    std::vector<uint8_t> out;
    AppendLe32(out, static_cast<uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

long long FindTemplateSizeRecord(const uint8_t* data, size_t size) {
    const size_t recordSize = kTemplateMagicSize + 4;
    uint8_t magic[kTemplateMagicSize];
    TemplateMagic(magic);
    long long found = -1;
    for (size_t i = 0; data && size >= recordSize && i <= size - recordSize; ++i) {
        if (data[i] != magic[0] || std::memcmp(data + i, magic, kTemplateMagicSize) != 0) continue;
        if (found >= 0) return -1;
        found = static_cast<long long>(i);
    }
    return found;
}

bool ReadTemplateSize(const uint8_t* data, size_t size, uint32_t& templateSize) {
    long long offset = FindTemplateSizeRecord(data, size);
    if (offset < 0) return false;
    templateSize = ReadLe32(data + offset + kTemplateMagicSize);
    return true;
}

}  // namespace sfx
