// The unpack driver run by a caller without windows: a target folder given instead of asked for,
// and the recipient reports of every file.
#include <windows.h>

#include <gtest/gtest.h>

#include "pack/messages.h"
#include "tests/support/test_support.h"
#include "unpack/decode_data.h"
#include "unpack/unpack_driver.h"

namespace {

using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::TestDataFile;

// Records every message and question and answers with the button that loses nothing.
class QuietSink : public MessageSink {
public:
    int Answer(HWND, const std::wstring& text, const std::wstring&, UINT style) override {
        texts.push_back(text);
        return SafeAnswer(style);
    }
    std::vector<std::wstring> texts;
};

struct Finished {
    std::vector<std::wstring> outputs;
    std::vector<DWORD> results;
};

void RecordJob(const UnpackJob& job, void* context) {
    auto* finished = static_cast<Finished*>(context);
    finished->outputs.push_back(job.outputPath);
    finished->results.push_back(job.jobResult);
}

TEST(UnpackSelectionWith, AGivenFolderIsUsedWithoutAskingAndReportsAreFilled) {
    TempDir temp;
    ASSERT_TRUE(CreateDirectoryW(temp.File(L"out").c_str(), nullptr));
    std::vector<std::wstring> names = {temp.File(L"first.bin.pkcs7"), temp.File(L"second.bin.pkcs7")};
    ASSERT_TRUE(CopyFileW(TestDataFile(L"reader-alice-aes128.pkcs7").c_str(), names[0].c_str(), TRUE));
    ASSERT_TRUE(CopyFileW(TestDataFile(L"reader-alice-des3.pkcs7").c_str(), names[1].c_str(), TRUE));

    QuietSink sink;
    MessageSink* previous = SetMessageSink(&sink);
    Finished finished;
    std::vector<RecipientSummary> recipients;
    UnpackRunOptions options;
    options.allowOpenFiles = false;
    options.jobDone = RecordJob;
    options.context = &finished;
    options.targetFolder = temp.File(L"out");
    options.recipientReport = &recipients;
    DecodeData data(BuildDropFilesBlock(names));
    // Asking for a target would open the folder dialog and never return here.
    HRESULT result = UnpackSelectionWith(&data, nullptr, kModeUnpack, TRUE, FALSE, options);
    SetMessageSink(previous);

    EXPECT_EQ(result, 0);
    ASSERT_EQ(finished.outputs.size(), 2u);
    EXPECT_EQ(finished.outputs[0], temp.File(L"out\\first.bin"));
    EXPECT_EQ(finished.outputs[1], temp.File(L"out\\second.bin"));
    EXPECT_EQ(finished.results, (std::vector<DWORD>{0, 0}));
    const auto plain = ReadFileBytes(TestDataFile(L"reader-plain-100k.bin"));
    EXPECT_TRUE(ReadFileBytes(temp.File(L"out\\first.bin")) == plain);
    EXPECT_TRUE(ReadFileBytes(temp.File(L"out\\second.bin")) == plain);
    EXPECT_FALSE(testing_support::FileExists(temp.File(L"first.bin")));
    // One entry per file, each for the key this user holds.
    ASSERT_EQ(recipients.size(), 2u);
    for (const RecipientSummary& recipient : recipients) {
        EXPECT_EQ(recipient.subject, L"Alice Recipient, Quillarent Tests");
        EXPECT_TRUE(recipient.keyAvailable);
    }
}

}  // namespace
