#include "format/pkcs8.h"

#include <cstring>

#include "format/algorithms.h"

namespace pkcs8 {
namespace {

const uint8_t kOidRsaEncryption[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};

constexpr uint8_t kPrivateKeyBlob = 0x07;
constexpr uint8_t kBlobVersion = 0x02;
constexpr uint32_t kRsa2Magic = 0x32415352;  // "RSA2"
constexpr size_t kHeaderSize = 8 + 12;       // BLOBHEADER + RSAPUBKEY

// A non-negative INTEGER as its magnitude: the sign byte and any other leading zeros dropped.
bool ReadUnsigned(der::Reader& in, der::Reader& magnitude) {
    der::Reader content;
    if (!in.ReadElement(der::kInteger, content) || content.empty() || (content.data()[0] & 0x80)) return false;
    while (!content.empty() && content.data()[0] == 0) content.Skip(1);
    magnitude = content;
    return true;
}

bool ReadPositive(der::Reader& in, der::Reader& magnitude) { return ReadUnsigned(in, magnitude) && !magnitude.empty(); }

bool ParseRsaPrivateKey(der::Reader encoded, RsaPrivateKey& key) {
    der::Reader body;
    uint32_t version = 0;
    // Version 1 adds further primes, which the key blob cannot carry.
    return encoded.ReadElement(der::kSequence, body) && encoded.empty() && body.ReadSmallInteger(version) &&
           version == 0 && ReadPositive(body, key.modulus) && ReadPositive(body, key.publicExponent) &&
           ReadPositive(body, key.privateExponent) && ReadPositive(body, key.prime1) &&
           ReadPositive(body, key.prime2) && ReadPositive(body, key.exponent1) && ReadPositive(body, key.exponent2) &&
           ReadPositive(body, key.coefficient) && body.empty();
}

bool SameBytes(const der::Reader& a, const der::Reader& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

void AppendLittleEndian32(uint32_t value, std::vector<uint8_t>& out) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The magnitude reversed into width bytes, zeros filling the high end.
bool AppendPart(const der::Reader& magnitude, size_t width, std::vector<uint8_t>& out) {
    if (magnitude.size() > width) return false;
    for (size_t i = magnitude.size(); i-- > 0;) out.push_back(magnitude.data()[i]);
    out.insert(out.end(), width - magnitude.size(), 0);
    return true;
}

}  // namespace

bool IsOtherThanRsa(der::Reader info) {
    der::Reader body, algorithm, oid;
    uint32_t version = 0;
    if (!info.ReadElement(der::kSequence, body) || !body.ReadSmallInteger(version) ||
        !body.ReadElement(der::kSequence, algorithm) || !algorithm.ReadElement(der::kOid, oid))
        return false;
    return oid.size() != sizeof kOidRsaEncryption || std::memcmp(oid.data(), kOidRsaEncryption, oid.size()) != 0;
}

bool ParsePrivateKeyInfo(der::Reader info, RsaPrivateKey& key) {
    der::Reader body, algorithm, oid, encoded;
    uint32_t version = 0;
    if (!info.ReadElement(der::kSequence, body) || !info.empty() || !body.ReadSmallInteger(version) || version > 1 ||
        !body.ReadElement(der::kSequence, algorithm) || !algorithm.ReadElement(der::kOid, oid) ||
        oid.size() != sizeof kOidRsaEncryption || std::memcmp(oid.data(), kOidRsaEncryption, oid.size()) != 0)
        return false;
    der::Reader null;
    if (!algorithm.empty() && (!algorithm.ReadElement(der::kNull, null) || !null.empty() || !algorithm.empty()))
        return false;
    // Attributes ([0]) and, in version 1, the public key ([1]) may follow; neither is needed.
    return body.ReadElement(der::kOctetString, encoded) && ParseRsaPrivateKey(encoded, key);
}

bool MatchesPublicKey(const RsaPrivateKey& key, der::Reader rsaPublicKey) {
    der::Reader body, modulus, exponent;
    return rsaPublicKey.ReadElement(der::kSequence, body) && rsaPublicKey.empty() && ReadPositive(body, modulus) &&
           ReadPositive(body, exponent) && body.empty() && SameBytes(modulus, key.modulus) &&
           SameBytes(exponent, key.publicExponent);
}

size_t PrivateKeyBlobSize(uint32_t bitLength) { return kHeaderSize + 2 * (bitLength / 8) + 5 * (bitLength / 16); }

bool BuildPrivateKeyBlob(const RsaPrivateKey& key, std::vector<uint8_t>& blob) {
    const size_t full = key.modulus.size();
    const size_t half = full / 2;
    if (full < 2 || full % 2 != 0 || full > 0x10000 / 8 || key.publicExponent.size() > 4) return false;
    const uint32_t bitLength = static_cast<uint32_t>(full * 8);
    uint32_t exponent = 0;
    for (size_t i = 0; i < key.publicExponent.size(); ++i) exponent = (exponent << 8) | key.publicExponent.data()[i];

    blob.clear();
    blob.reserve(PrivateKeyBlobSize(bitLength));
    blob.push_back(kPrivateKeyBlob);
    blob.push_back(kBlobVersion);
    blob.push_back(0);
    blob.push_back(0);
    AppendLittleEndian32(alg::kRsaKeyExchange, blob);
    AppendLittleEndian32(kRsa2Magic, blob);
    AppendLittleEndian32(bitLength, blob);
    AppendLittleEndian32(exponent, blob);
    return AppendPart(key.modulus, full, blob) && AppendPart(key.prime1, half, blob) &&
           AppendPart(key.prime2, half, blob) && AppendPart(key.exponent1, half, blob) &&
           AppendPart(key.exponent2, half, blob) && AppendPart(key.coefficient, half, blob) &&
           AppendPart(key.privateExponent, full, blob);
}

}  // namespace pkcs8
