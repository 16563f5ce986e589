// The protected value store on a fresh profile of its own: the container, its key pair and the
// wrapped key are made on first use and serve every later call.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "packer_ui/protected_value.h"
#include "packer_ui/settings.h"
#include "tests/packer_ui/registry_sandbox.h"

namespace {

using Bytes = std::vector<BYTE>;

constexpr wchar_t kContainer[] = L"QuillarentPasswdTest";

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

// A value protected under a key that was since replaced does not decrypt: the buffer is zeroed
// and a fresh key is stored in place of the lost one.
TEST_F(ProtectedValueTest, AValueOfAReplacedKeyFailsAndIsZeroed) {
    const Bytes plain = {'s', 0, 'e', 0, 'c', 0, 'r', 0, 'e', 0, 't', 0, 0, 0};
    Bytes cipher = Protect(plain);
    const Bytes oldKey = StoredKey();
    ASSERT_FALSE(oldKey.empty());
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"PasswordsKey");
    Bytes buffer = cipher;
    DWORD length = static_cast<DWORD>(buffer.size());
    SetLastError(0);
    EXPECT_FALSE(ProtectValue(TRUE, buffer.data(), &length, static_cast<DWORD>(buffer.size())));
    EXPECT_EQ(buffer, Bytes(buffer.size(), 0));
    EXPECT_FALSE(StoredKey().empty());
    EXPECT_NE(StoredKey(), oldKey);
}

}  // namespace
