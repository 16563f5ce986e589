// The packer's lists kept in the registry between sessions: recovery, signing and recently used
// certificates, recently packed files, and the two "recent" submenus built from them.
#pragma once
#include <windows.h>
#include <wincrypt.h>

struct PackerWindow;

// Subkeys under HKEY_CURRENT_USER.
extern const wchar_t kRecoveryCertsKey[];  // Software\Orbelin\Quillarent\RecoveryCerts
extern const wchar_t kSigningCertsKey[];   // Software\Orbelin\Quillarent\SigningCerts64
extern const wchar_t kRecentCertsKey[];    // Software\Orbelin\Quillarent\RecentCerts
extern const wchar_t kRecentFilesKey[];    // Software\Orbelin\Quillarent\RecentFiles

// Menu ids: the submenu's placeholder item has the base id, entry k has base id + 1 + k.
constexpr UINT kRecentFilesBaseId = 20000;
constexpr UINT kRecentCertificatesBaseId = 21000;

// Reads the "cert%d" values of the subkey into certificate contexts.
// array null: it is allocated (new[], one slot per value or per unit of count, whichever is more,
// plus one, all null); a count of 0 reads
// every value and stores how many certificates were decoded, a non-zero count reads only the
// last that many values and is left as it is.
// array given: it has count + 1 slots and count is its capacity; only the last count values are
// read (none for a count of 0). Slots not filled stay null.
// False when the subkey cannot be opened (nothing changes then).
BOOL LoadCertificateList(PCCERT_CONTEXT*& array, DWORD& count, const wchar_t* subkey);

// Writes the non-null entries among the first count slots as "cert%d" values numbered from 0,
// with the key-provider block when withKeyProvInfo is set, and releases each entry (its slot
// becomes null). The key is created only when there is an entry to write. 0 (with the error as
// last error) when the key could not be made or a value not written; the entries are released all
// the same.
BOOL SaveCertificateList(PCCERT_CONTEXT* array, DWORD count, const wchar_t* subkey, BOOL withKeyProvInfo);

// Deletes the subkey named by the last component of the path under Software\Orbelin\Quillarent.
// 0 with the error as last error when it is still there.
BOOL DeleteListKey(const wchar_t* subkey);

// Recent lists: null-terminated arrays of capacity + 1 slots, oldest entry first. File entries are
// allocated like page items (CVFilesDlg::DuplicatePath); certificate entries are owned contexts.
wchar_t** AllocateRecentFiles(DWORD capacity);
PCCERT_CONTEXT* AllocateRecentCertificates(DWORD capacity);
void FreeRecentFiles(wchar_t**& list);
void FreeRecentCertificates(PCCERT_CONTEXT*& list);

// Reads the last capacity REG_SZ "file%d" values into the list (capacity + 1 slots).
void LoadRecentFiles(wchar_t** list, DWORD capacity);
// Writes the non-empty entries as "file%d" values numbered from 0; the key is created only when
// there is one. 0 with the error as last error when not all of them could be written.
BOOL SaveRecentFiles(wchar_t* const* list);

// Merges new entries into a recent list of the given capacity and rebuilds the submenu. Base id
// kRecentFilesBaseId: entries are paths (wchar_t*); kRecentCertificatesBaseId: PCCERT_CONTEXT.
// The new entries stay the caller's; the list gets copies. Null new entries are skipped.
// A capacity of 0 keeps no entries at all.
void UpdateRecentList(void** list, void* const* newEntries, DWORD newCount, UINT baseId, HMENU submenu,
                      DWORD capacity);

// The same for the window's two typed lists.
void UpdateRecentFiles(wchar_t** list, void* const* newEntries, DWORD newCount, HMENU submenu, DWORD capacity);
void UpdateRecentCertificates(PCCERT_CONTEXT* list, void* const* newEntries, DWORD newCount, HMENU submenu,
                              DWORD capacity);

// Adds recent file k to the files page (replace flag). A file that is gone leaves an empty entry
// and loses its menu item; an emptied submenu gets the disabled "no files" item. Returns AddItem's
// result (kAddNullItem for an index without an entry).
int ReopenRecentFile(PackerWindow* window, DWORD index, HMENU submenu);

// Adds a duplicate of recent certificate k to the encryption page (replace flag).
int ReuseRecentCertificate(PackerWindow* window, DWORD index);

// RecoveryCerts into the encryption page as its fixed items, before what it holds (one item per
// certificate).
void LoadRecoveryCertificates(PackerWindow* window);
// The recent files and certificates (allocated here with RecentItemsCount + 1 slots), and back:
// each list replaces what the registry held; the save fails (0, the first error as last error)
// when a list could not be written whole.
void LoadRecentLists(PackerWindow* window);
BOOL SaveRecentLists(PackerWindow* window);

// Window start: RecoveryCerts into the encryption page as its fixed items, SigningCerts64 into the
// signing page, the recent lists (allocated here with RecentItemsCount + 1 slots).
void LoadPackerLists(PackerWindow* window);
// Window close: the signing certificates with their key-provider blocks, the recent files and the
// recent certificates replace what the registry held. The signing page's entries are released.
// 0 with the first error as last error when something could not be written.
BOOL SavePackerLists(PackerWindow* window);
