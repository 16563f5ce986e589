// The reading rules of an envelope streamed from a file: what a length must satisfy where it
// stands, the parameters of the content-encryption algorithm, and the signed message that may
// open the plaintext. Both readers (the shared library's and the self-decoding program's) apply
// them. No platform types here: this file builds natively for fast tests and fuzzing.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/der.h"

namespace envelope_rules {

// What a length read from the file must satisfy; the open form (80) has the value 0.
enum class LengthRule : uint8_t {
    kAny,
    kEndsAtEnd,      // tag, length bytes and length reach exactly the end; the open form passes
    kInsideEnd,      // they reach no further than the end; the open form passes
    kAtLeastOne,     // at least 1 (so never the open form)
    kDefinite,       // anything but the open form
    kZeroOnlyShort,  // 0 only in the one-byte form (00 or 80), else an unexpected encoding
    kContentLength,  // 0 only in the one-byte form, else a bad encoding
};

enum class Verdict : uint8_t {
    kOk,
    kUnexpected,  // the element is not what stands here
    kBadEncode,   // its length does not fit the file
};

// bytesToEnd counts from the element's tag byte to the end of what is read.
Verdict CheckLength(const der::ParsedLength& length, LengthRule rule, uint64_t bytesToEnd);

// The parameters after the content-encryption OID: RC2-CBC-Parameter for RC2 (effective key bits
// from its version, and its IV), else an OCTET STRING with the IV (the salt for RC4). NULL or
// anything unreadable gives neither, and is no fault.
struct ContentParameters {
    uint32_t rc2Bits = 0;
    std::vector<uint8_t> iv;
};
ContentParameters ReadContentParameters(uint32_t algId, const uint8_t* data, size_t size);

// A ContentInfo at the start of the plaintext, 30 L 06 09 1.2.840.113549.1.7 x: gives x, else
// kPlainContent. A definite outer length must be larger than the OID and fit in contentLength;
// the open form (streamed signing) is taken as well.
constexpr uint8_t kPlainContent = 255;
uint8_t NestedContentType(const uint8_t* block, size_t length, uint64_t contentLength);

}  // namespace envelope_rules
