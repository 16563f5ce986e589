#include "packer_ui/recent_lists.h"

#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "format/certificate_record.h"
#include "format/service/crypto_handles.h"
#include "format/service/resources.h"
#include "packer_ui/list_pages.h"
#include "packer_ui/packer_window.h"
#include "packer_ui/settings.h"

static_assert(kRecentFilesBaseId + kMaxRecentItems < kRecentCertificatesBaseId,
              "a full recent-files submenu reaches into the certificates' ids");

// The stored key-provider block is the 64-bit structure; this code is built for 64-bit only.
static_assert(sizeof(CRYPT_KEY_PROV_INFO) == certificate_record::kKeyProviderHeadSize,
              "key-provider records hold the 64-bit layout");

const wchar_t kRecoveryCertsKey[] = L"Software\\Orbelin\\Quillarent\\RecoveryCerts";
const wchar_t kSigningCertsKey[] = L"Software\\Orbelin\\Quillarent\\SigningCerts64";
const wchar_t kRecentCertsKey[] = L"Software\\Orbelin\\Quillarent\\RecentCerts";
const wchar_t kRecentFilesKey[] = L"Software\\Orbelin\\Quillarent\\RecentFiles";

namespace {

constexpr DWORD kCertificateEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Number of values and the longest name and data of an open key.
struct KeyInfo {
    DWORD values = 0;
    DWORD longestName = 0;
    DWORD longestData = 0;
};

bool QueryKeyInfo(HKEY key, KeyInfo& info) {
    return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &info.values,
                            &info.longestName, &info.longestData, nullptr, nullptr) == ERROR_SUCCESS;
}

// Index of the first value to read so that at most capacity values, the last ones, are read.
DWORD FirstValueToRead(DWORD values, DWORD capacity) { return values > capacity ? values - capacity : 0; }

// Sets the friendly name from the stored bytes, always as a NUL-terminated string.
void SetFriendlyName(PCCERT_CONTEXT certificate, const uint8_t* bytes, size_t size) {
    std::wstring name(size / sizeof(wchar_t), L'\0');
    if (!name.empty()) memcpy(&name[0], bytes, name.size() * sizeof(wchar_t));
    name.resize(wcsnlen(name.c_str(), name.size()));
    // F = 4 with zero bytes only keeps the place of a missing name.
    if (name.empty()) return;
    CRYPT_DATA_BLOB blob = {static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)),
                            reinterpret_cast<BYTE*>(&name[0])};
    CertSetCertificateContextProperty(certificate, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob);
}

// Turns a stored key-provider block back into the structure and sets it on the certificate.
void SetKeyProviderBlock(PCCERT_CONTEXT certificate, const uint8_t* bytes, size_t size) {
    // Copied into an aligned buffer: the block follows a name of any length in the record.
    std::vector<uint64_t> block((size + 7) / 8 + 1, 0);
    uint8_t* start = reinterpret_cast<uint8_t*>(block.data());
    memcpy(start, bytes, size);
    if (!certificate_record::OffsetsToPointers(start, size, reinterpret_cast<uintptr_t>(start))) return;
    CertSetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, 0, start);
}

// A certificate context from one stored record, or null when the record is not a certificate.
PCCERT_CONTEXT DecodeRecord(const BYTE* data, DWORD size) {
    certificate_record::Parts parts;
    if (!certificate_record::SplitRecord(data, size, parts)) return nullptr;
    PCCERT_CONTEXT certificate = CertCreateCertificateContext(kCertificateEncoding, parts.certificate,
                                                              static_cast<DWORD>(parts.certificateLength));
    if (!certificate) return nullptr;
    if (parts.friendlyNameLength) SetFriendlyName(certificate, parts.friendlyName, parts.friendlyNameLength);
    if (parts.keyProviderLength) SetKeyProviderBlock(certificate, parts.keyProvider, parts.keyProviderLength);
    return certificate;
}

// A property's bytes; empty when the certificate does not have it. Kept in 8-byte units so that
// structured properties can be read in place.
std::vector<uint64_t> GetProperty(PCCERT_CONTEXT certificate, DWORD id, DWORD& size) {
    size = 0;
    if (!CertGetCertificateContextProperty(certificate, id, nullptr, &size) || size == 0) return {};
    std::vector<uint64_t> bytes((size + 7) / 8, 0);
    if (!CertGetCertificateContextProperty(certificate, id, bytes.data(), &size)) size = 0;
    return bytes;
}

std::vector<uint8_t> EncodeRecord(PCCERT_CONTEXT certificate, bool withKeyProvInfo) {
    DWORD nameSize = 0, providerSize = 0;
    std::vector<uint64_t> name = GetProperty(certificate, CERT_FRIENDLY_NAME_PROP_ID, nameSize);
    std::vector<uint64_t> provider;
    if (withKeyProvInfo) {
        provider = GetProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, providerSize);
        uint8_t* start = reinterpret_cast<uint8_t*>(provider.data());
        if (providerSize && !certificate_record::PointersToOffsets(start, providerSize, reinterpret_cast<uintptr_t>(start)))
            providerSize = 0;
    }
    return certificate_record::BuildRecord(certificate->pbCertEncoded, certificate->cbCertEncoded,
                                           reinterpret_cast<const uint8_t*>(name.data()), nameSize,
                                           reinterpret_cast<const uint8_t*>(provider.data()), providerSize);
}

LONG CreateListKey(const wchar_t* subkey, RegKeyHandle& key) {
    return RegCreateKeyExW(HKEY_CURRENT_USER, subkey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr);
}

bool SameCertificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
    return a->cbCertEncoded == b->cbCertEncoded && memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}

// The entries of a recent list seen through one type: paths or certificates.
struct RecentKind {
    bool files;
    bool Same(const void* a, const void* b) const {
        return files ? wcscmp(static_cast<const wchar_t*>(a), static_cast<const wchar_t*>(b)) == 0
                     : SameCertificate(static_cast<PCCERT_CONTEXT>(a), static_cast<PCCERT_CONTEXT>(b));
    }
    void* Copy(const void* entry) const {
        return files ? static_cast<void*>(CVFilesDlg::DuplicatePath(static_cast<const wchar_t*>(entry)))
                     : const_cast<CERT_CONTEXT*>(CertDuplicateCertificateContext(static_cast<PCCERT_CONTEXT>(entry)));
    }
    void Release(void* entry) const {
        if (!entry) return;
        if (files) delete[] static_cast<wchar_t*>(entry);
        else CertFreeCertificateContext(static_cast<PCCERT_CONTEXT>(entry));
    }
    // The submenu text; empty when the entry gets no item.
    std::wstring MenuText(const void* entry) const {
        std::wstring text;
        if (files) {
            const wchar_t* path = static_cast<const wchar_t*>(entry);
            const wchar_t* slash = wcsrchr(path, L'\\');
            text = slash ? slash + 1 : path;
        } else {
            PCCERT_CONTEXT certificate = static_cast<PCCERT_CONTEXT>(entry);
            wchar_t name[256];
            if (CertNameToStrW(X509_ASN_ENCODING, &certificate->pCertInfo->Subject, CERT_SIMPLE_NAME_STR, name, 256) > 1)
                text = name;
        }
        // An ampersand would otherwise underline the next character.
        for (size_t at = text.find(L'&'); at != std::wstring::npos; at = text.find(L'&', at + 2)) text.insert(at, 1, L'&');
        return text;
    }
};

void ClearMenu(HMENU menu) {
    while (GetMenuItemCount(menu) > 0) {
        if (!DeleteMenu(menu, 0, MF_BYPOSITION)) break;
    }
}

void InsertPlaceholder(HMENU menu, UINT baseId) {
    std::wstring text = LoadText(baseId);
    AppendMenuW(menu, MF_STRING | MF_DISABLED | MF_GRAYED, baseId, text.c_str());
}

void RebuildMenu(HMENU menu, void* const* list, const RecentKind& kind, UINT baseId) {
    if (!menu) return;
    ClearMenu(menu);
    int added = 0;
    for (UINT k = 0; list[k]; ++k) {
        std::wstring text = kind.MenuText(list[k]);
        if (text.empty()) continue;  // later entries keep the ids of their index
        if (AppendMenuW(menu, MF_STRING, baseId + 1 + k, text.c_str())) ++added;
    }
    if (added == 0) InsertPlaceholder(menu, baseId);
}

template <typename Entry>
DWORD ListLength(Entry const* list, DWORD capacity) {
    DWORD length = 0;
    while (length < capacity && list[length]) ++length;
    return length;
}

DWORD RecentCapacity(const PackerWindow* window) {
    return window->settingsPage ? window->settingsPage->RecentItemsCount : 10;
}

}  // namespace

BOOL LoadCertificateList(PCCERT_CONTEXT*& array, DWORD& count, const wchar_t* subkey) {
    RegKeyHandle key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, subkey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return FALSE;
    KeyInfo info;
    if (!QueryKeyInfo(key.get(), info)) return FALSE;

    bool readAll = !array && count == 0;
    DWORD capacity = readAll ? info.values : count;
    if (!array) {
        // Room for every value, and never less than the capacity the caller will use it with.
        array = new (std::nothrow) PCCERT_CONTEXT[(info.values > count ? info.values : count) + 1]();
        if (!array) return FALSE;
    }

    std::vector<wchar_t> name(info.longestName + 1);
    std::vector<BYTE> data(info.longestData + 1);
    DWORD slot = 0;
    for (DWORD index = FirstValueToRead(info.values, capacity); index < info.values && slot < capacity; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD size = static_cast<DWORD>(data.size());
        DWORD type = 0;
        LONG result = RegEnumValueW(key.get(), index, name.data(), &nameLength, nullptr, &type, data.data(), &size);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS || type != REG_BINARY || size == 0 || data[0] != 0x30) continue;
        PCCERT_CONTEXT certificate = DecodeRecord(data.data(), size);
        if (!certificate) continue;
        if (array[slot]) CertFreeCertificateContext(array[slot]);
        array[slot++] = certificate;
    }
    if (readAll) count = slot;
    return TRUE;
}

BOOL SaveCertificateList(PCCERT_CONTEXT* array, DWORD count, const wchar_t* subkey, BOOL withKeyProvInfo) {
    if (!array) return TRUE;
    RegKeyHandle key;
    RegistryWrites writes;
    bool keyTried = false;
    DWORD written = 0;
    for (DWORD i = 0; i < count; ++i) {
        if (!array[i]) continue;  // an emptied page slot, or the end of a recent list
        if (!keyTried) {
            keyTried = true;
            writes.Note(CreateListKey(subkey, key));
        }
        if (key) {
            std::vector<uint8_t> record = EncodeRecord(array[i], withKeyProvInfo != FALSE);
            std::wstring valueName = FormatString(L"cert%u", written++);
            writes.Note(RegSetValueExW(key.get(), valueName.c_str(), 0, REG_BINARY, record.data(),
                                       static_cast<DWORD>(record.size())));
        }
        CertFreeCertificateContext(array[i]);
        array[i] = nullptr;
    }
    return writes.Result();
}

BOOL DeleteListKey(const wchar_t* subkey) {
    if (!subkey) return TRUE;
    const wchar_t* slash = wcsrchr(subkey, L'\\');
    const wchar_t* last = slash ? slash + 1 : subkey;
    if (!*last) return TRUE;  // never the settings key itself
    RegKeyHandle settings;
    RegistryWrites writes;
    writes.Note(RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, settings.put(),
                                nullptr));
    if (settings) writes.Note(RegDeleteKeyW(settings.get(), last), true);
    return writes.Result();
}

wchar_t** AllocateRecentFiles(DWORD capacity) { return new (std::nothrow) wchar_t*[capacity + 1](); }

PCCERT_CONTEXT* AllocateRecentCertificates(DWORD capacity) {
    return new (std::nothrow) PCCERT_CONTEXT[capacity + 1]();
}

void FreeRecentFiles(wchar_t**& list) {
    if (!list) return;
    for (size_t k = 0; list[k]; ++k) delete[] list[k];
    delete[] list;
    list = nullptr;
}

void FreeRecentCertificates(PCCERT_CONTEXT*& list) {
    if (!list) return;
    for (size_t k = 0; list[k]; ++k) CertFreeCertificateContext(list[k]);
    delete[] list;
    list = nullptr;
}

void LoadRecentFiles(wchar_t** list, DWORD capacity) {
    RegKeyHandle key;
    if (!list || RegOpenKeyExW(HKEY_CURRENT_USER, kRecentFilesKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
    KeyInfo info;
    if (!QueryKeyInfo(key.get(), info)) return;
    std::vector<wchar_t> name(info.longestName + 1);
    // Room for a terminating NUL the stored value may lack.
    std::vector<wchar_t> data(info.longestData / sizeof(wchar_t) + 2);
    DWORD slot = 0;
    for (DWORD index = FirstValueToRead(info.values, capacity); index < info.values && slot < capacity; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD size = static_cast<DWORD>((data.size() - 1) * sizeof(wchar_t));
        DWORD type = 0;
        LONG result = RegEnumValueW(key.get(), index, name.data(), &nameLength, nullptr, &type,
                                    reinterpret_cast<BYTE*>(data.data()), &size);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS || type != REG_SZ) continue;
        data[size / sizeof(wchar_t)] = L'\0';
        if (!data[0]) continue;  // an empty entry is never shown
        wchar_t* path = CVFilesDlg::DuplicatePath(data.data());
        delete[] list[slot];
        list[slot++] = path;
    }
}

BOOL SaveRecentFiles(wchar_t* const* list) {
    if (!list) return TRUE;
    RegKeyHandle key;
    RegistryWrites writes;
    DWORD written = 0;
    for (size_t k = 0; list[k]; ++k) {
        if (!list[k][0]) continue;
        if (!key) {
            writes.Note(CreateListKey(kRecentFilesKey, key));
            if (!key) break;
        }
        std::wstring valueName = FormatString(L"file%u", written++);
        DWORD size = static_cast<DWORD>((wcslen(list[k]) + 1) * sizeof(wchar_t));
        writes.Note(RegSetValueExW(key.get(), valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(list[k]), size));
    }
    return writes.Result();
}

void UpdateRecentList(void** list, void* const* newEntries, DWORD newCount, UINT baseId, HMENU submenu,
                      DWORD capacity) {
    if (!list) return;
    RecentKind kind{baseId == kRecentFilesBaseId};
    if (submenu) ClearMenu(submenu);

    // The new entries that count: page slots may be empty, and one entry is taken once.
    std::vector<void*> fresh;
    for (DWORD i = 0; newEntries && i < newCount; ++i) {
        if (!newEntries[i]) continue;
        bool seen = false;
        for (void* other : fresh) seen = seen || kind.Same(other, newEntries[i]);
        if (!seen) fresh.push_back(newEntries[i]);
    }

    std::vector<void*> old(list, list + ListLength(list, capacity));
    if (!fresh.empty() && fresh.size() < capacity) {
        // An entry used again moves to the end instead of appearing twice.
        std::vector<void*> kept;
        for (void* entry : old) {
            bool again = false;
            for (void* other : fresh) again = again || kind.Same(entry, other);
            if (again) kind.Release(entry);
            else kept.push_back(entry);
        }
        old.swap(kept);
    }

    size_t room = capacity > fresh.size() ? capacity - fresh.size() : 0;
    if (fresh.size() > capacity) fresh.erase(fresh.begin(), fresh.end() - capacity);
    size_t drop = old.size() > room ? old.size() - room : 0;
    for (size_t i = 0; i < drop; ++i) kind.Release(old[i]);

    size_t k = 0;
    for (size_t i = drop; i < old.size(); ++i) list[k++] = old[i];
    for (void* entry : fresh) {
        if (void* copy = kind.Copy(entry)) list[k++] = copy;
    }
    for (size_t i = k; i <= capacity; ++i) list[i] = nullptr;
    RebuildMenu(submenu, list, kind, baseId);
}

void UpdateRecentFiles(wchar_t** list, void* const* newEntries, DWORD newCount, HMENU submenu, DWORD capacity) {
    UpdateRecentList(reinterpret_cast<void**>(list), newEntries, newCount, kRecentFilesBaseId, submenu, capacity);
}

void UpdateRecentCertificates(PCCERT_CONTEXT* list, void* const* newEntries, DWORD newCount, HMENU submenu,
                              DWORD capacity) {
    // The list holds the contexts as untyped entries; the contexts themselves are never written.
    UpdateRecentList(reinterpret_cast<void**>(const_cast<CERT_CONTEXT**>(list)), newEntries, newCount,
                     kRecentCertificatesBaseId, submenu, capacity);
}

int ReopenRecentFile(PackerWindow* window, DWORD index, HMENU submenu) {
    if (!window || !window->filesPage || !window->recentFiles) return kAddNullItem;
    if (index >= ListLength(window->recentFiles, RecentCapacity(window)))
        return kAddNullItem;
    wchar_t*& entry = window->recentFiles[index];
    if (!entry[0]) return kAddNullItem;
    wchar_t* copy = CVFilesDlg::DuplicatePath(entry);
    int result = window->filesPage->AddItem(copy, TRUE);
    if (result < 0) delete[] copy;
    if (result == kAddMissingFile) {
        // The entry stays as an empty string so the ids of the later entries do not move.
        entry[0] = L'\0';
        if (submenu) {
            DeleteMenu(submenu, kRecentFilesBaseId + 1 + index, MF_BYCOMMAND);
            if (GetMenuItemCount(submenu) == 0) InsertPlaceholder(submenu, kRecentFilesBaseId);
        }
    }
    if (window->window) PostMessageW(window->window, UM_STATUS_REFRESH, 0, 0);
    return result;
}

int ReuseRecentCertificate(PackerWindow* window, DWORD index) {
    if (!window || !window->encryptionPage || !window->recentCertificates) return kAddNullItem;
    if (index >= ListLength(window->recentCertificates, RecentCapacity(window)))
        return kAddNullItem;
    PCCERT_CONTEXT copy = CertDuplicateCertificateContext(window->recentCertificates[index]);
    int result = window->encryptionPage->AddItem(const_cast<CERT_CONTEXT*>(copy), TRUE);
    if (result < 0) CertFreeCertificateContext(copy);
    if (window->window) PostMessageW(window->window, UM_STATUS_REFRESH, 0, 0);
    return result;
}

// Recovery certificates come first and cannot be removed by the user; certificates added before
// the window started follow them, in their order.
// The recovery certificates go before what the page holds, as its fixed items; a certificate the
// list holds twice is still one recipient.
static void PutRecoveryCertificatesFirst(CVCertificateDlg* page, PCCERT_CONTEXT* recovery, DWORD recoveryCount) {
    void** added = page->items;
    const DWORD addedCount = page->count;
    page->items = nullptr;
    page->count = 0;
    page->capacity = 0;
    for (DWORD i = 0; i < recoveryCount; ++i) {
        bool listed = false;
        for (DWORD k = 0; k < page->count && !listed; ++k) listed = page->CompareItems(page->items[k], recovery[i]) != 0;
        if (listed) CertFreeCertificateContext(recovery[i]);
        else page->AppendClosed(const_cast<CERT_CONTEXT*>(recovery[i]));
    }
    page->fixedCount = page->count;
    for (DWORD i = 0; i < addedCount; ++i) page->AppendClosed(added[i]);
    delete[] added;
}

void LoadRecoveryCertificates(PackerWindow* window) {
    if (!window || !window->encryptionPage) return;
    PCCERT_CONTEXT* loaded = nullptr;
    DWORD count = 0;
    if (LoadCertificateList(loaded, count, kRecoveryCertsKey) && count > 0)
        PutRecoveryCertificatesFirst(window->encryptionPage, loaded, count);
    delete[] loaded;
}

void LoadRecentLists(PackerWindow* window) {
    if (!window) return;
    DWORD capacity = RecentCapacity(window);
    FreeRecentFiles(window->recentFiles);
    FreeRecentCertificates(window->recentCertificates);
    window->recentFiles = AllocateRecentFiles(capacity);
    window->recentCertificates = AllocateRecentCertificates(capacity);
    LoadRecentFiles(window->recentFiles, capacity);
    DWORD recentCount = capacity;
    if (window->recentCertificates) LoadCertificateList(window->recentCertificates, recentCount, kRecentCertsKey);
}

BOOL SaveRecentLists(PackerWindow* window) {
    if (!window) return TRUE;
    // A list that could not be loaded leaves what the registry holds.
    RegistryWrites writes;
    if (window->recentFiles) {
        writes.NoteResult(DeleteListKey(kRecentFilesKey));
        writes.NoteResult(SaveRecentFiles(window->recentFiles));
    }
    if (window->recentCertificates) {
        writes.NoteResult(DeleteListKey(kRecentCertsKey));
        writes.NoteResult(
            SaveCertificateList(window->recentCertificates, RecentCapacity(window), kRecentCertsKey, FALSE));
    }
    return writes.Result();
}

void LoadPackerLists(PackerWindow* window) {
    if (!window) return;
    LoadRecoveryCertificates(window);
    PCCERT_CONTEXT* loaded = nullptr;
    DWORD count = 0;
    if (window->signingPage && LoadCertificateList(loaded, count, kSigningCertsKey)) {
        for (DWORD i = 0; i < count; ++i) {
            if (window->signingPage->AddItem(const_cast<CERT_CONTEXT*>(loaded[i]), FALSE) < 0)
                CertFreeCertificateContext(loaded[i]);
        }
    }
    delete[] loaded;
    LoadRecentLists(window);
}

BOOL SavePackerLists(PackerWindow* window) {
    if (!window) return TRUE;
    RegistryWrites writes;
    writes.NoteResult(DeleteListKey(kSigningCertsKey));
    if (CVCertificateDlg* page = window->signingPage) {
        std::vector<PCCERT_CONTEXT> signers(page->count);
        for (DWORD i = 0; i < page->count; ++i) signers[i] = page->CertificateAt(i);
        writes.NoteResult(SaveCertificateList(signers.data(), page->count, kSigningCertsKey, TRUE));
        // The contexts were released by the save; their slots go empty.
        for (DWORD i = 0; i < page->count; ++i) page->items[i] = nullptr;
    }
    writes.NoteResult(SaveRecentLists(window));
    return writes.Result();
}
