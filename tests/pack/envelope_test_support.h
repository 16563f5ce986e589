// What the envelope writer tests need around the writer: keys and certificates of their own in
// named containers, a parser for the envelopes written, and decryption and signature checks done
// with the platform's own calls.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "format/der.h"
#include "format/service/crypto_handles.h"
#include "pack/envelope_writer.h"
#include "packer_ui/packer_window.h"

namespace envelope_test {

// A self-signed certificate whose private key lives in a container made for this test run.
struct Identity {
    std::wstring container;
    DWORD providerType = 0;
    DWORD keySpec = AT_KEYEXCHANGE;
    ProviderHandle provider;
    CertHandle certificate;
};

enum class Who { kAlice, kBob, kCarol, kDave };
// Alice: RSA 2048 in the RSA/AES provider; Bob: RSA 1024 in the RSA full provider;
// Carol: signer, RSA 2048, AES provider, AT_SIGNATURE; Dave: signer, RSA 1024, RSA full provider.
Identity& Get(Who who);
// A certificate with a public key no RSA provider can import (an unknown algorithm).
CertHandle UnusableCertificate();
SignerEntry Signer(Who who);

// A verify-only provider of the type (PROV_RSA_AES offers every algorithm).
ProviderHandle VerifyProvider(DWORD type = PROV_RSA_AES);

// A packer window with the given recipients (duplicated into its encryption page).
class Window {
public:
    Window();
    ~Window();
    void AddRecipient(PCCERT_CONTEXT certificate);
    CVSettingsDlg& settings() { return *window_.settingsPage; }
    PackerWindow* get() { return &window_; }

private:
    PackerWindow window_;
};

// Writes an envelope of the bytes into a file and reads the file back; false when WriteEnvelope
// failed (error then holds the last error).
struct WriteResult {
    bool ok = false;
    DWORD error = 0;
    std::vector<uint8_t> file;
};
WriteResult WriteToFile(Window& window, const std::vector<uint8_t>& plaintext, std::vector<SignerEntry> signers,
                        HCRYPTPROV provider, ULONG maxRead = 0, bool lateEnd = false,
                        const std::vector<uint8_t>& prefix = {}, DWORD sizeBound = 0);

struct Recipient {
    std::vector<uint8_t> issuer;
    std::vector<uint8_t> serial;  // INTEGER content bytes
    std::vector<uint8_t> keyTransport;
    std::vector<uint8_t> encryptedKey;  // most significant byte first
};

// The parts of a plain-form envelope.
struct Parsed {
    std::vector<uint8_t> outerOid;  // whole OID element
    uint32_t version = 0;
    std::vector<Recipient> recipients;
    std::vector<uint8_t> digestSet;            // whole element, empty when none
    std::vector<uint8_t> algorithmIdentifier;  // whole element
    std::vector<uint8_t> content;              // ciphertext, or the clear content of signedData
    std::vector<uint8_t> certificatesBlock;    // whole A0 element, empty when none
    std::vector<uint8_t> signerInfosBlock;     // whole 31 element, empty when none
    std::vector<std::vector<uint8_t>> signerInfos;
    std::vector<std::vector<uint8_t>> certificates;
};
// False when the bytes are not exactly one envelope of the expected layout.
bool Parse(const std::vector<uint8_t>& bytes, Parsed& out);

// The session key of the first recipient entry that belongs to the identity, imported with its
// private key and given the envelope's parameters.
KeyHandle ImportSessionKey(Identity& who, const Parsed& parsed, size_t recipientIndex);
KeyHandle ImportSessionKey(HCRYPTPROV keyProvider, const Parsed& parsed, size_t recipientIndex);
std::vector<uint8_t> Decrypt(HCRYPTKEY key, std::vector<uint8_t> ciphertext);

// Checks one encoded SignerInfo against the signer's certificate and the content's digest.
// encryptedWith: the content key in signedAndEnvelopedData, else 0.
::testing::AssertionResult VerifySignerInfo(const std::vector<uint8_t>& signerInfo, PCCERT_CONTEXT signer,
                                            const std::vector<uint8_t>& content, HCRYPTKEY encryptedWith);

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> list);
bool Contains(const std::vector<uint8_t>& haystack, const std::vector<uint8_t>& needle);

}  // namespace envelope_test
