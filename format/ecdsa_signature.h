// ECDSA-Sig-Value ::= SEQUENCE { r INTEGER, s INTEGER } as CMS carries it, turned into the
// fixed-width big-endian r || s the platform's verifier takes.
// No platform types here: this file builds natively for fast tests and fuzzing.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ecdsa_signature {

// Bytes per half for the curves the system verifies.
constexpr size_t kP256Half = 32;
constexpr size_t kP384Half = 48;

// r and s, each left-padded with zeros to halfSize bytes. False for anything but exactly one
// SEQUENCE of two positive INTEGERs, or a value wider than halfSize.
bool ToRaw(const uint8_t* data, size_t size, size_t halfSize, std::vector<uint8_t>& raw);

}  // namespace ecdsa_signature
