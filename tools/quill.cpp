// quill.exe: the command-line front end of the packing engine and the certificate store.
#include <windows.h>

#include <string>
#include <vector>

#include "format/service/resources.h"
#include "tools/command_help.h"
#include "tools/commands.h"
#include "tools/console.h"

namespace {

using Command = int (*)(ArgumentReader&);

Command FindCommand(const std::wstring& name) {
    if (name == L"import") return CommandImport;
    if (name == L"certs") return CommandCerts;
    if (name == L"pack") return CommandPack;
    if (name == L"unpack") return CommandUnpack;
    if (name == L"info") return CommandInfo;
    if (name == L"settings") return CommandSettings;
    if (name == L"recovery") return CommandRecovery;
    if (name == L"window") return CommandWindow;
    if (name == L"register") return CommandRegister;
    if (name == L"unregister") return CommandUnregister;
    return nullptr;
}

// quill help [COMMAND]
int CommandHelpText(const std::vector<std::wstring>& arguments) {
    if (AsksForHelp(arguments)) {
        PrintLine(CommandUsage(*FindCommandHelp(L"help")));
        return 0;
    }
    if (arguments.empty()) {
        PrintLine(OverallUsage());
        return 0;
    }
    const CommandHelp* help = FindCommandHelp(arguments[0]);
    if (!help || arguments.size() > 1) {
        PrintError(help ? L"quill: help takes one command name" : L"quill: unknown command '" + arguments[0] + L"'");
        PrintError(OverallUsage());
        return 2;
    }
    PrintLine(CommandUsage(*help));
    return 0;
}

}  // namespace

int UsageError(const std::wstring& text) {
    PrintError(L"quill: " + text);
    if (const CommandHelp* command = UsageCommand()) PrintError(CommandUsage(*command));
    return 2;
}

int wmain(int argc, wchar_t** argv) {
    SetResourceModule(GetModuleHandleW(nullptr));
    // Never stop on an error box: this program runs in scripts.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    if (argc < 2) {
        PrintError(OverallUsage());
        return 2;
    }
    std::wstring name = argv[1];
    std::vector<std::wstring> rest(argv + 2, argv + argc);
    if (name == L"help" || name == L"--help" || name == L"-h") return CommandHelpText(rest);
    Command command = FindCommand(name);
    if (!command) {
        PrintError(L"quill: unknown command '" + name + L"'");
        PrintError(OverallUsage());
        return 2;
    }
    const CommandHelp* help = FindCommandHelp(name);
    if (AsksForHelp(rest)) {
        PrintLine(CommandUsage(*help));
        return 0;
    }
    SetUsageCommand(help);
    ArgumentReader arguments(std::move(rest));
    return command(arguments);
}
