// The length rule (buffer and byte-source forms) and der::Reader over arbitrary bytes.
#include <algorithm>

#include "tests/fuzz/fuzz_check.h"

namespace {

void CheckLength(const uint8_t* data, size_t size) {
    der::ParsedLength parsed = der::ParseDerLength(data, size);
    FUZZ_CHECK(parsed.used <= size && parsed.used <= 1 + der::kMaxLengthBytes);
    FUZZ_CHECK(size == 0 || parsed.used >= 1);
    if (parsed.open) FUZZ_CHECK(data[0] == 0x80 && parsed.used == 1 && parsed.value == 0);
    // A long form takes exactly the byte count its first byte states.
    if (parsed.used > 1) FUZZ_CHECK(data[0] == 0x80 + parsed.used - 1);
    if (parsed.used == 1 && !parsed.open && data[0] < 0x80) FUZZ_CHECK(parsed.value == data[0]);

    // Both forms of the rule agree whenever the bytes are all there.
    size_t position = 0;
    der::ParsedLength streamed = der::ReadDerLength([&](uint8_t& b) {
        if (position >= size) return false;
        b = data[position++];
        return true;
    });
    FUZZ_CHECK(streamed.used == position);
    const uint32_t stated = size > 0 && data[0] > 0x80 ? data[0] & 0x7F : 0;
    if (stated == 0 || stated > der::kMaxLengthBytes || size > stated)
        FUZZ_CHECK(streamed.used == parsed.used && streamed.value == parsed.value && streamed.open == parsed.open);

    // Re-encoding a minimal length gives the same bytes.
    if (size > 0 && !parsed.open && (parsed.used > 1 || data[0] < 0x80)) {
        uint8_t encoded[1 + der::kMaxLengthBytes];
        uint32_t n = der::WriteLength(encoded, parsed.value);
        FUZZ_CHECK(n == der::LengthSize(parsed.value));
        if (n == parsed.used) FUZZ_CHECK(std::equal(encoded, encoded + n, data));
        der::ParsedLength again = der::ParseDerLength(encoded, n);
        FUZZ_CHECK(again.used == n && again.value == parsed.value);
    }
}

// Walks the elements, descending into constructed ones, and checks each against its input.
void Walk(der::Reader input, int depth) {
    const uint8_t* start = input.data();
    const size_t size = input.size();
    while (!input.empty()) {
        uint8_t tag = 0;
        der::Reader content, whole;
        const size_t before = input.size();
        if (!input.ReadAnyElement(tag, content, &whole)) {
            FUZZ_CHECK(input.size() == before);  // a failed read does not advance
            return;
        }
        FUZZ_CHECK(fuzz::Inside(whole, start, size) && fuzz::Inside(content, whole.data(), whole.size()));
        FUZZ_CHECK(whole.data()[0] == tag && before - input.size() == whole.size());
        FUZZ_CHECK(content.data() + content.size() == whole.data() + whole.size());
        FUZZ_CHECK(whole.size() == 1 + der::ParseDerLength(whole.data() + 1, whole.size() - 1).used + content.size());

        // The tagged reads agree with the untagged one.
        der::Reader again(whole.data(), whole.size()), tagged;
        bool present = false;
        FUZZ_CHECK(again.ReadOptionalElement(tag, tagged, present) && present);
        FUZZ_CHECK(again.empty() && tagged.data() == content.data() && tagged.size() == content.size());

        if (tag == der::kInteger) {
            der::Reader integer(whole.data(), whole.size());
            uint32_t value = 0;
            if (integer.ReadSmallInteger(value)) {
                FUZZ_CHECK(content.size() >= 1 && content.size() <= 5 && !(content.data()[0] & 0x80));
                FUZZ_CHECK(integer.empty());
            }
        }
        if ((tag & 0x20) && depth < 16) Walk(content, depth + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckLength(data, size);
    Walk(der::Reader(data, size), 0);
    return 0;
}
