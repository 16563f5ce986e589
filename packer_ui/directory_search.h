// Recipients' certificates from an LDAP directory: the settings kept under "Directory", the search
// dialog (template 202) that runs one asynchronous search and lists every certificate of the
// returned entries, and the settings dialog (template 204).
#pragma once
#include <windows.h>
#include <commctrl.h>
#include <wincrypt.h>
#include <winldap.h>

#include <string>
#include <vector>

class CVCertificateDlg;

extern const wchar_t kDirectoryKey[];  // L"Software\\Orbelin\\Quillarent\\Directory"

constexpr UINT kSearchDialog = 202;
constexpr UINT kDirectorySettingsDialog = 204;
constexpr UINT UM_POLL_SEARCH = WM_USER;

enum DirectoryControl : int {
    kViewCertificateButton = 1002,
    kServerEdit = 1018,
    kContainerEdit = 1019,
    kFilterEdit = 1022,
    kTimeLimitEdit = 1024,
    kMaxItemsEdit = 1025,
    kTimeLimitSpin = 1026,
    kMaxItemsSpin = 1027,
    kSortItemsCheck = 1028,
    kUserNameEdit = 1029,
    kPasswordEdit = 1030,
    kSimpleBindCheck = 1031,
    kDomainEdit = 1032,
    kDisplayAttributesEdit = 1033,
    kCertificateAttributesEdit = 1034,
    kShowAllObjectsCheck = 1035,
    kSettingsButton = 1038,
    kResultList = 1506,
};

// The directory settings; an empty string stands for a missing value.
struct DirectorySettings {
    std::wstring server, container, filter, displayAttributes, certificateAttributes;
    LONG searchTimeout = 0, maxItemsCount = 0;
    DWORD sortItems = 0;
    std::wstring domain, userName;
    std::vector<BYTE> password;  // protected (see protected_value.h): the ciphertext only
    DWORD simpleBind = 0;
};

// Reads every value; a missing or unreadable one stays empty or 0.
void LoadDirectorySettings(DirectorySettings& settings);
// Writes the values: strings with their NUL, numbers above 0 and set flags; the others are deleted.
// 0 with the error as last error when the key could not be opened or a value not written.
BOOL SaveDirectorySettings(const DirectorySettings& settings);
// The password as plain text, for the moment it is needed; the settings keep the protected form.
// False (and an empty text) when a stored password cannot be decrypted.
bool RevealPassword(DirectorySettings& settings, std::wstring& password);
// Protects the text into the settings (an empty text clears the password).
bool ProtectPassword(DirectorySettings& settings, const std::wstring& password);

// Dialog 204 over the owner on these settings; OK saves them. Returns IDOK or IDCANCEL.
INT_PTR EditDirectorySettings(HWND owner, DirectorySettings& settings);

constexpr size_t kAttributeSlots = 128;

// One run of the search dialog.
struct DirectorySearch {
    DirectorySearch();
    ~DirectorySearch();  // releases the rows' certificates and closes a session still open
    DirectorySearch(const DirectorySearch&) = delete;
    DirectorySearch& operator=(const DirectorySearch&) = delete;

    PCCERT_CONTEXT result = nullptr;  // the chosen certificate, handed to the caller
    HWND dialog = nullptr;
    DirectorySettings settings;
    // Non-blocking connects to the configured servers, made before the session is opened: the
    // platform's first operation connects synchronously and would hold the dialog on a server that
    // never answers.
    std::vector<SOCKET> probes;
    ULONGLONG probeDeadline = 0;  // GetTickCount64 time at which the connects have failed
    bool winsockStarted = false;
    LDAP* session = nullptr;
    ULONG messageId = static_cast<ULONG>(-1);  // of the pending search, or of the simple bind
    bool binding = false;                       // the pending message is the simple bind
    // Display names first, then the certificate attribute names; null-terminated.
    wchar_t* attributes[kAttributeSlots] = {};
    int displayCount = 0;
    int certificateCount = 0;
    std::wstring displayTemplate;  // kValueMark where a display attribute's values go
    std::wstring displayNames, certificateNames;  // the parsed copies the names point into
    // The server refused the sort control: the search runs again without it and the rows are
    // sorted here.
    bool sortRefused = false;
    bool serverSorted = false;  // the server confirmed that it sorted the rows, which keep its order
    ULONG lastError = 0;  // the last failure's LDAP code, 0 when the last run went well
    // The result list's icons: the list shares its image lists (LVS_SHAREIMAGELISTS) and so leaves
    // them to their owner, which destroys this one with itself, after the dialog.
    HIMAGELIST icons = nullptr;
};

constexpr wchar_t kValueMark = L'\x0001';

// Splits an attribute string into names (runs of letters and digits) in a copy of it, appending
// them to the table after the names already there; with a template, each other character is copied
// into it and every name is marked. Returns the number of names kept (the table keeps one slot null).
int ParseAttributeNames(const std::wstring& text, std::wstring& copy, wchar_t** table, int used,
                        std::wstring* displayTemplate);

// Dialog 202 over the owner: returns the chosen certificate (the caller owns it) or null.
PCCERT_CONTEXT SearchDirectory(HWND owner);
// The search dialog for the encryption page; the chosen certificate is added with the replace flag.
// Returns the number added (0 or 1).
int AddCertificateFromDirectory(CVCertificateDlg* page);
