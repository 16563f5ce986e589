// Reading a PKCS#12 (.p12/.pfx) file down to its bags, the algorithm parameters of its
// password-based encryption and MAC, and the two password-based key derivations it uses.
// The hashing itself is the caller's (a callback), so this file needs no platform and no crypto
// library: it builds natively for fast tests and fuzzing.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "format/der.h"

namespace pkcs12 {

// ALG_ID of two-key triple DES, which the shared algorithm table does not list.
constexpr uint32_t k3Des112 = 0x6609;

// A digest the file may name, with the sizes the key derivations need.
struct Digest {
    uint32_t algId = 0;     // alg::kSha1, alg::kSha256, ...
    size_t outputSize = 0;  // bytes
    size_t blockSize = 0;   // bytes the hash consumes per block
};

// How one encrypted piece is protected.
struct Encryption {
    bool pbes2 = false;  // PBKDF2 over the UTF-8 password; else the PKCS#12 derivation, BMP password
    Digest digest;       // the derivation's hash, or PBKDF2's HMAC hash
    uint32_t cipher = 0; // ALG_ID: alg::k3Des, k3Des112, alg::kRc2, alg::kAes128/192/256
    size_t keySize = 0;  // bytes
    uint32_t rc2EffectiveBits = 0;
    der::Reader salt;
    uint32_t iterations = 0;
    der::Reader iv;  // given for PBES2; derived for the PKCS#12 schemes
};

struct Sealed {
    Encryption encryption;
    der::Reader ciphertext;
};

struct Mac {
    Digest digest;
    der::Reader value;
    der::Reader salt;
    uint32_t iterations = 1;
};

struct Pfx {
    der::Reader authSafe;  // the AuthenticatedSafe's DER, the bytes the MAC covers
    bool hasMac = false;
    Mac mac;
};

// One ContentInfo of the AuthenticatedSafe: SafeContents in the clear, or sealed.
struct SafePart {
    bool encrypted = false;
    der::Reader contents;  // SafeContents DER when not encrypted
    Sealed sealed;         // decrypts to SafeContents DER
};

enum class BagType { kKey, kShroudedKey, kCertificate, kOther };

struct SafeBag {
    BagType type = BagType::kOther;
    der::Reader privateKeyInfo;  // kKey: PKCS#8 PrivateKeyInfo DER
    Sealed shrouded;             // kShroudedKey: decrypts to PrivateKeyInfo DER
    der::Reader certificate;     // kCertificate: the X.509 certificate DER
    der::Reader localKeyId;      // empty when the bag has none
};

// The largest iteration count accepted: more is a damaged or hostile file, not a real one.
constexpr uint32_t kMostIterations = 10000000;

// Each parser reads a whole element: false for anything malformed, unsupported or with trailing
// bytes. The results are views into the input, which must outlive them.
bool ParsePfx(der::Reader file, Pfx& pfx);
bool ParseAuthenticatedSafe(der::Reader authSafe, std::vector<SafePart>& parts);
bool ParseSafeContents(der::Reader contents, std::vector<SafeBag>& bags);
// An EncryptedPrivateKeyInfo (the content of a shrouded key bag).
bool ParseEncryptedPrivateKeyInfo(der::Reader info, Sealed& sealed);
// An AlgorithmIdentifier of password-based encryption, whole (tag 30 included).
bool ParseEncryption(der::Reader algorithm, Encryption& encryption);

// The password in the forms the file's schemes use: BMPString (big-endian UTF-16) with two zero
// bytes after it for the PKCS#12 derivation and MAC, UTF-8 for PBKDF2.
std::vector<uint8_t> BmpPassword(const std::u16string& password);
std::vector<uint8_t> Utf8Password(const std::u16string& password);

// Hashes data into digest (outputSize bytes); false when the platform fails.
using HashFunction = std::function<bool(const uint8_t* data, size_t size, std::vector<uint8_t>& digest)>;
// HMAC of data under the PBKDF2 password; false when the platform fails.
using PrfFunction = HashFunction;

// Purposes of the PKCS#12 derivation.
enum DeriveId : uint8_t { kKeyMaterial = 1, kIvMaterial = 2, kMacMaterial = 3 };

// The PKCS#12 derivation: size bytes for the purpose id from the BMP password and salt.
bool Pkcs12Derive(const Digest& digest, const HashFunction& hash, uint8_t id, const std::vector<uint8_t>& bmpPassword,
                  der::Reader salt, uint32_t iterations, size_t size, std::vector<uint8_t>& out);

// PBKDF2 with prf (HMAC keyed with the password) giving outputSize bytes per call.
bool Pbkdf2(const PrfFunction& prf, size_t outputSize, der::Reader salt, uint32_t iterations, size_t size,
            std::vector<uint8_t>& out);

}  // namespace pkcs12
