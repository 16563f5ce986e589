#include "format/service/signature_check.h"

#include <bcrypt.h>

#include <cstring>

#include "format/algorithms.h"
#include "format/ecdsa_signature.h"
#include "format/rsa_padding_params.h"
#include "format/service/crypto_handles.h"
#include "format/service/signed_parts.h"

namespace {

constexpr NTSTATUS kStatusInvalidSignature = static_cast<NTSTATUS>(0xC000A000L);
constexpr NTSTATUS kStatusNotSupported = static_cast<NTSTATUS>(0xC00000BBL);
constexpr NTSTATUS kStatusNotImplemented = static_cast<NTSTATUS>(0xC0000002L);

bool Is(const char* oid, const char* wanted) { return oid && std::strcmp(oid, wanted) == 0; }

// The digests this system makes, strictly by OID (no fallback: a digest we do not know is one we
// cannot check).
ALG_ID KnownDigest(const char* oid) {
    if (Is(oid, szOID_OIWSEC_sha1)) return alg::kSha1;
    if (Is(oid, szOID_NIST_sha256)) return alg::kSha256;
    if (Is(oid, szOID_NIST_sha384)) return alg::kSha384;
    if (Is(oid, szOID_NIST_sha512)) return alg::kSha512;
    if (Is(oid, szOID_RSA_MD5)) return alg::kMd5;
    return 0;
}

// The content digest of an RSA PKCS#1 signer keeps the reader's old rule (an unrecognised OID is
// taken for SHA-1, as older writers put other OIDs there), except for a hash of the NIST arc we
// know we cannot make (SHA-224, SHA-512/t, SHA-3): those are not checkable, never "invalid".
ALG_ID RsaDigest(const CMSG_SIGNER_INFO* info) {
    const char* oid = info->HashAlgorithm.pszObjId;
    if (oid && std::strncmp(oid, "2.16.840.1.101.3.4.2.", 21) == 0 && !KnownDigest(oid)) return 0;
    return SignerDigestAlgorithm(info);
}

ALG_ID EcdsaHash(const char* oid) {
    if (Is(oid, szOID_ECDSA_SHA1)) return alg::kSha1;
    if (Is(oid, szOID_ECDSA_SHA256)) return alg::kSha256;
    if (Is(oid, szOID_ECDSA_SHA384)) return alg::kSha384;
    if (Is(oid, szOID_ECDSA_SHA512)) return alg::kSha512;
    return 0;
}

bool IsRsaPkcs1(const char* oid) {
    return Is(oid, szOID_RSA_RSA) || Is(oid, szOID_RSA_MD5RSA) || Is(oid, szOID_RSA_SHA1RSA) ||
           Is(oid, szOID_OIWSEC_sha1RSASign) || Is(oid, szOID_RSA_SHA256RSA) || Is(oid, szOID_RSA_SHA384RSA) ||
           Is(oid, szOID_RSA_SHA512RSA) || Is(oid, szOID_RSA_MD2RSA) || Is(oid, szOID_RSA_MD4RSA);
}

const wchar_t* DigestName(ALG_ID algId) {
    switch (algId) {
    case alg::kSha1: return L"SHA-1";
    case alg::kSha256: return L"SHA-256";
    case alg::kSha384: return L"SHA-384";
    case alg::kSha512: return L"SHA-512";
    case alg::kMd5: return L"MD5";
    case alg::kMd4: return L"MD4";
    case alg::kMd2: return L"MD2";
    }
    return nullptr;
}

const wchar_t* CngHashName(ALG_ID algId) {
    switch (algId) {
    case alg::kSha1: return BCRYPT_SHA1_ALGORITHM;
    case alg::kSha256: return BCRYPT_SHA256_ALGORITHM;
    case alg::kSha384: return BCRYPT_SHA384_ALGORITHM;
    case alg::kSha512: return BCRYPT_SHA512_ALGORITHM;
    }
    return nullptr;
}

std::wstring Widen(const char* text) {
    std::wstring wide;
    for (; text && *text; ++text) wide += static_cast<wchar_t>(static_cast<unsigned char>(*text));
    return wide;
}

// The named curve of an EC key: its parameters are the curve's OID element.
struct Curve {
    const wchar_t* name;
    size_t half;  // bytes of r and of s
    uint8_t oid[10];
    size_t oidSize;
};
const Curve kCurves[] = {
    {L"P-256", ecdsa_signature::kP256Half, {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07}, 10},
    {L"P-384", ecdsa_signature::kP384Half, {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22}, 7},
    {L"P-521", 66, {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x23}, 7},
};

const Curve* CurveOf(const CERT_PUBLIC_KEY_INFO& key) {
    if (!Is(key.Algorithm.pszObjId, szOID_ECC_PUBLIC_KEY)) return nullptr;
    const CRYPT_OBJID_BLOB& parameters = key.Algorithm.Parameters;
    for (const Curve& curve : kCurves)
        if (parameters.cbData == curve.oidSize && std::memcmp(parameters.pbData, curve.oid, curve.oidSize) == 0)
            return &curve;
    return nullptr;
}

bool IsRsaKey(const CERT_PUBLIC_KEY_INFO& key) {
    return Is(key.Algorithm.pszObjId, szOID_RSA_RSA) || Is(key.Algorithm.pszObjId, szOID_RSA_SSA_PSS);
}

LONG FromNtStatus(NTSTATUS status) {
    if (status == 0) return 0;
    if (status == kStatusInvalidSignature) return static_cast<LONG>(NTE_BAD_SIGNATURE);
    if (status == kStatusNotSupported || status == kStatusNotImplemented) return kSignatureNotSupported;
    return static_cast<LONG>(HRESULT_FROM_NT(status));
}

}  // namespace

SignatureAlgorithm SignerSignatureAlgorithm(const CMSG_SIGNER_INFO* info) {
    SignatureAlgorithm algorithm;
    if (!info) return algorithm;
    const char* signatureOid = info->HashEncryptionAlgorithm.pszObjId;
    if (IsRsaPkcs1(signatureOid)) {
        algorithm.scheme = SignatureScheme::kRsaPkcs1;
        algorithm.digest = RsaDigest(info);
        algorithm.signatureHash = algorithm.digest;
        return algorithm;
    }
    algorithm.digest = KnownDigest(info->HashAlgorithm.pszObjId);
    if (Is(signatureOid, szOID_RSA_SSA_PSS)) {
        const CRYPT_OBJID_BLOB& blob = info->HashEncryptionAlgorithm.Parameters;
        rsa_padding::PssParameters pss;
        // CNG takes one hash for the message and for MGF1.
        if (rsa_padding::ReadPssParameters(blob.pbData, blob.cbData, pss) != rsa_padding::Status::kOk ||
            pss.mgf1Hash != pss.hash || !CngHashName(pss.hash))
            return algorithm;
        algorithm.scheme = SignatureScheme::kRsaPss;
        algorithm.signatureHash = pss.hash;
        algorithm.saltLength = pss.saltLength;
        return algorithm;
    }
    ALG_ID ecdsaHash = EcdsaHash(signatureOid);
    // Some writers name only the key's algorithm; the digest then is the hash signed.
    if (!ecdsaHash && Is(signatureOid, szOID_ECC_PUBLIC_KEY)) ecdsaHash = algorithm.digest;
    if (ecdsaHash) {
        algorithm.scheme = SignatureScheme::kEcdsa;
        algorithm.signatureHash = ecdsaHash;
    }
    return algorithm;
}

bool SignatureCheckable(const SignatureAlgorithm& algorithm) {
    if (algorithm.scheme == SignatureScheme::kUnsupported || !algorithm.digest || !algorithm.signatureHash)
        return false;
    return algorithm.scheme == SignatureScheme::kRsaPkcs1 || CngHashName(algorithm.signatureHash);
}

std::wstring SignatureAlgorithmName(const CMSG_SIGNER_INFO* info, const CERT_PUBLIC_KEY_INFO* key) {
    if (!info) return std::wstring();
    const SignatureAlgorithm algorithm = SignerSignatureAlgorithm(info);
    const char* signatureOid = info->HashEncryptionAlgorithm.pszObjId;
    std::wstring name;
    switch (algorithm.scheme) {
    case SignatureScheme::kRsaPkcs1:
        name = L"RSA";
        break;
    case SignatureScheme::kRsaPss:
        name = L"RSA-PSS";
        break;
    case SignatureScheme::kEcdsa: {
        name = L"ECDSA";
        const Curve* curve = key ? CurveOf(*key) : nullptr;
        if (curve) name += std::wstring(L" ") + curve->name;
        break;
    }
    case SignatureScheme::kUnsupported:
        if (Is(signatureOid, szOID_RSA_SSA_PSS))
            name = L"RSA-PSS";
        else if (signatureOid && (std::strncmp(signatureOid, "1.2.840.10040.4.", 16) == 0 ||
                                  std::strncmp(signatureOid, "2.16.840.1.101.3.4.3.", 21) == 0))
            name = L"DSA";
        else if (Is(signatureOid, "1.3.101.112"))
            return L"Ed25519";
        else if (Is(signatureOid, "1.3.101.113"))
            return L"Ed448";
        else
            name = Widen(signatureOid);
        break;
    }
    // The hash signed: the one of the scheme, else the content digest as named.
    ALG_ID hash = algorithm.signatureHash ? algorithm.signatureHash : KnownDigest(info->HashAlgorithm.pszObjId);
    const wchar_t* hashName = DigestName(hash);
    std::wstring hashText = hashName ? std::wstring(hashName) : Widen(info->HashAlgorithm.pszObjId);
    if (!hashText.empty()) name += L" " + hashText;
    return name;
}

LONG VerifyCngSignature(const SignatureAlgorithm& algorithm, const CERT_PUBLIC_KEY_INFO& key,
                        const std::vector<BYTE>& hashValue, const BYTE* signature, DWORD signatureSize) {
    const wchar_t* hashName = CngHashName(algorithm.signatureHash);
    if (!hashName) return kSignatureNotSupported;
    std::vector<BYTE> raw;
    BCRYPT_PSS_PADDING_INFO pss{};
    void* padding = nullptr;
    DWORD flags = 0;
    if (algorithm.scheme == SignatureScheme::kEcdsa) {
        // A key of another kind cannot have made this signature.
        if (!Is(key.Algorithm.pszObjId, szOID_ECC_PUBLIC_KEY)) return static_cast<LONG>(NTE_BAD_PUBLIC_KEY);
        const Curve* curve = CurveOf(key);
        if (!curve) return kSignatureNotSupported;
        // CMS carries SEQUENCE { r, s }; CNG takes r || s of the curve's width.
        if (!ecdsa_signature::ToRaw(signature, signatureSize, curve->half, raw))
            return static_cast<LONG>(NTE_BAD_SIGNATURE);
    } else if (algorithm.scheme == SignatureScheme::kRsaPss) {
        if (!IsRsaKey(key)) return static_cast<LONG>(NTE_BAD_PUBLIC_KEY);
        raw.assign(signature, signature + signatureSize);  // big-endian, as CNG takes it
        pss.pszAlgId = hashName;
        pss.cbSalt = algorithm.saltLength;
        padding = &pss;
        flags = BCRYPT_PAD_PSS;
    } else {
        return kSignatureNotSupported;
    }
    // A fresh key handle per check: under Wine a PSS check followed by another padding on the same
    // handle fails.
    CngKeyHandle publicKey;
    if (!CryptImportPublicKeyInfoEx2(X509_ASN_ENCODING, const_cast<PCERT_PUBLIC_KEY_INFO>(&key), 0, nullptr,
                                     publicKey.put()))
        return kSignatureNotSupported;
    NTSTATUS status = BCryptVerifySignature(publicKey.get(), padding, const_cast<BYTE*>(hashValue.data()),
                                            static_cast<ULONG>(hashValue.size()), raw.data(),
                                            static_cast<ULONG>(raw.size()), flags);
    return FromNtStatus(status);
}
