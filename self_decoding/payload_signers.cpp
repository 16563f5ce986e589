#include "self_decoding/payload_signers.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "format/algorithms.h"
#include "format/ber_stream.h"
#include "format/der.h"
#include "format/signer_trailer.h"
#include "format/service/crypto_handles.h"
#include "format/service/encoding.h"
#include "format/service/signed_parts.h"
#include "self_decoding/payload_keys.h"
#include "self_decoding/texts.h"

namespace quendrix {

namespace {

constexpr UINT kSignedByText = 506;
constexpr UINT kInvalidSignatureText = 507;
constexpr UINT kCertificateText = 526;
constexpr UINT kNoCertificateText = 508;

HCRYPTHASH HashFor(const std::vector<HCRYPTHASH>& hashes, ALG_ID algId) {
    for (HCRYPTHASH hash : hashes) {
        ALG_ID hashAlg = 0;
        DWORD size = sizeof hashAlg;
        if (CryptGetHashParam(hash, HP_ALGID, reinterpret_cast<BYTE*>(&hashAlg), &size, 0) && hashAlg == algId)
            return hash;
    }
    return 0;
}

// The hash object the signature covers: the content digest, or with authenticated attributes the
// digest of their SET once their messageDigest matched the content.
LONG SignedHash(HCRYPTPROV provider, HCRYPTHASH contentHash, ALG_ID algId, const CMSG_SIGNER_INFO* info,
                const uint8_t* encoded, size_t encodedSize, HashHandle& signedHash) {
    std::vector<BYTE> digest;
    if (!HashValue(contentHash, digest)) return static_cast<LONG>(GetLastError());
    if (!CryptCreateHash(provider, algId, 0, 0, signedHash.put())) return static_cast<LONG>(GetLastError());
    if (info->AuthAttrs.cAttr == 0) {
        // A fresh object with the value, so that several signers can use one content digest.
        if (!CryptSetHashParam(signedHash.get(), HP_HASHVAL, digest.data(), 0)) return static_cast<LONG>(GetLastError());
        return 0;
    }
    bool matched = false;
    for (DWORD i = 0; i < info->AuthAttrs.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = info->AuthAttrs.rgAttr[i];
        if (!attribute.pszObjId || std::strcmp(attribute.pszObjId, szOID_PKCS_9_MESSAGE_DIGEST) != 0) continue;
        std::vector<uint64_t> decoded;
        if (attribute.cValue != 1 || !DecodeObject(X509_OCTET_STRING, attribute.rgValue[0].pbData,
                                                   attribute.rgValue[0].cbData, 0, decoded))
            return CRYPT_E_HASH_VALUE;
        const auto* value = Decoded<CRYPT_DATA_BLOB>(decoded);
        if (value->cbData != digest.size() || std::memcmp(value->pbData, digest.data(), digest.size()) != 0)
            return CRYPT_E_HASH_VALUE;
        matched = true;
    }
    if (!matched) return CRYPT_E_AUTH_ATTR_MISSING;
    std::vector<uint8_t> set;
    if (!ber::AuthenticatedAttributesAsSet(encoded, encodedSize, set)) return CRYPT_E_ASN1_BADTAG;
    if (!CryptHashData(signedHash.get(), set.data(), static_cast<DWORD>(set.size()), 0))
        return static_cast<LONG>(GetLastError());
    return 0;
}

LONG VerifyBytes(HCRYPTPROV provider, HCRYPTHASH contentHash, ALG_ID algId, const CMSG_SIGNER_INFO* info,
                 const der::Reader& encoded, HCRYPTKEY publicKey, std::vector<BYTE> signature) {
    HashHandle signedHash;
    LONG status = SignedHash(provider, contentHash, algId, info, encoded.data(), encoded.size(), signedHash);
    if (status != 0) return status;
    std::reverse(signature.begin(), signature.end());  // the platform takes it least significant first
    if (!CryptVerifySignatureA(signedHash.get(), signature.data(), static_cast<DWORD>(signature.size()), publicKey,
                               nullptr, 0))
        return static_cast<LONG>(GetLastError());
    return 0;
}

LONG CheckSigner(HCRYPTPROV provider, const std::vector<HCRYPTHASH>& hashes, HCRYPTKEY sessionKey,
                 const CMSG_SIGNER_INFO* info, const der::Reader& encoded, PCCERT_CONTEXT certificate) {
    const ALG_ID algId = SignerDigestAlgorithm(info);
    HCRYPTHASH contentHash = HashFor(hashes, algId);
    if (!certificate || !contentHash) return -1;  // nothing to check against: not checked
    KeyHandle publicKey;
    if (!CryptImportPublicKeyInfo(provider, kMessageEncoding, &certificate->pCertInfo->SubjectPublicKeyInfo,
                                  publicKey.put()))
        return static_cast<LONG>(GetLastError());
    std::vector<BYTE> stored(info->EncryptedHash.pbData, info->EncryptedHash.pbData + info->EncryptedHash.cbData);
    if (!sessionKey) return VerifyBytes(provider, contentHash, algId, info, encoded, publicKey.get(), stored);
    // Signed-and-enveloped: the signature is encrypted under the content key (a copy of it, so
    // the content key itself keeps its state).
    KeyHandle copy;
    HCRYPTKEY key = CryptDuplicateKey(sessionKey, nullptr, 0, copy.put()) ? copy.get() : sessionKey;
    std::vector<BYTE> decrypted = stored;
    DWORD size = static_cast<DWORD>(decrypted.size());
    LONG status = static_cast<LONG>(NTE_BAD_SIGNATURE);
    if (CryptDecrypt(key, 0, TRUE, 0, decrypted.data(), &size)) {
        decrypted.resize(size);
        status = VerifyBytes(provider, contentHash, algId, info, encoded, publicKey.get(), decrypted);
    }
    if (status == 0) return 0;
    // Some writers leave this signature unencrypted: the stored value is tried as it stands.
    LONG plainStatus = VerifyBytes(provider, contentHash, algId, info, encoded, publicKey.get(), stored);
    return plainStatus == 0 ? 0 : status;
}

std::string NameText(const CERT_NAME_BLOB& name) {
    char text[512] = "";
    CertNameToStrA(kMessageEncoding, const_cast<CERT_NAME_BLOB*>(&name), CERT_SIMPLE_NAME_STR, text, sizeof text);
    return text;
}

std::string ExpirationText(const FILETIME& notAfter) {
    FILETIME local;
    SYSTEMTIME time;
    char text[128] = "";
    if (FileTimeToLocalFileTime(&notAfter, &local) && FileTimeToSystemTime(&local, &time))
        GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &time, nullptr, text, sizeof text);
    return text;
}

}  // namespace

SignerRecord::SignerRecord(SignerRecord&& other) noexcept
    : status(other.status),
      certificate(std::exchange(other.certificate, nullptr)),
      issuer(std::move(other.issuer)),
      serial(std::move(other.serial)) {}

SignerRecord::~SignerRecord() {
    if (certificate) CertFreeCertificateContext(certificate);
}

DWORD VerifyPayloadSigners(HCRYPTPROV provider, const std::vector<HCRYPTHASH>& hashes, HCRYPTKEY sessionKey,
                           const std::vector<BYTE>& certificates, const std::vector<BYTE>& signerInfos,
                           HCERTSTORE store, std::vector<SignerRecord>& records) {
    records.clear();
    StoreHandle payloadStore(CertOpenStore(CERT_STORE_PROV_MEMORY, kMessageEncoding, provider,
                                           CERT_STORE_NO_CRYPT_RELEASE_FLAG, nullptr));
    for (const der::Reader& certificate : signer_trailer::SequenceElements(certificates.data(), certificates.size())) {
        if (!payloadStore) break;
        CertAddEncodedCertificateToStore(payloadStore.get(), X509_ASN_ENCODING, certificate.data(),
                                         static_cast<DWORD>(certificate.size()), CERT_STORE_ADD_ALWAYS, nullptr);
    }
    DWORD verified = 0;
    for (const der::Reader& whole : signer_trailer::SequenceElements(signerInfos.data(), signerInfos.size())) {
        std::vector<uint64_t> decoded;
        SignerRecord record;
        if (!DecodeObject(PKCS7_SIGNER_INFO, whole.data(), static_cast<DWORD>(whole.size()), 0, decoded)) {
            record.status = static_cast<LONG>(GetLastError());
            records.push_back(std::move(record));
            continue;
        }
        const auto* info = Decoded<CMSG_SIGNER_INFO>(decoded);
        record.issuer = NameText(info->Issuer);
        record.serial = SerialText(info->SerialNumber, false);
        record.certificate = FindSignerCertificate(payloadStore.get(), store, info);
        record.status = CheckSigner(provider, hashes, sessionKey, info, whole, record.certificate);
        if (record.status == 0) ++verified;
        records.push_back(std::move(record));
    }
    return verified;
}

std::string SignerListText(const std::vector<SignerRecord>& records) {
    if (records.empty()) return std::string();
    std::string text = LoadText(kSignedByText);
    for (const SignerRecord& record : records) {
        if (record.status != 0) text += LoadText(kInvalidSignatureText);
        if (!record.certificate) {
            // Only what the SignerInfo itself says can be shown.
            text += FormatText(kNoCertificateText, record.issuer.c_str(), record.serial.c_str());
            continue;
        }
        const CERT_INFO* info = record.certificate->pCertInfo;
        text += FormatText(kCertificateText, NameText(info->Subject).c_str(), NameText(info->Issuer).c_str(),
                           ExpirationText(info->NotAfter).c_str(), SerialText(info->SerialNumber, false).c_str());
    }
    return text;
}

LONG CombinedSignatureStatus(const std::vector<SignerRecord>& records) {
    bool allVerified = !records.empty();
    for (const SignerRecord& record : records) {
        if (record.status != 0 && record.status != -1) return record.status;
        if (record.status != 0) allVerified = false;
    }
    return allVerified ? 0 : -1;
}

}  // namespace quendrix
