#include "tools/key_check.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "format/service/crypto_handles.h"

namespace {

const BYTE kProbe[] = "Quillarent key check";

ProviderHandle VerifyContext() {
    ProviderHandle provider;
    if (!CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) provider.release();
    return provider;
}

bool Mismatch() {
    SetLastError(static_cast<DWORD>(NTE_BAD_KEY));
    return false;
}

bool SamePublicKey(HCRYPTPROV provider, PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (!CryptExportPublicKeyInfo(provider, AT_KEYEXCHANGE, X509_ASN_ENCODING, nullptr, &size)) return false;
    std::vector<uint64_t> buffer(size / sizeof(uint64_t) + 1);
    auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer.data());
    if (!CryptExportPublicKeyInfo(provider, AT_KEYEXCHANGE, X509_ASN_ENCODING, info, &size)) return false;
    return CertComparePublicKeyInfo(X509_ASN_ENCODING, info, &certificate->pCertInfo->SubjectPublicKeyInfo) ||
           Mismatch();
}

bool HashProbe(HCRYPTPROV provider, HashHandle& hash) {
    return CryptCreateHash(provider, CALG_SHA1, 0, 0, hash.put()) &&
           CryptHashData(hash.get(), kProbe, sizeof kProbe, 0);
}

bool SignProbe(HCRYPTPROV provider, std::vector<BYTE>& signature) {
    HashHandle hash;
    DWORD size = 0;
    if (!HashProbe(provider, hash) || !CryptSignHashW(hash.get(), AT_KEYEXCHANGE, nullptr, 0, nullptr, &size))
        return false;
    signature.resize(size);
    if (!CryptSignHashW(hash.get(), AT_KEYEXCHANGE, nullptr, 0, signature.data(), &size)) return false;
    signature.resize(size);
    return true;
}

// A damaged private part still gives a signature, just not one the public key accepts.
bool SignatureVerifies(HCRYPTPROV verifier, HCRYPTKEY publicKey, const std::vector<BYTE>& signature) {
    HashHandle hash;
    if (!HashProbe(verifier, hash)) return false;
    if (CryptVerifySignatureW(hash.get(), signature.data(), static_cast<DWORD>(signature.size()), publicKey, nullptr,
                              0))
        return true;
    return GetLastError() == static_cast<DWORD>(NTE_BAD_SIGNATURE) ? Mismatch() : false;
}

// Random bytes encrypted under the certificate's key come back whole from the private key.
bool DecryptsForCertificate(HCRYPTPROV provider, HCRYPTPROV verifier, HCRYPTKEY publicKey) {
    KeyHandle privateKey;
    DWORD blockSize = 0, size = sizeof blockSize;
    if (!CryptGetUserKey(provider, AT_KEYEXCHANGE, privateKey.put()) ||
        !CryptGetKeyParam(publicKey, KP_BLOCKLEN, reinterpret_cast<BYTE*>(&blockSize), &size, 0))
        return false;
    BYTE secret[16];
    if (!CryptGenRandom(verifier, sizeof secret, secret)) return false;
    std::vector<BYTE> buffer(blockSize / 8 + sizeof secret);
    std::copy(secret, secret + sizeof secret, buffer.begin());
    DWORD length = sizeof secret;
    if (!CryptEncrypt(publicKey, 0, TRUE, 0, buffer.data(), &length, static_cast<DWORD>(buffer.size()))) return false;
    if (!CryptDecrypt(privateKey.get(), 0, TRUE, 0, buffer.data(), &length))
        return GetLastError() == static_cast<DWORD>(NTE_BAD_DATA) ? Mismatch() : false;
    return (length == sizeof secret && std::equal(secret, secret + sizeof secret, buffer.begin())) || Mismatch();
}

}  // namespace

bool KeyMatchesCertificate(HCRYPTPROV provider, PCCERT_CONTEXT certificate) {
    if (!SamePublicKey(provider, certificate)) return false;
    std::vector<BYTE> signature;
    ProviderHandle verifier = VerifyContext();
    KeyHandle publicKey;
    return verifier && SignProbe(provider, signature) &&
           CryptImportPublicKeyInfo(verifier.get(), X509_ASN_ENCODING, &certificate->pCertInfo->SubjectPublicKeyInfo,
                                    publicKey.put()) &&
           SignatureVerifies(verifier.get(), publicKey.get(), signature) &&
           DecryptsForCertificate(provider, verifier.get(), publicKey.get());
}
