// The usage texts of quill.exe: the table of commands and, per command, its synopsis and options.
#pragma once
#include <string>
#include <vector>

struct OptionHelp {
    const wchar_t* form;  // "--to CERTFILE"
    const wchar_t* text;  // one line of what it does
};

struct CommandHelp {
    const wchar_t* name;
    const wchar_t* synopsis;  // the arguments after "quill NAME"
    const wchar_t* summary;
    std::vector<OptionHelp> options;
};

const std::vector<CommandHelp>& AllCommandHelp();
const CommandHelp* FindCommandHelp(const std::wstring& name);

// "usage: quill NAME ...", the summary and one line per option (no final line break).
std::wstring CommandUsage(const CommandHelp& command);
// The table of every command with its synopsis and summary.
std::wstring OverallUsage();

// Whether the arguments ask for help: "--help" or "-h" before a lone "--".
bool AsksForHelp(const std::vector<std::wstring>& arguments);

// The command whose usage follows a usage error on standard error (none before dispatch).
void SetUsageCommand(const CommandHelp* command);
const CommandHelp* UsageCommand();
