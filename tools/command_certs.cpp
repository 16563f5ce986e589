// quill certs: the current user's "MY" certificates, then the recovery certificates every pack adds.
#include <windows.h>
#include <wincrypt.h>

#include "format/service/crypto_handles.h"
#include "format/service/resources.h"
#include "tools/certificate_text.h"
#include "tools/commands.h"
#include "tools/console.h"
#include "unpack/recipient_key.h"

namespace {

// Whether the key-provider property names a container that opens and holds a key.
bool HasUsablePrivateKey(PCCERT_CONTEXT certificate) {
    HCRYPTPROV acquired = 0;
    DWORD keySpec = 0;
    if (!AcquireCertificateKey(certificate, &acquired, &keySpec)) return false;
    ProviderHandle provider(acquired);
    KeyHandle key;
    return CryptGetUserKey(provider.get(), keySpec, key.put()) != FALSE;
}

void PrintCertificate(PCCERT_CONTEXT c) {
    PrintLine(L"Subject:     " + NameText(c->pCertInfo->Subject));
    PrintLine(L"Issuer:      " + NameText(c->pCertInfo->Issuer));
    PrintLine(L"Serial:      " + SerialText(c));
    PrintLine(L"Not after:   " + TimeText(c->pCertInfo->NotAfter));
    PrintLine(std::wstring(L"Private key: ") + (HasUsablePrivateKey(c) ? L"yes" : L"no"));
    PrintLine(L"SHA-1:       " + ThumbprintText(c));
}

}  // namespace

int CommandCerts(ArgumentReader& arguments) {
    if (!arguments.AtEnd()) return UsageError(L"certs takes no arguments");
    StoreHandle store = OpenMyStore();
    if (!store) return Fail(L"cannot open the certificate store MY", GetLastError());
    int count = 0;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store.get(), nullptr); c;
         c = CertEnumCertificatesInStore(store.get(), c)) {
        if (count++) PrintLine(L"");
        PrintCertificate(c);
    }
    if (count == 0) PrintLine(L"no certificates in MY");
    PrintRecoverySummary();
    return 0;
}
