// The arithmetic of Galois/Counter Mode (NIST SP 800-38D) that sits around the block cipher:
// GHASH over GF(2^128), the counter blocks of a 96-bit IV, and the tag comparison. The block
// cipher itself stays with the platform; this is the one piece of cipher arithmetic the system
// does itself, because the platform's chained GCM calls cannot be trusted everywhere.
// No platform types here: this file builds natively for fast tests and fuzzing.
#pragma once
#include <cstddef>
#include <cstdint>

namespace gcm {

constexpr size_t kBlock = 16;
constexpr size_t kIvSize = 12;
// At most 2^32 - 2 blocks of text under one IV (the 32-bit counter must not wrap).
constexpr uint64_t kMaxTextBytes = (0xFFFFFFFFull - 1) * kBlock;

// A field element, the 128 bits as two big-endian halves.
struct Element {
    uint64_t hi = 0, lo = 0;
};
Element Load(const uint8_t block[kBlock]);
void Store(const Element& x, uint8_t block[kBlock]);
Element Multiply(const Element& x, const Element& y);  // in GF(2^128) with GCM's bit order
Element Power(const Element& h, uint64_t exponent);    // h^exponent, h^0 being the unit

// GHASH under a hash key H = E(K, 0^128), fed in pieces of any size. Text is taken as the
// ciphertext of the message; the additional authenticated data may arrive after it (an
// AuthEnvelopedData carries its attributes behind the content): GHASH is linear, so the text's
// share is computed alone and the data's share is multiplied in at the end by H^n.
//
// Two ways to multiply, the same bytes either way: the processor's carry-less multiply (x86
// PCLMULQDQ, four blocks per reduction with H^1..H^4) where it has one, else Shoup's 8-bit tables.
class Authenticator {
public:
    enum class Method { kAuto, kTables, kCarryless };
    // kAuto takes the carry-less multiply when the processor has it; kCarryless without it
    // falls back to the tables (see UsedMethod).
    explicit Authenticator(const uint8_t hashKey[kBlock], Method method = Method::kAuto);
    static bool CarrylessAvailable();
    Method UsedMethod() const { return carryless_ ? Method::kCarryless : Method::kTables; }

    void AbsorbText(const uint8_t* data, size_t size);
    uint64_t TextBytes() const { return textBytes_; }
    // S = GHASH(A || C || lengths), without the final encryption of J0.
    void Finish(const uint8_t* aad, size_t aadSize, uint8_t s[kBlock]);

private:
    void AbsorbBlocks(Element& state, const uint8_t* blocks, size_t count) const;
    Element Mul(const Element& x) const;

    Element h_;
    bool carryless_ = false;
    Element powers_[4];     // H^4, H^3, H^2, H: the factors of four blocks absorbed at once
    Element table_[256];    // H times every byte value, for the byte-wise multiply
    uint64_t reduce_[256];  // the reduction of each byte shifted out
    Element state_;
    uint8_t partial_[kBlock] = {};
    size_t partialSize_ = 0;
    uint64_t textBytes_ = 0;
};

// J0 for a 96-bit IV: IV || 00 00 00 01. The block for text block i (from 0) is J0 with its low
// 32 bits increased by i + 1, modulo 2^32.
void InitialCounter(const uint8_t iv[kIvSize], uint8_t j0[kBlock]);
void CounterBlocks(const uint8_t j0[kBlock], uint64_t firstIndex, size_t count, uint8_t* out);
// out = a xor b over size bytes (the key stream over the text, S over E(K, J0)); out may be a or b.
void XorBytes(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t size);

// Tag = S xor E(K, J0), compared over its first size bytes without an early exit.
bool TagsEqual(const uint8_t* a, const uint8_t* b, size_t size);

}  // namespace gcm
