// The streamed OID element reader and the OID text conversions of the algorithm table.
#include <algorithm>
#include <string>
#include <vector>

#include "format/algorithms.h"
#include "format/ber_stream.h"
#include "format/oid_element.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

void CheckElementReader(const uint8_t* data, size_t size) {
    size_t position = 0;
    auto next = [&](uint8_t& b) {
        if (position >= size) return false;
        b = data[position++];
        return true;
    };
    std::vector<uint8_t> value;
    uint32_t consumed = 0;
    bool read = der::ReadOidElement(next, value, consumed);
    FUZZ_CHECK(consumed == position && consumed <= size);
    if (!read) {
        FUZZ_CHECK(value.empty());
        return;
    }
    FUZZ_CHECK(data[0] == der::kOid && data[1] == value.size() && !value.empty() && value.size() < 0x80);
    FUZZ_CHECK(consumed == 2 + value.size() && std::equal(value.begin(), value.end(), data + 2));
    // The buffered reader takes the same element.
    der::Reader reader(data, size), content;
    FUZZ_CHECK(reader.ReadElement(der::kOid, content) && content.size() == value.size());
}

// Dotted text and back gives the same value bytes whenever the text is accepted.
void CheckDottedText(const uint8_t* data, size_t size) {
    std::string dotted = alg::OidToDottedString(data, size);
    if (dotted.empty()) return;
    FUZZ_CHECK(size > 0 && !(data[size - 1] & 0x80));
    std::vector<uint8_t> bytes;
    if (!ber::DottedOidToBytes(dotted.c_str(), bytes)) return;
    // Leading 0x80 groups are a longer spelling of the same arc; the minimal form comes back.
    bool minimal = !(data[0] == 0x80);
    for (size_t i = 1; i < size; ++i)
        if (data[i] == 0x80 && !(data[i - 1] & 0x80)) minimal = false;
    if (minimal) FUZZ_CHECK(bytes.size() == size && std::equal(bytes.begin(), bytes.end(), data));
    FUZZ_CHECK(alg::OidToDottedString(bytes.data(), bytes.size()) == dotted);
}

void CheckLookups(const uint8_t* data, size_t size) {
    uint32_t algId = alg::AlgorithmFromOid(data, size);
    if (algId != 0) FUZZ_CHECK(size == 9 || size == 8 || size == 5);
    uint32_t digest = alg::DigestAlgorithmFromOid(data, size);
    FUZZ_CHECK(digest == alg::kSha1 || digest == alg::kMd5 || digest == alg::kMd4 || digest == alg::kMd2 ||
               digest == alg::kSha256 || digest == alg::kSha384 || digest == alg::kSha512);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckElementReader(data, size);
    CheckDottedText(data, size);
    CheckLookups(data, size);
    return 0;
}
