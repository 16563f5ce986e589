// The certificate record of the recent lists and its key-provider block: the parts lie in the
// record in order, rebuild into the same record, and a block that passes the check can be turned
// into pointers and back.
#include <cstring>
#include <vector>

#include "format/certificate_record.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

namespace cr = certificate_record;

uint64_t ReadLe64(const uint8_t* p) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
    return value;
}

void CheckRecord(const uint8_t* data, size_t size) {
    cr::Parts parts;
    if (!cr::SplitRecord(data, size, parts)) {
        FUZZ_CHECK(cr::CertificateLength(data, size) == 0);
        return;
    }
    FUZZ_CHECK(parts.certificate == data && parts.certificateLength == cr::CertificateLength(data, size));
    FUZZ_CHECK(parts.certificateLength >= 2 && parts.certificateLength <= size);
    if (parts.friendlyNameLength)
        FUZZ_CHECK(parts.friendlyName == data + parts.certificateLength + 4 &&
                   parts.certificateLength + 4 + parts.friendlyNameLength <= size);
    if (parts.keyProviderLength) {
        FUZZ_CHECK(parts.keyProviderLength >= cr::kKeyProviderHeadSize);
        FUZZ_CHECK(parts.keyProvider == data + parts.certificateLength + 4 + parts.friendlyNameLength);
        FUZZ_CHECK(parts.keyProvider + parts.keyProviderLength == data + size);
    }
    std::vector<uint8_t> rebuilt =
        cr::BuildRecord(parts.certificate, parts.certificateLength, parts.friendlyName, parts.friendlyNameLength,
                        parts.keyProvider, parts.keyProviderLength);
    cr::Parts again;
    FUZZ_CHECK(cr::SplitRecord(rebuilt.data(), rebuilt.size(), again));
    FUZZ_CHECK(again.certificateLength == parts.certificateLength);
    FUZZ_CHECK(again.keyProviderLength == parts.keyProviderLength);
    if (parts.friendlyNameLength) FUZZ_CHECK(again.friendlyNameLength == parts.friendlyNameLength);
}

void CheckKeyProviderBlock(const uint8_t* data, size_t size) {
    std::vector<uint8_t> block(data, data + size);
    if (!cr::IsValidKeyProviderBlock(block.data(), block.size())) {
        FUZZ_CHECK(!cr::OffsetsToPointers(block.data(), block.size(), 0x10000));
        return;
    }
    const uint64_t base = 0x7FF000000000ull;
    FUZZ_CHECK(cr::OffsetsToPointers(block.data(), block.size(), base));
    for (size_t field : {cr::kContainerNameField, cr::kProviderNameField}) {
        uint64_t offset = ReadLe64(data + field);
        FUZZ_CHECK(ReadLe64(block.data() + field) == (offset ? base + offset : 0));
    }
    // The parameters are either dropped whole or kept with every entry's data inside the block.
    const uint64_t array = ReadLe64(block.data() + cr::kParameterArrayField);
    const uint32_t count = static_cast<uint32_t>(ReadLe64(block.data() + cr::kParameterCountField) & 0xFFFFFFFFu);
    const bool kept = array != 0;
    if (kept) {
        FUZZ_CHECK(array == base + ReadLe64(data + cr::kParameterArrayField));
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* entry = block.data() + (array - base) + i * cr::kParameterEntrySize;
            uint64_t pointer = ReadLe64(entry + cr::kParameterDataField);
            uint64_t length = ReadLe64(entry + cr::kParameterSizeField) & 0xFFFFFFFFu;
            if (pointer) FUZZ_CHECK(pointer >= base && pointer - base + length <= size);
        }
    } else {
        FUZZ_CHECK(count == 0);
    }
    // Back to offsets: every pointer made from a valid offset lies inside the block.
    FUZZ_CHECK(cr::PointersToOffsets(block.data(), block.size(), base));
    for (size_t field : {cr::kContainerNameField, cr::kProviderNameField})
        FUZZ_CHECK(ReadLe64(block.data() + field) == ReadLe64(data + field));
    if (kept) FUZZ_CHECK(ReadLe64(block.data() + cr::kParameterArrayField) == ReadLe64(data + cr::kParameterArrayField));
    FUZZ_CHECK(cr::IsValidKeyProviderBlock(block.data(), block.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckRecord(data, size);
    CheckKeyProviderBlock(data, size);
    return 0;
}
