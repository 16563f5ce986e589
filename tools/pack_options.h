// The options of quill pack and how they turn into the packer's settings.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

class ArgumentReader;
class CVSettingsDlg;

struct PackOptions {
    std::vector<std::wstring> recipientFiles;   // --to
    std::vector<std::wstring> recipientTexts;   // --to-store
    std::vector<std::wstring> signerTexts;      // --sign
    std::vector<std::wstring> files;
    std::wstring outDir;
    DWORD algorithm = 0;   // 0: the setting
    DWORD keyBits = 0;     // 0: the setting, or the algorithm's own length
    DWORD hash = 0;        // 0: the setting
    DWORD keyTransport = 0;  // 0: the setting; else the KeyTransport value plus one
    bool gcm = false;        // --alg named AES in GCM mode
    DWORD signedType = 0;  // 0: the setting
    bool noSignerCerts = false;
    bool noSalt = false;
    bool noIv = false;
    bool noCompress = false;
    bool compressAnyway = false;  // files of a compressed format are gzipped all the same
    bool deleteSources = false;   // --delete
    bool wipeSources = false;     // --wipe: overwritten before deletion
    DWORD passes = 0;             // --passes: 0, the setting
    int threads = -1;             // --threads: -1, the setting; 0, one per processor
    bool noVerifyCerts = false;
    bool progress = false;        // --progress: drawn even when standard error is no console
    std::wstring sfxOutput;                 // --sfx: one self-decoding program
    std::wstring sfxTemplate;               // --sfx-template; empty: Quendrix.exe beside quill.exe
    std::vector<std::wstring> openNames;    // --open: files the program opens after unpacking
};

// Reads the options; 0 when they are sound, else 2 after a one-line message on standard error.
int ParsePackOptions(ArgumentReader& arguments, PackOptions& options);

// Puts the chosen options over the settings read from the registry. False with a message on
// standard error when the key length does not suit the algorithm.
bool ApplyPackOptions(const PackOptions& options, CVSettingsDlg& settings);
