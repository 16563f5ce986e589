// The packer's settings record: the settings page object, whose fields bear the names of their
// registry values under HKEY_CURRENT_USER "Software\Orbelin\Quillarent".
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "packer_ui/tab_page.h"

extern const wchar_t kSettingsKey[];  // L"Software\\Orbelin\\Quillarent"

// The outcome of a series of registry writes: every write is tried, and the series fails with the
// first error, so that nothing that could not be written counts as saved.
class RegistryWrites {
public:
    // Takes a registry call's status; a deletion of a value that is not there is no failure.
    void Note(LONG status, bool missingIsFine = false) {
        if (status == ERROR_FILE_NOT_FOUND && missingIsFine) return;
        if (firstError_ == ERROR_SUCCESS) firstError_ = status;
    }
    // Takes the result of a writer that follows the library's convention (0 and the last error).
    void NoteResult(BOOL done) {
        if (!done) Note(static_cast<LONG>(GetLastError()));
    }
    // Nonzero when all were written; else 0 with the first error as the last error.
    BOOL Result() const {
        if (firstError_ == ERROR_SUCCESS) return TRUE;
        SetLastError(static_cast<DWORD>(firstError_));
        return FALSE;
    }

private:
    LONG firstError_ = ERROR_SUCCESS;
};

// A string or binary value of key (or of its subkey when one is named); empty when it is missing,
// of another type or unreadable.
std::wstring ReadRegistryText(HKEY key, const wchar_t* subkey, const wchar_t* name);
std::vector<BYTE> ReadRegistryBytes(HKEY key, const wchar_t* subkey, const wchar_t* name);

// The settings page's dialog resource and its controls.
constexpr UINT kSettingsPageDialog = 203;
enum SettingsPageControl : int {
    kVerifyCertificatesCheck = 1007,
    kProviderCombo = 1012,
    kCreateIvCheck = 1013,
    kCreateSaltCheck = 1014,
    kDeleteFilesCheck = 1015,
    kDeleteSafelyCheck = 1016,
    kCompressFilesCheck = 1017,
    kEncryptionCombo = 1020,
    kKeyLengthCombo = 1021,
    kCloseProgramCheck = 1043,
    kHashCombo = 1046,
    kAddCertificatesCheck = 1047,
    kKeyTransportOaepCheck = 1048,
    kSelfDecodingCheck = 1112,
    kOpenFilesCheck = 1126,
};

class CVSettingsDlg : public CVTabDlg {
public:
    CVSettingsDlg();  // LoadSettings
    ~CVSettingsDlg() override;  // closes the page first: it reads its controls into the fields

    // The page window (dialog 203) as a modeless child of parentWindow, filled from the fields.
    BOOL CreatePage() override;

    // Defaults, then the registry. A record that holds none of the provider type, cipher, key length
    // and hash starts from AES-256 and SHA-256 in the RSA AES provider; one that holds any of them
    // was written by an earlier set-up and fills the missing ones from RC2-40, SHA-1 and the RSA full
    // provider, which is what it has always packed with.
    void LoadSettings();
    // The editable fields back to the registry. 0 (with the error as last error) when the key could
    // not be opened or a value not written.
    BOOL SaveSettings() const;
    // Fields from the page's controls; does nothing while the page window does not exist.
    void ReadSettingsPage();

    // The open page's controls from the fields: check boxes, providers, then the algorithm lists.
    void FillSettingsPage();
    // The algorithm combos from the selected provider's algorithms. When the provider cannot be
    // opened the error is shown and the lists stay as they were.
    void FillAlgorithmLists();
    // The IV and salt boxes and the key lengths for the selected encryption algorithm.
    void FillKeyLengths();

    DWORD VerifyCertificates = 1;
    DWORD DeleteFiles = 0;
    DWORD DeleteSafelyFiles = 0;
    DWORD OpenFiles = 0;
    DWORD CompressFiles = 1;
    DWORD CloseProgram = 1;
    DWORD AddCertsToSignedFile = 1;
    DWORD CreateSelfdecodedFile = 0;
    std::wstring CryptCSPname;  // empty: the system's default provider of the type
    std::wstring CompressedFiles;
    DWORD CryptCSPtype = 24;              // PROV_RSA_AES
    DWORD EncryptAlgorithmID = 0x6610;  // CALG_AES_256
    DWORD HashAlgorithmID = 0x800C;     // CALG_SHA_256
    DWORD EncryptKeyLength = 256;
    DWORD EncryptCreateSalt = 1;
    DWORD EncryptCreateIV = 1;
    DWORD OverwritePasses = 1;
    DWORD DefaultEncryptionBlockSize = 64;
    DWORD SignedMessageType = 4;
    DWORD GzCompressionLevel = 9;
    DWORD CompressionThreads = 0;  // 0: one per processor
    DWORD RecentItemsCount = 10;
    DWORD KeyTransport = 0;        // 0: RSA PKCS #1 v1.5, 1: RSA-OAEP with SHA-1
    // The mode of an AES content cipher, kept apart from EncryptAlgorithmID so that builds that
    // know only CBC read the same algorithm from it.
    DWORD EncryptMode = 0;
    std::vector<DWORD> SupportedCSP;  // empty: the four default provider types
};

constexpr DWORD kEncryptModeCbc = 0;
constexpr DWORD kEncryptModeGcm = 1;

extern const wchar_t kDefaultCompressedFiles[];
// The largest RecentItemsCount taken from the registry; a larger value reads as this one. Entry k
// of a recent submenu has the command id base + 1 + k, and the certificates' base lies 1000 above
// the files' base: 999 entries fill the files' range up to the id just below it.
constexpr DWORD kMaxRecentItems = 999;
