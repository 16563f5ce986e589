// PKCS#8 PrivateKeyInfo holding an RSA key, and the key's PRIVATEKEYBLOB form for CryptImportKey.
// No platform types here: this file builds natively for fast tests and fuzzing.
#pragma once
#include <cstdint>
#include <vector>

#include "format/der.h"

namespace pkcs8 {

// The RSAPrivateKey integers as big-endian magnitudes without leading zero bytes: views into the
// parsed input.
struct RsaPrivateKey {
    der::Reader modulus, publicExponent, privateExponent;
    der::Reader prime1, prime2, exponent1, exponent2, coefficient;
};

// Whether a PrivateKeyInfo names a key algorithm other than rsaEncryption (EC, DSA, EdDSA, ...);
// false for an RSA key and for bytes that are not a PrivateKeyInfo at all.
bool IsOtherThanRsa(der::Reader info);

// A PrivateKeyInfo (whole, tag 30 included) with an rsaEncryption two-prime key; false otherwise.
bool ParsePrivateKeyInfo(der::Reader info, RsaPrivateKey& key);

// Whether an RSAPublicKey (a certificate's subjectPublicKey bits) has the key's modulus and
// public exponent.
bool MatchesPublicKey(const RsaPrivateKey& key, der::Reader rsaPublicKey);

// Size of the PRIVATEKEYBLOB for a modulus of bitLength bits.
size_t PrivateKeyBlobSize(uint32_t bitLength);

// The key as a PRIVATEKEYBLOB for the key-exchange slot: BLOBHEADER, RSAPUBKEY "RSA2", then
// modulus, prime1, prime2, exponent1, exponent2, coefficient and privateExponent little-endian,
// each zero-padded to its full width (bitlen/8 for modulus and private exponent, bitlen/16 for
// the rest). False when a part does not fit its width (an unbalanced key) or the public exponent
// exceeds 32 bits. The blob holds the secret key: the caller wipes it.
bool BuildPrivateKeyBlob(const RsaPrivateKey& key, std::vector<uint8_t>& blob);

}  // namespace pkcs8
