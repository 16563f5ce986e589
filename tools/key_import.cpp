#include "tools/key_import.h"

#include <wincrypt.h>

#include <cstring>

#include "format/pkcs8.h"
#include "format/secret_bytes.h"
#include "format/service/crypto_handles.h"
#include "format/service/pkcs12_keys.h"
#include "tools/certificate_text.h"
#include "tools/key_check.h"

namespace {

struct KeyLocation {
    std::wstring container;
    bool hasContainer = false;  // the platform may use the unnamed default container
    std::wstring provider;
    DWORD providerType = 0;
    DWORD keySpec = 0;
};

const wchar_t* ContainerOrNull(const KeyLocation& location) {
    return location.hasContainer ? location.container.c_str() : nullptr;
}

bool ReadKeyLocation(PCCERT_CONTEXT certificate, KeyLocation& location) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) return false;
    std::vector<uint64_t> buffer(size / sizeof(uint64_t) + 1);
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size))
        return false;
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    location.hasContainer = info->pwszContainerName != nullptr;
    if (location.hasContainer) location.container = info->pwszContainerName;
    if (info->pwszProvName) location.provider = info->pwszProvName;
    location.providerType = info->dwProvType;
    location.keySpec = info->dwKeySpec;
    return true;
}

ProviderHandle AcquireLocation(const KeyLocation& location, DWORD flags) {
    ProviderHandle provider;
    const wchar_t* name = location.provider.empty() ? nullptr : location.provider.c_str();
    if (!CryptAcquireContextW(provider.put(), ContainerOrNull(location), name,
                              location.providerType, flags))
        provider.release();
    return provider;
}

// The private key as a PRIVATEKEYBLOB. Some importers record a key spec that is neither
// AT_KEYEXCHANGE nor AT_SIGNATURE, so both are tried.
bool ExportPrivateKey(const KeyLocation& location, SecretBytes& blob) {
    ProviderHandle provider = AcquireLocation(location, 0);
    if (!provider) return false;
    KeyHandle key;
    DWORD specs[] = {location.keySpec, AT_KEYEXCHANGE, AT_SIGNATURE};
    for (DWORD spec : specs) {
        if ((spec == AT_KEYEXCHANGE || spec == AT_SIGNATURE) && CryptGetUserKey(provider.get(), spec, key.put()))
            break;
    }
    if (!key) return false;
    DWORD size = 0;
    if (!CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &size)) return false;
    blob.bytes().resize(size);
    if (!CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, blob.bytes().data(), &size)) return false;
    blob.bytes().resize(size);
    return true;
}

// The name of the type's default provider, read from a verify-only handle of it (the platform
// call for this is missing on some systems).
bool DefaultProviderName(DWORD providerType, std::wstring& name) {
    ProviderHandle provider;
    if (!CryptAcquireContextW(provider.put(), nullptr, nullptr, providerType, CRYPT_VERIFYCONTEXT)) return false;
    DWORD size = 0;
    if (!CryptGetProvParam(provider.get(), PP_NAME, nullptr, &size, 0)) return false;
    std::vector<char> ansi(size + 1);
    if (!CryptGetProvParam(provider.get(), PP_NAME, reinterpret_cast<BYTE*>(ansi.data()), &size, 0)) return false;
    int length = MultiByteToWideChar(CP_ACP, 0, ansi.data(), -1, nullptr, 0);
    if (length <= 1) return false;
    std::vector<wchar_t> wide(length);
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), -1, wide.data(), length);
    name = wide.data();
    return true;
}

// A fresh container (an older one of the same name is dropped) holding the key as AT_KEYEXCHANGE.
bool StoreKey(SecretBytes& blob, const KeyLocation& target) {
    HCRYPTPROV stale = 0;
    CryptAcquireContextW(&stale, target.container.c_str(), target.provider.c_str(), target.providerType,
                         CRYPT_DELETEKEYSET);
    ProviderHandle provider = AcquireLocation(target, CRYPT_NEWKEYSET);
    if (!provider) return false;
    auto* header = reinterpret_cast<BLOBHEADER*>(blob.bytes().data());
    if (blob.bytes().size() < sizeof(BLOBHEADER)) {
        SetLastError(static_cast<DWORD>(NTE_BAD_DATA));
        return false;
    }
    // A key imported under CALG_RSA_SIGN would land in the AT_SIGNATURE slot; envelopes need the
    // exchange key, which signs as well.
    header->aiKeyAlg = CALG_RSA_KEYX;
    KeyHandle key;
    if (!CryptImportKey(provider.get(), blob.bytes().data(), static_cast<DWORD>(blob.bytes().size()), 0, 0,
                        key.put()))
        return false;
    // The container is written when the handles are released.
    return true;
}

void DeleteContainer(const KeyLocation& location) {
    HCRYPTPROV ignored = 0;
    const wchar_t* name = location.provider.empty() ? nullptr : location.provider.c_str();
    CryptAcquireContextW(&ignored, ContainerOrNull(location), name,
                         location.providerType, CRYPT_DELETEKEYSET);
}

bool CopyFriendlyName(PCCERT_CONTEXT from, PCCERT_CONTEXT to) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(from, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size)) return true;
    std::vector<BYTE> name(size);
    if (!CertGetCertificateContextProperty(from, CERT_FRIENDLY_NAME_PROP_ID, name.data(), &size)) return true;
    CRYPT_DATA_BLOB blob{size, name.data()};
    return CertSetCertificateContextProperty(to, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob) != FALSE;
}

// The certificate as a new context with the key-provider property of its own container. The
// property is set before the context goes into "MY": changes to stored certificates are not
// always persisted.
bool AddToMyStore(PCCERT_CONTEXT source, const KeyLocation& target) {
    CertHandle fresh(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, source->pbCertEncoded,
                                                  source->cbCertEncoded));
    if (!fresh) return false;
    CRYPT_KEY_PROV_INFO info{};
    std::wstring container = target.container;
    std::wstring provider = target.provider;
    info.pwszContainerName = &container[0];
    info.pwszProvName = &provider[0];
    info.dwProvType = target.providerType;
    info.dwKeySpec = AT_KEYEXCHANGE;
    if (!CertSetCertificateContextProperty(fresh.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) return false;
    CopyFriendlyName(source, fresh.get());
    StoreHandle store = OpenMyStore();
    if (!store) return false;
    // Replacing keeps one entry per certificate when a file is imported again.
    return CertAddCertificateContextToStore(store.get(), fresh.get(), CERT_STORE_ADD_REPLACE_EXISTING, nullptr) !=
           FALSE;
}

// The file's own keys, read on first need when the platform's import gave a key that fails the check.
struct PfxFile {
    PfxFile(const std::vector<BYTE>& fileBytes, const std::wstring& filePassword)
        : bytes(fileBytes), password(filePassword) {}
    const std::vector<BYTE>& bytes;
    const std::wstring& password;
    bool read = false;
    std::vector<SecretBytes> keys;
};

bool StoredKeyMatches(const KeyLocation& target, PCCERT_CONTEXT certificate) {
    ProviderHandle provider = AcquireLocation(target, 0);
    return provider && KeyMatchesCertificate(provider.get(), certificate);
}

// The file's key for the certificate (the one with its public key), stored and checked.
bool StoreKeyFromFile(PfxFile& file, PCCERT_CONTEXT certificate, const KeyLocation& target) {
    if (!file.read && !ReadPkcs12PrivateKeys(file.bytes, file.password, file.keys)) {
        // The platform read this file; that this reader cannot is no news about the file itself:
        // what the user meets is a key that does not fit its certificate.
        if (GetLastError() == ERROR_INVALID_DATA) SetLastError(static_cast<DWORD>(NTE_BAD_KEY));
        return false;
    }
    file.read = true;
    const CRYPT_BIT_BLOB& publicKey = certificate->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    for (const SecretBytes& info : file.keys) {
        pkcs8::RsaPrivateKey key;
        SecretBytes blob;
        if (!pkcs8::ParsePrivateKeyInfo(der::Reader(info.bytes()), key) ||
            !pkcs8::MatchesPublicKey(key, der::Reader(publicKey.pbData, publicKey.cbData)) ||
            !pkcs8::BuildPrivateKeyBlob(key, blob.bytes()))
            continue;
        return StoreKey(blob, target) && StoredKeyMatches(target, certificate);
    }
    SetLastError(static_cast<DWORD>(NTE_BAD_KEY));
    return false;
}

bool StoreCheckedKey(PfxFile& file, PCCERT_CONTEXT certificate, const KeyLocation& source,
                     const KeyLocation& target, bool& fromFile) {
    {
        SecretBytes blob;
        fromFile = false;
        if (ExportPrivateKey(source, blob) && StoreKey(blob, target) && StoredKeyMatches(target, certificate))
            return true;
    }
    fromFile = true;
    return StoreKeyFromFile(file, certificate, target);
}

bool ImportOne(PfxFile& file, PCCERT_CONTEXT certificate, DWORD providerType, ImportedCertificate& result) {
    KeyLocation source;
    if (!ReadKeyLocation(certificate, source)) return false;
    // Envelopes use RSA keys only: a platform that imported another kind (an EC key, say) keeps it
    // where this importer cannot take it from.
    const char* keyAlgorithm = certificate->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId;
    if (!keyAlgorithm || strcmp(keyAlgorithm, szOID_RSA_RSA) != 0) {
        DeleteContainer(source);
        SetLastError(static_cast<DWORD>(NTE_BAD_ALGID));
        return false;
    }
    KeyLocation target;
    target.providerType = providerType;
    target.hasContainer = true;
    result.thumbprint = ThumbprintText(certificate);
    target.container = ContainerNameFor(result.thumbprint);
    if (!DefaultProviderName(providerType, target.provider)) return false;
    bool stored = StoreCheckedKey(file, certificate, source, target, result.keyFromFile) &&
                  AddToMyStore(certificate, target);
    PreserveLastError keep;
    // The importer's own container may be shared by every import: leave no key behind in it, nor
    // a container of ours without its certificate.
    DeleteContainer(source);
    if (!stored) {
        DeleteContainer(target);
        return false;
    }
    result.subject = NameText(certificate->pCertInfo->Subject);
    result.container = target.container;
    result.providerType = providerType;
    return true;
}

// Whether the file, read with the password by this program itself, holds a key that is not RSA.
// The platform's import refuses such a file as if the password were wrong.
bool HoldsKeyOtherThanRsa(const std::vector<BYTE>& file, const std::wstring& password) {
    std::vector<SecretBytes> keys;
    if (!ReadPkcs12PrivateKeys(file, password, keys)) return false;
    for (const SecretBytes& key : keys)
        if (pkcs8::IsOtherThanRsa(der::Reader(key.bytes()))) return true;
    return false;
}

// After a failure: the keys the platform's import made for the certificates not reached go too.
void DropImporterKeys(HCERTSTORE pfx, PCCERT_CONTEXT failed) {
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(pfx, failed); c; c = CertEnumCertificatesInStore(pfx, c)) {
        KeyLocation location;
        if (ReadKeyLocation(c, location)) DeleteContainer(location);
    }
}

}  // namespace

std::wstring ContainerNameFor(const std::wstring& thumbprint) { return L"Quillarent-" + thumbprint; }

bool ImportPfx(const std::vector<BYTE>& file, const std::wstring& password, DWORD providerType,
               std::vector<ImportedCertificate>& imported) {
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(file.size()), const_cast<BYTE*>(file.data())};
    if (file.empty() || !PFXIsPFXBlob(&blob)) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    if (!Pkcs12MacAgrees(file, password)) return false;
    StoreHandle pfx(PFXImportCertStore(&blob, password.c_str(), CRYPT_EXPORTABLE | CRYPT_USER_KEYSET));
    if (!pfx) {
        // Some systems leave the last error at 0 for a wrong password, and give the same for a key
        // of a kind they cannot import.
        DWORD error = GetLastError();
        if (HoldsKeyOtherThanRsa(file, password)) error = static_cast<DWORD>(NTE_BAD_ALGID);
        else if (error == 0 || error == static_cast<DWORD>(NTE_BAD_DATA)) error = ERROR_INVALID_PASSWORD;
        SetLastError(error);
        return false;
    }
    PfxFile source(file, password);
    bool sawKey = false;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(pfx.get(), nullptr); c;
         c = CertEnumCertificatesInStore(pfx.get(), c)) {
        DWORD size = 0;
        if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) continue;
        sawKey = true;
        ImportedCertificate result;
        if (!ImportOne(source, c, providerType, result)) {
            PreserveLastError keep;
            DropImporterKeys(pfx.get(), c);
            return false;
        }
        imported.push_back(result);
    }
    if (!sawKey) {
        SetLastError(static_cast<DWORD>(NTE_NO_KEY));
        return false;
    }
    return true;
}
