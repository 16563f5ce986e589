#include "format/service/content_cipher.h"

#include <cstring>

#include "format/secret_bytes.h"
#include "format/service/plain_key.h"

namespace {

constexpr NTSTATUS kStatusUnsuccessful = static_cast<NTSTATUS>(0xC0000001L);

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

bool FailStatus(NTSTATUS status) { return Fail(HRESULT_FROM_NT(status)); }

// The PKCS #5 padding of the last block: n bytes of value n, 1 <= n <= the block. Takes it off
// size; false when it is wrong.
bool StripPadding(const uint8_t* data, DWORD& size, DWORD block) {
    const uint8_t pad = data[size - 1];
    if (pad == 0 || pad > block) return false;
    for (DWORD i = 1; i <= pad; ++i)
        if (data[size - i] != pad) return false;
    size -= pad;
    return true;
}

}  // namespace

bool CngContentCipher::Runs(ALG_ID algorithm) {
    return algorithm == CALG_AES_128 || algorithm == CALG_AES_192 || algorithm == CALG_AES_256;
}

bool CngContentCipher::Start(ALG_ID algorithm, const uint8_t* key, size_t keySize, const uint8_t* iv,
                             size_t ivSize) {
    key_.reset();
    algorithm_.reset();
    const size_t wantedKey = algorithm == CALG_AES_128 ? 16 : algorithm == CALG_AES_192 ? 24 : 32;
    if (!Runs(algorithm) || keySize != wantedKey || ivSize != 16) return Fail(ERROR_INVALID_PARAMETER);
    NTSTATUS status = BCryptOpenAlgorithmProvider(algorithm_.put(), BCRYPT_AES_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(status)) return FailStatus(status);
    status = BCryptSetProperty(algorithm_.get(), BCRYPT_CHAINING_MODE,
                               reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_CBC)),
                               sizeof BCRYPT_CHAIN_MODE_CBC, 0);
    if (BCRYPT_SUCCESS(status))
        status = BCryptGenerateSymmetricKey(algorithm_.get(), key_.put(), nullptr, 0, const_cast<PUCHAR>(key),
                                            static_cast<ULONG>(keySize), 0);
    if (!BCRYPT_SUCCESS(status)) {
        algorithm_.reset();
        return FailStatus(status);
    }
    blockBytes_ = static_cast<DWORD>(ivSize);
    std::memcpy(firstIv_, iv, ivSize);
    std::memcpy(iv_, iv, ivSize);
    return true;
}

bool CngContentCipher::StartFromSessionKey(HCRYPTPROV provider, HCRYPTKEY key, ALG_ID algorithm) {
    key_.reset();
    if (!Runs(algorithm) || !IsSystemSoftwareProvider(provider)) return false;
    DWORD mode = 0;
    DWORD size = sizeof mode;
    if (!CryptGetKeyParam(key, KP_MODE, reinterpret_cast<BYTE*>(&mode), &size, 0) || mode != CRYPT_MODE_CBC)
        return false;
    uint8_t iv[16] = {};
    DWORD ivSize = sizeof iv;
    if (!CryptGetKeyParam(key, KP_IV, iv, &ivSize, 0)) return false;
    SecretBytes bytes;
    return ExportPlainKey(key, bytes) && Start(algorithm, bytes.bytes().data(), bytes.bytes().size(), iv, ivSize);
}

bool CngContentCipher::Transform(uint8_t* data, DWORD size, DWORD capacity, bool encrypt, bool pad,
                                 DWORD& written) {
    // CNG may write its chained IV into the buffer it is given (Windows does, Wine does not): a
    // copy goes in, and the chaining value is taken from the ciphertext here.
    uint8_t iv[16];
    std::memcpy(iv, iv_, blockBytes_);
    uint8_t lastCipherBlock[16];
    if (!encrypt && size >= blockBytes_) std::memcpy(lastCipherBlock, data + size - blockBytes_, blockBytes_);
    written = 0;
    const ULONG flags = pad ? BCRYPT_BLOCK_PADDING : 0;
    NTSTATUS status = encrypt ? BCryptEncrypt(key_.get(), data, size, nullptr, iv, blockBytes_, data, capacity,
                                              &written, flags)
                              : BCryptDecrypt(key_.get(), data, size, nullptr, iv, blockBytes_, data, capacity,
                                              &written, flags);
    if (!BCRYPT_SUCCESS(status)) return FailStatus(status);
    const DWORD expected = pad ? (size / blockBytes_ + 1) * blockBytes_ : size;
    if (written != expected) return FailStatus(kStatusUnsuccessful);
    if (encrypt && written >= blockBytes_) std::memcpy(iv_, data + written - blockBytes_, blockBytes_);
    if (!encrypt && size >= blockBytes_) std::memcpy(iv_, lastCipherBlock, blockBytes_);
    return true;
}

bool CngContentCipher::Encrypt(uint8_t* data, DWORD& size, DWORD capacity, bool final) {
    if (!started() || capacity < size) return Fail(ERROR_INVALID_PARAMETER);
    if (!final && size % blockBytes_) return Fail(static_cast<DWORD>(NTE_BAD_DATA));
    if (final && capacity - size < blockBytes_ - size % blockBytes_) return Fail(ERROR_MORE_DATA);
    DWORD written = 0;
    if (!Transform(data, size, capacity, true, final, written)) return false;
    size = written;
    if (final) std::memcpy(iv_, firstIv_, blockBytes_);
    return true;
}

bool CngContentCipher::Decrypt(uint8_t* data, DWORD& size, bool final) {
    if (!started()) return Fail(ERROR_INVALID_PARAMETER);
    if (size % blockBytes_ || (final && size == 0)) return Fail(static_cast<DWORD>(NTE_BAD_DATA));
    DWORD written = 0;
    if (!Transform(data, size, size, false, false, written)) return false;
    if (!final) return true;
    // The padding is checked here rather than by CNG, whose checks differ between platforms; the
    // verdict is then the provider's everywhere.
    std::memcpy(iv_, firstIv_, blockBytes_);
    return StripPadding(data, size, blockBytes_) || Fail(static_cast<DWORD>(NTE_BAD_DATA));
}

DWORD WithCngImportFlags(DWORD importFlags, HCRYPTPROV provider, ALG_ID algorithm) {
    if ((importFlags & CRYPT_OAEP) || !CngContentCipher::Runs(algorithm) || !IsSystemSoftwareProvider(provider))
        return importFlags;
    return importFlags | CRYPT_EXPORTABLE;
}

bool IsSystemSoftwareProvider(HCRYPTPROV provider) {
    static const char* const kNames[] = {MS_DEF_PROV_A, MS_STRONG_PROV_A, MS_ENHANCED_PROV_A, MS_ENH_RSA_AES_PROV_A,
                                         MS_ENH_RSA_AES_PROV_XP_A};
    char name[128] = {};
    DWORD size = sizeof name - 1;
    if (!provider || !CryptGetProvParam(provider, PP_NAME, reinterpret_cast<BYTE*>(name), &size, 0)) return false;
    for (const char* known : kNames)
        if (std::strcmp(name, known) == 0) return true;
    return false;
}
