#include "format/service/content_cipher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr DWORD kChunk = 65536;  // the writer's and reader's piece for a 128-bit block

// Bytes that are not all alike, the same on every run.
Bytes Pattern(size_t size, uint32_t seed) {
    Bytes out(size);
    for (auto& b : out) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 16);
    }
    return out;
}

struct Provider {
    ProviderHandle handle;
    explicit Provider(DWORD type, const wchar_t* name = nullptr) {
        EXPECT_TRUE(CryptAcquireContextW(handle.put(), nullptr, name, type, CRYPT_VERIFYCONTEXT)) << GetLastError();
    }
};

// A session key of fixed bytes in CBC mode with a fixed IV, as a pack or unpack holds it.
KeyHandle FixedKey(HCRYPTPROV provider, ALG_ID algorithm, size_t keySize) {
    Bytes blob(sizeof(BLOBHEADER) + sizeof(DWORD));
    BLOBHEADER header = {PLAINTEXTKEYBLOB, CUR_BLOB_VERSION, 0, algorithm};
    const DWORD size = static_cast<DWORD>(keySize);
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, &size, sizeof size);
    const Bytes key = Pattern(keySize, static_cast<uint32_t>(algorithm));
    blob.insert(blob.end(), key.begin(), key.end());
    KeyHandle handle;
    EXPECT_TRUE(CryptImportKey(provider, blob.data(), static_cast<DWORD>(blob.size()), 0, CRYPT_EXPORTABLE, handle.put()))
        << std::hex << GetLastError();
    DWORD mode = CRYPT_MODE_CBC;
    const Bytes iv = Pattern(16, 99);
    EXPECT_TRUE(CryptSetKeyParam(handle.get(), KP_MODE, reinterpret_cast<BYTE*>(&mode), 0));
    EXPECT_TRUE(CryptSetKeyParam(handle.get(), KP_IV, iv.data(), 0));
    return handle;
}

// The text in pieces of kChunk, the last one final, as the writer and reader hand them over.
// Returns the last error, 0 when every call succeeded; out keeps what the calls gave.
template <typename Call>
DWORD InPieces(const Bytes& in, Bytes& out, Call call) {
    out = in;
    out.resize(in.size() + 16);
    DWORD done = 0, produced = 0;
    for (;;) {
        const DWORD piece = std::min<DWORD>(kChunk, static_cast<DWORD>(in.size()) - done);
        const bool last = done + piece == in.size();
        std::memmove(out.data() + produced, out.data() + done, piece);
        DWORD size = piece;
        if (!call(out.data() + produced, size, static_cast<DWORD>(out.size()) - produced, last)) {
            out.resize(produced);
            return GetLastError();
        }
        produced += size;
        done += piece;
        if (last) break;
    }
    out.resize(produced);
    return 0;
}

struct CipherCase {
    ALG_ID algorithm;
    size_t keySize;
};
const CipherCase kCiphers[] = {{CALG_AES_128, 16}, {CALG_AES_192, 24}, {CALG_AES_256, 32}};
const size_t kSizes[] = {0, 1, 15, 16, 17, 4096, kChunk - 1, kChunk, kChunk + 1, 3 * kChunk + 5, 4 * kChunk};

TEST(CngContentCipher, WritesAndReadsTheProvidersBytesForEveryKeyAndSize) {
    Provider provider(PROV_RSA_AES);
    for (const CipherCase& c : kCiphers) {
        KeyHandle key = FixedKey(provider.handle.get(), c.algorithm, c.keySize);
        CngContentCipher cng;
        ASSERT_TRUE(cng.StartFromSessionKey(provider.handle.get(), key.get(), c.algorithm)) << c.algorithm;
        for (size_t size : kSizes) {
            SCOPED_TRACE(testing::Message() << "algorithm " << c.algorithm << " size " << size);
            const Bytes plain = Pattern(size, static_cast<uint32_t>(size));
            Bytes viaProvider, viaCng;
            ASSERT_EQ(InPieces(plain, viaProvider, [&](uint8_t* d, DWORD& s, DWORD cap, bool last) {
                          return CryptEncrypt(key.get(), 0, last, 0, d, &s, cap) != FALSE;
                      }), 0u);
            ASSERT_EQ(InPieces(plain, viaCng, [&](uint8_t* d, DWORD& s, DWORD cap, bool last) {
                          return cng.Encrypt(d, s, cap, last);
                      }), 0u);
            EXPECT_EQ(viaCng, viaProvider);
            ASSERT_EQ(viaCng.size(), (size / 16 + 1) * 16);

            Bytes backViaProvider, backViaCng;
            ASSERT_EQ(InPieces(viaCng, backViaProvider, [&](uint8_t* d, DWORD& s, DWORD, bool last) {
                          return CryptDecrypt(key.get(), 0, last, 0, d, &s) != FALSE;
                      }), 0u);
            ASSERT_EQ(InPieces(viaCng, backViaCng, [&](uint8_t* d, DWORD& s, DWORD, bool last) {
                          return cng.Decrypt(d, s, last);
                      }), 0u);
            EXPECT_EQ(backViaCng, plain);
            EXPECT_EQ(backViaProvider, plain);
        }
    }
}

// A last block whose padding is right or wrong in each way: both paths give the same verdict and,
// when right, the same bytes. The blocks are encrypted without padding (a call that is not final).
TEST(CngContentCipher, JudgesTheLastBlocksPaddingAsTheProviderDoes) {
    struct PaddingCase {
        const char* name;
        Bytes tail;  // the last bytes of the last plaintext block
        bool valid;
    };
    const PaddingCase cases[] = {
        {"one byte", {0x01}, true},
        {"whole block", Bytes(16, 0x10), true},
        {"five", Bytes(5, 0x05), true},
        {"zero", {0x00}, false},
        {"longer than a block", {0x11}, false},
        {"inconsistent", {0x02, 0x03, 0x03}, false},
        {"stray byte before", {0x07, 0x03, 0x03, 0x03}, true},
        {"stray inside", {0x04, 0x05, 0x04, 0x04}, false},
    };
    Provider provider(PROV_RSA_AES);
    KeyHandle key = FixedKey(provider.handle.get(), CALG_AES_256, 32);
    for (const PaddingCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes text = Pattern(48, 7);
        std::copy(c.tail.begin(), c.tail.end(), text.end() - c.tail.size());
        DWORD size = static_cast<DWORD>(text.size());
        ASSERT_TRUE(CryptEncrypt(key.get(), 0, FALSE, 0, text.data(), &size, size));
        // Back to the first IV for both paths.
        const Bytes iv = Pattern(16, 99);
        ASSERT_TRUE(CryptSetKeyParam(key.get(), KP_IV, iv.data(), 0));

        Bytes viaProvider = text, viaCng = text;
        DWORD providerSize = size, cngSize = size;
        const bool providerOk = CryptDecrypt(key.get(), 0, TRUE, 0, viaProvider.data(), &providerSize) != FALSE;
        const DWORD providerError = providerOk ? 0 : GetLastError();
        CngContentCipher cng;
        ASSERT_TRUE(cng.StartFromSessionKey(provider.handle.get(), key.get(), CALG_AES_256));
        const bool cngOk = cng.Decrypt(viaCng.data(), cngSize, true);
        const DWORD cngError = cngOk ? 0 : GetLastError();
        EXPECT_EQ(cngOk, c.valid);
        EXPECT_EQ(providerOk, c.valid);
        EXPECT_EQ(cngError, providerError);
        if (c.valid) {
            EXPECT_EQ(cngSize, providerSize);
            EXPECT_TRUE(std::equal(viaCng.begin(), viaCng.begin() + cngSize, viaProvider.begin()));
        }
        ASSERT_TRUE(CryptSetKeyParam(key.get(), KP_IV, iv.data(), 0));
    }
}

// The rule: AES keys in CBC mode of the system's software providers; anything else stays with
// CryptoAPI. (Wine's provider exports even keys made without CRYPT_EXPORTABLE, so the refusal of
// those cannot be shown here.)
TEST(CngContentCipher, TakesOverOnlyAesKeysOfTheSystemsSoftwareProviders) {
    Provider aes(PROV_RSA_AES);
    Provider full(PROV_RSA_FULL);
    Provider dss(PROV_DSS_DH, MS_ENH_DSS_DH_PROV_W);
    EXPECT_TRUE(IsSystemSoftwareProvider(aes.handle.get()));
    EXPECT_TRUE(IsSystemSoftwareProvider(full.handle.get()));
    EXPECT_FALSE(IsSystemSoftwareProvider(dss.handle.get()));
    EXPECT_FALSE(IsSystemSoftwareProvider(0));

    CngContentCipher cng;
    KeyHandle exportable = FixedKey(aes.handle.get(), CALG_AES_128, 16);
    // A key in another mode than CBC (the envelopes use no other) is left to its provider.
    KeyHandle otherMode = FixedKey(aes.handle.get(), CALG_AES_128, 16);
    DWORD mode = CRYPT_MODE_ECB;
    ASSERT_TRUE(CryptSetKeyParam(otherMode.get(), KP_MODE, reinterpret_cast<BYTE*>(&mode), 0));
    KeyHandle tripleDes = FixedKey(full.handle.get(), CALG_3DES, 24);
    EXPECT_TRUE(cng.StartFromSessionKey(aes.handle.get(), exportable.get(), CALG_AES_128));
    EXPECT_TRUE(cng.started());
    EXPECT_FALSE(cng.StartFromSessionKey(aes.handle.get(), otherMode.get(), CALG_AES_128));
    EXPECT_FALSE(cng.started());
    EXPECT_FALSE(cng.StartFromSessionKey(full.handle.get(), tripleDes.get(), CALG_3DES));
    // The provider of another name keeps even an exportable AES key.
    EXPECT_FALSE(cng.StartFromSessionKey(dss.handle.get(), exportable.get(), CALG_AES_128));
}

}  // namespace
