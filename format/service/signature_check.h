// The signature algorithm a SignerInfo names, its display name, and the check of the kinds the
// RSA provider of CryptoAPI cannot do (RSASSA-PSS and ECDSA) through CNG.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

// A signer whose signature algorithm or digest this system cannot check. It has a value of its own
// so that no caller takes it for a signature that failed: the signature was simply not checked.
constexpr LONG kSignatureNotSupported = static_cast<LONG>(CRYPT_E_UNKNOWN_ALGO);

enum class SignatureScheme {
    kUnsupported,  // DSA, EdDSA, GOST, an unknown OID, PSS parameters we cannot take...
    kRsaPkcs1,     // rsaEncryption and the xxxWithRSAEncryption OIDs: CryptoAPI as always
    kRsaPss,       // id-RSASSA-PSS: CNG
    kEcdsa,        // ecdsa-with-SHAx (or id-ecPublicKey with the digest): CNG
};

struct SignatureAlgorithm {
    SignatureScheme scheme = SignatureScheme::kUnsupported;
    ALG_ID digest = 0;         // the content digest (digestAlgorithm); 0 when we cannot make it
    ALG_ID signatureHash = 0;  // the hash the signature covers; the digest unless PSS or ECDSA name another
    DWORD saltLength = 0;      // RSASSA-PSS only
};

// What the SignerInfo names. A scheme we can check but a digest we cannot make leaves digest 0.
SignatureAlgorithm SignerSignatureAlgorithm(const CMSG_SIGNER_INFO* info);

// True when the system can check a signer of this algorithm.
bool SignatureCheckable(const SignatureAlgorithm& algorithm);

// "RSA SHA-256", "RSA-PSS SHA-256", "ECDSA P-256 SHA-256", "DSA SHA-256"; the curve comes from the
// signer's key when it is known (key may be null). An unknown part is shown as its OID text.
std::wstring SignatureAlgorithmName(const CMSG_SIGNER_INFO* info, const CERT_PUBLIC_KEY_INFO* key);

// Checks a PSS or ECDSA signature (as stored in the SignerInfo) over hashValue, the signatureHash of
// what was signed, with the certificate's public key through CNG. 0 verified; NTE_BAD_SIGNATURE
// when it does not verify; kSignatureNotSupported when the platform cannot check it (a curve or
// padding it lacks); else the platform's error as an HRESULT.
LONG VerifyCngSignature(const SignatureAlgorithm& algorithm, const CERT_PUBLIC_KEY_INFO& key,
                        const std::vector<BYTE>& hashValue, const BYTE* signature, DWORD signatureSize);
