// Runs of the shipped 32-bit self-decoding program on payloads made by the envelope writer.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "format/service/crypto_handles.h"
#include "format/sfx_directory.h"
#include "tests/self_decoding/program_test_support.h"
#include "tests/support/test_support.h"

namespace {

using namespace quendrix_test;
using testing_support::FileExists;
using testing_support::FindMyCertificate;
using testing_support::PatternBytes;
using testing_support::ReadFileBytes;
using testing_support::TempDir;

const char kCaption[] = "Quillarent - payload.exe";
const char kDecoded[] = "File is decoded successfully.";

class QuendrixProgram : public ::testing::Test {
protected:
    void SetUp() override {
        alice_ = FindMyCertificate(L"Alice Recipient");
        ASSERT_TRUE(alice_) << "test certificates missing";
    }
    std::wstring Program() const { return dir_.File(L"payload.exe"); }
    RunResult Run(const std::wstring& arguments = L"") { return RunProgram(Program(), arguments, dir_.path(), kCaption); }

    TempDir dir_;
    CertHandle alice_;
};

PayloadSpec TwoFiles() {
    PayloadSpec spec;
    spec.files.push_back({L"first.txt", PatternBytes(1000, 1), 0});
    spec.files.push_back({L"second.bin", PatternBytes(70001, 2), 0});
    return spec;
}

TEST_F(QuendrixProgram, TwoFilesUnderAes) {
    PayloadSpec spec = TwoFiles();
    spec.recipients.push_back(alice_.get());
    ASSERT_TRUE(BuildPayloadProgram(Program(), spec));
    RunResult run = Run();
    ASSERT_TRUE(run.boxShown);
    EXPECT_EQ(run.boxText, kDecoded);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(ReadFileBytes(dir_.File(L"first.txt")), spec.files[0].bytes);
    EXPECT_EQ(ReadFileBytes(dir_.File(L"second.bin")), spec.files[1].bytes);
}

TEST_F(QuendrixProgram, ThreeCompressedFilesSignedUnderRc2) {
    PayloadSpec spec;
    spec.files.push_back({L"one.txt", std::vector<uint8_t>(50000, 'a'), 0});
    spec.files.push_back({L"empty.dat", {}, 0});
    spec.files.push_back({L"three.bin", PatternBytes(123457, 9), 0});
    spec.compressed = true;
    spec.algId = CALG_RC2;
    spec.keyLength = 128;
    spec.recipients.push_back(alice_.get());
    ASSERT_TRUE(BuildSignedPayloadProgram(Program(), spec, L"Carol Signer"));
    RunResult run = Run();
    ASSERT_TRUE(run.boxShown);
    EXPECT_EQ(run.boxText.rfind(std::string(kDecoded) + "\r\nFile is digitally signed by:\r\n", 0), 0u) << run.boxText;
    EXPECT_NE(run.boxText.find("\tIssued to: Carol Signer"), std::string::npos) << run.boxText;
    EXPECT_EQ(run.boxText.find("not valid"), std::string::npos) << run.boxText;
    const std::string tail = "Digital signature(s) for all signers are valid.";
    EXPECT_EQ(run.boxText.substr(run.boxText.size() - tail.size()), tail);
    for (const PackedFile& file : spec.files) EXPECT_EQ(ReadFileBytes(dir_.File(file.name)), file.bytes);
}

TEST_F(QuendrixProgram, SignedWithoutRecipientsIsHashedNotDecrypted) {
    PayloadSpec spec = TwoFiles();
    ASSERT_TRUE(BuildSignedPayloadProgram(Program(), spec, L"Dave Signer"));
    RunResult run = Run();
    ASSERT_TRUE(run.boxShown);
    EXPECT_EQ(run.boxText.rfind("File is digitally signed by:\r\n", 0), 0u) << run.boxText;
    EXPECT_NE(run.boxText.find("Issued to: Dave Signer"), std::string::npos) << run.boxText;
    EXPECT_NE(run.boxText.find("Digital signature(s) for all signers are valid."), std::string::npos) << run.boxText;
    EXPECT_EQ(ReadFileBytes(dir_.File(L"second.bin")), spec.files[1].bytes);
}

TEST_F(QuendrixProgram, AForeignRecipientCannotDecode) {
    CertHandle stranger = testing_support::LoadCertificateFile(testing_support::TestDataFile(L"stranger.cer"));
    ASSERT_TRUE(stranger);
    PayloadSpec spec = TwoFiles();
    spec.recipients.push_back(stranger.get());
    ASSERT_TRUE(BuildPayloadProgram(Program(), spec));
    RunResult run = Run(L"/a-");
    ASSERT_TRUE(run.boxShown);
    EXPECT_EQ(run.boxText.rfind("Cannot decode file.\r\n", 0), 0u) << run.boxText;
    EXPECT_NE(run.boxText.find("Error - 0x8009200C"), std::string::npos) << run.boxText;
    // The outputs were made before the key was looked for and stay, empty.
    EXPECT_TRUE(ReadFileBytes(dir_.File(L"first.txt")).empty());
}

TEST_F(QuendrixProgram, ASecondRunOverwritesNothing) {
    PayloadSpec spec = TwoFiles();
    spec.recipients.push_back(alice_.get());
    ASSERT_TRUE(BuildPayloadProgram(Program(), spec));
    ASSERT_EQ(Run().boxText, kDecoded);
    std::vector<uint8_t> changed(10, 'z');
    testing_support::WriteFileBytes(dir_.File(L"first.txt"), changed);
    RunResult second = Run();
    ASSERT_TRUE(second.boxShown);
    EXPECT_EQ(second.boxText.rfind("Cannot create file.\r\nfirst.txt\r\nMake sure that the path and filename are correct.", 0), 0u)
        << second.boxText;
    EXPECT_EQ(ReadFileBytes(dir_.File(L"first.txt")), changed);
    EXPECT_EQ(ReadFileBytes(dir_.File(L"second.bin")), spec.files[1].bytes);
}

TEST_F(QuendrixProgram, ALaterFileThatExistsIsReportedAndTheEarlierOnesDecoded) {
    PayloadSpec spec = TwoFiles();
    spec.recipients.push_back(alice_.get());
    ASSERT_TRUE(BuildPayloadProgram(Program(), spec));
    std::vector<uint8_t> existing(3, 'k');
    testing_support::WriteFileBytes(dir_.File(L"second.bin"), existing);
    RunResult run = Run();
    EXPECT_EQ(run.boxText.rfind("Cannot create file.\r\nsecond.bin", 0), 0u) << run.boxText;
    EXPECT_EQ(ReadFileBytes(dir_.File(L"first.txt")), spec.files[0].bytes);
    EXPECT_EQ(ReadFileBytes(dir_.File(L"second.bin")), existing);
}

TEST_F(QuendrixProgram, TargetFolderAndExtractOnly) {
    PayloadSpec spec = TwoFiles();
    spec.files[1].flags = sfx::kOpenAfterUnpacking;
    spec.recipients.push_back(alice_.get());
    ASSERT_TRUE(BuildPayloadProgram(Program(), spec));
    ASSERT_TRUE(CreateDirectoryW(dir_.File(L"out").c_str(), nullptr));
    RunResult run = Run(L"/x /f out");
    // With /x nothing is opened, so the report is shown.
    ASSERT_TRUE(run.boxShown);
    EXPECT_EQ(run.boxText, kDecoded);
    EXPECT_EQ(ReadFileBytes(dir_.File(L"out\\first.txt")), spec.files[0].bytes);
    EXPECT_EQ(ReadFileBytes(dir_.File(L"out\\second.bin")), spec.files[1].bytes);
    EXPECT_FALSE(FileExists(dir_.File(L"first.txt")));
}

TEST_F(QuendrixProgram, AMissingTargetFolderIsAFileError) {
    PayloadSpec spec = TwoFiles();
    spec.recipients.push_back(alice_.get());
    ASSERT_TRUE(BuildPayloadProgram(Program(), spec));
    RunResult run = Run(L"/f missing");
    EXPECT_EQ(run.boxText.rfind("Cannot create file.\r\nmissing\\first.txt", 0), 0u) << run.boxText;
}

TEST_F(QuendrixProgram, UsageTextDecodesNothing) {
    PayloadSpec spec = TwoFiles();
    spec.recipients.push_back(alice_.get());
    ASSERT_TRUE(BuildPayloadProgram(Program(), spec));
    RunResult run = RunProgram(Program(), L"/s MY /?", dir_.path(), "Quillarent");
    ASSERT_TRUE(run.boxShown);
    EXPECT_EQ(run.boxText.rfind("Usage: Quendrix [options]\r\nOptions:\r\n\t/?\tdisplays usage text\r\n", 0), 0u)
        << run.boxText;
    EXPECT_NE(run.boxText.find("\t/x\textract files only to the folder"), std::string::npos);
    EXPECT_TRUE(run.exited);
    EXPECT_FALSE(FileExists(dir_.File(L"first.txt")));
}

TEST_F(QuendrixProgram, TheBareProgramReportsAFileError) {
    ASSERT_TRUE(CopyFileW(ShippedProgramPath().c_str(), Program().c_str(), TRUE));
    RunResult run = Run();
    ASSERT_TRUE(run.boxShown);
    EXPECT_EQ(run.boxText.rfind("Cannot read data from file.\r\n", 0), 0u) << run.boxText;
}

TEST_F(QuendrixProgram, DamagedPayloadsEndInAReport) {
    PayloadSpec spec = TwoFiles();
    spec.recipients.push_back(alice_.get());
    ASSERT_TRUE(BuildPayloadProgram(Program(), spec));
    std::vector<uint8_t> whole = ReadFileBytes(Program());
    uint32_t templateSize = 0;
    ASSERT_TRUE(sfx::ReadTemplateSize(whole.data(), whole.size(), templateSize));
    struct Damage {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    std::vector<Damage> damages;
    std::vector<uint8_t> cut(whole.begin(), whole.end() - 3000);
    damages.push_back({"cut", cut});
    std::vector<uint8_t> hugeDirectory = whole;
    hugeDirectory[templateSize + 3] = 0x7F;  // D far beyond the file
    damages.push_back({"directory length", hugeDirectory});
    std::vector<uint8_t> hugeContent = whole;
    // The outer length bytes of the envelope: the first definite length is in the recipient set.
    const size_t envelope = templateSize + 4 + (whole[templateSize] | whole[templateSize + 1] << 8);
    hugeContent[envelope + 1] = 0x84;  // the open outer length becomes a four-byte length
    damages.push_back({"outer length", hugeContent});
    for (const Damage& damage : damages) {
        TempDir dir;
        std::wstring program = dir.File(L"payload.exe");
        testing_support::WriteFileBytes(program, damage.bytes);
        RunResult run = RunProgram(program, L"", dir.path(), kCaption);
        EXPECT_TRUE(run.boxShown) << damage.what;
        EXPECT_TRUE(run.exited) << damage.what;
        EXPECT_EQ(run.exitCode, 0u) << damage.what;
        EXPECT_NE(run.boxText, kDecoded) << damage.what;
    }
}

TEST(QuendrixBuild, TheProgramKnowsItsOwnSize) {
    std::vector<uint8_t> bytes = ReadFileBytes(ShippedProgramPath());
    ASSERT_FALSE(bytes.empty());
    uint32_t templateSize = 0;
    ASSERT_TRUE(sfx::ReadTemplateSize(bytes.data(), bytes.size(), templateSize));
    EXPECT_EQ(templateSize, bytes.size());
}

TEST(QuendrixBuild, TheShippedProgramIs32BitGuiAnsi) {
    std::vector<uint8_t> bytes = ReadFileBytes(ShippedProgramPath());
    ASSERT_GT(bytes.size(), 0x200u);
    const uint32_t pe = bytes[0x3C] | bytes[0x3D] << 8;
    ASSERT_LT(pe + 0x60u, bytes.size());
    EXPECT_EQ(bytes[pe + 4] | bytes[pe + 5] << 8, 0x14C);  // i386
    const size_t optional = pe + 24;
    EXPECT_EQ(bytes[optional] | bytes[optional + 1] << 8, 0x10B);       // PE32
    EXPECT_EQ(bytes[optional + 68] | bytes[optional + 69] << 8, 2);      // GUI subsystem
}

// The shipped program carries the same resources as the ones this test program was built with:
// every string of the table, dialog 208, the unpacking animation and the version block.
TEST(QuendrixBuild, TheShippedProgramCarriesItsResources) {
    HMODULE shipped = LoadLibraryExW(ShippedProgramPath().c_str(), nullptr,
                                     LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(shipped, nullptr) << GetLastError();
    int strings = 0;
    for (UINT id = 0; id < 1024; ++id) {
        char mine[1024] = "", theirs[1024] = "";
        const int mineLength = LoadStringA(nullptr, id, mine, sizeof mine);
        const int theirLength = LoadStringA(shipped, id, theirs, sizeof theirs);
        EXPECT_EQ(std::string(mine, mineLength), std::string(theirs, theirLength)) << "string " << id;
        if (mineLength) ++strings;
    }
    EXPECT_GT(strings, 20);
    EXPECT_NE(FindResourceW(shipped, MAKEINTRESOURCEW(208), MAKEINTRESOURCEW(5)), nullptr);  // RT_DIALOG
    EXPECT_NE(FindResourceW(shipped, MAKEINTRESOURCEW(423), L"AVI"), nullptr);
    HRSRC version = FindResourceW(shipped, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));  // RT_VERSION
    ASSERT_NE(version, nullptr);
    EXPECT_GT(SizeofResource(shipped, version), 100u);
    FreeLibrary(shipped);
}

}  // namespace

namespace {

// Presses the progress window's cancel button as soon as the window shows.
BOOL CALLBACK FindProgress(HWND window, LPARAM found) {
    char title[64] = "";
    GetWindowTextA(window, title, sizeof title);
    if (std::string(title) == "Quillarent" && GetDlgItem(window, IDCANCEL) && IsWindowVisible(window)) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

TEST(QuendrixCancel, CancellingTheProgressWindowStopsTheDecode) {
    CertHandle alice = FindMyCertificate(L"Alice Recipient");
    ASSERT_TRUE(alice);
    TempDir dir;
    PayloadSpec spec;
    spec.files.push_back({L"large.bin", PatternBytes(48u << 20, 6), 0});
    spec.algId = CALG_3DES;
    spec.keyLength = 168;
    spec.recipients.push_back(alice.get());
    ASSERT_TRUE(BuildPayloadProgram(dir.File(L"payload.exe"), spec));
    std::atomic<bool> pressed{false};
    std::thread canceller([&pressed] {
        HWND progress = nullptr;
        if (!testing_support::WaitUntil([&progress] {
                progress = nullptr;
                EnumWindows(FindProgress, reinterpret_cast<LPARAM>(&progress));
                return progress != nullptr;
            }))
            return;
        PostMessageA(GetDlgItem(progress, IDCANCEL), BM_CLICK, 0, 0);
        pressed = true;
    });
    RunResult run = RunProgram(dir.File(L"payload.exe"), L"", dir.path(), kCaption);
    canceller.join();
    ASSERT_TRUE(pressed);
    ASSERT_TRUE(run.boxShown);
    EXPECT_EQ(run.boxText.rfind("Cannot decode file.\r\n", 0), 0u) << run.boxText;
    EXPECT_NE(run.boxText.find("Error - 0x4C7"), std::string::npos) << run.boxText;
    // What was written before the cancel stays; the rest is not written.
    EXPECT_LT(ReadFileBytes(dir.File(L"large.bin")).size(), spec.files[0].bytes.size());
}

}  // namespace
