#include "format/envelope_rules.h"

#include <cstring>

#include "format/algorithms.h"
#include "format/rc2_params.h"

namespace envelope_rules {

Verdict CheckLength(const der::ParsedLength& length, LengthRule rule, uint64_t bytesToEnd) {
    // Tag and length bytes first, so a length near 2^64 cannot wrap the sum past the end.
    const uint64_t head = uint64_t{1} + length.used;
    const bool fits = head <= bytesToEnd && length.value <= bytesToEnd - head;
    const bool longZero = length.value == 0 && length.used > 1;
    switch (rule) {
    case LengthRule::kAny:
        return Verdict::kOk;
    case LengthRule::kEndsAtEnd:
        return length.open || (fits && head + length.value == bytesToEnd) ? Verdict::kOk : Verdict::kBadEncode;
    case LengthRule::kInsideEnd:
        return fits ? Verdict::kOk : Verdict::kBadEncode;
    case LengthRule::kAtLeastOne:
        return length.value != 0 ? Verdict::kOk : Verdict::kUnexpected;
    case LengthRule::kDefinite:
        return length.open ? Verdict::kUnexpected : Verdict::kOk;
    case LengthRule::kZeroOnlyShort:
        return longZero ? Verdict::kUnexpected : Verdict::kOk;
    case LengthRule::kContentLength:
        return longZero ? Verdict::kBadEncode : Verdict::kOk;
    }
    return Verdict::kUnexpected;
}

ContentParameters ReadContentParameters(uint32_t algId, const uint8_t* data, size_t size) {
    ContentParameters out;
    if (algId == alg::kRc2) {
        rc2::Parameters parameters;
        if (rc2::DecodeParameters(data, size, parameters)) {
            out.rc2Bits = alg::Rc2BitsForVersion(parameters.version);
            if (parameters.hasIv) out.iv.assign(parameters.iv, parameters.iv + sizeof parameters.iv);
        }
        return out;
    }
    der::Reader reader(data, size), octets;
    bool present = false;
    if (reader.ReadOptionalElement(der::kOctetString, octets, present) && present)
        out.iv.assign(octets.data(), octets.data() + octets.size());
    return out;
}

uint8_t NestedContentType(const uint8_t* block, size_t length, uint64_t contentLength) {
    static const uint8_t kOidStart[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07};
    if (length < 2 || block[0] != der::kSequence) return kPlainContent;
    const der::ParsedLength parsed = der::ParseDerLength(block + 1, length - 1);
    const size_t o = parsed.used;
    // The OID and the content type byte after it must lie inside the block.
    if (o == 0 || o + 12 >= length) return kPlainContent;
    if (!parsed.open && (parsed.value <= 11 || o + 1 > contentLength || parsed.value > contentLength - o - 1))
        return kPlainContent;
    if (std::memcmp(block + 1 + o, kOidStart, sizeof kOidStart) != 0) return kPlainContent;
    return block[1 + o + sizeof kOidStart];
}

}  // namespace envelope_rules
