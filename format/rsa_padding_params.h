// Parameters of the RSA paddings today's peers use: RSAES-OAEP-params for key transport and
// RSASSA-PSS-params for signatures (RFC 4055, RFC 8017), each with its defaults filled in.
// No platform types here: this file builds natively for fast tests and fuzzing.
#pragma once
#include <cstddef>
#include <cstdint>

namespace rsa_padding {

enum class Status {
    kOk,
    kMalformed,    // the bytes are not these parameters
    kUnsupported,  // well formed, but a hash, mask function, label or trailer this system cannot use
};

// Hash of an AlgorithmIdentifier { OID, NULL or nothing } as an ALG_ID (alg::kSha1, kSha256,
// kSha384, kSha512); 0 for another OID. False when the bytes (the whole element) are malformed.
bool ReadHashAlgorithm(const uint8_t* data, size_t size, uint32_t& algId);

struct OaepParameters {
    uint32_t hash = 0;     // ALG_ID; SHA-1 by default
    uint32_t mgf1Hash = 0; // the hash inside MGF1; SHA-1 by default
};

// The parameters after id-RSAES-OAEP in an AlgorithmIdentifier: nothing (all defaults) or the
// SEQUENCE { [0] hash, [1] MGF1, [2] pSpecified with an empty label }. The whole input must be used.
Status ReadOaepParameters(const uint8_t* data, size_t size, OaepParameters& out);

struct PssParameters {
    uint32_t hash = 0;       // ALG_ID; SHA-1 by default
    uint32_t mgf1Hash = 0;   // SHA-1 by default
    uint32_t saltLength = 0; // 20 by default
};

// The parameters after id-RSASSA-PSS: SEQUENCE { [0] hash, [1] MGF1, [2] salt length, [3] trailer
// field }; the trailer field must be 1. Unlike OAEP, the parameters may not be left out.
Status ReadPssParameters(const uint8_t* data, size_t size, PssParameters& out);

}  // namespace rsa_padding
