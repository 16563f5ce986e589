#include "format/command_line.h"

#include <gtest/gtest.h>

namespace {

using Names = std::vector<std::string>;

TEST(CommandLine, SplitsAtSeparatorsAndQuotesOfEitherKind) {
    const struct {
        const char* line;
        Names names;
    } cases[] = {
        {"", {}},
        {" \t\r\n ", {}},
        {"a.pkcs7 \"b c.PKCS7\" -dw", {"a.pkcs7", "b c.PKCS7", "-dw"}},
        {"ab\"cd ef\"gh", {"ab", "cd ef", "gh"}},
        {"'it's.txt'", {"it", "s.txt", ""}},  // the last quote opens a quotation to the end
        {"\"\" x", {"", "x"}},
        {"\"open to the end", {"open to the end"}},
        {"\"a'  b", {"a", "b"}},  // an apostrophe closes a quotation a double quote opened
        {"  x\ty\r\nz  ", {"x", "y", "z"}},
    };
    for (const auto& c : cases) EXPECT_EQ(command_line::Split(std::string(c.line)), c.names) << c.line;
}

TEST(CommandLine, NameRules) {
    const struct {
        const char* name;
        bool workingDirectory, certificate, envelope;
    } cases[] = {
        {"-dw", true, false, false},  {"-DW", true, false, false},      {"\\dw", true, false, false},
        {"/dw", false, false, false}, {"-dwx", false, false, false},    {"x.CER", false, true, false},
        {"a.p7b", false, true, false}, {"C:\\dir.v2\\readme", false, false, false},
        {"y.Pkcs7", false, false, true}, {"y.pkcs7.txt", false, false, false},
    };
    for (const auto& c : cases) {
        const std::string name = c.name;
        EXPECT_EQ(command_line::IsWorkingDirectorySwitch(name), c.workingDirectory) << c.name;
        EXPECT_EQ(command_line::IsCertificateFileName(name), c.certificate) << c.name;
        EXPECT_EQ(command_line::ExtensionIs(name, ".pkcs7"), c.envelope) << c.name;
    }
    EXPECT_EQ(command_line::LastExtension(std::string("C:\\dir.v2\\readme")), 6u);
}

}  // namespace
