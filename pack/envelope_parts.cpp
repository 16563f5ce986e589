#include "pack/envelope_parts.h"

#include <algorithm>
#include <cstring>

#include "format/algorithms.h"
#include "format/ber_stream.h"
#include "format/envelope_layout.h"
#include "format/service/encoding.h"

namespace {

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

bool AllZero(const BYTE* bytes, DWORD size) {
    return std::all_of(bytes, bytes + size, [](BYTE b) { return b == 0; });
}

bool EncodeSequenceOfAny(std::vector<CRYPT_DER_BLOB> items, std::vector<BYTE>& out) {
    CRYPT_SEQUENCE_OF_ANY sequence = {static_cast<DWORD>(items.size()), items.data()};
    return EncodeObject(X509_SEQUENCE_OF_ANY, &sequence, out);
}

CRYPT_DER_BLOB Blob(std::vector<BYTE>& bytes) { return {static_cast<DWORD>(bytes.size()), bytes.data()}; }

// issuerAndSerialNumber: the issuer Name as it stands in the certificate, then the serial number.
bool EncodeIssuerAndSerial(const CERT_INFO& info, std::vector<BYTE>& out) {
    std::vector<BYTE> serial;
    if (!EncodeObject(X509_MULTI_BYTE_INTEGER, &info.SerialNumber, serial)) return false;
    return EncodeSequenceOfAny({info.Issuer, Blob(serial)}, out);
}

// The wrapped key, most significant byte first: the SIMPLEBLOB behind its 12-byte header, reversed.
// The provider pads it as PKCS #1 v1.5 or, with CRYPT_OAEP, as OAEP with SHA-1.
bool WrapSessionKey(HCRYPTPROV provider, HCRYPTKEY sessionKey, const CERT_INFO& info, KeyTransport transport,
                    std::vector<BYTE>& wrapped) {
    KeyHandle publicKey;
    CERT_PUBLIC_KEY_INFO keyInfo = info.SubjectPublicKeyInfo;
    if (!CryptImportPublicKeyInfo(provider, kMessageEncoding, &keyInfo, publicKey.put())) return false;
    const DWORD flags = transport == KeyTransport::kRsaOaep ? CRYPT_OAEP : 0;
    DWORD size = 0;
    if (!CryptExportKey(sessionKey, publicKey.get(), SIMPLEBLOB, flags, nullptr, &size)) return false;
    std::vector<BYTE> blob(size);
    if (!CryptExportKey(sessionKey, publicKey.get(), SIMPLEBLOB, flags, blob.data(), &size)) return false;
    constexpr DWORD kBlobHeader = sizeof(BLOBHEADER) + sizeof(ALG_ID);
    if (size <= kBlobHeader) return Fail(static_cast<DWORD>(NTE_BAD_KEY));
    wrapped.assign(blob.rbegin(), blob.rend() - kBlobHeader);
    return true;
}

// A signature over the digest with the signer's key, most significant byte first.
bool SignDigest(const SignerEntry& signer, ALG_ID hashAlgorithm, const BYTE* digest, std::vector<BYTE>& signature) {
    HashHandle hash;
    if (!CryptCreateHash(signer.provider, hashAlgorithm, 0, 0, hash.put())) return false;
    if (!CryptSetHashParam(hash.get(), HP_HASHVAL, digest, 0)) return false;
    DWORD size = 0;
    if (!CryptSignHashW(hash.get(), signer.keySpec, nullptr, 0, nullptr, &size)) return false;
    signature.resize(size);
    if (!CryptSignHashW(hash.get(), signer.keySpec, nullptr, 0, signature.data(), &size)) return false;
    signature.resize(size);
    std::reverse(signature.begin(), signature.end());
    return true;
}

bool EncodeSignerInfo(PCCERT_CONTEXT certificate, ALG_ID hashAlgorithm, std::vector<BYTE>& encryptedDigest,
                      std::vector<BYTE>& out) {
    static BYTE nullParameters[] = {0x05, 0x00};
    CMSG_SIGNER_INFO info = {};
    info.dwVersion = 1;
    info.Issuer = certificate->pCertInfo->Issuer;
    info.SerialNumber = certificate->pCertInfo->SerialNumber;
    const char* oid = DigestOid(hashAlgorithm);
    if (!oid) return Fail(static_cast<DWORD>(NTE_BAD_ALGID));
    info.HashAlgorithm.pszObjId = const_cast<LPSTR>(oid);
    info.HashAlgorithm.Parameters = {sizeof nullParameters, nullParameters};
    info.HashEncryptionAlgorithm = certificate->pCertInfo->SubjectPublicKeyInfo.Algorithm;
    info.EncryptedHash = Blob(encryptedDigest);
    return EncodeObject(PKCS7_SIGNER_INFO, &info, out);
}

}  // namespace

bool GenerateSessionKey(HCRYPTPROV provider, ALG_ID algorithm, DWORD keyBits, bool rc4Salt, KeyHandle& key) {
    DWORD flags = (keyBits << 16) | CRYPT_EXPORTABLE;
    flags |= (algorithm == CALG_RC4 && rc4Salt) ? CRYPT_CREATE_SALT : CRYPT_NO_SALT;
    return CryptGenKey(provider, algorithm, flags, key.put()) != FALSE;
}

DWORD KeyBlockBits(HCRYPTKEY key) {
    DWORD bits = 0;
    DWORD size = sizeof bits;
    if (!CryptGetKeyParam(key, KP_BLOCKLEN, reinterpret_cast<BYTE*>(&bits), &size, 0) || size < sizeof bits) return 0;
    return bits;
}

bool PrepareKeyParameters(HCRYPTPROV provider, HCRYPTKEY key, ALG_ID algorithm, DWORD keyBits, bool createIv,
                          std::vector<BYTE>& parameters) {
    const bool rc4 = algorithm == CALG_RC4;
    DWORD mode = CRYPT_MODE_CBC;
    CryptSetKeyParam(key, KP_MODE, reinterpret_cast<BYTE*>(&mode), 0);  // stream ciphers refuse it
    if (!rc4 && createIv) {
        BYTE random[16];
        // Without random bytes the key keeps its default IV, which the parameters then show.
        if (CryptGenRandom(provider, sizeof random, random) && !CryptSetKeyParam(key, KP_IV, random, 0)) return false;
    }
    BYTE iv[16] = {};
    DWORD ivSize = sizeof iv;
    bool present = CryptGetKeyParam(key, rc4 ? KP_SALT : KP_IV, iv, &ivSize, 0) && ivSize > 0 && !AllZero(iv, ivSize);

    if (algorithm == CALG_RC2) {
        DWORD effective = keyBits;
        if (!CryptSetKeyParam(key, KP_EFFECTIVE_KEYLEN, reinterpret_cast<BYTE*>(&effective), 0)) {
            DWORD size = sizeof effective;
            if (!CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE*>(&effective), &size, 0)) effective = keyBits;
        }
        // Never 05 00 here: a reader would lose the IV.
        return EncodeRc2Parameters(alg::Rc2VersionForBits(effective), present ? iv : nullptr,
                                   present ? std::min<DWORD>(ivSize, 8) : 0, parameters);
    }
    CRYPT_DATA_BLOB value = {ivSize, iv};
    if (!present || !EncodeObject(X509_OCTET_STRING, &value, parameters))
        parameters.assign(envelope_bytes::kNullParameters, envelope_bytes::kNullParameters + 2);
    return true;
}

bool EncodeRecipientInfo(HCRYPTPROV provider, HCRYPTKEY sessionKey, PCCERT_CONTEXT certificate,
                         KeyTransport transport, std::vector<BYTE>& recipientInfo) {
    const CERT_INFO& info = *certificate->pCertInfo;
    std::vector<BYTE> wrapped;
    std::vector<BYTE> issuerAndSerial;
    std::vector<BYTE> version;
    std::vector<BYTE> encryptedKey;
    int zero = 0;
    if (!WrapSessionKey(provider, sessionKey, info, transport, wrapped) || !EncodeIssuerAndSerial(info, issuerAndSerial) ||
        !EncodeObject(X509_INTEGER, &zero, version))
        return false;
    CRYPT_DATA_BLOB wrappedBlob = Blob(wrapped);
    if (!EncodeObject(X509_OCTET_STRING, &wrappedBlob, encryptedKey)) return false;
    const auto& algorithm = transport == KeyTransport::kRsaOaep ? envelope_bytes::kKeyTransportOaepAlgorithm
                                                                : envelope_bytes::kKeyTransportAlgorithm;
    std::vector<BYTE> keyTransport(algorithm, algorithm + sizeof algorithm);
    return EncodeSequenceOfAny({Blob(version), Blob(issuerAndSerial), Blob(keyTransport), Blob(encryptedKey)},
                               recipientInfo);
}

const char* DigestOid(ALG_ID hashAlgorithm) {
    switch (hashAlgorithm) {
        case CALG_MD5: return szOID_RSA_MD5;
        case CALG_SHA1: return szOID_OIWSEC_sha1;
        case CALG_SHA_256: return szOID_NIST_sha256;
        case CALG_SHA_384: return szOID_NIST_sha384;
        case CALG_SHA_512: return szOID_NIST_sha512;
        default: return nullptr;
    }
}

std::vector<BYTE> DigestSet(ALG_ID hashAlgorithm) {
    const char* oid = DigestOid(hashAlgorithm);
    std::vector<uint8_t> value;
    if (!oid || !ber::DottedOidToBytes(oid, value) || value.size() > 100) return {};
    // SET { SEQUENCE { OID, NULL } }: every length fits in one byte.
    const BYTE oidLength = static_cast<BYTE>(value.size());
    std::vector<BYTE> set = {0x31, static_cast<BYTE>(oidLength + 6), 0x30, static_cast<BYTE>(oidLength + 4), 0x06,
                             oidLength};
    set.insert(set.end(), value.begin(), value.end());
    set.insert(set.end(), {0x05, 0x00});
    return set;
}

bool TrialSignerInfoSize(const SignerEntry& signer, ALG_ID hashAlgorithm, DWORD cipherBlockBytes, bool encrypted,
                         DWORD& size) {
    // Any digest value gives a signature of the real length: the key's modulus length. The buffer
    // holds the longest digest (SHA-512); the hash takes as many bytes as its own length.
    BYTE digest[64];
    if (!CryptGenRandom(signer.provider, sizeof digest, digest)) std::memset(digest, 0x5A, sizeof digest);
    std::vector<BYTE> signature;
    if (!SignDigest(signer, hashAlgorithm, digest, signature)) return false;
    if (encrypted) signature.resize(static_cast<size_t>(envelope::CiphertextLength(signature.size(), cipherBlockBytes)));
    std::vector<BYTE> info;
    if (!EncodeSignerInfo(signer.certificate, hashAlgorithm, signature, info)) return false;
    size = static_cast<DWORD>(info.size());
    return true;
}

bool EncodeSignedSignerInfo(const SignerEntry& signer, ALG_ID hashAlgorithm, const std::vector<BYTE>& digest,
                            HCRYPTKEY contentKey, std::vector<BYTE>& signerInfo) {
    std::vector<BYTE> signature;
    if (!SignDigest(signer, hashAlgorithm, digest.data(), signature)) return false;
    if (contentKey) {
        // The signature encrypted with the content key as a final piece (its own padding block).
        DWORD length = static_cast<DWORD>(signature.size());
        signature.resize(signature.size() + 32);
        if (!CryptEncrypt(contentKey, 0, TRUE, 0, signature.data(), &length, static_cast<DWORD>(signature.size())))
            return false;
        signature.resize(length);
    }
    return EncodeSignerInfo(signer.certificate, hashAlgorithm, signature, signerInfo);
}
