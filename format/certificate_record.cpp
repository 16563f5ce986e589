#include "format/certificate_record.h"

#include <cstring>

#include "format/der.h"

namespace certificate_record {

namespace {

uint64_t ReadLe(const uint8_t* p, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = bytes; i > 0; --i) value = (value << 8) | p[i - 1];
    return value;
}

void WriteLe(uint8_t* p, size_t bytes, uint64_t value) {
    for (size_t i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// A UTF-16 name at the offset ends with a NUL character inside the block.
bool NameFits(const uint8_t* block, size_t size, uint64_t offset) {
    if (offset == 0) return true;
    if (offset < kKeyProviderHeadSize || offset >= size) return false;
    for (uint64_t i = offset; i + 1 < size; i += 2) {
        if (block[i] == 0 && block[i + 1] == 0) return true;
    }
    return false;
}

}  // namespace

size_t CertificateLength(const uint8_t* data, size_t size) {
    if (size < 2 || data[0] != der::kSequence) return 0;
    der::ParsedLength length = der::ParseDerLength(data + 1, size - 1);
    // The open form and malformed long forms have no length a record could use.
    if (length.used == 0 || length.open || (length.used == 1 && data[1] > 0x80)) return 0;
    const uint64_t head = 1ull + length.used;
    if (head > size || length.value > size - head) return 0;
    return static_cast<size_t>(head + length.value);
}

bool SplitRecord(const uint8_t* data, size_t size, Parts& parts) {
    parts = Parts();
    size_t length = CertificateLength(data, size);
    if (length == 0) return false;
    parts.certificate = data;
    parts.certificateLength = length;
    if (size <= length + 4) return true;
    uint64_t nameLength = ReadLe(data + length, 4);
    size_t rest = size - length - 4;
    if (nameLength > rest) return true;
    parts.friendlyName = nameLength ? data + length + 4 : nullptr;
    parts.friendlyNameLength = static_cast<size_t>(nameLength);
    rest -= static_cast<size_t>(nameLength);
    if (rest >= kKeyProviderHeadSize) {
        parts.keyProvider = data + length + 4 + nameLength;
        parts.keyProviderLength = rest;
    }
    return true;
}

std::vector<uint8_t> BuildRecord(const uint8_t* certificate, size_t certificateLength, const uint8_t* friendlyName,
                                 size_t friendlyNameLength, const uint8_t* keyProvider, size_t keyProviderLength) {
    std::vector<uint8_t> record(certificate, certificate + certificateLength);
    static const uint8_t kNoName[4] = {};
    if (friendlyNameLength == 0 && keyProviderLength != 0) {
        friendlyName = kNoName;
        friendlyNameLength = sizeof(kNoName);
    }
    if (friendlyNameLength == 0) return record;
    uint8_t f[4];
    WriteLe(f, 4, friendlyNameLength);
    record.insert(record.end(), f, f + 4);
    record.insert(record.end(), friendlyName, friendlyName + friendlyNameLength);
    if (keyProviderLength) record.insert(record.end(), keyProvider, keyProvider + keyProviderLength);
    return record;
}

bool PointersToOffsets(uint8_t* block, size_t size, uint64_t base) {
    if (size < kKeyProviderHeadSize) return false;
    auto toOffset = [&](uint8_t* field, uint64_t length) {
        uint64_t pointer = ReadLe(field, 8);
        bool inside = pointer >= base && pointer - base < size && length <= size - (pointer - base);
        WriteLe(field, 8, inside ? pointer - base : 0);
        return inside;
    };
    toOffset(block + kContainerNameField, 0);
    toOffset(block + kProviderNameField, 0);
    if (!toOffset(block + kParameterArrayField, 0)) return true;
    uint64_t array = ReadLe(block + kParameterArrayField, 8);
    uint64_t count = ReadLe(block + kParameterCountField, 4);
    if (array < kKeyProviderHeadSize || count > (size - array) / kParameterEntrySize) {
        WriteLe(block + kParameterArrayField, 8, 0);
        return true;
    }
    for (uint64_t i = 0; i < count; ++i) {
        uint8_t* entry = block + array + i * kParameterEntrySize;
        if (!toOffset(entry + kParameterDataField, ReadLe(entry + kParameterSizeField, 4)))
            WriteLe(entry + kParameterSizeField, 4, 0);
    }
    return true;
}

namespace {

// A stored parameter's data lies inside the block after the head (or it has none).
bool ParameterDataFits(const uint8_t* entry, size_t size) {
    uint64_t offset = ReadLe(entry + kParameterDataField, 8);
    uint64_t length = ReadLe(entry + kParameterSizeField, 4);
    if (offset == 0) return length == 0;
    return offset >= kKeyProviderHeadSize && offset <= size && length <= size - offset;
}

}  // namespace

bool IsValidKeyProviderBlock(const uint8_t* block, size_t size) {
    if (size < kKeyProviderHeadSize) return false;
    if (!NameFits(block, size, ReadLe(block + kContainerNameField, 8))) return false;
    if (!NameFits(block, size, ReadLe(block + kProviderNameField, 8))) return false;
    uint64_t count = ReadLe(block + kParameterCountField, 4);
    uint64_t array = ReadLe(block + kParameterArrayField, 8);
    if (array == 0) return true;
    return array >= kKeyProviderHeadSize && array <= size && count <= (size - array) / kParameterEntrySize;
}

bool OffsetsToPointers(uint8_t* block, size_t size, uint64_t base) {
    if (!IsValidKeyProviderBlock(block, size)) return false;
    for (size_t field : {kContainerNameField, kProviderNameField}) {
        uint64_t offset = ReadLe(block + field, 8);
        WriteLe(block + field, 8, offset ? base + offset : 0);
    }
    uint64_t count = ReadLe(block + kParameterCountField, 4);
    uint64_t array = ReadLe(block + kParameterArrayField, 8);
    bool keep = array != 0 && count != 0;
    for (uint64_t i = 0; keep && i < count; ++i) keep = ParameterDataFits(block + array + i * kParameterEntrySize, size);
    if (!keep) {
        WriteLe(block + kParameterCountField, 4, 0);
        WriteLe(block + kParameterArrayField, 8, 0);
        return true;
    }
    for (uint64_t i = 0; i < count; ++i) {
        uint8_t* entry = block + array + i * kParameterEntrySize;
        uint64_t offset = ReadLe(entry + kParameterDataField, 8);
        WriteLe(entry + kParameterDataField, 8, offset ? base + offset : 0);
    }
    WriteLe(block + kParameterArrayField, 8, base + array);
    return true;
}

}  // namespace certificate_record
