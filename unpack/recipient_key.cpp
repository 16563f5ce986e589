#include "unpack/recipient_key.h"

#include <cstdint>
#include <vector>

BOOL AcquireCertificateKey(PCCERT_CONTEXT certificate, HCRYPTPROV* provider, DWORD* keySpec) {
    if (!certificate || !provider || !keySpec) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) return FALSE;
    std::vector<uint64_t> buffer(size / sizeof(uint64_t) + 1);
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size)) return FALSE;
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    HCRYPTPROV acquired = 0;
    if (!CryptAcquireContextW(&acquired, info->pwszContainerName, info->pwszProvName, info->dwProvType, 0))
        return FALSE;
    *provider = acquired;
    *keySpec = info->dwKeySpec;
    return TRUE;
}
