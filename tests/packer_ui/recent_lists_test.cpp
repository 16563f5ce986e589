#include "packer_ui/recent_lists.h"

#include <gtest/gtest.h>

#include "packer_ui/list_pages.h"
#include "packer_ui/packer_window.h"
#include "packer_ui/settings.h"
#include "tests/packer_ui/registry_sandbox.h"
#include "tests/support/test_support.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes Der(const wchar_t* file) { return testing_support::ReadFileBytes(testing_support::TestDataFile(file)); }
Bytes Encoded(PCCERT_CONTEXT c) { return Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded); }

void SetValue(const wchar_t* subkey, const std::wstring& name, DWORD type, const void* data, size_t size) {
    RegKeyHandle key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, subkey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr), 0);
    ASSERT_EQ(RegSetValueExW(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size)), 0);
}

void SetText(const wchar_t* subkey, const std::wstring& name, const std::wstring& text) {
    SetValue(subkey, name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

// Certificate, F and the friendly name with its NUL.
Bytes NamedRecord(const Bytes& der, const std::wstring& name) {
    Bytes record = der;
    DWORD f = static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t));
    record.insert(record.end(), reinterpret_cast<BYTE*>(&f), reinterpret_cast<BYTE*>(&f) + 4);
    record.insert(record.end(), reinterpret_cast<const BYTE*>(name.c_str()), reinterpret_cast<const BYTE*>(name.c_str()) + f);
    return record;
}

Bytes ReadValue(const wchar_t* subkey, const wchar_t* name) {
    DWORD size = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, subkey, name, RRF_RT_ANY, nullptr, nullptr, &size) != ERROR_SUCCESS) return {};
    Bytes data(size);
    RegGetValueW(HKEY_CURRENT_USER, subkey, name, RRF_RT_ANY, nullptr, data.data(), &size);
    return data;
}

bool KeyExists(const wchar_t* subkey) {
    RegKeyHandle key;
    return RegOpenKeyExW(HKEY_CURRENT_USER, subkey, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// The numbers of the values ("cert7" -> 7) in the registry's enumeration order.
std::vector<std::wstring> EnumeratedNumbers(const wchar_t* subkey) {
    std::vector<std::wstring> numbers;
    RegKeyHandle key;
    RegOpenKeyExW(HKEY_CURRENT_USER, subkey, 0, KEY_READ, key.put());
    wchar_t name[64];
    for (DWORD i = 0, length = 64; RegEnumValueW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) == 0;
         ++i, length = 64)
        numbers.emplace_back(name + 4, length - 4);
    return numbers;
}

std::wstring FriendlyName(PCCERT_CONTEXT certificate) {
    wchar_t name[128] = {};
    DWORD size = sizeof(name) - sizeof(wchar_t);
    if (!CertGetCertificateContextProperty(certificate, CERT_FRIENDLY_NAME_PROP_ID, name, &size)) return L"<none>";
    return name;
}

// Every test starts in a registry of its own, without the list keys.
class RecentListsTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sandbox_.active()); }

    RegistrySandbox sandbox_;
};

TEST_F(RecentListsTest, LoadTakesTheLastValuesAndSkipsWhatIsNoCertificate) {
    Bytes alice = Der(L"alice.cer"), notCertificate = alice, cut(alice.begin(), alice.end() - 10);
    notCertificate[0] = 0x31;
    for (int i = 0; i < 12; ++i) {
        Bytes record = NamedRecord(alice, L"name" + std::to_wstring(i));
        SetValue(kRecentCertsKey, L"cert" + std::to_wstring(i), REG_BINARY, record.data(), record.size());
    }
    std::vector<std::wstring> order = EnumeratedNumbers(kRecentCertsKey);
    PCCERT_CONTEXT* array = AllocateRecentCertificates(10);
    DWORD count = 10;
    ASSERT_TRUE(LoadCertificateList(array, count, kRecentCertsKey));
    EXPECT_EQ(count, 10u);
    for (DWORD i = 0; i < 10; ++i) {
        ASSERT_NE(array[i], nullptr);
        EXPECT_EQ(FriendlyName(array[i]), L"name" + order[i + 2]) << i;
    }
    EXPECT_EQ(array[10], nullptr);
    FreeRecentCertificates(array);

    SetValue(kRecoveryCertsKey, L"cert0", REG_BINARY, notCertificate.data(), notCertificate.size());
    SetText(kRecoveryCertsKey, L"cert1", L"0 text");
    SetValue(kRecoveryCertsKey, L"cert2", REG_BINARY, cut.data(), cut.size());
    SetValue(kRecoveryCertsKey, L"cert3", REG_BINARY, alice.data(), alice.size());
    PCCERT_CONTEXT* all = nullptr;
    count = 0;
    ASSERT_TRUE(LoadCertificateList(all, count, kRecoveryCertsKey));
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(Encoded(all[0]), alice);
    EXPECT_EQ(FriendlyName(all[0]), L"<none>");
    EXPECT_EQ(all[1], nullptr);
    FreeRecentCertificates(all);

    PCCERT_CONTEXT* none = AllocateRecentCertificates(0);  // no room: nothing read
    count = 0;
    ASSERT_TRUE(LoadCertificateList(none, count, kRecoveryCertsKey));
    EXPECT_EQ(none[0], nullptr);
    delete[] none;
    PCCERT_CONTEXT* untouched = nullptr;
    EXPECT_FALSE(LoadCertificateList(untouched, count, kSigningCertsKey));
    EXPECT_EQ(untouched, nullptr);
}

CertHandle WithKeyProvider(const wchar_t* file, const wchar_t* container) {
    Bytes der = Der(file);
    CertHandle certificate(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                                        static_cast<DWORD>(der.size())));
    // One provider parameter (the key container's PIN, as a smart-card provider keeps it).
    static BYTE pin[] = {'1', '2', '3', '4', 0};
    static CRYPT_KEY_PROV_PARAM parameter = {PP_KEYEXCHANGE_PIN, pin, sizeof pin, 0};
    CRYPT_KEY_PROV_INFO info = {const_cast<LPWSTR>(container), const_cast<LPWSTR>(MS_ENH_RSA_AES_PROV_W),
                                PROV_RSA_AES, 0, 1, &parameter, AT_KEYEXCHANGE};
    CertSetCertificateContextProperty(certificate.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
    return certificate;
}

uint64_t Le(const BYTE* p, size_t width) {
    uint64_t value = 0;
    for (size_t i = width; i > 0; --i) value = (value << 8) | p[i - 1];
    return value;
}

TEST_F(RecentListsTest, SigningCertificateWithoutNameKeepsItsKeyProvider) {
    PCCERT_CONTEXT array[3] = {nullptr, WithKeyProvider(L"alice.cer", L"Quill-Test-Container").release(), nullptr};
    SaveCertificateList(array, 3, kSigningCertsKey, TRUE);
    EXPECT_EQ(array[1], nullptr);  // released by the save

    Bytes record = ReadValue(kSigningCertsKey, L"cert0"), der = Der(L"alice.cer");
    ASSERT_GT(record.size(), der.size() + 8 + 48);
    EXPECT_EQ(Bytes(record.begin(), record.begin() + der.size()), der);
    EXPECT_EQ(Le(&record[der.size()], 8), 4u);  // F = 4, then four zero bytes
    const BYTE* block = &record[der.size() + 8];
    size_t blockSize = record.size() - der.size() - 8;
    uint64_t container = Le(block, 8), provider = Le(block + 8, 8);
    ASSERT_TRUE(container >= 48 && container < blockSize && provider >= 48 && provider < blockSize);
    EXPECT_STREQ(reinterpret_cast<const wchar_t*>(block + container), L"Quill-Test-Container");
    EXPECT_STREQ(reinterpret_cast<const wchar_t*>(block + provider), MS_ENH_RSA_AES_PROV_W);
    EXPECT_EQ(Le(block + 16, 4), static_cast<uint64_t>(PROV_RSA_AES));
    EXPECT_EQ(Le(block + 40, 4), static_cast<uint64_t>(AT_KEYEXCHANGE));

    PCCERT_CONTEXT* loaded = nullptr;
    DWORD count = 0;
    ASSERT_TRUE(LoadCertificateList(loaded, count, kSigningCertsKey));
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(FriendlyName(loaded[0]), L"<none>");
    std::vector<uint64_t> buffer(64);
    DWORD size = static_cast<DWORD>(buffer.size() * 8);
    ASSERT_TRUE(CertGetCertificateContextProperty(loaded[0], CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size));
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    EXPECT_STREQ(info->pwszContainerName, L"Quill-Test-Container");
    EXPECT_STREQ(info->pwszProvName, MS_ENH_RSA_AES_PROV_W);
    EXPECT_EQ(info->dwProvType, static_cast<DWORD>(PROV_RSA_AES));
    EXPECT_EQ(info->dwKeySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
    ASSERT_EQ(info->cProvParam, 1u);  // the provider parameters come back too
    EXPECT_EQ(info->rgProvParam[0].dwParam, static_cast<DWORD>(PP_KEYEXCHANGE_PIN));
    ASSERT_EQ(info->rgProvParam[0].cbData, 5u);
    EXPECT_STREQ(reinterpret_cast<const char*>(info->rgProvParam[0].pbData), "1234");
    FreeRecentCertificates(loaded);
}

TEST_F(RecentListsTest, WindowListsSurviveASession) {
    Bytes carol = Der(L"carol.cer"), dave = Der(L"dave.cer");
    SetValue(kRecoveryCertsKey, L"cert0", REG_BINARY, carol.data(), carol.size());
    SetValue(kRecoveryCertsKey, L"cert1", REG_BINARY, dave.data(), dave.size());
    SetValue(kRecoveryCertsKey, L"cert2", REG_BINARY, carol.data(), carol.size());  // one recipient, as quill pack has it
    PackerWindow window;
    ASSERT_TRUE(CreatePackerWindow(&window));
    window.settingsPage->RecentItemsCount = 3;
    LoadPackerLists(&window);
    EXPECT_EQ(window.encryptionPage->fixedCount, 2u);
    ASSERT_NE(window.recentFiles, nullptr);
    EXPECT_EQ(window.recentFiles[0], nullptr);

    window.signingPage->AddItem(const_cast<CERT_CONTEXT*>(WithKeyProvider(L"bob.cer", L"B").release()), FALSE);
    wchar_t a[] = L"C:\\a.txt";
    void* files[] = {a};
    UpdateRecentFiles(window.recentFiles, files, 1, nullptr, 3);
    UpdateRecentCertificates(window.recentCertificates, window.encryptionPage->items, window.encryptionPage->count,
                             nullptr, 3);
    SavePackerLists(&window);
    EXPECT_EQ(window.signingPage->items[0], nullptr);
    FreeRecentFiles(window.recentFiles);
    FreeRecentCertificates(window.recentCertificates);
    DestroyPackerWindow(&window);

    EXPECT_EQ(ReadValue(kRecentCertsKey, L"cert0"), carol);  // recent entries go without key information
    EXPECT_EQ(ReadValue(kRecentCertsKey, L"cert1"), dave);
    Bytes file0 = ReadValue(kRecentFilesKey, L"file0");
    ASSERT_EQ(file0.size(), sizeof(a));
    EXPECT_STREQ(reinterpret_cast<const wchar_t*>(file0.data()), a);
    EXPECT_GT(ReadValue(kSigningCertsKey, L"cert0").size(), Der(L"bob.cer").size() + 56);
    EXPECT_EQ(ReadValue(kRecoveryCertsKey, L"cert1"), dave);  // never written, never deleted

    // An empty list makes no key.
    DeleteListKey(kRecentCertsKey);
    ASSERT_FALSE(KeyExists(kRecentCertsKey));
    PCCERT_CONTEXT empty[2] = {};
    SaveCertificateList(empty, 2, kRecentCertsKey, FALSE);
    EXPECT_FALSE(KeyExists(kRecentCertsKey));
    DeleteListKey(kSigningCertsKey);
    EXPECT_FALSE(KeyExists(kSigningCertsKey));
    EXPECT_TRUE(KeyExists(L"Software\\Orbelin\\Quillarent"));
}

TEST_F(RecentListsTest, RecoveryCertificatesGoBeforeCertificatesAddedEarlier) {
    Bytes carol = Der(L"carol.cer"), dave = Der(L"dave.cer");
    PackerWindow window;
    ASSERT_TRUE(CreatePackerWindow(&window));
    CertHandle bob(testing_support::LoadCertificateFile(testing_support::TestDataFile(L"bob.cer")));
    ASSERT_TRUE(bob);
    ASSERT_GE(window.encryptionPage->AddItem(const_cast<CERT_CONTEXT*>(CertDuplicateCertificateContext(bob.get())), FALSE), 0);

    // Without recovery certificates the page keeps what it has, nothing fixed.
    LoadPackerLists(&window);
    ASSERT_EQ(window.encryptionPage->count, 1u);
    EXPECT_EQ(window.encryptionPage->fixedCount, 0u);

    SetValue(kRecoveryCertsKey, L"cert0", REG_BINARY, carol.data(), carol.size());
    SetValue(kRecoveryCertsKey, L"cert1", REG_BINARY, dave.data(), dave.size());
    LoadPackerLists(&window);
    CVCertificateDlg* page = window.encryptionPage;
    ASSERT_EQ(page->count, 3u);
    EXPECT_EQ(page->fixedCount, 2u);
    auto encodedAt = [page](DWORD i) {
        PCCERT_CONTEXT certificate = page->CertificateAt(i);
        return Bytes(certificate->pbCertEncoded, certificate->pbCertEncoded + certificate->cbCertEncoded);
    };
    EXPECT_EQ(encodedAt(0), carol);
    EXPECT_EQ(encodedAt(1), dave);
    EXPECT_TRUE(CertCompareCertificate(X509_ASN_ENCODING, page->CertificateAt(2)->pCertInfo, bob.get()->pCertInfo));
    // The fixed ones cannot be removed; the one added earlier can.
    EXPECT_FALSE(page->RemoveItem(page->CertificateAt(0), FALSE));
    EXPECT_TRUE(page->RemoveItem(bob.get(), TRUE));
    FreeRecentFiles(window.recentFiles);
    FreeRecentCertificates(window.recentCertificates);
    window.recentFiles = nullptr;
    window.recentCertificates = nullptr;
    DestroyPackerWindow(&window);
}

TEST_F(RecentListsTest, RecentFilesKeepTextValuesOnly) {
    for (int i = 0; i < 12; ++i) SetText(kRecentFilesKey, L"file" + std::to_wstring(i), L"C:\\f" + std::to_wstring(i));
    std::vector<std::wstring> order = EnumeratedNumbers(kRecentFilesKey);
    wchar_t** list = AllocateRecentFiles(10);
    LoadRecentFiles(list, 10);
    for (int k = 0; k < 10; ++k) EXPECT_EQ(std::wstring(list[k] ? list[k] : L"-"), L"C:\\f" + order[k + 2]);
    EXPECT_EQ(list[10], nullptr);
    FreeRecentFiles(list);

    RegDeleteKeyW(HKEY_CURRENT_USER, kRecentFilesKey);
    wchar_t a[] = L"C:\\a.txt", empty[] = L"", b[] = L"C:\\b.txt";
    wchar_t* saved[] = {a, empty, b, nullptr};
    SaveRecentFiles(saved);
    DWORD number = 5;
    SetValue(kRecentFilesKey, L"file9", REG_DWORD, &number, 4);
    list = AllocateRecentFiles(10);
    LoadRecentFiles(list, 10);
    ASSERT_TRUE(list[0] && list[1]);
    EXPECT_STREQ(list[0], a);
    EXPECT_STREQ(list[1], b);
    EXPECT_EQ(list[2], nullptr);
    FreeRecentFiles(list);
}

// Submenu items as "id text", a disabled and greyed one with a trailing "*".
std::vector<std::wstring> Items(HMENU menu) {
    std::vector<std::wstring> items;
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        wchar_t text[256] = {};
        GetMenuStringW(menu, i, text, 256, MF_BYPOSITION);
        bool off = (GetMenuState(menu, i, MF_BYPOSITION) & (MF_DISABLED | MF_GRAYED)) == (MF_DISABLED | MF_GRAYED);
        items.push_back(std::to_wstring(GetMenuItemID(menu, i)) + L" " + text + (off ? L"*" : L""));
    }
    return items;
}

using Texts = std::vector<std::wstring>;

wchar_t** FileList(DWORD capacity, std::initializer_list<const wchar_t*> paths) {
    wchar_t** list = AllocateRecentFiles(capacity);
    size_t k = 0;
    for (const wchar_t* path : paths) list[k++] = CVFilesDlg::DuplicatePath(path);
    return list;
}

Texts Entries(wchar_t** list) {
    Texts entries;
    for (size_t k = 0; list[k]; ++k) entries.emplace_back(list[k]);
    return entries;
}

struct Menu {
    HMENU handle = CreatePopupMenu();
    ~Menu() { DestroyMenu(handle); }
};

TEST(UpdateRecentList, MergesFiles) {
    Menu menu;
    wchar_t** list = FileList(10, {L"C:\\a.txt", L"C:\\b.txt"});
    wchar_t again[] = L"C:\\a.txt", upper[] = L"C:\\A.TXT";
    void* fresh[] = {again, nullptr, upper, again};  // empty page slots and repeats count once
    UpdateRecentFiles(list, fresh, 4, menu.handle, 10);
    EXPECT_EQ(Entries(list), (Texts{L"C:\\b.txt", L"C:\\a.txt", L"C:\\A.TXT"}));
    EXPECT_NE(list[1], again);  // the list holds its own copies
    EXPECT_EQ(Items(menu.handle), (Texts{L"20001 b.txt", L"20002 a.txt", L"20003 A.TXT"}));
    FreeRecentFiles(list);

    list = FileList(5, {L"f1", L"f2", L"f3", L"f4", L"f5"});
    wchar_t n1[] = L"n1", n2[] = L"n2", n3[] = L"n3";
    void* two[] = {n1, n2};
    UpdateRecentFiles(list, two, 2, menu.handle, 5);
    EXPECT_EQ(Entries(list), (Texts{L"f3", L"f4", L"f5", L"n1", L"n2"}));
    void* many[] = {n1, n2, n3, n1, n2, n3};
    UpdateRecentFiles(list, many, 6, menu.handle, 5);
    EXPECT_EQ(Entries(list), (Texts{L"f4", L"f5", L"n1", L"n2", L"n3"}));
    FreeRecentFiles(list);

    list = FileList(2, {L"old"});
    void* three[] = {n1, n2, n3};
    UpdateRecentFiles(list, three, 3, menu.handle, 2);
    EXPECT_EQ(Entries(list), (Texts{L"n2", L"n3"}));
    FreeRecentFiles(list);

    list = AllocateRecentFiles(0);  // no room: nothing kept
    UpdateRecentFiles(list, three, 3, menu.handle, 0);
    EXPECT_EQ(list[0], nullptr);
    EXPECT_EQ(Items(menu.handle), (Texts{L"20000 Нет файлов*"}));
    FreeRecentFiles(list);
}

TEST(UpdateRecentList, MenuTextsAndPlaceholders) {
    Menu menu;
    AppendMenuW(menu.handle, MF_STRING, 123, L"stale");
    wchar_t** list = FileList(4, {L"", L"C:\\dir\\R&D.txt", L"plain"});
    UpdateRecentFiles(list, nullptr, 0, menu.handle, 4);
    EXPECT_EQ(Items(menu.handle), (Texts{L"20002 R&&D.txt", L"20003 plain"}));
    FreeRecentFiles(list);

    CertHandle alice = testing_support::LoadCertificateFile(testing_support::TestDataFile(L"alice.cer"));
    CertHandle bob = testing_support::LoadCertificateFile(testing_support::TestDataFile(L"bob.cer"));
    CertHandle bobAgain = testing_support::LoadCertificateFile(testing_support::TestDataFile(L"bob.cer"));
    PCCERT_CONTEXT* certificates = AllocateRecentCertificates(3);
    UpdateRecentCertificates(certificates, nullptr, 0, menu.handle, 3);
    EXPECT_EQ(Items(menu.handle), (Texts{L"21000 Нет сертификатов*"}));
    certificates[0] = CertDuplicateCertificateContext(bob.get());
    certificates[1] = CertDuplicateCertificateContext(alice.get());
    void* fresh[] = {const_cast<CERT_CONTEXT*>(bobAgain.get())};  // equal by encoding, another context
    UpdateRecentCertificates(certificates, fresh, 1, menu.handle, 3);
    EXPECT_EQ(Items(menu.handle),
              (Texts{L"21001 Alice Recipient, Quillarent Tests", L"21002 Bob Recipient, Quillarent Tests"}));
    EXPECT_EQ(certificates[2], nullptr);
    FreeRecentCertificates(certificates);
}

// The largest capacity the settings take fills the recent files' id range and no more: the last
// entry's command stays below the certificates' base (their range has the same size).
TEST_F(RecentListsTest, AFullListOfTheLargestCapacityStaysInItsIdRange) {
    const DWORD huge = 0xFFFFFFFF;
    SetValue(kSettingsKey, L"RecentItemsCount", REG_DWORD, &huge, sizeof huge);
    const DWORD capacity = CVSettingsDlg().RecentItemsCount;
    Menu menu;

    std::vector<std::wstring> names;
    for (DWORD k = 0; k <= capacity; ++k) names.push_back(L"f" + std::to_wstring(k));
    std::vector<void*> paths;
    for (std::wstring& name : names) paths.push_back(&name[0]);
    wchar_t** files = AllocateRecentFiles(capacity);
    UpdateRecentFiles(files, paths.data(), static_cast<DWORD>(paths.size()), menu.handle, capacity);
    ASSERT_EQ(static_cast<DWORD>(GetMenuItemCount(menu.handle)), capacity);
    EXPECT_EQ(GetMenuItemID(menu.handle, static_cast<int>(capacity) - 1), 20999u);  // below 21000
    FreeRecentFiles(files);
}

TEST(ReopenRecentFile, MissingFilesLoseTheirItems) {
    testing_support::TempDir dir;
    std::wstring kept = dir.File(L"kept.txt");
    testing_support::WriteFileBytes(kept, {1});
    PackerWindow window;
    ASSERT_TRUE(CreatePackerWindow(&window));
    window.settingsPage->RecentItemsCount = 10;
    window.recentFiles = FileList(10, {kept.c_str(), dir.File(L"gone.txt").c_str()});
    Menu menu;
    UpdateRecentFiles(window.recentFiles, nullptr, 0, menu.handle, 10);

    ASSERT_GE(ReopenRecentFile(&window, 0, menu.handle), 0);
    ASSERT_GE(ReopenRecentFile(&window, 0, menu.handle), 0);  // replaced, not doubled
    DWORD rows = 0;
    for (DWORD i = 0; i < window.filesPage->count; ++i) rows += window.filesPage->items[i] != nullptr;
    EXPECT_EQ(rows, 1u);
    EXPECT_EQ(ReopenRecentFile(&window, 1, menu.handle), kAddMissingFile);
    EXPECT_STREQ(window.recentFiles[1], L"");
    EXPECT_EQ(Items(menu.handle), (Texts{L"20001 kept.txt"}));
    ASSERT_TRUE(DeleteFileW(kept.c_str()));
    EXPECT_EQ(ReopenRecentFile(&window, 0, menu.handle), kAddMissingFile);
    EXPECT_EQ(Items(menu.handle), (Texts{L"20000 Нет файлов*"}));
    EXPECT_EQ(ReopenRecentFile(&window, 0, menu.handle), kAddNullItem);  // now an empty entry
    EXPECT_EQ(ReopenRecentFile(&window, 5, menu.handle), kAddNullItem);
    FreeRecentFiles(window.recentFiles);
    DestroyPackerWindow(&window);
}

}  // namespace
