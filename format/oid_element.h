// The OID element reader used on the streamed packed file: 06, a short-form length, the value.
// No platform types here: this file builds natively as well.
#pragma once
#include <cstdint>
#include <vector>

namespace der {

// Reads one OID element from a byte source (next(uint8_t&) returns false at its end). The tag must
// be 06, else only that byte is consumed; the length must be in the short form (0..127). Returns
// true with the value bytes when a non-empty value was read whole; consumed counts every byte taken.
template <typename NextByte>
bool ReadOidElement(NextByte&& next, std::vector<uint8_t>& value, uint32_t& consumed) {
    value.clear();
    consumed = 0;
    uint8_t tag = 0;
    if (!next(tag)) return false;
    ++consumed;
    if (tag != 0x06) return false;
    uint8_t length = 0;
    if (!next(length)) return false;
    ++consumed;
    if (length == 0 || length >= 0x80) return false;
    value.resize(length);
    for (uint8_t i = 0; i < length; ++i) {
        if (!next(value[i])) {
            value.clear();
            return false;
        }
        ++consumed;
    }
    return true;
}

}  // namespace der
