#include "format/gcm.h"

#include <cstring>

// The carry-less multiply is x86's PCLMULQDQ, compiled for these functions alone and used only
// when the processor reports it; every other build and processor takes the tables.
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define GCM_CARRYLESS 1
#include <cpuid.h>
#include <immintrin.h>
#if defined(__i386__)
// 32-bit Windows code may be entered with a stack aligned to 4 bytes only; SSE locals need 16.
#define CARRYLESS_TARGET __attribute__((target("pclmul,sse4.1"), force_align_arg_pointer))
#else
#define CARRYLESS_TARGET __attribute__((target("pclmul,sse4.1")))
#endif
#else
#define GCM_CARRYLESS 0
#endif

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

#if GCM_CARRYLESS
// In a vector register an element sits bit-reflected: the block's bytes reversed, so that x^0 is
// the top bit. Lane 1 holds Element::hi, lane 0 Element::lo.
CARRYLESS_TARGET inline __m128i LoadReversed(const uint8_t* block) {
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block)), reverse);
}

CARRYLESS_TARGET inline __m128i ToVector(const Element& x) {
    return _mm_set_epi64x(static_cast<long long>(x.hi), static_cast<long long>(x.lo));
}

CARRYLESS_TARGET inline Element FromVector(__m128i v) {
    uint64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), v);
    return {lanes[1], lanes[0]};
}

// Adds the 256-bit carry-less product a * b into (lo, hi), not yet reduced: the products of four
// blocks share one reduction.
CARRYLESS_TARGET inline void MultiplyAdd(__m128i a, __m128i b, __m128i& lo, __m128i& hi) {
    __m128i middle = _mm_xor_si128(_mm_clmulepi64_si128(a, b, 0x10), _mm_clmulepi64_si128(a, b, 0x01));
    lo = _mm_xor_si128(lo, _mm_xor_si128(_mm_clmulepi64_si128(a, b, 0x00), _mm_slli_si128(middle, 8)));
    hi = _mm_xor_si128(hi, _mm_xor_si128(_mm_clmulepi64_si128(a, b, 0x11), _mm_srli_si128(middle, 8)));
}

// (lo, hi) modulo x^128 + x^7 + x^2 + x + 1, after the shift by one bit that a product of two
// reflected values needs (Gueron and Kounavis, the carry-less multiplication paper's method).
CARRYLESS_TARGET inline __m128i Reduce(__m128i lo, __m128i hi) {
    __m128i loTop = _mm_srli_epi32(lo, 31), hiTop = _mm_srli_epi32(hi, 31);
    lo = _mm_or_si128(_mm_slli_epi32(lo, 1), _mm_slli_si128(loTop, 4));
    hi = _mm_or_si128(_mm_or_si128(_mm_slli_epi32(hi, 1), _mm_slli_si128(hiTop, 4)), _mm_srli_si128(loTop, 12));
    // First phase: the low 32 bits' share, folded by x^63 + x^62 + x^57 in the reflected order.
    __m128i folded = _mm_xor_si128(_mm_xor_si128(_mm_slli_epi32(lo, 31), _mm_slli_epi32(lo, 30)),
                                   _mm_slli_epi32(lo, 25));
    __m128i spill = _mm_srli_si128(folded, 4);
    lo = _mm_xor_si128(lo, _mm_slli_si128(folded, 12));
    // Second phase: the rest of the low half, by x^1 + x^2 + x^7 again reflected.
    __m128i rest = _mm_xor_si128(_mm_xor_si128(_mm_srli_epi32(lo, 1), _mm_srli_epi32(lo, 2)), _mm_srli_epi32(lo, 7));
    lo = _mm_xor_si128(lo, _mm_xor_si128(rest, spill));
    return _mm_xor_si128(hi, lo);
}

// state = (...((state ^ B1) * H ^ B2) * H ...) * H over count blocks, four at a time as
// (state ^ B1) * H^4 ^ B2 * H^3 ^ B3 * H^2 ^ B4 * H.
CARRYLESS_TARGET void AbsorbCarryless(Element& state, const Element powers[4], const uint8_t* data, size_t count) {
    const __m128i h4 = ToVector(powers[0]), h3 = ToVector(powers[1]), h2 = ToVector(powers[2]),
                  h1 = ToVector(powers[3]);
    __m128i y = ToVector(state);
    for (; count >= 4; count -= 4, data += 4 * kBlock) {
        __m128i lo = _mm_setzero_si128(), hi = _mm_setzero_si128();
        MultiplyAdd(_mm_xor_si128(y, LoadReversed(data)), h4, lo, hi);
        MultiplyAdd(LoadReversed(data + kBlock), h3, lo, hi);
        MultiplyAdd(LoadReversed(data + 2 * kBlock), h2, lo, hi);
        MultiplyAdd(LoadReversed(data + 3 * kBlock), h1, lo, hi);
        y = Reduce(lo, hi);
    }
    for (; count; --count, data += kBlock) {
        __m128i lo = _mm_setzero_si128(), hi = _mm_setzero_si128();
        MultiplyAdd(_mm_xor_si128(y, LoadReversed(data)), h1, lo, hi);
        y = Reduce(lo, hi);
    }
    state = FromVector(y);
}
#endif

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

bool Authenticator::CarrylessAvailable() {
#if GCM_CARRYLESS
    // CPUID leaf 1, ECX: PCLMULQDQ (bit 1), SSSE3 (bit 9) for the byte shuffle, SSE4.1 (bit 19).
    static const bool available = [] {
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        const unsigned needed = (1u << 1) | (1u << 9) | (1u << 19);
        return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & needed) == needed;
    }();
    return available;
#else
    return false;
#endif
}

Authenticator::Authenticator(const uint8_t hashKey[kBlock], Method method)
    : h_(Load(hashKey)), carryless_(method != Method::kTables && CarrylessAvailable()) {
    powers_[3] = h_;
    for (int i = 2; i >= 0; --i) powers_[i] = Multiply(powers_[i + 1], h_);
    if (carryless_) return;
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

void Authenticator::AbsorbBlocks(Element& state, const uint8_t* blocks, size_t count) const {
#if GCM_CARRYLESS
    if (carryless_) return AbsorbCarryless(state, powers_, blocks, count);
#endif
    for (; count; --count, blocks += kBlock) {
        Xor(state, Load(blocks));
        state = Mul(state);
    }
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
        AbsorbBlocks(state_, partial_, 1);
        partialSize_ = 0;
    }
    size_t whole = size / kBlock;
    AbsorbBlocks(state_, data, whole);
    std::memcpy(partial_, data + whole * kBlock, size % kBlock);
    partialSize_ = size % kBlock;
}

void Authenticator::Finish(const uint8_t* aad, size_t aadSize, uint8_t s[kBlock]) {
    uint8_t block[kBlock] = {};
    if (partialSize_) {
        std::memcpy(block, partial_, partialSize_);
        AbsorbBlocks(state_, block, 1);
        partialSize_ = 0;
    }
    Element aadState;
    size_t aadWhole = aadSize / kBlock;
    AbsorbBlocks(aadState, aad, aadWhole);
    if (aadSize % kBlock) {
        std::memset(block, 0, kBlock);
        std::memcpy(block, aad + aadWhole * kBlock, aadSize % kBlock);
        AbsorbBlocks(aadState, block, 1);
    }
    // The data came first in GHASH: its state has since been multiplied by H once per text block.
    if (aadSize) Xor(state_, Multiply(aadState, Power(h_, (textBytes_ + kBlock - 1) / kBlock)));
    Store(Element{static_cast<uint64_t>(aadSize) * 8, textBytes_ * 8}, block);
    AbsorbBlocks(state_, block, 1);
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

void XorBytes(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t size) {
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        x ^= y;
        std::memcpy(out + i, &x, 8);
    }
    for (; i < size; ++i) out[i] = a[i] ^ b[i];
}

}  // namespace gcm
