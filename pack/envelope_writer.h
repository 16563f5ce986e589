// Turns one plaintext stream into one PKCS#7 envelope in an open output file.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <objidl.h>

#include <cstdint>

struct PackerWindow;

// A signing certificate with the provider holding its private key and the key spec.
struct SignerEntry {
    PCCERT_CONTEXT certificate = nullptr;
    HCRYPTPROV provider = 0;
    DWORD keySpec = 0;
};

// Writes the envelope for the window's recipients (encryption page) and the given signers with the
// window's settings. plaintextSize is the number of bytes source delivers (0 for the self-decoding
// form). provider: a verify-only provider for the session key, 0 without recipients.
// Nonzero on success; 0 with the reason in the thread's last error.
BOOL WriteEnvelope(HANDLE output, ISequentialStream* source, uint64_t plaintextSize, const SignerEntry* signers,
                   DWORD signerCount, PackerWindow* window, HCRYPTPROV provider);

// The same for a source whose length is only known at its end, at most sizeBound bytes: the
// header is written for the bound and settled once the content is in (what follows it moves down
// when the real header is shorter). The output must be open for reading too.
BOOL WriteEnvelopeOfUnknownLength(HANDLE output, ISequentialStream* source, uint64_t sizeBound,
                                  const SignerEntry* signers, DWORD signerCount, PackerWindow* window,
                                  HCRYPTPROV provider);

// Whether the window's settings allow the call above: not for the self-decoding form, whose
// lengths are patched in its own way, and not when the signed content's header is encrypted.
bool EnvelopeLengthsMayComeLast(const PackerWindow& window, DWORD signerCount);
