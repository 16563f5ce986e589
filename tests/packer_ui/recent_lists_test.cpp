#include "packer_ui/recent_lists.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "format/certificate_record.h"
#include "packer_ui/list_pages.h"
#include "packer_ui/packer_window.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::TestDataFile;

const wchar_t* const kListKeys[] = {kRecoveryCertsKey, kSigningCertsKey, kRecentCertsKey, kRecentFilesKey};

// Every test starts and ends without the list keys.
class RecentListsTest : public testing::Test {
protected:
    void SetUp() override { DeleteKeys(); }
    void TearDown() override { DeleteKeys(); }
    static void DeleteKeys() {
        for (const wchar_t* key : kListKeys) RegDeleteKeyW(HKEY_CURRENT_USER, key);
    }
};

std::vector<BYTE> CertificateBytes(const wchar_t* file) {
    return testing_support::ReadFileBytes(TestDataFile(file));
}

CertHandle Certificate(const wchar_t* file) { return testing_support::LoadCertificateFile(TestDataFile(file)); }

void SetValue(const wchar_t* subkey, const std::wstring& name, DWORD type, const void* data, size_t size) {
    RegKeyHandle key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, subkey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size)),
              ERROR_SUCCESS);
}

void SetText(const wchar_t* subkey, const std::wstring& name, const std::wstring& text) {
    SetValue(subkey, name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

// A record: certificate, then F and the friendly name (with its NUL).
std::vector<BYTE> NamedRecord(const std::vector<BYTE>& der, const std::wstring& name) {
    std::vector<BYTE> record = der;
    DWORD f = static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t));
    record.insert(record.end(), reinterpret_cast<BYTE*>(&f), reinterpret_cast<BYTE*>(&f) + 4);
    const BYTE* text = reinterpret_cast<const BYTE*>(name.c_str());
    record.insert(record.end(), text, text + f);
    return record;
}

std::vector<BYTE> ReadValue(const wchar_t* subkey, const wchar_t* name, DWORD& type) {
    DWORD size = 0;
    type = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, subkey, name, RRF_RT_ANY, &type, nullptr, &size) != ERROR_SUCCESS) return {};
    std::vector<BYTE> data(size);
    RegGetValueW(HKEY_CURRENT_USER, subkey, name, RRF_RT_ANY, &type, data.data(), &size);
    data.resize(size);
    return data;
}

bool KeyExists(const wchar_t* subkey) {
    RegKeyHandle key;
    return RegOpenKeyExW(HKEY_CURRENT_USER, subkey, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// Value names in the registry's enumeration order.
std::vector<std::wstring> EnumeratedNames(const wchar_t* subkey) {
    std::vector<std::wstring> names;
    RegKeyHandle key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, subkey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return names;
    for (DWORD i = 0;; ++i) {
        wchar_t name[64];
        DWORD length = 64;
        if (RegEnumValueW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
    }
    return names;
}

std::wstring FriendlyName(PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(certificate, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size)) return L"<none>";
    std::vector<wchar_t> name(size / sizeof(wchar_t) + 1, L'\0');
    CertGetCertificateContextProperty(certificate, CERT_FRIENDLY_NAME_PROP_ID, name.data(), &size);
    return name.data();
}

void FreeArray(PCCERT_CONTEXT*& array, DWORD slots) {
    if (!array) return;
    for (DWORD i = 0; i < slots; ++i)
        if (array[i]) CertFreeCertificateContext(array[i]);
    delete[] array;
    array = nullptr;
}

TEST_F(RecentListsTest, LoadReadsTheLastValuesUpToTheCapacity) {
    std::vector<BYTE> alice = CertificateBytes(L"alice.cer");
    for (int i = 0; i < 12; ++i) {
        std::vector<BYTE> record = NamedRecord(alice, L"name" + std::to_wstring(i));
        SetValue(kRecentCertsKey, L"cert" + std::to_wstring(i), REG_BINARY, record.data(), record.size());
    }
    std::vector<std::wstring> order = EnumeratedNames(kRecentCertsKey);
    ASSERT_EQ(order.size(), 12u);

    PCCERT_CONTEXT* array = nullptr;
    DWORD count = 10;
    ASSERT_TRUE(LoadCertificateList(array, count, kRecentCertsKey));
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(count, 10u);
    for (DWORD i = 0; i < 10; ++i) {
        ASSERT_NE(array[i], nullptr) << i;
        // Value certN carries the friendly name nameN.
        EXPECT_EQ(FriendlyName(array[i]), L"name" + order[i + 2].substr(4)) << i;
    }
    EXPECT_EQ(array[10], nullptr);
    FreeArray(array, 13);
}

TEST_F(RecentListsTest, LoadWithoutCountReadsEveryCertificateAndSkipsTheRest) {
    std::vector<BYTE> alice = CertificateBytes(L"alice.cer");
    std::vector<BYTE> bob = CertificateBytes(L"bob.cer");
    std::vector<BYTE> notCertificate = alice;
    notCertificate[0] = 0x31;
    std::vector<BYTE> cut(alice.begin(), alice.end() - 10);
    SetValue(kRecoveryCertsKey, L"cert0", REG_BINARY, alice.data(), alice.size());
    SetValue(kRecoveryCertsKey, L"cert1", REG_BINARY, notCertificate.data(), notCertificate.size());
    SetText(kRecoveryCertsKey, L"cert2", L"0 text");
    SetValue(kRecoveryCertsKey, L"cert3", REG_BINARY, cut.data(), cut.size());
    SetValue(kRecoveryCertsKey, L"cert4", REG_BINARY, bob.data(), bob.size());

    PCCERT_CONTEXT* array = nullptr;
    DWORD count = 0;
    ASSERT_TRUE(LoadCertificateList(array, count, kRecoveryCertsKey));
    ASSERT_EQ(count, 2u);
    std::vector<std::wstring> order = EnumeratedNames(kRecoveryCertsKey);
    bool aliceFirst = std::find(order.begin(), order.end(), L"cert0") < std::find(order.begin(), order.end(), L"cert4");
    const std::vector<BYTE>& first = aliceFirst ? alice : bob;
    ASSERT_NE(array[0], nullptr);
    ASSERT_NE(array[1], nullptr);
    EXPECT_EQ(std::vector<BYTE>(array[0]->pbCertEncoded, array[0]->pbCertEncoded + array[0]->cbCertEncoded), first);
    EXPECT_EQ(FriendlyName(array[0]), L"<none>");
    EXPECT_EQ(array[2], nullptr);
    FreeArray(array, 6);
}

TEST_F(RecentListsTest, LoadIntoAGivenArrayRespectsItsCapacity) {
    std::vector<BYTE> alice = CertificateBytes(L"alice.cer");
    for (int i = 0; i < 5; ++i) {
        std::vector<BYTE> record = NamedRecord(alice, L"n" + std::to_wstring(i));
        SetValue(kRecentCertsKey, L"cert" + std::to_wstring(i), REG_BINARY, record.data(), record.size());
    }
    PCCERT_CONTEXT* array = AllocateRecentCertificates(3);
    DWORD count = 3;
    ASSERT_TRUE(LoadCertificateList(array, count, kRecentCertsKey));
    EXPECT_EQ(count, 3u);
    EXPECT_NE(array[2], nullptr);
    EXPECT_EQ(array[3], nullptr);
    FreeRecentCertificates(array);

    // No room at all: nothing is read, the terminator stays.
    PCCERT_CONTEXT* none = AllocateRecentCertificates(0);
    DWORD zero = 0;
    ASSERT_TRUE(LoadCertificateList(none, zero, kRecentCertsKey));
    EXPECT_EQ(none[0], nullptr);
    EXPECT_EQ(zero, 0u);
    FreeRecentCertificates(none);

    PCCERT_CONTEXT* untouched = nullptr;
    DWORD seven = 7;
    EXPECT_FALSE(LoadCertificateList(untouched, seven, kSigningCertsKey));
    EXPECT_EQ(untouched, nullptr);
    EXPECT_EQ(seven, 7u);
}

// A context of its own (not from a store) with a key-provider property.
CertHandle WithKeyProvider(const wchar_t* file, const wchar_t* container) {
    std::vector<BYTE> der = CertificateBytes(file);
    CertHandle certificate(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
    CRYPT_KEY_PROV_INFO info = {};
    info.pwszContainerName = const_cast<LPWSTR>(container);
    info.pwszProvName = const_cast<LPWSTR>(MS_ENH_RSA_AES_PROV_W);
    info.dwProvType = PROV_RSA_AES;
    info.dwKeySpec = AT_KEYEXCHANGE;
    CertSetCertificateContextProperty(certificate.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
    return certificate;
}

uint64_t ReadLe(const BYTE* p, size_t width) {
    uint64_t value = 0;
    for (size_t i = width; i > 0; --i) value = (value << 8) | p[i - 1];
    return value;
}

TEST_F(RecentListsTest, SigningCertificateWithoutNameKeepsItsKeyProvider) {
    CertHandle alice = WithKeyProvider(L"alice.cer", L"Quill-Test-Container");
    ASSERT_TRUE(alice);
    PCCERT_CONTEXT array[3] = {alice.release(), nullptr, nullptr};
    SaveCertificateList(array, 3, kSigningCertsKey, TRUE);
    EXPECT_EQ(array[0], nullptr);  // released by the save

    DWORD type = 0;
    std::vector<BYTE> record = ReadValue(kSigningCertsKey, L"cert0", type);
    std::vector<BYTE> der = CertificateBytes(L"alice.cer");
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    ASSERT_GT(record.size(), der.size() + 8 + 48);
    EXPECT_TRUE(std::equal(der.begin(), der.end(), record.begin()));
    EXPECT_EQ(ReadLe(&record[der.size()], 4), 4u);      // F = 4
    EXPECT_EQ(ReadLe(&record[der.size() + 4], 4), 0u);  // four zero bytes
    const BYTE* block = &record[der.size() + 8];
    size_t blockSize = record.size() - der.size() - 8;
    uint64_t container = ReadLe(block + 0, 8), provider = ReadLe(block + 8, 8);
    ASSERT_GE(container, 48u);
    ASSERT_LT(container, blockSize);
    ASSERT_GE(provider, 48u);
    ASSERT_LT(provider, blockSize);
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(block + container)), L"Quill-Test-Container");
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(block + provider)), MS_ENH_RSA_AES_PROV_W);
    EXPECT_EQ(ReadLe(block + 16, 4), static_cast<uint64_t>(PROV_RSA_AES));
    EXPECT_EQ(ReadLe(block + 40, 4), static_cast<uint64_t>(AT_KEYEXCHANGE));
    EXPECT_EQ(ReadLe(block + 32, 8), 0u);

    PCCERT_CONTEXT* loaded = nullptr;
    DWORD count = 0;
    ASSERT_TRUE(LoadCertificateList(loaded, count, kSigningCertsKey));
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(FriendlyName(loaded[0]), L"<none>");
    DWORD size = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(loaded[0], CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
    std::vector<uint64_t> buffer(size / 8 + 1);
    ASSERT_TRUE(CertGetCertificateContextProperty(loaded[0], CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size));
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    EXPECT_STREQ(info->pwszContainerName, L"Quill-Test-Container");
    EXPECT_STREQ(info->pwszProvName, MS_ENH_RSA_AES_PROV_W);
    EXPECT_EQ(info->dwProvType, static_cast<DWORD>(PROV_RSA_AES));
    EXPECT_EQ(info->dwKeySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
    FreeArray(loaded, 2);
}

TEST_F(RecentListsTest, SaveSkipsEmptySlotsAndNumbersFromZero) {
    CertHandle alice = WithKeyProvider(L"alice.cer", L"A");
    CertHandle bob = Certificate(L"bob.cer");
    ASSERT_TRUE(alice && bob);
    wchar_t name[] = L"Bob's name";
    CRYPT_DATA_BLOB blob = {sizeof(name), reinterpret_cast<BYTE*>(name)};
    ASSERT_TRUE(CertSetCertificateContextProperty(bob.get(), CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
    PCCERT_CONTEXT array[4] = {nullptr, alice.release(), nullptr, bob.release()};
    // Recent certificates go without key-provider information.
    SaveCertificateList(array, 4, kRecentCertsKey, FALSE);
    for (PCCERT_CONTEXT slot : array) EXPECT_EQ(slot, nullptr);

    DWORD type = 0;
    std::vector<BYTE> first = ReadValue(kRecentCertsKey, L"cert0", type);
    EXPECT_EQ(first, CertificateBytes(L"alice.cer"));
    std::vector<BYTE> second = ReadValue(kRecentCertsKey, L"cert1", type);
    EXPECT_EQ(second, NamedRecord(CertificateBytes(L"bob.cer"), L"Bob's name"));
    EXPECT_TRUE(ReadValue(kRecentCertsKey, L"cert2", type).empty());

    PCCERT_CONTEXT empty[2] = {nullptr, nullptr};
    SaveCertificateList(empty, 2, kSigningCertsKey, TRUE);
    EXPECT_FALSE(KeyExists(kSigningCertsKey));
}

TEST_F(RecentListsTest, DeleteListKeyRemovesOnlyTheList) {
    SetText(kRecentFilesKey, L"file0", L"C:\\a.txt");
    ASSERT_TRUE(KeyExists(kRecentFilesKey));
    DeleteListKey(kRecentFilesKey);
    EXPECT_FALSE(KeyExists(kRecentFilesKey));
    EXPECT_TRUE(KeyExists(L"Software\\Orbelin\\Quillarent"));
    DeleteListKey(L"Software\\Orbelin\\Quillarent\\");  // no last component: nothing to delete
    EXPECT_TRUE(KeyExists(L"Software\\Orbelin\\Quillarent"));
}

TEST_F(RecentListsTest, RecentFilesReadTheLastTextValues) {
    for (int i = 0; i < 12; ++i) SetText(kRecentFilesKey, L"file" + std::to_wstring(i), L"C:\\f" + std::to_wstring(i));
    std::vector<std::wstring> order = EnumeratedNames(kRecentFilesKey);
    wchar_t** list = AllocateRecentFiles(10);
    LoadRecentFiles(list, 10);
    for (int k = 0; k < 10; ++k) {
        ASSERT_NE(list[k], nullptr);
        EXPECT_EQ(std::wstring(list[k]), L"C:\\f" + order[k + 2].substr(4));
    }
    EXPECT_EQ(list[10], nullptr);
    FreeRecentFiles(list);
    EXPECT_EQ(list, nullptr);

    DeleteListKey(kRecentFilesKey);
    DWORD number = 5;
    SetText(kRecentFilesKey, L"file0", L"C:\\kept");
    SetValue(kRecentFilesKey, L"file1", REG_DWORD, &number, 4);
    list = AllocateRecentFiles(10);
    LoadRecentFiles(list, 10);
    ASSERT_NE(list[0], nullptr);
    EXPECT_STREQ(list[0], L"C:\\kept");
    EXPECT_EQ(list[1], nullptr);
    FreeRecentFiles(list);
}

TEST_F(RecentListsTest, SaveRecentFilesLeavesOutEmptyEntries) {
    wchar_t a[] = L"C:\\a.txt", empty[] = L"", b[] = L"C:\\dir\\b.txt";
    wchar_t* list[] = {a, empty, b, nullptr};
    SaveRecentFiles(list);
    DWORD type = 0;
    std::vector<BYTE> first = ReadValue(kRecentFilesKey, L"file0", type);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(first.size(), sizeof(a));
    EXPECT_STREQ(reinterpret_cast<const wchar_t*>(first.data()), a);
    std::vector<BYTE> second = ReadValue(kRecentFilesKey, L"file1", type);
    EXPECT_STREQ(reinterpret_cast<const wchar_t*>(second.data()), b);
    EXPECT_TRUE(ReadValue(kRecentFilesKey, L"file2", type).empty());

    wchar_t* onlyEmpty[] = {empty, nullptr};
    DeleteListKey(kRecentFilesKey);
    SaveRecentFiles(onlyEmpty);
    EXPECT_FALSE(KeyExists(kRecentFilesKey));
}

// Menu items as (id, text, state).
struct MenuEntry {
    UINT id;
    std::wstring text;
    UINT state;
};

std::vector<MenuEntry> MenuEntries(HMENU menu) {
    std::vector<MenuEntry> entries;
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        wchar_t text[256] = {};
        GetMenuStringW(menu, i, text, 256, MF_BYPOSITION);
        entries.push_back({GetMenuItemID(menu, i), text, GetMenuState(menu, i, MF_BYPOSITION)});
    }
    return entries;
}

// A recent file list of the given capacity with owned copies of the paths.
wchar_t** FileList(DWORD capacity, std::initializer_list<const wchar_t*> paths) {
    wchar_t** list = AllocateRecentFiles(capacity);
    size_t k = 0;
    for (const wchar_t* path : paths) list[k++] = CVFilesDlg::DuplicatePath(path);
    return list;
}

std::vector<std::wstring> Entries(wchar_t** list) {
    std::vector<std::wstring> entries;
    for (size_t k = 0; list[k]; ++k) entries.emplace_back(list[k]);
    return entries;
}

class MenuHolder {
public:
    MenuHolder() : menu_(CreatePopupMenu()) {}
    ~MenuHolder() { DestroyMenu(menu_); }
    HMENU get() const { return menu_; }

private:
    HMENU menu_;
};

TEST(UpdateRecentList, FileUsedAgainMovesToTheEnd) {
    MenuHolder menu;
    wchar_t** list = FileList(10, {L"C:\\a.txt", L"C:\\b.txt"});
    wchar_t again[] = L"C:\\a.txt";
    void* fresh[] = {again};
    UpdateRecentList(reinterpret_cast<void**>(list), fresh, 1, kRecentFilesBaseId, menu.get(), 10);
    EXPECT_EQ(Entries(list), (std::vector<std::wstring>{L"C:\\b.txt", L"C:\\a.txt"}));
    EXPECT_NE(list[1], again);  // the list holds its own copy
    std::vector<MenuEntry> items = MenuEntries(menu.get());
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].id, 20001u);
    EXPECT_EQ(items[0].text, L"b.txt");
    EXPECT_EQ(items[1].id, 20002u);
    EXPECT_EQ(items[1].text, L"a.txt");
    EXPECT_EQ(items[1].state & (MF_DISABLED | MF_GRAYED), 0u);

    // Paths compare with case: another spelling is another entry.
    wchar_t upper[] = L"C:\\A.TXT";
    void* other[] = {upper};
    UpdateRecentList(reinterpret_cast<void**>(list), other, 1, kRecentFilesBaseId, menu.get(), 10);
    EXPECT_EQ(Entries(list), (std::vector<std::wstring>{L"C:\\b.txt", L"C:\\a.txt", L"C:\\A.TXT"}));
    FreeRecentFiles(list);
}

TEST(UpdateRecentList, OldestEntriesMakeRoom) {
    MenuHolder menu;
    wchar_t** list = FileList(5, {L"f1", L"f2", L"f3", L"f4", L"f5"});
    wchar_t n1[] = L"n1", n2[] = L"n2";
    void* fresh[] = {n1, nullptr, n2, n1};  // empty page slots and repeats count once
    UpdateRecentList(reinterpret_cast<void**>(list), fresh, 4, kRecentFilesBaseId, menu.get(), 5);
    EXPECT_EQ(Entries(list), (std::vector<std::wstring>{L"f3", L"f4", L"f5", L"n1", L"n2"}));
    EXPECT_EQ(GetMenuItemCount(menu.get()), 5);
    FreeRecentFiles(list);

    list = FileList(2, {L"old"});
    wchar_t x[] = L"x", y[] = L"y", z[] = L"z";
    void* many[] = {x, y, z};
    UpdateRecentList(reinterpret_cast<void**>(list), many, 3, kRecentFilesBaseId, menu.get(), 2);
    EXPECT_EQ(Entries(list), (std::vector<std::wstring>{L"y", L"z"}));
    FreeRecentFiles(list);
}

TEST(UpdateRecentList, EmptyListShowsTheDisabledPlaceholder) {
    MenuHolder menu;
    AppendMenuW(menu.get(), MF_STRING, 123, L"stale");
    wchar_t** list = AllocateRecentFiles(3);
    UpdateRecentList(reinterpret_cast<void**>(list), nullptr, 0, kRecentFilesBaseId, menu.get(), 3);
    std::vector<MenuEntry> items = MenuEntries(menu.get());
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].id, 20000u);
    EXPECT_EQ(items[0].text, L"Нет файлов");
    EXPECT_EQ(items[0].state & (MF_DISABLED | MF_GRAYED), static_cast<UINT>(MF_DISABLED | MF_GRAYED));
    FreeRecentFiles(list);

    PCCERT_CONTEXT* certificates = AllocateRecentCertificates(3);
    UpdateRecentCertificates(certificates, nullptr, 0, menu.get(), 3);
    items = MenuEntries(menu.get());
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].id, 21000u);
    EXPECT_EQ(items[0].text, L"Нет сертификатов");
    FreeRecentCertificates(certificates);
}

TEST(UpdateRecentList, EmptyEntriesKeepTheIdsOfLaterOnes) {
    MenuHolder menu;
    wchar_t** list = FileList(4, {L"", L"C:\\dir\\R&D.txt", L"plain"});
    UpdateRecentList(reinterpret_cast<void**>(list), nullptr, 0, kRecentFilesBaseId, menu.get(), 4);
    std::vector<MenuEntry> items = MenuEntries(menu.get());
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].id, 20002u);
    EXPECT_EQ(items[0].text, L"R&&D.txt");
    EXPECT_EQ(items[1].id, 20003u);
    EXPECT_EQ(items[1].text, L"plain");
    FreeRecentFiles(list);
}

TEST(UpdateRecentList, CapacityZeroKeepsNothing) {
    MenuHolder menu;
    wchar_t** list = AllocateRecentFiles(0);
    wchar_t a[] = L"C:\\a.txt";
    void* fresh[] = {a};
    UpdateRecentList(reinterpret_cast<void**>(list), fresh, 1, kRecentFilesBaseId, menu.get(), 0);
    EXPECT_EQ(list[0], nullptr);
    std::vector<MenuEntry> items = MenuEntries(menu.get());
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].id, 20000u);
    FreeRecentFiles(list);
}

TEST(UpdateRecentList, CertificatesCompareByEncoding) {
    MenuHolder menu;
    CertHandle alice = Certificate(L"alice.cer"), bob = Certificate(L"bob.cer"), bobAgain = Certificate(L"bob.cer");
    ASSERT_TRUE(alice && bob && bobAgain);
    PCCERT_CONTEXT* list = AllocateRecentCertificates(10);
    list[0] = CertDuplicateCertificateContext(bob.get());
    list[1] = CertDuplicateCertificateContext(alice.get());
    void* fresh[] = {const_cast<CERT_CONTEXT*>(bobAgain.get())};
    UpdateRecentCertificates(list, fresh, 1, menu.get(), 10);
    ASSERT_NE(list[0], nullptr);
    ASSERT_NE(list[1], nullptr);
    EXPECT_EQ(list[2], nullptr);
    EXPECT_TRUE(CertCompareCertificate(X509_ASN_ENCODING, list[0]->pCertInfo, alice.get()->pCertInfo));
    EXPECT_TRUE(CertCompareCertificate(X509_ASN_ENCODING, list[1]->pCertInfo, bob.get()->pCertInfo));
    std::vector<MenuEntry> items = MenuEntries(menu.get());
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].id, 21001u);
    EXPECT_EQ(items[0].text, L"Alice Recipient, Quillarent Tests");
    EXPECT_EQ(items[1].id, 21002u);
    EXPECT_EQ(items[1].text, L"Bob Recipient, Quillarent Tests");
    FreeRecentCertificates(list);
}

// A packer window with a recent file list and its submenu.
class ReopenTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CreatePackerWindow(&window));
        window.settingsPage->RecentItemsCount = 10;
        existing = dir.File(L"kept.txt");
        missing = dir.File(L"gone.txt");
        testing_support::WriteFileBytes(existing, {1, 2, 3});
        window.recentFiles = FileList(10, {existing.c_str(), missing.c_str()});
        UpdateRecentList(reinterpret_cast<void**>(window.recentFiles), nullptr, 0, kRecentFilesBaseId, menu.get(), 10);
    }
    void TearDown() override {
        FreeRecentFiles(window.recentFiles);
        DestroyPackerWindow(&window);
    }
    testing_support::TempDir dir;
    PackerWindow window;
    MenuHolder menu;
    std::wstring existing, missing;
};

TEST_F(ReopenTest, ExistingFileGoesToTheFilesPage) {
    int index = ReopenRecentFile(&window, 0, menu.get());
    ASSERT_GE(index, 0);
    ASSERT_EQ(window.filesPage->count, 1u);
    EXPECT_EQ(std::wstring(window.filesPage->PathAt(0)), existing);
    EXPECT_NE(window.filesPage->PathAt(0), window.recentFiles[0]);  // the page has its own copy
    EXPECT_EQ(GetMenuItemCount(menu.get()), 2);
    // Again with the replace flag: still one row.
    ReopenRecentFile(&window, 0, menu.get());
    DWORD rows = 0;
    for (DWORD i = 0; i < window.filesPage->count; ++i) rows += window.filesPage->items[i] != nullptr;
    EXPECT_EQ(rows, 1u);
}

TEST_F(ReopenTest, MissingFileLeavesAnEmptyEntryAndLosesItsItem) {
    EXPECT_EQ(ReopenRecentFile(&window, 1, menu.get()), kAddMissingFile);
    ASSERT_NE(window.recentFiles[1], nullptr);
    EXPECT_STREQ(window.recentFiles[1], L"");
    std::vector<MenuEntry> items = MenuEntries(menu.get());
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].id, 20001u);

    ASSERT_TRUE(DeleteFileW(existing.c_str()));
    EXPECT_EQ(ReopenRecentFile(&window, 0, menu.get()), kAddMissingFile);
    items = MenuEntries(menu.get());
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].id, 20000u);
    EXPECT_EQ(items[0].text, L"Нет файлов");
    EXPECT_EQ(items[0].state & MF_GRAYED, static_cast<UINT>(MF_GRAYED));
    EXPECT_EQ(ReopenRecentFile(&window, 0, menu.get()), kAddNullItem);  // now an empty entry
    EXPECT_EQ(ReopenRecentFile(&window, 5, menu.get()), kAddNullItem);
}

}  // namespace
