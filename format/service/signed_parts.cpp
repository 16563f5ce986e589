#include "format/service/signed_parts.h"

#include <cstdint>

#include "format/algorithms.h"
#include "format/ber_stream.h"
#include "format/service/crypto_handles.h"
#include "format/service/encoding.h"

ALG_ID SignerDigestAlgorithm(const CMSG_SIGNER_INFO* info) {
    std::vector<uint8_t> oid;
    if (!info->HashAlgorithm.pszObjId || !ber::DottedOidToBytes(info->HashAlgorithm.pszObjId, oid)) oid.clear();
    return alg::DigestAlgorithmFromOid(oid.data(), oid.size());
}

bool HashValue(HCRYPTHASH hash, std::vector<BYTE>& value) {
    DWORD size = 0;
    if (!CryptGetHashParam(hash, HP_HASHVAL, nullptr, &size, 0)) return false;
    value.resize(size);
    if (!CryptGetHashParam(hash, HP_HASHVAL, value.data(), &size, 0)) return false;
    value.resize(size);
    return true;
}

PCCERT_CONTEXT FindSignerCertificate(HCERTSTORE messageStore, HCERTSTORE userStore, const CMSG_SIGNER_INFO* info) {
    CERT_INFO wanted{};
    wanted.Issuer = info->Issuer;
    wanted.SerialNumber = info->SerialNumber;
    if (messageStore) {
        CertHandle found(CertGetSubjectCertificateFromStore(messageStore, kMessageEncoding, &wanted));
        if (found)
            return CertCreateCertificateContext(kMessageEncoding, found.get()->pbCertEncoded,
                                                found.get()->cbCertEncoded);
    }
    return userStore ? CertGetSubjectCertificateFromStore(userStore, kMessageEncoding, &wanted) : nullptr;
}
