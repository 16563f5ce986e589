// Bulk content encryption in CBC mode through CNG, which runs AES about three times as fast as
// the CryptoAPI providers. The content key stays a CryptoAPI session key (it is wrapped for the
// recipients, or imported from a SIMPLEBLOB); its bytes come here through a plaintext key blob
// and are wiped once CNG holds them. The bytes written and read are exactly the provider's:
// the same chaining, the same PKCS #5 padding on the last call, the same refusal of bad padding.
#pragma once
#include <cstddef>
#include <cstdint>

#include "format/service/crypto_handles.h"

class CngContentCipher {
public:
    // Whether CNG takes over the content algorithm: only where it was measured faster than the
    // provider (AES of every key length).
    static bool Runs(ALG_ID algorithm);

    // The key's bytes and the IV (one block). False with the last error set when the platform
    // cannot make the key or the sizes do not fit the algorithm (ERROR_INVALID_PARAMETER).
    bool Start(ALG_ID algorithm, const uint8_t* key, size_t keySize, const uint8_t* iv, size_t ivSize);

    // Takes over the session key when the rule allows it: a content algorithm CNG runs, a key of
    // one of the system's own software providers (any other provider may hold keys no one can
    // export, or run a cipher of its own), and a key that exports. The key's mode and IV must be
    // set already. False (and nothing started) leaves the caller on the CryptoAPI path.
    bool StartFromSessionKey(HCRYPTPROV provider, HCRYPTKEY key, ALG_ID algorithm);

    bool started() const { return static_cast<bool>(key_); }
    DWORD blockBytes() const { return blockBytes_; }

    // Encrypts size bytes in place; only the final call may take a part block, and it adds the
    // padding (size grows by 1 to blockBytes(), so capacity must leave room for it). The callers
    // know the last piece when they hand it over, so nothing is held back between calls.
    bool Encrypt(uint8_t* data, DWORD& size, DWORD capacity, bool final);

    // Decrypts size bytes (whole blocks) in place; the final call checks and removes the padding,
    // with NTE_BAD_DATA when the bytes are no whole blocks or the padding is wrong, as the
    // providers report it. After the final call the cipher starts again from the first IV.
    bool Decrypt(uint8_t* data, DWORD& size, bool final);

private:
    bool Transform(uint8_t* data, DWORD size, DWORD capacity, bool encrypt, bool pad, DWORD& written);

    CngAlgorithmHandle algorithm_;
    CngKeyHandle key_;
    DWORD blockBytes_ = 0;
    uint8_t firstIv_[16] = {};
    uint8_t iv_[16] = {};  // the chaining value: CNG under Wine never writes it back, so it is kept here
};

// The import flags with CRYPT_EXPORTABLE added when a session key of the algorithm imported into
// the provider is one that StartFromSessionKey takes over (its bytes are exported then); keys of
// any other provider are imported as before. Not with CRYPT_OAEP: Wine's provider undoes OAEP only
// when that is the sole flag (it exports such keys all the same; Windows keeps them on CryptoAPI).
DWORD WithCngImportFlags(DWORD importFlags, HCRYPTPROV provider, ALG_ID algorithm);

// Whether the provider is one of the system's own software providers (Base, Strong, Enhanced,
// Enhanced RSA and AES), by name.
bool IsSystemSoftwareProvider(HCRYPTPROV provider);
