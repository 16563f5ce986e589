#include "tools/pack_options.h"

#include <wincrypt.h>

#include "packer_ui/settings.h"
#include "tools/arguments.h"
#include "tools/commands.h"
#include "tools/console.h"

namespace {

struct NamedValue {
    const wchar_t* name;
    DWORD value;
};

const NamedValue kAlgorithms[] = {
    {L"rc2", CALG_RC2},     {L"rc4", CALG_RC4},        {L"des", CALG_DES},        {L"3des", CALG_3DES},
    {L"aes128", CALG_AES_128}, {L"aes192", CALG_AES_192}, {L"aes256", CALG_AES_256},
};
// AES in GCM mode; the value is the algorithm, the mode goes into its own setting.
const NamedValue kGcmAlgorithms[] = {
    {L"aes128gcm", CALG_AES_128}, {L"aes192gcm", CALG_AES_192}, {L"aes256gcm", CALG_AES_256}};
const NamedValue kHashes[] = {{L"sha1", CALG_SHA1},     {L"md5", CALG_MD5},       {L"sha256", CALG_SHA_256},
                              {L"sha384", CALG_SHA_384}, {L"sha512", CALG_SHA_512}};
// Values of the KeyTransport setting, one above the stored value so that 0 can mean "the setting".
const NamedValue kKeyTransports[] = {{L"pkcs1", 1}, {L"oaep", 2}};

template <size_t N>
bool Lookup(const NamedValue (&table)[N], const std::wstring& name, DWORD& value) {
    for (const NamedValue& row : table) {
        if (name == row.name) {
            value = row.value;
            return true;
        }
    }
    return false;
}

// The one key length of an algorithm that has only one; 0 for RC2 and RC4.
DWORD FixedKeyBits(DWORD algorithm) {
    switch (algorithm) {
        case CALG_DES: return 56;
        case CALG_3DES: return 168;
        case CALG_AES_128: return 128;
        case CALG_AES_192: return 192;
        case CALG_AES_256: return 256;
        default: return 0;
    }
}

// Options that take a value; false when the name is none of them.
int TakeValueOption(ArgumentReader& arguments, const std::wstring& name, PackOptions& options, bool& known) {
    known = true;
    std::wstring value;
    bool valued = name == L"to" || name == L"to-store" || name == L"sign" || name == L"out-dir" || name == L"alg" ||
                  name == L"key-bits" || name == L"hash" || name == L"signed-type" || name == L"passes" ||
                  name == L"sfx" || name == L"sfx-template" || name == L"open" || name == L"threads" ||
                  name == L"key-transport";
    if (!valued) {
        known = false;
        return 0;
    }
    if (!arguments.TakeValue(value) || value.empty()) return UsageError(L"--" + name + L" needs a value");
    unsigned long number = 0;
    if (name == L"to") options.recipientFiles.push_back(value);
    else if (name == L"to-store") options.recipientTexts.push_back(value);
    else if (name == L"sign") options.signerTexts.push_back(value);
    else if (name == L"out-dir") options.outDir = value;
    else if (name == L"sfx") options.sfxOutput = value;
    else if (name == L"sfx-template") options.sfxTemplate = value;
    else if (name == L"open") options.openNames.push_back(value);
    else if (name == L"passes") {
        if (!ParseUnsigned(value, number) || number == 0 || number > 100)
            return UsageError(L"--passes needs a number from 1 to 100");
        options.passes = number;
    }
    else if (name == L"threads") {
        if (!ParseUnsigned(value, number) || number > 16)
            return UsageError(L"--threads needs a number from 0 (one per processor) to 16");
        options.threads = static_cast<int>(number);
    }
    else if (name == L"alg") {
        options.gcm = Lookup(kGcmAlgorithms, value, options.algorithm);
        if (!options.gcm && !Lookup(kAlgorithms, value, options.algorithm))
            return UsageError(L"unknown --alg '" + value +
                              L"' (rc2, rc4, des, 3des, aes128, aes192, aes256, aes128gcm, aes192gcm, aes256gcm)");
    } else if (name == L"hash") {
        if (!Lookup(kHashes, value, options.hash)) return UsageError(L"unknown --hash '" + value + L"' (sha1, md5, sha256, sha384, sha512)");
    } else if (name == L"key-transport") {
        if (!Lookup(kKeyTransports, value, options.keyTransport))
            return UsageError(L"unknown --key-transport '" + value + L"' (pkcs1, oaep)");
    } else if (name == L"key-bits") {
        if (!ParseUnsigned(value, number) || number == 0) return UsageError(L"--key-bits needs a number of bits");
        options.keyBits = number;
    } else if (name == L"signed-type") {
        if (value != L"3" && value != L"4") return UsageError(L"--signed-type must be 3 or 4");
        options.signedType = value == L"3" ? 3 : 4;
    }
    return 0;
}

int TakeFlagOption(ArgumentReader& arguments, const std::wstring& name, PackOptions& options) {
    bool* flag = name == L"no-signer-certs" ? &options.noSignerCerts
                 : name == L"no-salt"       ? &options.noSalt
                 : name == L"no-iv"         ? &options.noIv
                 : name == L"no-compress"   ? &options.noCompress
                 : name == L"compress-anyway" ? &options.compressAnyway
                 : name == L"delete"        ? &options.deleteSources
                 : name == L"wipe"          ? &options.wipeSources
                 : name == L"no-verify-certs" ? &options.noVerifyCerts
                 : name == L"progress"      ? &options.progress
                                            : nullptr;
    if (!flag) return UsageError(L"unknown option for pack: --" + name);
    if (arguments.HasInlineValue()) return UsageError(L"--" + name + L" takes no value");
    *flag = true;
    return 0;
}

}  // namespace

int ParsePackOptions(ArgumentReader& arguments, PackOptions& options) {
    while (!arguments.AtEnd()) {
        const std::wstring& argument = arguments.Next();
        if (!arguments.IsOption()) {
            if (argument != L"--") options.files.push_back(argument);
            continue;
        }
        std::wstring name = arguments.OptionName();
        bool known = false;
        if (int status = TakeValueOption(arguments, name, options, known)) return status;
        if (known) continue;
        if (int status = TakeFlagOption(arguments, name, options)) return status;
    }
    if (options.files.empty()) return UsageError(L"pack needs at least one file");
    if (options.noCompress && options.compressAnyway) return UsageError(L"--no-compress and --compress-anyway exclude each other");
    if (options.passes && !options.wipeSources) return UsageError(L"--passes goes with --wipe");
    if (options.sfxOutput.empty() && (!options.sfxTemplate.empty() || !options.openNames.empty()))
        return UsageError(L"--sfx-template and --open go with --sfx");
    if (!options.sfxOutput.empty() && !options.outDir.empty())
        return UsageError(L"--sfx names its own output: no --out-dir");
    if (!options.sfxOutput.empty() && options.gcm)
        return UsageError(L"the self-decoding program takes AES only in CBC mode (aes128, aes192, aes256)");
    if (!options.sfxOutput.empty() && options.keyTransport == 2)
        return UsageError(L"the self-decoding program takes only --key-transport pkcs1");
    return 0;
}

bool ApplyPackOptions(const PackOptions& options, CVSettingsDlg& settings) {
    DWORD previousAlgorithm = settings.EncryptAlgorithmID;
    if (options.algorithm) {
        settings.EncryptAlgorithmID = options.algorithm;
        settings.EncryptMode = options.gcm ? kEncryptModeGcm : kEncryptModeCbc;
    }
    DWORD fixed = FixedKeyBits(settings.EncryptAlgorithmID);
    if (options.keyBits) {
        settings.EncryptKeyLength = options.keyBits;
    } else if (fixed) {
        settings.EncryptKeyLength = fixed;
    } else if (FixedKeyBits(previousAlgorithm) || settings.EncryptKeyLength == 0) {
        // The stored length belonged to an algorithm of one length; RC2 and RC4 start at 128.
        settings.EncryptKeyLength = 128;
    }
    if (fixed && settings.EncryptKeyLength != fixed) {
        PrintError(L"quill: this algorithm takes only " + std::to_wstring(fixed) + L"-bit keys");
        return false;
    }
    if (!fixed && (settings.EncryptKeyLength < 40 || settings.EncryptKeyLength > 128 ||
                   settings.EncryptKeyLength % 8 != 0)) {
        PrintError(L"quill: RC2 and RC4 keys are 40 to 128 bits in steps of 8");
        return false;
    }
    if (options.hash) settings.HashAlgorithmID = options.hash;
    if (options.keyTransport) settings.KeyTransport = options.keyTransport - 1;
    if (options.signedType) settings.SignedMessageType = options.signedType;
    if (options.noSignerCerts) settings.AddCertsToSignedFile = 0;
    if (options.noSalt) settings.EncryptCreateSalt = 0;
    if (options.noIv) settings.EncryptCreateIV = 0;
    if (options.noCompress) settings.CompressFiles = 0;
    // What happens to the sources is asked for on each call, never taken from the stored settings.
    settings.DeleteFiles = options.deleteSources ? 1 : 0;
    settings.DeleteSafelyFiles = options.wipeSources ? 1 : 0;
    if (options.passes) settings.OverwritePasses = options.passes;
    if (options.threads >= 0) settings.CompressionThreads = static_cast<DWORD>(options.threads);
    if (options.noVerifyCerts) settings.VerifyCertificates = 0;
    settings.CreateSelfdecodedFile = options.sfxOutput.empty() ? 0 : 1;
    // The console is no window to keep open or close.
    settings.CloseProgram = 0;
    return true;
}
