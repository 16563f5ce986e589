#include "tools/command_help.h"

#include <algorithm>
#include <cwchar>

namespace {

const std::vector<CommandHelp> kCommands = {
    {L"import", L"FILE.p12 [--password PW] [--provider-type 1|24]",
     L"Puts the certificate and private key of a PKCS#12 file into the current user's \"MY\" store.",
     {{L"--password PW", L"the password of the file (none when left out)"},
      {L"--provider-type 1|24", L"keep the key in the RSA full (1) or RSA AES (24, default) provider"}}},
    {L"certs", L"", L"Lists the certificates of the \"MY\" store and the recovery certificates.", {}},
    {L"pack", L"[OPTION]... FILE...",
     L"Packs each file into an envelope FILE[.gz].pkcs7 beside it, or all of them into one self-decoding program.",
     {{L"--to CERTFILE", L"encrypt for the certificate in this file (repeatable)"},
      {L"--to-store TEXT", L"encrypt for the \"MY\" store's certificate whose subject contains TEXT (repeatable)"},
      {L"--sign TEXT", L"sign with the \"MY\" store's certificate whose subject contains TEXT (repeatable)"},
      {L"--out-dir DIR", L"write the envelopes into DIR instead of beside the files"},
      {L"--alg NAME", L"content cipher: rc2, rc4, des, 3des, aes128, aes192, aes256 (CBC) or aes128gcm, aes192gcm,"
                      L" aes256gcm (GCM, authenticated; signers go inside)"},
      {L"--key-bits N", L"key length for rc2 and rc4"},
      {L"--hash sha1|md5|sha256|sha384|sha512", L"hash of the signatures"},
      {L"--key-transport pkcs1|oaep", L"how the key is wrapped for RSA recipients (oaep: RSA-OAEP, SHA-1)"},
      {L"--signed-type 3|4", L"3 signs inside the envelope, 4 signs and envelopes in one (default)"},
      {L"--no-signer-certs", L"leave the signers' certificates out of the envelope"},
      {L"--no-salt", L"no salt for the session key"},
      {L"--no-iv", L"no random initialisation vector"},
      {L"--no-compress", L"never compress the files"},
      {L"--compress-anyway", L"compress files that are compressed already (archives, images) as well"},
      {L"--threads N", L"compress on N threads, 0 (one per processor) to 16; default: the setting"},
      {L"--delete", L"delete each source file once its envelope is complete"},
      {L"--wipe", L"overwrite each source file before deleting it"},
      {L"--passes N", L"overwrite passes of --wipe, 1 to 100"},
      {L"--no-verify-certs", L"pack even for certificates whose chain does not verify"},
      {L"--progress", L"show progress even when standard error is not a console"},
      {L"--sfx OUT.exe", L"write one self-decoding program with every file instead of envelopes"},
      {L"--sfx-template PATH", L"the self-decoding program to build on (default: the one beside quill.exe)"},
      {L"--open NAME", L"the self-decoding program opens this file once unpacked (repeatable)"}}},
    {L"unpack", L"[--out-dir DIR | --here] [--check] FILE...",
     L"Decrypts envelopes, verifies their signatures and writes the original files back.",
     {{L"--out-dir DIR", L"write the files into DIR"},
      {L"--here", L"write the files into the current folder"},
      {L"--check", L"only decrypt and verify, write nothing"},
      {L"--progress", L"show progress even when standard error is not a console"}}},
    {L"info", L"FILE...", L"Lists an envelope's algorithm, recipients and signers.", {}},
    {L"settings", L"[NAME [VALUE]]",
     L"Shows every setting, one setting, or sets one (an empty VALUE \"\" brings back its default).", {}},
    {L"recovery", L"[list | add CERTFILE... | remove N|SHA1|TEXT | clear]",
     L"Keeps the recovery certificates, for which every file is encrypted as well.",
     {{L"list", L"list them (the default)"},
      {L"add CERTFILE...", L"add the certificates of these files"},
      {L"remove N|SHA1|TEXT", L"remove one, by its number, its SHA-1 thumbprint or a text of its subject"},
      {L"clear", L"remove them all"}}},
    {L"window", L"[FILE...]", L"Opens the packer window with the files on its files page.", {}},
    {L"register", L"", L"Registers the shell extension Quillarent.dll beside quill.exe (menus, icons, Info page).", {}},
    {L"unregister", L"", L"Removes the shell extension's registration.", {}},
    {L"help", L"[COMMAND]", L"Shows this table, or one command's usage and options.", {}},
};

const CommandHelp* usageCommand = nullptr;

std::wstring SynopsisLine(const CommandHelp& command) {
    std::wstring line = std::wstring(L"quill ") + command.name;
    if (*command.synopsis) line += std::wstring(L" ") + command.synopsis;
    return line;
}

}  // namespace

const std::vector<CommandHelp>& AllCommandHelp() { return kCommands; }

const CommandHelp* FindCommandHelp(const std::wstring& name) {
    for (const CommandHelp& command : kCommands)
        if (name == command.name) return &command;
    return nullptr;
}

std::wstring CommandUsage(const CommandHelp& command) {
    std::wstring text = L"usage: " + SynopsisLine(command) + L"\n" + command.summary + L"\n";
    size_t width = 0;
    for (const OptionHelp& option : command.options) width = std::max(width, std::wcslen(option.form));
    if (!command.options.empty()) text += L"\n";
    for (const OptionHelp& option : command.options) {
        std::wstring form = option.form;
        text += L"  " + form + std::wstring(width - form.size() + 2, L' ') + option.text + L"\n";
    }
    text.pop_back();  // printed as a line
    return text;
}

std::wstring OverallUsage() {
    std::wstring text = L"usage: quill COMMAND [ARGUMENTS]\n\n";
    for (const CommandHelp& command : kCommands)
        text += L"  " + SynopsisLine(command) + L"\n      " + command.summary + L"\n";
    text += L"\n'quill help COMMAND' or 'quill COMMAND --help' shows a command's options.\n"
            L"Ctrl+C cancels pack and unpack, leaving no partial output. Exit status: 0 success, 1 failure, "
            L"2 bad usage, 3 unpacked but a signature could not be checked (its algorithm is not "
            L"supported here; the output is kept).";
    return text;
}

bool AsksForHelp(const std::vector<std::wstring>& arguments) {
    for (const std::wstring& argument : arguments) {
        if (argument == L"--") return false;
        if (argument == L"--help" || argument == L"-h") return true;
    }
    return false;
}

void SetUsageCommand(const CommandHelp* command) { usageCommand = command; }

const CommandHelp* UsageCommand() { return usageCommand; }
