// The rundll command-line splitter on any text: names never hold a quote, unquoted names never a
// separator, and together they never hold more characters than the line.
#include <string>

#include "format/command_line.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string line;
    for (size_t i = 0; i + 1 < size; i += 2) line.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    size_t characters = 0;
    for (const std::u16string& name : command_line::Split(line)) {
        characters += name.size();
        for (char16_t c : name) FUZZ_CHECK(!command_line::IsQuote(c));
        if (line.find(name) == std::u16string::npos) FUZZ_CHECK(false);  // every name is a piece of the line
        command_line::IsWorkingDirectorySwitch(name);
        command_line::IsCertificateFileName(name);
    }
    FUZZ_CHECK(characters <= line.size());
    return 0;
}
