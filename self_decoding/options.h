// The program's command line: options for the decode, the target folder and the usage texts.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

namespace quendrix {

// What the decode takes from the command line in place of the unpack settings of the registry.
struct QuendrixOptions {
    std::string CryptCSPcontainer = "Quillarent";
    DWORD EnumCryptoProviders = 1;
    DWORD ReimportPrivateKey = 1;
    DWORD AskReimportPrivateKey = 1;
    HCERTSTORE certificateStore = nullptr;  // owned by the caller
    LONG DefaultEncryptionBlockSize = 64;
};

constexpr LONG kDefaultBlockSize = 64;
constexpr UINT kUsageText = 504;
constexpr UINT kVersionText = 505;

// The parsed command line. The store is only named here; the caller opens it.
struct CommandLine {
    QuendrixOptions options;
    bool storeGiven = false;
    std::string storeName;
    bool folderGiven = false;
    std::string targetFolder;
    bool extractOnly = false;
    std::vector<UINT> usageTexts;  // 504 / 505 in the order given; any of them ends the program
};

// Arguments 1 to count - 1 in order; argument 0 is the program. A value of /b that is 0 or below
// (or no number) gives no usable buffer, so the default is kept in its place.
CommandLine ParseCommandLine(int count, const char* const* arguments);

}  // namespace quendrix
