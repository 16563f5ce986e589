#include "format/rc2_params.h"

#include <cstring>

#include "format/der.h"

namespace rc2 {

std::vector<uint8_t> EncodeParameters(uint32_t version, const uint8_t* iv, size_t ivLength) {
    std::vector<uint8_t> content;
    // INTEGER content: minimal big-endian bytes, with a leading zero when the top bit is set.
    uint8_t be[5];
    size_t n = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        uint8_t b = static_cast<uint8_t>(version >> shift);
        if (n == 0 && b == 0 && shift != 0) continue;
        if (n == 0 && (b & 0x80)) be[n++] = 0;
        be[n++] = b;
    }
    der::AppendElement(content, der::kInteger, be, n);
    if (iv && ivLength) der::AppendElement(content, der::kOctetString, iv, ivLength);
    std::vector<uint8_t> out;
    der::AppendElement(out, der::kSequence, content);
    return out;
}

bool DecodeParameters(const uint8_t* data, size_t size, Parameters& out) {
    der::Reader input(data, size), sequence;
    if (!input.ReadElement(der::kSequence, sequence) || !input.empty()) return false;
    Parameters result;
    if (!sequence.ReadSmallInteger(result.version)) return false;
    if (!sequence.empty()) {
        der::Reader iv;
        if (!sequence.ReadElement(der::kOctetString, iv) || iv.size() != 8 || !sequence.empty()) return false;
        std::memcpy(result.iv, iv.data(), 8);
        result.hasIv = true;
    }
    out = result;
    return true;
}

}  // namespace rc2
