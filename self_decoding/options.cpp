#include "self_decoding/options.h"

#include <cctype>
#include <cstdlib>

namespace quendrix {

namespace {

DWORD FlagValue(const char* argument) { return argument[2] == '+' ? 1 : 0; }

LONG BlockSizeValue(const char* argument) {
    long value = std::atol(argument + 2);
    // A buffer of no bytes cannot hold a block: a stream cipher would read nothing forever.
    if (value <= 0 || value > 0x7FFF) return kDefaultBlockSize;
    return static_cast<LONG>(value);
}

}  // namespace

CommandLine ParseCommandLine(int count, const char* const* arguments) {
    CommandLine line;
    for (int i = 1; i < count; ++i) {
        const char* argument = arguments[i];
        if (!argument || (argument[0] != '/' && argument[0] != '-') || argument[1] == '\0') continue;
        const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(argument[1])));
        // The options that take the next argument stop the parse when there is none.
        const bool takesValue = letter == 'c' || letter == 'f' || letter == 's';
        if (takesValue && i + 1 >= count) break;
        switch (letter) {
        case '?': line.usageTexts.push_back(kUsageText); break;
        case 'v': line.usageTexts.push_back(kVersionText); break;
        case 'a': line.options.AskReimportPrivateKey = FlagValue(argument); break;
        case 'e': line.options.EnumCryptoProviders = FlagValue(argument); break;
        case 'r': line.options.ReimportPrivateKey = FlagValue(argument); break;
        case 'b': line.options.DefaultEncryptionBlockSize = BlockSizeValue(argument); break;
        case 'c': line.options.CryptCSPcontainer = arguments[++i]; break;
        case 'f':
            line.folderGiven = true;
            line.targetFolder = arguments[++i];
            break;
        case 's':
            line.storeGiven = true;
            line.storeName = arguments[++i];
            break;
        case 'x': line.extractOnly = true; break;
        default: break;
        }
    }
    return line;
}

}  // namespace quendrix
