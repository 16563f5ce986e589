#include "format/ecdsa_signature.h"

#include <algorithm>

#include "format/der.h"

namespace ecdsa_signature {

namespace {

// One INTEGER into its place: leading zero bytes go, a value of zero or below is refused.
bool PlaceInteger(der::Reader& sequence, size_t halfSize, uint8_t* out) {
    der::Reader value;
    if (!sequence.ReadElement(der::kInteger, value) || value.empty() || (value.data()[0] & 0x80)) return false;
    const uint8_t* begin = value.data();
    const uint8_t* end = begin + value.size();
    begin = std::find_if(begin, end, [](uint8_t b) { return b != 0; });
    size_t length = static_cast<size_t>(end - begin);
    if (length == 0 || length > halfSize) return false;
    std::copy(begin, end, out + (halfSize - length));
    return true;
}

}  // namespace

bool ToRaw(const uint8_t* data, size_t size, size_t halfSize, std::vector<uint8_t>& raw) {
    der::Reader input(data, size), sequence;
    if (halfSize == 0 || !input.ReadElement(der::kSequence, sequence) || !input.empty()) return false;
    std::vector<uint8_t> result(2 * halfSize, 0);
    if (!PlaceInteger(sequence, halfSize, result.data()) || !PlaceInteger(sequence, halfSize, result.data() + halfSize) ||
        !sequence.empty())
        return false;
    raw.swap(result);
    return true;
}

}  // namespace ecdsa_signature
