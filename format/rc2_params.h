// RC2-CBC-Parameter ::= SEQUENCE { rc2ParameterVersion INTEGER, iv OCTET STRING (8) } (RFC 2268),
// encoded and decoded here because the platform encoder cannot handle it on every system.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace rc2 {

// DER of the parameters; iv may be null (the IV is then left out).
std::vector<uint8_t> EncodeParameters(uint32_t version, const uint8_t* iv, size_t ivLength);

struct Parameters {
    uint32_t version = 0;
    bool hasIv = false;
    uint8_t iv[8] = {};
};

// Accepts the SEQUENCE with a version and an optional 8-byte IV; the whole input must be used.
bool DecodeParameters(const uint8_t* data, size_t size, Parameters& out);

}  // namespace rc2
