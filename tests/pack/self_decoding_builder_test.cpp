// The self-decoding program builder: template copy, directory bytes, the envelope behind them,
// refused and unreadable files, cancellation and the save dialog's file selection.
#include <windows.h>
#include <commdlg.h>

#include <gtest/gtest.h>

#include "format/service/resources.h"
#include "pack/self_decoding_builder.h"
#include "tests/pack/pack_run_test_support.h"
#include "tests/support/test_support.h"

namespace {

using pack_run_test::CancellingProgress;
using pack_run_test::DecryptTail;
using pack_run_test::InflateWithTrailer;
using pack_run_test::RecordingSink;
using pack_run_test::TestWindow;
using pack_run_test::TextBytes;
using testing_support::FileExists;
using testing_support::PatternBytes;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;
using Bytes = std::vector<uint8_t>;

constexpr UINT kEncryptFailed = 506;
constexpr UINT kUnreadable = 508;
constexpr UINT kTooLarge = 509;
constexpr UINT kTemplateCopy = 517;
constexpr UINT kAllPacked = 546;

uint32_t Le32(const Bytes& bytes, size_t at) {
    return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) | (static_cast<uint32_t>(bytes[at + 3]) << 24);
}

// One directory entry as the program reads it: flag, size, UTF-16LE name with its zero unit.
Bytes Entry(uint32_t flag, uint32_t size, const char* name) {
    Bytes bytes;
    for (uint32_t value : {flag, size})
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(value >> shift));
    for (const char* p = name; *p; ++p) bytes.insert(bytes.end(), {static_cast<uint8_t>(*p), 0});
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

class SelfDecodingBuilderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(window_.AddRecipientFile(L"alice.cer"));
        template_ = PatternBytes(777, 11);
        WriteFileBytes(temp_.File(L"template.exe"), template_);
        window_.settings().CreateSelfdecodedFile = 1;
        window_.options().selfDecodingTemplate = temp_.File(L"template.exe");
        window_.options().selfDecodingOutput = output_ = temp_.File(L"program.exe");
        a_ = temp_.File(L"a.txt");
        b_ = temp_.File(L"b.bin");
        WriteFileBytes(a_, TextBytes("abc"));
        WriteFileBytes(b_, TextBytes("12345"));
    }

    // The program's bytes after the template, and a check that the template was copied whole.
    Bytes Appended() {
        Bytes program = ReadFileBytes(output_);
        EXPECT_GT(program.size(), template_.size());
        if (program.size() <= template_.size()) return {};
        EXPECT_TRUE(std::equal(template_.begin(), template_.end(), program.begin()));
        return Bytes(program.begin() + template_.size(), program.end());
    }

    TempDir temp_;
    RecordingSink sink_;
    TestWindow window_;
    Bytes template_;
    std::wstring output_, a_, b_;
};

TEST_F(SelfDecodingBuilderTest, DirectoryAndEnvelopeFollowTheTemplate) {
    window_.AddFile(a_);
    window_.AddFile(b_);
    window_.options().openAfterUnpack = {0};
    EXPECT_TRUE(window_.Run());
    EXPECT_TRUE(sink_.Saw(kAllPacked));
    Bytes tail = Appended();
    ASSERT_GE(tail.size(), 4u + 48u + 4u);
    EXPECT_EQ(Le32(tail, 0), 48u);
    EXPECT_EQ(Le32(tail, 4), 2u);
    EXPECT_EQ(Bytes(tail.begin() + 8, tail.begin() + 12), Bytes({0, 0, 0, 0}));
    Bytes entries = Entry(1, 3, "a.txt");
    Bytes second = Entry(0, 5, "b.bin");
    entries.insert(entries.end(), second.begin(), second.end());
    EXPECT_EQ(Bytes(tail.begin() + 12, tail.begin() + 52), entries);
    // The envelope in the open-length form, without signers closed by exactly one zero pair.
    const Bytes head = {0x30, 0x80, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03, 0xA0, 0x80};
    EXPECT_EQ(Bytes(tail.begin() + 52, tail.begin() + 52 + head.size()), head);
    EXPECT_EQ(Bytes(tail.end() - 2, tail.end()), Bytes({0, 0}));
    Bytes plaintext;
    ASSERT_TRUE(DecryptTail(output_, template_.size() + 52, plaintext));
    EXPECT_EQ(plaintext, TextBytes("abc12345"));
    EXPECT_TRUE(FileExists(a_));
    EXPECT_TRUE(FileExists(b_));
}

TEST_F(SelfDecodingBuilderTest, SaveDialogNamesTheProgramAndTicksFilesToOpen) {
    window_.options().selfDecodingOutput.clear();
    window_.AddFile(a_);
    window_.AddFile(b_);
    {
        pack_run_test::SaveDialogFiller filler(temp_.File(L"program"), {1});
        EXPECT_TRUE(window_.Run());
        EXPECT_TRUE(filler.filled());
    }
    Bytes tail = Appended();
    ASSERT_GE(tail.size(), 52u);
    Bytes entries = Entry(0, 3, "a.txt");
    Bytes second = Entry(1, 5, "b.bin");
    entries.insert(entries.end(), second.begin(), second.end());
    EXPECT_EQ(Bytes(tail.begin() + 12, tail.begin() + 52), entries);
}

TEST_F(SelfDecodingBuilderTest, CompressionSetsTheFlagAndDeflatesAllFilesAsOne) {
    window_.settings().CompressFiles = 1;
    window_.AddFile(a_);
    window_.AddFile(b_);
    EXPECT_TRUE(window_.Run());
    Bytes tail = Appended();
    ASSERT_GE(tail.size(), 52u);
    EXPECT_EQ(tail[8], 1);
    EXPECT_EQ(Le32(tail, 12), 0u) << "nothing was ticked";
    Bytes payload, plaintext;
    ASSERT_TRUE(DecryptTail(output_, template_.size() + 52, payload));
    ASSERT_TRUE(InflateWithTrailer(payload, plaintext));
    EXPECT_EQ(plaintext, TextBytes("abc12345"));
}

TEST_F(SelfDecodingBuilderTest, UnopenableFileIsLeftOut) {
    std::wstring missing = temp_.File(L"missing.txt");
    WriteFileBytes(missing, TextBytes("soon gone"));
    window_.AddFile(missing);
    window_.AddFile(b_);
    ASSERT_TRUE(DeleteFileW(missing.c_str()));
    sink_.answers = {IDOK};
    EXPECT_TRUE(window_.Run());
    EXPECT_TRUE(sink_.Saw(kUnreadable, missing.c_str()));
    Bytes tail = Appended();
    Bytes entry = Entry(0, 5, "b.bin");
    ASSERT_GE(tail.size(), 12 + entry.size());
    EXPECT_EQ(Le32(tail, 0), 8 + entry.size());
    EXPECT_EQ(Le32(tail, 4), 1u);
    EXPECT_EQ(Bytes(tail.begin() + 12, tail.begin() + 12 + entry.size()), entry);
    Bytes plaintext;
    ASSERT_TRUE(DecryptTail(output_, template_.size() + 12 + entry.size(), plaintext));
    EXPECT_EQ(plaintext, TextBytes("12345"));
}

TEST_F(SelfDecodingBuilderTest, CancelDeletesTheWholeProgramAndKeepsTheSources) {
    WriteFileBytes(b_, PatternBytes(200000, 4));
    window_.AddFile(a_);
    window_.AddFile(b_);
    window_.settings().DeleteFiles = 1;
    CancellingProgress progress(1);
    window_.options().progress = &progress;
    EXPECT_FALSE(window_.Run());
    EXPECT_FALSE(FileExists(output_));
    EXPECT_TRUE(FileExists(a_));
    EXPECT_TRUE(FileExists(b_));
    ASSERT_FALSE(sink_.texts.empty());
    EXPECT_NE(sink_.texts.back().find(MessageBoxText(0, nullptr, ERROR_CANCELLED)), std::wstring::npos);
    EXPECT_FALSE(sink_.Saw(kAllPacked));
}

TEST_F(SelfDecodingBuilderTest, MissingTemplateIsReportedAndNothingWritten) {
    window_.options().selfDecodingTemplate = temp_.File(L"no-template.exe");
    window_.AddFile(a_);
    EXPECT_FALSE(window_.Run());
    EXPECT_TRUE(sink_.Saw(kTemplateCopy, window_.options().selfDecodingTemplate.c_str(), ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(FileExists(output_));
}

TEST_F(SelfDecodingBuilderTest, FilesOfFourGigabytesAreLeftOutOfTheDirectory) {
    std::wstring huge = temp_.File(L"huge.bin");
    ASSERT_TRUE(pack_run_test::MakeSparseFile(huge, 0x100000001ULL));
    window_.AddFile(huge);
    window_.AddFile(a_);
    EXPECT_TRUE(window_.Run());
    EXPECT_TRUE(sink_.Saw(kTooLarge, huge.c_str()));
    Bytes tail = Appended();
    ASSERT_GE(tail.size(), 12u);
    EXPECT_EQ(Le32(tail, 4), 1u);
    EXPECT_EQ(Bytes(tail.begin() + 12, tail.begin() + 12 + 20), Entry(0, 3, "a.txt"));
}

TEST_F(SelfDecodingBuilderTest, NoReadableFileLeavesNoProgram) {
    std::wstring missing = temp_.File(L"missing.txt");
    WriteFileBytes(missing, TextBytes("x"));
    window_.AddFile(missing);
    ASSERT_TRUE(DeleteFileW(missing.c_str()));
    EXPECT_FALSE(window_.Run());
    EXPECT_FALSE(FileExists(output_));
    EXPECT_FALSE(sink_.Saw(kEncryptFailed, L""));
}

TEST(SelfDecodingTemplate, LiesBesideTheResourceModuleUnlessOverridden) {
    wchar_t module[MAX_PATH];
    DWORD length = GetModuleFileNameW(ResourceModule(), module, MAX_PATH);
    ASSERT_GT(length, 0u);
    std::wstring expected(module, length);
    expected = expected.substr(0, expected.find_last_of(L'\\') + 1) + L"Quendrix.exe";
    EXPECT_EQ(SelfDecodingTemplatePath(PackRunOptions()), expected);
    PackRunOptions options;
    options.selfDecodingTemplate = L"C:\\other\\template.exe";
    EXPECT_EQ(SelfDecodingTemplatePath(options), L"C:\\other\\template.exe");
}

// The hook on the child template alone, inside a plain parent window.
TEST(OpenAfterUnpackSelectorTest, ListsNamesAndKeepsTheSelection) {
    HWND parent = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, 0, 0, 600, 400, nullptr, nullptr,
                                  nullptr, nullptr);
    ASSERT_TRUE(parent);
    wchar_t first[] = L"C:\\data\\one.txt";
    wchar_t third[] = L"C:\\data\\three.doc";
    void* files[] = {first, nullptr, third};
    OpenAfterUnpackSelection selection;
    selection.count = 5;  // stale: the dialog starts from nothing ticked
    OpenAfterUnpackRequest request;
    request.fileCount = 3;
    request.files = files;
    request.selection = &selection;
    OPENFILENAMEW data = {};
    data.lCustData = reinterpret_cast<LPARAM>(&request);
    HWND dialog = CreateDialogParamW(ResourceModule(), MAKEINTRESOURCEW(kOpenAfterUnpackDialogId), parent,
                                     reinterpret_cast<DLGPROC>(OpenAfterUnpackSelector),
                                     reinterpret_cast<LPARAM>(&data));
    ASSERT_TRUE(dialog);
    HWND list = GetDlgItem(dialog, kOpenAfterUnpackListId);
    HWND text = GetDlgItem(dialog, kOpenAfterUnpackTextId);
    auto textOf = [](HWND window) {
        wchar_t buffer[512] = {};
        GetWindowTextW(window, buffer, 512);
        return std::wstring(buffer);
    };
    EXPECT_EQ(SendMessageW(list, LB_GETCOUNT, 0, 0), 3);
    wchar_t name[64] = {};
    SendMessageW(list, LB_GETTEXT, 2, reinterpret_cast<LPARAM>(name));
    EXPECT_STREQ(name, L"three.doc");
    EXPECT_EQ(selection.count, 0u);
    std::wstring initial = textOf(text);
    size_t lineEnd = initial.find(L'\n');
    ASSERT_NE(lineEnd, std::wstring::npos);
    std::wstring firstLine = initial.substr(0, lineEnd + 1);
    EXPECT_EQ(initial, firstLine + LoadText(20000));

    SendMessageW(list, LB_SETSEL, TRUE, 0);
    SendMessageW(list, LB_SETSEL, TRUE, 2);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(kOpenAfterUnpackListId, LBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
    ASSERT_EQ(selection.count, 2u);
    EXPECT_TRUE(selection.Contains(0));
    EXPECT_FALSE(selection.Contains(1));
    EXPECT_TRUE(selection.Contains(2));
    EXPECT_EQ(textOf(text), firstLine + L"C:\\data\\one.txt; C:\\data\\three.doc");

    SendMessageW(list, LB_SETSEL, FALSE, -1);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(kOpenAfterUnpackListId, LBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
    EXPECT_EQ(selection.count, 0u);
    EXPECT_EQ(textOf(text), firstLine + LoadText(20000));
    DestroyWindow(dialog);
    DestroyWindow(parent);
}

}  // namespace
