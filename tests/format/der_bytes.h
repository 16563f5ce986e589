// Building DER fixtures in tests: lengths come from the encoder, never written by hand.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "format/der.h"

namespace test_der {

using Bytes = std::vector<uint8_t>;

inline Bytes Tlv(uint8_t tag, const Bytes& content) {
    Bytes out;
    der::AppendElement(out, tag, content);
    return out;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace test_der
