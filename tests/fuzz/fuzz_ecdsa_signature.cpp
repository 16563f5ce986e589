// ECDSA-Sig-Value to raw r || s: the first byte picks the half width; what converts is exactly
// twice that wide, and each half is non-zero.
#include <algorithm>
#include <vector>

#include "format/ecdsa_signature.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t half = 1 + data[0] % 66;
    std::vector<uint8_t> raw;
    if (!ecdsa_signature::ToRaw(data + 1, size - 1, half, raw)) return 0;
    FUZZ_CHECK(raw.size() == 2 * half);
    auto nonZero = [](uint8_t b) { return b != 0; };
    FUZZ_CHECK(std::any_of(raw.begin(), raw.begin() + half, nonZero) && std::any_of(raw.begin() + half, raw.end(), nonZero));
    return 0;
}
