// The protected value store on a fresh profile of its own: the container, its key pair and the
// wrapped key are made on first use and serve every later call.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "format/service/crypto_handles.h"
#include "packer_ui/protected_value.h"
#include "packer_ui/settings.h"
#include "tests/packer_ui/registry_sandbox.h"

namespace {

using Bytes = std::vector<BYTE>;

constexpr wchar_t kContainer[] = L"QuillarentPasswdTest";

// An RC2 key of 16 bytes, all made from the seed: the same key on every run.
Bytes FixedKey(DWORD seed) {
    Bytes key(16);
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<BYTE>(seed * 131 + i * 7 + 1);
    return key;
}

// The key as a plain key blob the provider imports.
Bytes PlainKeyBlob(const Bytes& key) {
    Bytes blob(sizeof(BLOBHEADER) + sizeof(DWORD) + key.size());
    BLOBHEADER header = {PLAINTEXTKEYBLOB, CUR_BLOB_VERSION, 0, CALG_RC2};
    const DWORD size = static_cast<DWORD>(key.size());
    memcpy(blob.data(), &header, sizeof header);
    memcpy(blob.data() + sizeof header, &size, sizeof size);
    memcpy(blob.data() + sizeof header + sizeof size, key.data(), key.size());
    return blob;
}

// Whether the provider's padding check passes when the value is decrypted under the key.
bool PaddingPassesUnder(HCRYPTPROV provider, const Bytes& key, Bytes value) {
    const Bytes blob = PlainKeyBlob(key);
    KeyHandle imported;
    if (!CryptImportKey(provider, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, imported.put())) return false;
    DWORD length = static_cast<DWORD>(value.size());
    return CryptDecrypt(imported.get(), 0, TRUE, 0, value.data(), &length) != FALSE;
}

// The test's own container, named through the setting the store reads, so that the user's real
// container is never touched.
class ProtectedValueTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sandbox_.active());
        DeleteContainer();
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key, L"PasswdCSPcontainer", 0, REG_SZ, reinterpret_cast<const BYTE*>(kContainer),
                       sizeof kContainer);
        RegCloseKey(key);
    }
    void TearDown() override { DeleteContainer(); }
    static void DeleteContainer() {
        HCRYPTPROV gone = 0;
        CryptAcquireContextW(&gone, kContainer, nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    }
    static Bytes StoredKey() {
        Bytes blob(4096);
        DWORD size = static_cast<DWORD>(blob.size());
        if (RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, L"PasswordsKey", RRF_RT_REG_BINARY, nullptr, blob.data(),
                         &size) != ERROR_SUCCESS)
            return {};
        blob.resize(size);
        return blob;
    }
    // Encrypts the plaintext in a buffer of the size callers allocate; the ciphertext.
    static Bytes Protect(const Bytes& plain) {
        Bytes buffer(ProtectedBufferSize(static_cast<DWORD>(plain.size())), 0xEE);
        memcpy(buffer.data(), plain.data(), plain.size());
        DWORD length = static_cast<DWORD>(plain.size());
        EXPECT_TRUE(ProtectValue(FALSE, buffer.data(), &length, static_cast<DWORD>(buffer.size())));
        buffer.resize(length);
        return buffer;
    }

    // Keys are fixed in some tests, so that what is protected and what a replaced key makes of it
    // are the same on every run: the store's key is replaced by one wrapped the way it wraps its own.
    static void StoreKey(const Bytes& key) {
        ProviderHandle provider;
        if (!CryptAcquireContextW(provider.put(), kContainer, nullptr, PROV_RSA_FULL, 0)) {
            ASSERT_TRUE(CryptAcquireContextW(provider.put(), kContainer, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
        }
        KeyHandle exchange;
        if (!CryptGetUserKey(provider.get(), AT_KEYEXCHANGE, exchange.put())) {
            ASSERT_TRUE(CryptGenKey(provider.get(), AT_KEYEXCHANGE, 0, exchange.put()));
        }
        const Bytes plainBlob = PlainKeyBlob(key);
        KeyHandle imported;
        ASSERT_TRUE(CryptImportKey(provider.get(), plainBlob.data(), static_cast<DWORD>(plainBlob.size()), 0,
                                   CRYPT_EXPORTABLE, imported.put()));
        DWORD size = 0;
        ASSERT_TRUE(CryptExportKey(imported.get(), exchange.get(), SIMPLEBLOB, 0, nullptr, &size));
        Bytes wrapped(size);
        ASSERT_TRUE(CryptExportKey(imported.get(), exchange.get(), SIMPLEBLOB, 0, wrapped.data(), &size));
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"PasswordsKey", REG_BINARY, wrapped.data(), size),
                  ERROR_SUCCESS);
    }
    // The first fixed key after the first one under which the value's padding check passes (or,
    // with passes false, fails).
    static Bytes OtherKey(const Bytes& value, bool passes) {
        ProviderHandle provider;
        EXPECT_TRUE(CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
        for (DWORD seed = 2; seed < 200000; ++seed)
            if (PaddingPassesUnder(provider.get(), FixedKey(seed), value) == passes) return FixedKey(seed);
        return {};
    }

    RegistrySandbox sandbox_;
};

TEST_F(ProtectedValueTest, FirstUseMakesTheKeysThatLaterCallsDecryptWith) {
    EXPECT_TRUE(StoredKey().empty());
    struct Case {
        size_t length;
        size_t cipherLength;
    };
    // An 8-character password with its NUL is 18 bytes; a whole block gets a block of padding.
    const Case cases[] = {{18, 24}, {16, 24}, {1, 8}, {0, 8}};
    Bytes firstKey;
    for (const Case& c : cases) {
        Bytes plain(c.length);
        for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<BYTE>(0x41 + i);
        Bytes cipher = Protect(plain);
        ASSERT_EQ(cipher.size(), c.cipherLength) << c.length;
        if (firstKey.empty()) firstKey = StoredKey();
        EXPECT_FALSE(firstKey.empty());
        EXPECT_EQ(StoredKey(), firstKey) << "the key is made once";
        if (c.length) {
            const size_t head = std::min<size_t>(c.length, 8);
            EXPECT_NE(Bytes(cipher.begin(), cipher.begin() + head), Bytes(plain.begin(), plain.begin() + head));
        }

        Bytes buffer = cipher;
        buffer.resize(32, 0x55);
        DWORD length = static_cast<DWORD>(cipher.size());
        ASSERT_TRUE(ProtectValue(TRUE, buffer.data(), &length, static_cast<DWORD>(buffer.size()))) << c.length;
        ASSERT_EQ(length, c.length);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), plain);
        EXPECT_EQ(Bytes(buffer.begin() + length, buffer.end()), Bytes(buffer.size() - length, 0)) << "tail zeroed";
    }
}


// A text protected under a key that was since replaced does not come back: whether the padding
// check fails, or it passes on bytes that are no stored text, the value fails and nothing of it is
// handed out. The text reads under its own key, as earlier builds stored it.
TEST_F(ProtectedValueTest, AValueOfAReplacedKeyFailsAndIsZeroed) {
    const std::wstring secret = L"secret";
    const Bytes plain(reinterpret_cast<const BYTE*>(secret.c_str()),
                      reinterpret_cast<const BYTE*>(secret.c_str() + secret.size() + 1));
    StoreKey(FixedKey(1));
    const Bytes fixedKey = StoredKey();
    const Bytes cipher = Protect(plain);
    ASSERT_EQ(StoredKey(), fixedKey) << "the fixed key is the one in use";
    std::wstring text = L"left over";
    ASSERT_TRUE(RevealProtectedText(cipher, text)) << GetLastError();
    EXPECT_EQ(text, secret);

    for (bool padding : {false, true}) {
        SCOPED_TRACE(padding ? "the padding check passes" : "the padding check fails");
        const Bytes other = OtherKey(cipher, padding);
        ASSERT_FALSE(other.empty());
        StoreKey(other);
        Bytes buffer = cipher;
        DWORD length = static_cast<DWORD>(buffer.size());
        EXPECT_EQ(ProtectValue(TRUE, buffer.data(), &length, static_cast<DWORD>(buffer.size())) != FALSE, padding);
        if (!padding) {
            EXPECT_EQ(buffer, Bytes(buffer.size(), 0)) << "a failed decryption is zeroed";
        }
        text = L"left over";
        SetLastError(0);
        EXPECT_FALSE(RevealProtectedText(cipher, text));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_DATA));
        EXPECT_TRUE(text.empty());
    }
}

// A lost key is replaced by a fresh one, which serves from then on.
TEST_F(ProtectedValueTest, ALostKeyIsReplacedByAFreshOne) {
    const Bytes plain = {'s', 0, 0, 0};
    Protect(plain);
    const Bytes oldKey = StoredKey();
    ASSERT_FALSE(oldKey.empty());
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"PasswordsKey");
    const Bytes cipher = Protect(plain);
    const Bytes newKey = StoredKey();
    EXPECT_FALSE(newKey.empty());
    EXPECT_NE(newKey, oldKey);
    std::wstring text;
    EXPECT_TRUE(RevealProtectedText(cipher, text));
    EXPECT_EQ(text, L"s");
}

}  // namespace
