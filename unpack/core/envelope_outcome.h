// What reading an envelope reports, the same in the shared library's unpack job and in the
// self-decoding program's decode status. -1 / 0xFFFFFFFF mean "not set", 0 means success.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <cstdint>

namespace reader_core {

// Why the recipient entries meant for this user cannot be opened here, when that is the reason no
// session key was found: the key transport or recipient kind, not the key, is what is missing.
enum RecipientRefusal : BYTE {
    kRefusalNone = 0,
    kRefusalOaepHash,      // RSA-OAEP with a hash the key's provider does not offer
    kRefusalKeyAgreement,  // key agreement (EC)
    kRefusalKek,           // a symmetric key-encryption key
    kRefusalPassword,      // a password
    kRefusalOtherKind,     // another recipient kind
};

struct EnvelopeOutcome {
    LONG decompressStatus = -1;     // 0 ok; zlib code, -128 CRC-32, -129 size mismatch
    DWORD readError = 0xFFFFFFFF;   // opening/reading the packed file
    DWORD writeError = 0xFFFFFFFF;  // creating/writing the output
    DWORD jobResult = 0xFFFFFFFF;   // 0 success, else an HRESULT or system error; -1 never run
    LONG finalBlockStatus = -1;     // -1 last block never decrypted; 0 decrypted; else error
    LONG signatureStatus = -1;      // -1 not verified; 0 all verified; kSignatureNotSupported (signature_check.h)
                                    // when signers could not be checked; else first failing signer's error
    uint64_t offset = 0;            // bytes of the envelope consumed
    DWORD outerContentType = 0;     // 2 signedData, 3 envelopedData, 4 signedAndEnvelopedData
    BYTE recipientRefusal = kRefusalNone;  // with jobResult NTE_NOT_SUPPORTED: the reason in words
    ALG_ID refusedHash = 0;                // kRefusalOaepHash: the OAEP hash
};

}  // namespace reader_core
