// Recipients for the reader tests: certificates of the test data in a memory store, with their
// private keys loaded from PVK files into containers of the tests' own (removed afterwards).
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "format/service/crypto_handles.h"
#include "unpack/unpack_job.h"
#include "unpack/unpack_settings.h"

namespace reader_test {

class TestRecipients {
public:
    TestRecipients();
    ~TestRecipients();
    TestRecipients(const TestRecipients&) = delete;
    TestRecipients& operator=(const TestRecipients&) = delete;

    // NAME.cer into the store with NAME.pvk's key in a container of the given provider type.
    bool AddWithKey(const std::wstring& name, DWORD providerType);
    // NAME.cer only: listed by the reader, but no key.
    bool AddCertificateOnly(const std::wstring& name);
    HCERTSTORE store() const { return store_.get(); }

private:
    StoreHandle store_;
    struct Container {
        std::wstring name;
        DWORD type;
    };
    std::vector<Container> containers_;
};

// Settings over the given store that never ask and never try other providers.
UnpackSettings QuietSettings(HCERTSTORE store);

// True when a container of that name exists in the type's default provider.
bool ContainerExists(const std::wstring& container, DWORD providerType);
void DeleteContainer(const std::wstring& container, DWORD providerType);

}  // namespace reader_test
