#include "reader_test_keys.h"

#include <cstring>

#include "tests/support/test_support.h"

namespace reader_test {

using testing_support::ReadFileBytes;
using testing_support::TestDataFile;

namespace {
constexpr size_t kPvkHeaderSize = 24;
}

TestRecipients::TestRecipients()
    : store_(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr)) {}

TestRecipients::~TestRecipients() {
    store_.reset();
    for (const Container& container : containers_) DeleteContainer(container.name, container.type);
}

bool TestRecipients::AddCertificateOnly(const std::wstring& name) {
    std::vector<uint8_t> der = ReadFileBytes(TestDataFile(name + L".cer"));
    return CertAddEncodedCertificateToStore(store_.get(), X509_ASN_ENCODING, der.data(),
                                            static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS, nullptr) != FALSE;
}

bool TestRecipients::AddWithKey(const std::wstring& name, DWORD providerType) {
    std::wstring container = L"QuillReaderTest-" + name + L"-" + std::to_wstring(providerType);
    DeleteContainer(container, providerType);
    std::vector<uint8_t> pvk = ReadFileBytes(TestDataFile(name + L".pvk"));
    if (pvk.size() <= kPvkHeaderSize) return false;
    std::vector<BYTE> blob(pvk.begin() + kPvkHeaderSize, pvk.end());
    const ALG_ID keyExchange = CALG_RSA_KEYX;
    std::memcpy(blob.data() + 4, &keyExchange, sizeof(keyExchange));
    ProviderHandle provider;
    if (!CryptAcquireContextW(provider.put(), container.c_str(), nullptr, providerType, CRYPT_NEWKEYSET)) return false;
    containers_.push_back({container, providerType});
    KeyHandle key;
    if (!CryptImportKey(provider.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, CRYPT_EXPORTABLE, key.put()))
        return false;
    key.reset();
    provider.reset();  // the key is stored when the handle that made it goes

    std::vector<uint8_t> der = ReadFileBytes(TestDataFile(name + L".cer"));
    PCCERT_CONTEXT added = nullptr;
    if (!CertAddEncodedCertificateToStore(store_.get(), X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_ALWAYS, &added))
        return false;
    CertHandle certificate(added);
    CRYPT_KEY_PROV_INFO info = {};
    info.pwszContainerName = const_cast<wchar_t*>(container.c_str());
    info.dwProvType = providerType;
    info.dwKeySpec = AT_KEYEXCHANGE;
    return CertSetCertificateContextProperty(certificate.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info) != FALSE;
}

UnpackSettings QuietSettings(HCERTSTORE store) {
    UnpackSettings settings;
    settings.store = store;
    settings.enumProviders = 0;
    settings.askReimport = 0;
    settings.reimportKey = 0;
    return settings;
}

bool ContainerExists(const std::wstring& container, DWORD providerType) {
    ProviderHandle provider;
    return CryptAcquireContextW(provider.put(), container.c_str(), nullptr, providerType, 0) != FALSE;
}

void DeleteContainer(const std::wstring& container, DWORD providerType) {
    HCRYPTPROV unused = 0;
    CryptAcquireContextW(&unused, container.c_str(), nullptr, providerType, CRYPT_DELETEKEYSET);
}

}  // namespace reader_test
