#include "format/gcm.h"

#include <cstring>

namespace gcm {

namespace {

// x * X in GCM's reflected bit order: a right shift, reducing by R = 11100001 || 0^120.
Element Halve(const Element& v) {
    uint64_t carry = 0 - (v.lo & 1);
    return {(v.hi >> 1) ^ (0xE100000000000000ull & carry), (v.hi << 63) | (v.lo >> 1)};
}

void Xor(Element& a, const Element& b) {
    a.hi ^= b.hi;
    a.lo ^= b.lo;
}

}  // namespace

Element Load(const uint8_t block[kBlock]) {
    Element x;
    for (int i = 0; i < 8; ++i) {
        x.hi = (x.hi << 8) | block[i];
        x.lo = (x.lo << 8) | block[8 + i];
    }
    return x;
}

void Store(const Element& x, uint8_t block[kBlock]) {
    for (int i = 0; i < 8; ++i) {
        block[i] = static_cast<uint8_t>(x.hi >> (56 - 8 * i));
        block[8 + i] = static_cast<uint8_t>(x.lo >> (56 - 8 * i));
    }
}

// The bit-by-bit product from the GCM paper; used for the few powers of H, not for text.
Element Multiply(const Element& x, const Element& y) {
    Element z, v = y;
    for (int i = 0; i < 128; ++i) {
        uint64_t bit = i < 64 ? (x.hi >> (63 - i)) & 1 : (x.lo >> (127 - i)) & 1;
        uint64_t mask = 0 - bit;
        z.hi ^= v.hi & mask;
        z.lo ^= v.lo & mask;
        v = Halve(v);
    }
    return z;
}

Element Power(const Element& h, uint64_t exponent) {
    Element result{0x8000000000000000ull, 0};  // the unit: the bit of x^0 comes first
    Element square = h;
    for (; exponent; exponent >>= 1) {
        if (exponent & 1) result = Multiply(result, square);
        square = Multiply(square, square);
    }
    return result;
}

Authenticator::Authenticator(const uint8_t hashKey[kBlock]) : h_(Load(hashKey)) {
    // table_[n] = H times the byte n as a polynomial, its top bit being the lowest power.
    table_[0x80] = h_;
    for (int bit = 0x40; bit; bit >>= 1) table_[bit] = Halve(table_[bit << 1]);
    for (int n = 3; n < 256; ++n) {
        int low = n & -n;
        if (low == n) continue;
        table_[n] = table_[n - low];
        Xor(table_[n], table_[low]);
    }
    // reduce_[b]: what the byte b shifted out of the low end folds back into the high end.
    for (int b = 0; b < 256; ++b) {
        Element v{0, static_cast<uint64_t>(b)};
        for (int i = 0; i < 8; ++i) v = Halve(v);
        reduce_[b] = v.hi;
    }
}

// x * H a byte at a time from the last byte to the first (Shoup's method with 8-bit tables).
Element Authenticator::Mul(const Element& x) const {
    uint8_t bytes[kBlock];
    Store(x, bytes);
    Element z;
    for (int i = kBlock - 1; i >= 0; --i) {
        uint64_t shiftedOut = z.lo & 0xFF;
        z.lo = (z.hi << 56) | (z.lo >> 8);
        z.hi = (z.hi >> 8) ^ reduce_[shiftedOut];
        Xor(z, table_[bytes[i]]);
    }
    return z;
}

void Authenticator::AbsorbBlock(Element& state, const uint8_t* block) const {
    Xor(state, Load(block));
    state = Mul(state);
}

void Authenticator::AbsorbText(const uint8_t* data, size_t size) {
    textBytes_ += size;
    if (partialSize_) {
        size_t take = size < kBlock - partialSize_ ? size : kBlock - partialSize_;
        std::memcpy(partial_ + partialSize_, data, take);
        partialSize_ += take;
        data += take;
        size -= take;
        if (partialSize_ < kBlock) return;
        AbsorbBlock(state_, partial_);
        partialSize_ = 0;
    }
    for (; size >= kBlock; data += kBlock, size -= kBlock) AbsorbBlock(state_, data);
    std::memcpy(partial_, data, size);
    partialSize_ = size;
}

void Authenticator::Finish(const uint8_t* aad, size_t aadSize, uint8_t s[kBlock]) {
    uint8_t block[kBlock] = {};
    if (partialSize_) {
        std::memcpy(block, partial_, partialSize_);
        AbsorbBlock(state_, block);
        partialSize_ = 0;
    }
    Element aadState;
    for (size_t done = 0; done < aadSize; done += kBlock) {
        size_t take = aadSize - done < kBlock ? aadSize - done : kBlock;
        std::memset(block, 0, kBlock);
        std::memcpy(block, aad + done, take);
        AbsorbBlock(aadState, block);
    }
    // The data came first in GHASH: its state has since been multiplied by H once per text block.
    if (aadSize) Xor(state_, Multiply(aadState, Power(h_, (textBytes_ + kBlock - 1) / kBlock)));
    Xor(state_, Element{static_cast<uint64_t>(aadSize) * 8, textBytes_ * 8});
    state_ = Mul(state_);
    Store(state_, s);
}

void InitialCounter(const uint8_t iv[kIvSize], uint8_t j0[kBlock]) {
    std::memcpy(j0, iv, kIvSize);
    j0[12] = j0[13] = j0[14] = 0;
    j0[15] = 1;
}

void CounterBlocks(const uint8_t j0[kBlock], uint64_t firstIndex, size_t count, uint8_t* out) {
    uint32_t base = (uint32_t(j0[12]) << 24) | (uint32_t(j0[13]) << 16) | (uint32_t(j0[14]) << 8) | j0[15];
    uint32_t counter = base + static_cast<uint32_t>(firstIndex) + 1;
    for (size_t i = 0; i < count; ++i, ++counter, out += kBlock) {
        std::memcpy(out, j0, 12);
        out[12] = static_cast<uint8_t>(counter >> 24);
        out[13] = static_cast<uint8_t>(counter >> 16);
        out[14] = static_cast<uint8_t>(counter >> 8);
        out[15] = static_cast<uint8_t>(counter);
    }
}

bool TagsEqual(const uint8_t* a, const uint8_t* b, size_t size) {
    uint8_t difference = 0;
    for (size_t i = 0; i < size; ++i) difference |= a[i] ^ b[i];
    return difference == 0;
}

}  // namespace gcm
