// OAEP and PSS parameters: the first byte picks which; what reads gives known hashes only.
#include "format/algorithms.h"
#include "format/rsa_padding_params.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

bool KnownHash(uint32_t algId) {
    return algId == alg::kSha1 || algId == alg::kSha256 || algId == alg::kSha384 || algId == alg::kSha512;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool pss = data[0] & 1;
    ++data, --size;
    if (pss) {
        rsa_padding::PssParameters params;
        if (rsa_padding::ReadPssParameters(data, size, params) == rsa_padding::Status::kOk)
            FUZZ_CHECK(KnownHash(params.hash) && KnownHash(params.mgf1Hash));
    } else {
        rsa_padding::OaepParameters params;
        if (rsa_padding::ReadOaepParameters(data, size, params) == rsa_padding::Status::kOk)
            FUZZ_CHECK(KnownHash(params.hash) && KnownHash(params.mgf1Hash));
        uint32_t hash = 0;
        rsa_padding::ReadHashAlgorithm(data, size, hash);
        FUZZ_CHECK(hash == 0 || KnownHash(hash));
    }
    return 0;
}
