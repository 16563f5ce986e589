// quill.exe: the command-line front end of the packing engine and the certificate store.
#include <windows.h>

#include <string>
#include <vector>

#include "format/service/resources.h"
#include "tools/commands.h"
#include "tools/console.h"

namespace {

const wchar_t kUsage[] =
    L"usage: quill import FILE.p12 [--password PW] [--provider-type 1|24]\n"
    L"       quill certs\n"
    L"       quill pack [--to CERTFILE]... [--to-store TEXT]... [--sign TEXT]... [--out-dir DIR]\n"
    L"                  [--alg rc2|rc4|des|3des|aes128|aes192|aes256] [--key-bits N] [--hash sha1|md5]\n"
    L"                  [--signed-type 3|4] [--no-signer-certs] [--no-salt] [--no-iv]\n"
    L"                  [--no-compress | --compress-anyway] [--delete | --wipe [--passes N]] [--no-verify-certs]\n"
    L"                  [--progress]\n"
    L"                  [--sfx OUT.exe [--sfx-template PATH] [--open NAME]...] FILE...\n"
    L"       quill unpack [--out-dir DIR | --here] [--check] FILE...\n"
    L"       quill info FILE...\n"
    L"       quill settings [NAME [VALUE]]\n"
    L"       quill recovery [list | add CERTFILE... | remove N|SHA1|TEXT | clear]\n"
    L"\n"
    L"pack also encrypts for every recovery certificate; Ctrl+C cancels pack and unpack, leaving no partial output.";

}  // namespace

int UsageError(const std::wstring& text) {
    PrintError(L"quill: " + text);
    return 2;
}

int wmain(int argc, wchar_t** argv) {
    SetResourceModule(GetModuleHandleW(nullptr));
    // Never stop on an error box: this program runs in scripts.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    if (argc < 2) {
        PrintError(kUsage);
        return 2;
    }
    std::wstring command = argv[1];
    ArgumentReader arguments(std::vector<std::wstring>(argv + 2, argv + argc));
    if (command == L"import") return CommandImport(arguments);
    if (command == L"certs") return CommandCerts(arguments);
    if (command == L"pack") return CommandPack(arguments);
    if (command == L"unpack") return CommandUnpack(arguments);
    if (command == L"info") return CommandInfo(arguments);
    if (command == L"settings") return CommandSettings(arguments);
    if (command == L"recovery") return CommandRecovery(arguments);
    if (command == L"help" || command == L"--help" || command == L"-h") {
        PrintLine(kUsage);
        return 0;
    }
    PrintError(L"quill: unknown command '" + command + L"'");
    PrintError(kUsage);
    return 2;
}
