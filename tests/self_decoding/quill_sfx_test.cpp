// Self-decoding programs made by `quill pack --sfx` with the shipped template, run as a recipient
// would run them: every file comes back byte for byte and the signer is reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "format/sfx_directory.h"
#include "tests/self_decoding/program_test_support.h"
#include "tests/support/test_support.h"

namespace {

using namespace quendrix_test;
using testing_support::FileExists;
using testing_support::PatternBytes;
using testing_support::ReadFileBytes;
using testing_support::TempDir;

// Runs quill.exe with the arguments and returns its exit code (0xFFFFFFFF when it could not run).
DWORD RunQuill(const std::wstring& arguments) {
    const std::wstring program = QuillProgramPath();
    std::wstring command = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return 0xFFFFFFFF;
    CloseHandle(process.hThread);
    DWORD code = 0xFFFFFFFF;
    if (WaitForSingleObject(process.hProcess, 180000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    else
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hProcess);
    return code;
}

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

struct SourceFile {
    std::wstring name;
    std::vector<uint8_t> bytes;
};

class QuillSelfDecoding : public ::testing::TestWithParam<const wchar_t*> {
protected:
    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryW(dir_.File(L"src").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(dir_.File(L"out").c_str(), nullptr));
        std::string text;
        for (int line = 0; line < 400; ++line) text += "line " + std::to_string(line) + " of the report\r\n";
        sources_.push_back({L"report.txt", std::vector<uint8_t>(text.begin(), text.end())});
        sources_.push_back({L"data.bin", PatternBytes(200003, 7)});
        sources_.push_back({L"empty.dat", {}});
        for (const SourceFile& source : sources_)
            testing_support::WriteFileBytes(dir_.File(L"src\\" + source.name), source.bytes);
    }

    std::wstring PackArguments(const std::wstring& extra) const {
        std::wstring arguments = L"pack --sfx " + Quoted(dir_.File(L"prog.exe")) +
                                 L" --to-store \"Alice Recipient\" --sign \"Carol Signer\" --no-verify-certs " + extra;
        for (const SourceFile& source : sources_) arguments += L" " + Quoted(dir_.File(L"src\\" + source.name));
        return arguments;
    }

    TempDir dir_;
    std::vector<SourceFile> sources_;
};

TEST_P(QuillSelfDecoding, ExtractingToAFolderGivesBackEveryFileAndNamesTheSigner) {
    ASSERT_EQ(RunQuill(PackArguments(GetParam())), 0u);
    const std::wstring program = dir_.File(L"prog.exe");
    ASSERT_TRUE(FileExists(program));

    // The program is the template with the payload behind it, and still knows the template's size.
    std::vector<uint8_t> built = ReadFileBytes(program);
    std::vector<uint8_t> shipped = ReadFileBytes(ShippedProgramPath());
    ASSERT_GT(built.size(), shipped.size());
    EXPECT_TRUE(std::equal(shipped.begin(), shipped.end(), built.begin()));
    uint32_t templateSize = 0;
    ASSERT_TRUE(sfx::ReadTemplateSize(built.data(), built.size(), templateSize));
    EXPECT_EQ(templateSize, shipped.size());

    RunResult run = RunProgram(program, L"/x /f " + Quoted(dir_.File(L"out")), dir_.path(), "Quillarent - prog.exe");
    ASSERT_TRUE(run.boxShown);
    EXPECT_EQ(run.boxText.rfind("File is decoded successfully.\r\nFile is digitally signed by:\r\n", 0), 0u)
        << run.boxText;
    EXPECT_NE(run.boxText.find("\tIssued to: Carol Signer"), std::string::npos) << run.boxText;
    EXPECT_NE(run.boxText.find("Digital signature(s) for all signers are valid."), std::string::npos)
        << run.boxText;
    EXPECT_TRUE(run.exited);
    for (const SourceFile& source : sources_) {
        EXPECT_EQ(ReadFileBytes(dir_.File(L"out\\" + source.name)), source.bytes) << testing_support::Narrow(source.name);
        // Nothing lands beside the program when a folder is named.
        EXPECT_FALSE(FileExists(dir_.File(source.name))) << testing_support::Narrow(source.name);
    }
}

INSTANTIATE_TEST_SUITE_P(Compression, QuillSelfDecoding, ::testing::Values(L"", L"--no-compress"),
                         [](const ::testing::TestParamInfo<const wchar_t*>& info) {
                             return std::string(*info.param ? "Plain" : "Compressed");
                         });

}  // namespace
