#include "format/service/pkcs12_keys.h"

#include <wincrypt.h>

#include "format/algorithms.h"
#include "format/pkcs8.h"
#include "format/service/crypto_handles.h"
#include "format/service/plain_key.h"

namespace {

// The PKCS#12 and PBKDF2 forms of one password.
struct Passwords {
    explicit Passwords(const std::wstring& text) {
        std::u16string units(text.begin(), text.end());
        bmp.bytes() = pkcs12::BmpPassword(units);
        utf8.bytes() = pkcs12::Utf8Password(units);
        std::fill(units.begin(), units.end(), u'\0');
    }
    SecretBytes bmp;
    SecretBytes utf8;
};

// SHA-2 lives only in the RSA/AES provider type.
ProviderHandle OpenVerifyProvider() {
    ProviderHandle provider;
    if (!CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) provider.release();
    return provider;
}

bool ReadHashValue(HCRYPTHASH hash, std::vector<uint8_t>& digest) {
    DWORD size = 0, sizeSize = sizeof size;
    if (!CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &sizeSize, 0)) return false;
    digest.assign(size, 0);
    return CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &size, 0) != FALSE;
}

bool HashOnce(HCRYPTPROV provider, ALG_ID algId, const uint8_t* data, size_t size, std::vector<uint8_t>& digest) {
    HashHandle hash;
    return CryptCreateHash(provider, algId, 0, 0, hash.put()) &&
           CryptHashData(hash.get(), data, static_cast<DWORD>(size), 0) && ReadHashValue(hash.get(), digest);
}

// HMAC under one key, imported once for the many rounds of a derivation.
class Hmac {
public:
    Hmac(HCRYPTPROV provider, const pkcs12::Digest& digest) : provider_(provider), digest_(digest) {}

    bool SetKey(const std::vector<uint8_t>& secret) {
        SecretBytes material;
        // A key longer than the hash block is hashed first, and HMAC pads a short key with zeros:
        // an empty key is the same as a single zero byte, which the platform can import.
        if (secret.size() > digest_.blockSize) {
            if (!HashOnce(provider_, digest_.algId, secret.data(), secret.size(), material.bytes())) return false;
        } else {
            material.bytes() = secret;
        }
        if (material.bytes().empty()) material.bytes().push_back(0);
        return ImportPlainKey(provider_, CALG_RC2, material.bytes().data(), material.bytes().size(), CRYPT_IPSEC_HMAC_KEY,
                              key_.put());
    }

    bool Compute(const uint8_t* data, size_t size, std::vector<uint8_t>& out) const {
        HashHandle hash;
        HMAC_INFO info{};
        info.HashAlgid = digest_.algId;
        return CryptCreateHash(provider_, CALG_HMAC, key_.get(), 0, hash.put()) &&
               CryptSetHashParam(hash.get(), HP_HMAC_INFO, reinterpret_cast<const BYTE*>(&info), 0) &&
               CryptHashData(hash.get(), data, static_cast<DWORD>(size), 0) && ReadHashValue(hash.get(), out);
    }

private:
    HCRYPTPROV provider_;
    pkcs12::Digest digest_;
    KeyHandle key_;
};

pkcs12::HashFunction HashWith(HCRYPTPROV provider, ALG_ID algId) {
    return [provider, algId](const uint8_t* data, size_t size, std::vector<uint8_t>& digest) {
        return HashOnce(provider, algId, data, size, digest);
    };
}

bool DeriveKeyAndIv(HCRYPTPROV provider, const pkcs12::Encryption& encryption, const Passwords& passwords,
                    SecretBytes& key, std::vector<uint8_t>& iv) {
    if (encryption.pbes2) {
        Hmac prf(provider, encryption.digest);
        iv.assign(encryption.iv.data(), encryption.iv.data() + encryption.iv.size());
        return prf.SetKey(passwords.utf8.bytes()) &&
               pkcs12::Pbkdf2([&prf](const uint8_t* d, size_t n, std::vector<uint8_t>& out) { return prf.Compute(d, n, out); },
                              encryption.digest.outputSize, encryption.salt, encryption.iterations,
                              encryption.keySize, key.bytes());
    }
    const pkcs12::HashFunction hash = HashWith(provider, encryption.digest.algId);
    const size_t ivSize = encryption.cipher == alg::kAes128 || encryption.cipher == alg::kAes192 ||
                                  encryption.cipher == alg::kAes256 ? 16 : 8;
    return pkcs12::Pkcs12Derive(encryption.digest, hash, pkcs12::kKeyMaterial, passwords.bmp.bytes(), encryption.salt,
                                encryption.iterations, encryption.keySize, key.bytes()) &&
           pkcs12::Pkcs12Derive(encryption.digest, hash, pkcs12::kIvMaterial, passwords.bmp.bytes(), encryption.salt,
                                encryption.iterations, ivSize, iv);
}

bool SetCipherParameters(HCRYPTKEY key, const pkcs12::Encryption& encryption, std::vector<uint8_t>& iv) {
    if (encryption.cipher == alg::kRc2) {
        // Some platforms give an imported 40-bit key 11 zero salt bytes: the file's key has none.
        CRYPT_DATA_BLOB noSalt{0, nullptr};
        CryptSetKeyParam(key, KP_SALT_EX, reinterpret_cast<const BYTE*>(&noSalt), 0);
        DWORD bits = encryption.rc2EffectiveBits;
        if (!CryptSetKeyParam(key, KP_EFFECTIVE_KEYLEN, reinterpret_cast<const BYTE*>(&bits), 0)) return false;
    }
    DWORD mode = CRYPT_MODE_CBC;
    return CryptSetKeyParam(key, KP_MODE, reinterpret_cast<const BYTE*>(&mode), 0) &&
           CryptSetKeyParam(key, KP_IV, iv.data(), 0);
}

// Decrypts a sealed piece; a wrong password shows as bad padding, reported as such.
bool Unseal(HCRYPTPROV provider, const pkcs12::Sealed& sealed, const Passwords& passwords, SecretBytes& plain) {
    SecretBytes rawKey;
    std::vector<uint8_t> iv;
    KeyHandle key;
    if (!DeriveKeyAndIv(provider, sealed.encryption, passwords, rawKey, iv) ||
        !ImportPlainKey(provider, sealed.encryption.cipher, rawKey.bytes().data(), rawKey.bytes().size(),
                        CRYPT_EXPORTABLE, key.put()) ||
        !SetCipherParameters(key.get(), sealed.encryption, iv))
        return false;
    plain.bytes().assign(sealed.ciphertext.data(), sealed.ciphertext.data() + sealed.ciphertext.size());
    DWORD size = static_cast<DWORD>(plain.bytes().size());
    if (!CryptDecrypt(key.get(), 0, TRUE, 0, plain.bytes().data(), &size)) {
        if (GetLastError() == static_cast<DWORD>(NTE_BAD_DATA)) SetLastError(ERROR_INVALID_PASSWORD);
        return false;
    }
    plain.bytes().resize(size);
    return true;
}

bool MacMatches(HCRYPTPROV provider, const pkcs12::Pfx& pfx, const std::vector<uint8_t>& bmpPassword) {
    SecretBytes macKey;
    std::vector<uint8_t> value;
    Hmac hmac(provider, pfx.mac.digest);
    return pkcs12::Pkcs12Derive(pfx.mac.digest, HashWith(provider, pfx.mac.digest.algId), pkcs12::kMacMaterial,
                                bmpPassword, pfx.mac.salt, pfx.mac.iterations, pfx.mac.digest.outputSize,
                                macKey.bytes()) &&
           hmac.SetKey(macKey.bytes()) && hmac.Compute(pfx.authSafe.data(), pfx.authSafe.size(), value) &&
           value.size() == pfx.mac.value.size() && std::equal(value.begin(), value.end(), pfx.mac.value.data());
}

// Some writers derive the MAC key of an empty password from no bytes at all instead of the two
// terminating zeros, so both are tried.
bool CheckMac(HCRYPTPROV provider, const pkcs12::Pfx& pfx, const Passwords& passwords) {
    if (MacMatches(provider, pfx, passwords.bmp.bytes())) return true;
    if (passwords.utf8.bytes().empty() && MacMatches(provider, pfx, {})) return true;
    SetLastError(ERROR_INVALID_PASSWORD);
    return false;
}

bool CollectKeys(HCRYPTPROV provider, der::Reader contents, const Passwords& passwords,
                 std::vector<SecretBytes>& keys) {
    std::vector<pkcs12::SafeBag> bags;
    if (!pkcs12::ParseSafeContents(contents, bags)) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    for (const pkcs12::SafeBag& bag : bags) {
        SecretBytes key;
        if (bag.type == pkcs12::BagType::kKey) {
            key.bytes().assign(bag.privateKeyInfo.data(), bag.privateKeyInfo.data() + bag.privateKeyInfo.size());
        } else if (bag.type == pkcs12::BagType::kShroudedKey) {
            if (!Unseal(provider, bag.shrouded, passwords, key)) return false;
        } else {
            continue;
        }
        keys.push_back(std::move(key));
    }
    return true;
}

}  // namespace

bool DerivePkcs12KeyAndIv(const pkcs12::Encryption& encryption, const std::wstring& password, SecretBytes& key,
                          std::vector<uint8_t>& iv) {
    ProviderHandle provider = OpenVerifyProvider();
    return provider && DeriveKeyAndIv(provider.get(), encryption, Passwords(password), key, iv);
}

bool Pkcs12MacAgrees(const std::vector<BYTE>& file, const std::wstring& password) {
    pkcs12::Pfx pfx;
    if (!pkcs12::ParsePfx(der::Reader(file), pfx) || !pfx.hasMac) return true;
    ProviderHandle provider = OpenVerifyProvider();
    return provider && CheckMac(provider.get(), pfx, Passwords(password));
}

bool ReadPkcs12PrivateKeys(const std::vector<BYTE>& file, const std::wstring& password,
                           std::vector<SecretBytes>& keys) {
    pkcs12::Pfx pfx;
    std::vector<pkcs12::SafePart> parts;
    if (!pkcs12::ParsePfx(der::Reader(file), pfx) || !pkcs12::ParseAuthenticatedSafe(pfx.authSafe, parts)) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    ProviderHandle provider = OpenVerifyProvider();
    if (!provider) return false;
    const Passwords passwords(password);
    if (pfx.hasMac && !CheckMac(provider.get(), pfx, passwords)) return false;
    for (const pkcs12::SafePart& part : parts) {
        SecretBytes plain;
        if (part.encrypted && !Unseal(provider.get(), part.sealed, passwords, plain)) return false;
        der::Reader contents = part.encrypted ? der::Reader(plain.bytes()) : part.contents;
        if (!CollectKeys(provider.get(), contents, passwords, keys)) return false;
    }
    return true;
}
