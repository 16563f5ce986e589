// quill info: what a packed file holds without decrypting it: the algorithm, the recipients with
// whether this user holds a matching key, and the signers.
#include <string>
#include <vector>

#include "tools/commands.h"
#include "unpack/unpack_job.h"

int CommandInfo(ArgumentReader& arguments) {
    std::vector<std::wstring> files;
    while (!arguments.AtEnd()) {
        const std::wstring& argument = arguments.Next();
        if (argument == L"--" && !arguments.IsOption()) continue;
        if (arguments.IsOption()) return UsageError(L"unknown option --" + arguments.OptionName());
        files.push_back(argument);
    }
    if (files.empty()) return UsageError(L"info: no files given");
    return RunUnpack(kModeDescribe, files, std::wstring(), false, false);
}
