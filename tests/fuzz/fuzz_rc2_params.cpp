// RC2-CBC parameters: whatever decodes re-encodes to parameters that decode the same.
#include <cstring>
#include <vector>

#include "format/rc2_params.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    rc2::Parameters parsed;
    if (!rc2::DecodeParameters(data, size, parsed)) return 0;
    std::vector<uint8_t> encoded = rc2::EncodeParameters(parsed.version, parsed.hasIv ? parsed.iv : nullptr, 8);
    FUZZ_CHECK(encoded.size() <= size);  // the encoder writes the shortest form
    rc2::Parameters again;
    FUZZ_CHECK(rc2::DecodeParameters(encoded.data(), encoded.size(), again));
    FUZZ_CHECK(again.version == parsed.version && again.hasIv == parsed.hasIv);
    FUZZ_CHECK(std::memcmp(again.iv, parsed.iv, sizeof parsed.iv) == 0);
    return 0;
}
