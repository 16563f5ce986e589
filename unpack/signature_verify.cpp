#include "unpack/signature_verify.h"

#include <algorithm>
#include <cstring>

#include "format/algorithms.h"
#include "format/ber_stream.h"
#include "format/der.h"
#include "format/signer_trailer.h"
#include "format/service/crypto_handles.h"
#include "format/service/encoding.h"
#include "format/service/signed_parts.h"
#include "format/service/signature_check.h"
#include "unpack/signed_message.h"

namespace {

// Largest read of the signed-file path: DefaultEncryptionBlockSize is a registry value and its
// product with 512 must neither wrap nor ask for an absurd buffer.
constexpr DWORD kMaxReadSize = 4u << 20;

// The messageDigest attribute must hold the digest of the content.
LONG CheckMessageDigest(const CRYPT_ATTRIBUTES& attributes, const std::vector<BYTE>& contentDigest) {
    for (DWORD i = 0; i < attributes.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[i];
        if (!attribute.pszObjId || std::strcmp(attribute.pszObjId, szOID_PKCS_9_MESSAGE_DIGEST) != 0) continue;
        std::vector<uint64_t> decoded;
        if (attribute.cValue != 1 || !DecodeObject(X509_OCTET_STRING, attribute.rgValue[0].pbData,
                                                   attribute.rgValue[0].cbData, 0, decoded))
            return CRYPT_E_HASH_VALUE;
        const auto* digest = Decoded<CRYPT_DATA_BLOB>(decoded);
        if (digest->cbData != contentDigest.size() ||
            std::memcmp(digest->pbData, contentDigest.data(), contentDigest.size()) != 0)
            return CRYPT_E_HASH_VALUE;
        return 0;
    }
    return CRYPT_E_AUTH_ATTR_MISSING;
}

// The hash the signature is made over: the content digest itself, or, with authenticated
// attributes, the digest of their SET encoding once their messageDigest matched the content.
LONG SignedHash(HCRYPTPROV provider, HCRYPTHASH contentHash, ALG_ID algId, const CMSG_SIGNER_INFO* info,
                const std::vector<BYTE>& encoded, HashHandle& signedHash) {
    std::vector<BYTE> contentDigest;
    if (!HashValue(contentHash, contentDigest)) return static_cast<LONG>(GetLastError());
    if (!CryptCreateHash(provider, algId, 0, 0, signedHash.put())) return static_cast<LONG>(GetLastError());
    if (info->AuthAttrs.cAttr == 0) {
        // A fresh object with the value, so several signers can use one content digest.
        if (!CryptSetHashParam(signedHash.get(), HP_HASHVAL, contentDigest.data(), 0))
            return static_cast<LONG>(GetLastError());
        return 0;
    }
    LONG status = CheckMessageDigest(info->AuthAttrs, contentDigest);
    if (status != 0) return status;
    std::vector<uint8_t> set;
    if (!ber::AuthenticatedAttributesAsSet(encoded.data(), encoded.size(), set))
        return static_cast<LONG>(CRYPT_E_ASN1_BADTAG);
    if (!CryptHashData(signedHash.get(), set.data(), static_cast<DWORD>(set.size()), 0))
        return static_cast<LONG>(GetLastError());
    return 0;
}

// Verifies a signature (most significant byte first, as stored) with the signer's public key.
LONG VerifySignatureBytes(HCRYPTPROV provider, HCRYPTHASH contentHash, ALG_ID algId, const SignerCheck& check,
                          HCRYPTKEY publicKey, std::vector<BYTE> signature) {
    HashHandle signedHash;
    LONG status = SignedHash(provider, contentHash, algId, check.signerInfo, check.signerInfoEncoded, signedHash);
    if (status != 0) return status;
    std::reverse(signature.begin(), signature.end());  // the platform takes it least significant first
    if (!CryptVerifySignatureW(signedHash.get(), signature.data(), static_cast<DWORD>(signature.size()), publicKey,
                               nullptr, 0))
        return static_cast<LONG>(GetLastError());
    return 0;
}

// The hash value a PSS or ECDSA signature covers: the content digest, or, with authenticated
// attributes, the signature's hash of their SET encoding once their messageDigest matched.
LONG SignedHashValue(HCRYPTPROV provider, HCRYPTHASH contentHash, const SignatureAlgorithm& algorithm,
                     const SignerCheck& check, std::vector<BYTE>& value) {
    std::vector<BYTE> contentDigest;
    if (!HashValue(contentHash, contentDigest)) return static_cast<LONG>(GetLastError());
    if (check.signerInfo->AuthAttrs.cAttr == 0) {
        // Without attributes the content digest is what was signed: a scheme naming another hash
        // asks for a digest this message does not carry.
        if (algorithm.signatureHash != algorithm.digest) return kSignatureNotSupported;
        value = std::move(contentDigest);
        return 0;
    }
    LONG status = CheckMessageDigest(check.signerInfo->AuthAttrs, contentDigest);
    if (status != 0) return status;
    std::vector<uint8_t> set;
    if (!ber::AuthenticatedAttributesAsSet(check.signerInfoEncoded.data(), check.signerInfoEncoded.size(), set))
        return static_cast<LONG>(CRYPT_E_ASN1_BADTAG);
    HashHandle hash;
    if (!CryptCreateHash(provider, algorithm.signatureHash, 0, 0, hash.put())) return kSignatureNotSupported;
    if (!CryptHashData(hash.get(), set.data(), static_cast<DWORD>(set.size()), 0) || !HashValue(hash.get(), value))
        return static_cast<LONG>(GetLastError());
    return 0;
}

// One signature value (as stored) checked by the scheme the signer names: RSA PKCS#1 through the
// CryptoAPI provider as always, PSS and ECDSA through CNG.
LONG VerifySigner(HCRYPTPROV provider, HCRYPTHASH contentHash, const SignatureAlgorithm& algorithm,
                  const SignerCheck& check, const std::vector<BYTE>& signature) {
    const CERT_PUBLIC_KEY_INFO& key = check.certificate->pCertInfo->SubjectPublicKeyInfo;
    if (algorithm.scheme == SignatureScheme::kRsaPkcs1) {
        KeyHandle publicKey;
        if (!CryptImportPublicKeyInfo(provider, kMessageEncoding, const_cast<PCERT_PUBLIC_KEY_INFO>(&key),
                                      publicKey.put()))
            return static_cast<LONG>(GetLastError());
        return VerifySignatureBytes(provider, contentHash, algorithm.digest, check, publicKey.get(), signature);
    }
    std::vector<BYTE> value;
    LONG status = SignedHashValue(provider, contentHash, algorithm, check, value);
    if (status != 0) return status;
    return VerifyCngSignature(algorithm, key, value, signature.data(), static_cast<DWORD>(signature.size()));
}

// Whether size bytes are a whole number of the key's cipher blocks (any size for a stream cipher).
bool WholeBlocks(HCRYPTKEY key, size_t size) {
    DWORD bits = 0;
    DWORD length = sizeof bits;
    if (!CryptGetKeyParam(key, KP_BLOCKLEN, reinterpret_cast<BYTE*>(&bits), &length, 0)) return false;
    const size_t block = bits / 8;
    return size > 0 && (block == 0 || size % block == 0);
}

// A signed-and-enveloped signature is stored encrypted under the content key. Some writers store
// it plain, so the stored value itself is tried when the decrypted one does not verify; the
// error reported is that of the decrypted value when there was one.
LONG VerifyEnvelopeSignature(HCRYPTPROV provider, HCRYPTHASH contentHash, const SignatureAlgorithm& algorithm,
                             const SignerCheck& check, HCRYPTKEY sessionKey) {
    const CRYPT_DATA_BLOB& stored = check.signerInfo->EncryptedHash;
    std::vector<BYTE> plain(stored.pbData, stored.pbData + stored.cbData);
    bool decryptedTried = false;
    LONG decryptedStatus = 0;
    // Only whole cipher blocks can be the ciphertext of a signature: a plain ECDSA value of another
    // length is never handed to the provider, which may read and write past it.
    if (sessionKey && WholeBlocks(sessionKey, plain.size())) {
        std::vector<BYTE> decrypted = plain;
        DWORD size = static_cast<DWORD>(decrypted.size());
        if (CryptDecrypt(sessionKey, 0, TRUE, 0, decrypted.data(), &size)) {
            decrypted.resize(size);
            decryptedTried = true;
            decryptedStatus = VerifySigner(provider, contentHash, algorithm, check, decrypted);
            if (decryptedStatus == 0) return 0;
        }
    }
    LONG plainStatus = VerifySigner(provider, contentHash, algorithm, check, plain);
    return plainStatus == 0 || !decryptedTried ? plainStatus : decryptedStatus;
}

bool DecodeSignerInfo(const uint8_t* data, size_t size, SignerCheck& check) {
    check.signerInfoEncoded.assign(data, data + size);
    if (!DecodeObject(PKCS7_SIGNER_INFO, check.signerInfoEncoded.data(),
                      static_cast<DWORD>(check.signerInfoEncoded.size()), 0, check.signerInfoBuffer))
        return false;
    check.signerInfo = const_cast<PCMSG_SIGNER_INFO>(Decoded<CMSG_SIGNER_INFO>(check.signerInfoBuffer));
    return true;
}

StoreHandle OpenMemoryStore(HCRYPTPROV provider) {
    return StoreHandle(CertOpenStore(CERT_STORE_PROV_MEMORY, kMessageEncoding, provider,
                                     CERT_STORE_NO_CRYPT_RELEASE_FLAG, nullptr));
}

DWORD ReadSizeOf(const UnpackSettings* settings) {
    uint64_t size = static_cast<uint64_t>(settings && settings->blockSize ? settings->blockSize : 64) * 512;
    return static_cast<DWORD>(std::min<uint64_t>(size, kMaxReadSize));
}

}  // namespace

DWORD VerifyMessageSigners(SignedMessage* message, HCERTSTORE store, std::vector<SignerCheck>& checks) {
    checks.clear();
    if (!message || !message->finished()) return 0;
    StoreHandle messageStore = OpenMemoryStore(0);
    for (const std::vector<uint8_t>& certificate : message->stream().certificates()) {
        if (messageStore)
            CertAddEncodedCertificateToStore(messageStore.get(), X509_ASN_ENCODING, certificate.data(),
                                             static_cast<DWORD>(certificate.size()), CERT_STORE_ADD_ALWAYS, nullptr);
    }
    const auto& signerInfos = message->stream().signerInfos();
    checks.resize(signerInfos.size());
    DWORD verified = 0;
    for (size_t i = 0; i < signerInfos.size(); ++i) {
        SignerCheck& check = checks[i];
        if (!DecodeSignerInfo(signerInfos[i].data(), signerInfos[i].size(), check)) {
            check.status = static_cast<LONG>(GetLastError());
            continue;
        }
        check.certificate = FindSignerCertificate(messageStore.get(), store, check.signerInfo);
        // A certificate found nowhere fails the signer with the lookup's own error.
        if (!check.certificate) {
            check.status = static_cast<LONG>(CRYPT_E_NOT_FOUND);
            continue;
        }
        // An algorithm or digest we cannot check leaves the signature unchecked, never "invalid".
        const SignatureAlgorithm algorithm = SignerSignatureAlgorithm(check.signerInfo);
        if (!SignatureCheckable(algorithm)) {
            check.status = kSignatureNotSupported;
            continue;
        }
        // Without a digest to check against (the digest set did not name it) the signer stays not checked.
        HCRYPTHASH contentHash = message->HashFor(algorithm.digest);
        if (!contentHash) {
            check.status = -1;
            continue;
        }
        const CRYPT_DATA_BLOB& signature = check.signerInfo->EncryptedHash;
        check.status = VerifySigner(message->provider(), contentHash, algorithm, check,
                                    std::vector<BYTE>(signature.pbData, signature.pbData + signature.cbData));
        if (check.status == 0) ++verified;
    }
    return verified;
}

DWORD VerifyEnvelopeSigners(HCERTSTORE store, HCRYPTPROV keyProvider, const HCRYPTHASH* hashes, DWORD hashCount,
                            HCRYPTKEY sessionKey, const BYTE* certificates, DWORD certificatesLength,
                            const BYTE* signerInfos, DWORD signerInfosLength, std::vector<SignerCheck>& checks) {
    checks.clear();
    StoreHandle memoryStore = OpenMemoryStore(keyProvider);
    for (const der::Reader& certificate : signer_trailer::SequenceElements(certificates, certificatesLength)) {
        if (!memoryStore ||
            !CertAddEncodedCertificateToStore(memoryStore.get(), X509_ASN_ENCODING, certificate.data(),
                                              static_cast<DWORD>(certificate.size()), CERT_STORE_ADD_ALWAYS, nullptr))
            break;
    }
    DWORD verified = 0;
    for (const der::Reader& whole : signer_trailer::SequenceElements(signerInfos, signerInfosLength)) {
        SignerCheck check;
        if (!DecodeSignerInfo(whole.data(), whole.size(), check)) {
            // The walk ends on a signer that cannot be read, which stays as a failed entry: the
            // signers before it must not count as all the signers there are.
            check.status = static_cast<LONG>(GetLastError());
            if (check.status == 0 || check.status == -1) check.status = static_cast<LONG>(CRYPT_E_ASN1_BADTAG);
            checks.push_back(std::move(check));
            break;
        }
        check.status = -1;
        check.chainStatus = 0xFFFFFFFF;
        check.certificate = FindSignerCertificate(memoryStore.get(), store, check.signerInfo);
        const SignatureAlgorithm algorithm = SignerSignatureAlgorithm(check.signerInfo);
        const bool checkable = SignatureCheckable(algorithm);
        HCRYPTHASH contentHash = 0;
        for (DWORD i = 0; i < hashCount && hashes && checkable && !contentHash; ++i) {
            ALG_ID hashAlg = 0;
            DWORD size = sizeof hashAlg;
            if (CryptGetHashParam(hashes[i], HP_ALGID, reinterpret_cast<BYTE*>(&hashAlg), &size, 0) &&
                hashAlg == algorithm.digest)
                contentHash = hashes[i];
        }
        // With the content hashed (not in describe mode), a signer we cannot check is said so; one
        // whose digest the digest set did not name stays not checked.
        if (check.certificate && hashes && hashCount && !checkable) check.status = kSignatureNotSupported;
        if (check.certificate && contentHash)
            check.status = VerifyEnvelopeSignature(keyProvider, contentHash, algorithm, check, sessionKey);
        if (check.status == 0) ++verified;
        checks.push_back(std::move(check));
    }
    return verified;
}

int ReadSignedFile(HANDLE file, uint64_t length, HANDLE output, IProgressDialog* progress, UnpackSettings* settings,
                   UnpackJob* job, UnpackView* view) {
    // A signed file is always read through, so that its signatures can be checked.
    if (job->decodeMode == kModeDescribe) job->decodeMode = kModeCheck;
    ContentSink sink;
    StartContentSink(&sink, job, output);
    SignedMessage* message = OpenSignedMessage(false, WriteContent, &sink);
    if (!message) {
        job->jobResult = GetLastError();
        FinishContentSink(&sink);
        return 1;
    }
    const DWORD readSize = ReadSizeOf(settings);
    const uint64_t total = job->offset + length;
    std::vector<BYTE> buffer(static_cast<size_t>(std::min<uint64_t>(readSize, std::max<uint64_t>(length, 1))));
    uint64_t done = 0;
    bool finalSent = false;
    while (done < length) {
        DWORD want = static_cast<DWORD>(std::min<uint64_t>(buffer.size(), length - done));
        DWORD got = 0;
        if (!ReadFile(file, buffer.data(), want, &got, nullptr) || got != want) {
            DWORD error = GetLastError();
            job->readError = error ? error : ERROR_HANDLE_EOF;
            job->jobResult = static_cast<DWORD>(CRYPT_E_FILE_ERROR);
            break;
        }
        job->offset += got;
        done += got;
        finalSent = done == length;
        if (!UpdateSignedMessage(message, buffer.data(), got, finalSent)) {
            DWORD error = GetLastError();
            if (message->outputFailed()) {
                job->writeError = error;
                error = static_cast<DWORD>(CRYPT_E_FILE_ERROR);
            }
            job->jobResult = error;
            break;
        }
        if (progress) {
            if (progress->HasUserCancelled()) {
                job->jobResult = ERROR_CANCELLED;
                break;
            }
            progress->SetProgress64(job->offset, total);
        }
    }
    // An empty remainder still has to end the message (and fails as a truncated one).
    if (length == 0 && !UpdateSignedMessage(message, nullptr, 0, TRUE)) job->jobResult = GetLastError();
    // A deflate stream that never reached its end is a decompression failure here too.
    job->decompressStatus = FinishContentSink(&sink);
    if (job->jobResult == 0xFFFFFFFF) job->jobResult = 0;
    if (job->jobResult == 0) {
        std::vector<SignerCheck> checks;
        DWORD verified = VerifyMessageSigners(message, settings ? settings->store : nullptr, checks);
        ApplySignerChecks(job, view, checks, verified);
    }
    CloseSignedMessage(message);
    return 0;
}
