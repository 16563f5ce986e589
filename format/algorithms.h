// The algorithm table: CryptoAPI ALG_IDs, the OIDs written into and read from envelopes, display
// string ids, IV lengths and the RC2 parameter version rule. Pure data: no platform headers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace alg {

// ALG_ID values, spelled out so this file needs no platform header.
constexpr uint32_t kRc2 = 0x6602;
constexpr uint32_t kRc4 = 0x6801;
constexpr uint32_t kDes = 0x6601;
constexpr uint32_t k3Des = 0x6603;
constexpr uint32_t kAes128 = 0x660E;
constexpr uint32_t kAes192 = 0x660F;
constexpr uint32_t kAes256 = 0x6610;
constexpr uint32_t kSha1 = 0x8004;
constexpr uint32_t kMd5 = 0x8003;
constexpr uint32_t kMd4 = 0x8002;
constexpr uint32_t kMd2 = 0x8001;
constexpr uint32_t kSha256 = 0x800C;
constexpr uint32_t kSha384 = 0x800D;
constexpr uint32_t kSha512 = 0x800E;
constexpr uint32_t kRsaKeyExchange = 0xA400;

// One content-encryption or hash algorithm as the writer and the display function see it.
struct AlgorithmRow {
    uint32_t algId;
    const char* dottedOid;
    const uint8_t* oidElement;  // 06 L value, as written
    size_t oidElementSize;
    uint32_t displayStringId;   // 0: no display text
    uint32_t ivLength;          // 0: none (RC4 uses a salt instead)
};

// The content-encryption rows (RC2, RC4, DES, 3DES, AES-128, AES-192, AES-256) followed by the
// two hash rows the writer produces (SHA-1, MD5), in display lookup order.
const AlgorithmRow* DisplayRows(size_t& count);

// Content-encryption row for an ALG_ID, or null when the writer cannot produce it.
const AlgorithmRow* ContentEncryptionRow(uint32_t algId);

bool IsContentEncryption(uint32_t algId);
bool IsBlockCipher(uint32_t algId);  // everything but RC4
inline bool IsAes(uint32_t algId) { return algId == kAes128 || algId == kAes192 || algId == kAes256; }

// Display string id for an ALG_ID and/or a dotted OID (first matching row); 0 when none matches.
uint32_t DisplayStringId(uint32_t algId, const char* dottedOid);

// The reader's lookup from OID value bytes (without tag and length) to an ALG_ID.
// Returns 0 when no row matches. AES rows compare the first eight bytes only.
uint32_t AlgorithmFromOid(const uint8_t* value, size_t length);

// Digest lookup of a SignerInfo: MD5, MD4, MD2 and SHA-256/384/512 by OID; every other OID SHA-1.
uint32_t DigestAlgorithmFromOid(const uint8_t* value, size_t length);

// Dotted text of OID value bytes ("1.2.840.113549.3.2"); empty for malformed input.
std::string OidToDottedString(const uint8_t* value, size_t length);

// RC2-CBC-Parameter version for an effective key length (RFC 2268), and back (0: none).
uint32_t Rc2VersionForBits(uint32_t bits);
uint32_t Rc2BitsForVersion(uint32_t version);

// Key lengths offered for an algorithm from the provider's default, minimum and maximum.
std::vector<uint32_t> OfferedKeyLengths(uint32_t algId, uint32_t defaultLen, uint32_t minLen, uint32_t maxLen);

}  // namespace alg

// Fixed byte strings of the envelope format.
namespace envelope_bytes {
extern const uint8_t kOidData[11];
extern const uint8_t kOidSignedData[11];
extern const uint8_t kOidEnvelopedData[11];
extern const uint8_t kOidSignedAndEnvelopedData[11];
extern const uint8_t kKeyTransportAlgorithm[15];
// id-RSAES-OAEP with an empty parameter SEQUENCE: SHA-1, MGF1 with SHA-1 and an empty label.
extern const uint8_t kKeyTransportOaepAlgorithm[15];
extern const uint8_t kDigestSetMd5[16];
extern const uint8_t kDigestSetSha1[13];
// The eight bytes every PKCS#7 content type OID value starts with (1.2.840.113549.1.7).
extern const uint8_t kPkcs7Prefix[8];
extern const uint8_t kNullParameters[2];
}  // namespace envelope_bytes
