// The unpack settings in the registry: defaults, the values read, bounds, and what a save writes.
#include <windows.h>

#include <gtest/gtest.h>

#include "format/service/crypto_handles.h"
#include "unpack/unpack_settings.h"

namespace {

const wchar_t kKey[] = L"Software\\Orbelin\\Quillarent";
const wchar_t* const kValues[] = {L"CryptCSPname",         L"CryptCSPcontainer",   L"CryptCSPtype",
                                  L"EnumCryptoProviders",  L"ReimportPrivateKey",  L"AskReimportPrivateKey",
                                  L"CertSystemStoreName",  L"DefaultEncryptionBlockSize"};

// Keeps the values this suite touches and puts them back afterwards.
class UnpackSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key_.put(), nullptr),
                  ERROR_SUCCESS);
        for (const wchar_t* name : kValues) {
            Saved saved{name, 0, {}, false};
            DWORD size = 0;
            if (RegQueryValueExW(key_.get(), name, nullptr, &saved.type, nullptr, &size) == ERROR_SUCCESS) {
                saved.data.resize(size);
                RegQueryValueExW(key_.get(), name, nullptr, nullptr, saved.data.data(), &size);
                saved.present = true;
            }
            saved_.push_back(saved);
            RegDeleteValueW(key_.get(), name);
        }
    }
    void TearDown() override {
        for (const Saved& saved : saved_) {
            RegDeleteValueW(key_.get(), saved.name);
            if (saved.present)
                RegSetValueExW(key_.get(), saved.name, 0, saved.type, saved.data.data(),
                               static_cast<DWORD>(saved.data.size()));
        }
    }
    void SetDword(const wchar_t* name, DWORD value) {
        RegSetValueExW(key_.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    }
    void SetString(const wchar_t* name, const std::wstring& value) {
        RegSetValueExW(key_.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    bool HasValue(const wchar_t* name, DWORD* value = nullptr) {
        DWORD data = 0;
        DWORD size = sizeof(data);
        if (RegQueryValueExW(key_.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size) !=
            ERROR_SUCCESS)
            return false;
        if (value) *value = data;
        return true;
    }

    struct Saved {
        const wchar_t* name;
        DWORD type;
        std::vector<BYTE> data;
        bool present;
    };
    RegKeyHandle key_;
    std::vector<Saved> saved_;
};

TEST_F(UnpackSettingsTest, DefaultsWithoutValues) {
    UnpackSettings settings;
    settings.providerName = L"left over";
    LoadUnpackSettings(&settings);
    EXPECT_TRUE(settings.providerName.empty());
    EXPECT_EQ(settings.containerName, L"Quillarent");
    EXPECT_EQ(settings.providerType, 1u);
    EXPECT_EQ(settings.enumProviders, 1u);
    EXPECT_EQ(settings.reimportKey, 1u);
    EXPECT_EQ(settings.askReimport, 1u);
    EXPECT_EQ(settings.blockSize, 64u);
    EXPECT_NE(settings.store, nullptr) << "the \"MY\" store";
    SaveUnpackSettings(&settings);
    EXPECT_EQ(settings.store, nullptr);
}

TEST_F(UnpackSettingsTest, ReadsEveryValue) {
    SetString(L"CryptCSPname", L"Microsoft Enhanced RSA and AES Cryptographic Provider");
    SetString(L"CryptCSPcontainer", L"Spare");
    SetDword(L"CryptCSPtype", 24);
    SetDword(L"EnumCryptoProviders", 0);
    SetDword(L"ReimportPrivateKey", 0);
    SetDword(L"AskReimportPrivateKey", 0);
    SetDword(L"DefaultEncryptionBlockSize", 128);
    SetString(L"CertSystemStoreName", L"CA");
    UnpackSettings settings;
    LoadUnpackSettings(&settings);
    EXPECT_EQ(settings.providerName, L"Microsoft Enhanced RSA and AES Cryptographic Provider");
    EXPECT_EQ(settings.containerName, L"Spare");
    EXPECT_EQ(settings.providerType, 24u);
    EXPECT_EQ(settings.enumProviders, 0u);
    EXPECT_EQ(settings.reimportKey, 0u);
    EXPECT_EQ(settings.askReimport, 0u);
    EXPECT_EQ(settings.blockSize, 128u);
    EXPECT_NE(settings.store, nullptr);
    SaveUnpackSettings(&settings);
}

TEST_F(UnpackSettingsTest, BlockSizeIsBoundedAndOversizedValuesKeepDefaults) {
    UnpackSettings settings;
    SetDword(L"DefaultEncryptionBlockSize", 8);
    LoadUnpackSettings(&settings);
    EXPECT_EQ(settings.blockSize, 64u);
    SaveUnpackSettings(&settings);
    // 2^20 bits would make the read size (bits x 512) wrap to 0.
    SetDword(L"DefaultEncryptionBlockSize", 1u << 20);
    LoadUnpackSettings(&settings);
    EXPECT_EQ(settings.blockSize, kMaxBlockSize);
    SaveUnpackSettings(&settings);
    // A value longer than four bytes is not taken.
    const BYTE eight[8] = {0, 1, 0, 0, 0, 0, 0, 0};
    RegSetValueExW(key_.get(), L"DefaultEncryptionBlockSize", 0, REG_QWORD, eight, sizeof(eight));
    SetString(L"CertSystemStoreName", L"");
    LoadUnpackSettings(&settings);
    EXPECT_EQ(settings.blockSize, 64u);
    EXPECT_NE(settings.store, nullptr);
    SaveUnpackSettings(&settings);
}

TEST_F(UnpackSettingsTest, SaveStoresClearedFlagsAndDeletesSetOnes) {
    SetDword(L"EnumCryptoProviders", 0);
    SetDword(L"AskReimportPrivateKey", 0);
    UnpackSettings settings;
    LoadUnpackSettings(&settings);
    settings.enumProviders = 1;
    settings.reimportKey = 0;
    settings.askReimport = 0;
    SaveUnpackSettings(&settings);
    DWORD value = 99;
    EXPECT_FALSE(HasValue(L"EnumCryptoProviders")) << "a set flag goes back to its default";
    EXPECT_TRUE(HasValue(L"ReimportPrivateKey", &value));
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(HasValue(L"AskReimportPrivateKey", &value));
    EXPECT_EQ(value, 0u);
    LoadUnpackSettings(&settings);
    EXPECT_EQ(settings.enumProviders, 1u);
    EXPECT_EQ(settings.reimportKey, 0u);
    EXPECT_EQ(settings.askReimport, 0u);
    SaveUnpackSettings(&settings);
}

}  // namespace
