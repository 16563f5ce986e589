// The signer check of the payload and the signer list text of the report.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

namespace quendrix {

// One signer's outcome; the record owns the certificate (none when it was not found).
struct SignerRecord {
    LONG status = -1;  // -1 not checked; 0 verified; else the failing step's code
    PCCERT_CONTEXT certificate = nullptr;
    // Issuer and serial from the SignerInfo, for a signer whose certificate is not found.
    std::string issuer;
    std::string serial;
    SignerRecord() = default;
    SignerRecord(SignerRecord&& other) noexcept;
    SignerRecord& operator=(SignerRecord&&) = delete;
    SignerRecord(const SignerRecord&) = delete;
    ~SignerRecord();
};

// Verifies every SignerInfo against the content digests in the hash objects. sessionKey (kind 4)
// decrypts the encrypted digests; without it (kind 2) they are only reversed. Certificates are
// looked for among the payload's own ones, then in store. Returns the number of valid signatures.
DWORD VerifyPayloadSigners(HCRYPTPROV provider, const std::vector<HCRYPTHASH>& hashes, HCRYPTKEY sessionKey,
                           const std::vector<BYTE>& certificates, const std::vector<BYTE>& signerInfos,
                           HCERTSTORE store, std::vector<SignerRecord>& records);

// Text 506 and one block per signer; empty when there is no signer.
std::string SignerListText(const std::vector<SignerRecord>& records);

// The first status that is neither 0 nor -1; 0 when every signer verified; else -1.
LONG CombinedSignatureStatus(const std::vector<SignerRecord>& records);

}  // namespace quendrix
