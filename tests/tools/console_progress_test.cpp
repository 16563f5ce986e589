// The console progress object: COM reference counting, the Ctrl+C flag and the bounded redraws.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tools/console_progress.h"

namespace {

// A pipe whose read end collects what the progress object writes.
class Pipe {
public:
    Pipe() { CreatePipe(&read_, &write_, nullptr, 1 << 20); }
    ~Pipe() {
        if (read_) CloseHandle(read_);
        if (write_) CloseHandle(write_);
    }
    HANDLE writeEnd() const { return write_; }
    std::string Drain() {
        std::string text;
        DWORD available = 0;
        while (PeekNamedPipe(read_, nullptr, 0, nullptr, &available, nullptr) && available) {
            std::string chunk(available, '\0');
            DWORD got = 0;
            if (!ReadFile(read_, &chunk[0], available, &got, nullptr)) break;
            text.append(chunk, 0, got);
        }
        return text;
    }

private:
    HANDLE read_ = nullptr;
    HANDLE write_ = nullptr;
};

size_t CountLines(const std::string& text) {
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}

TEST(ConsoleProgress, CountsReferencesAndAnswersOnlyItsInterfaces) {
    ConsoleProgress* progress = ConsoleProgress::Create(nullptr, false);
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(progress->AddRef(), 2u);

    IUnknown* unknown = nullptr;
    ASSERT_EQ(progress->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(unknown, static_cast<IUnknown*>(static_cast<IProgressDialog*>(progress)));
    IProgressDialog* dialog = nullptr;
    ASSERT_EQ(progress->QueryInterface(IID_IProgressDialog, reinterpret_cast<void**>(&dialog)), S_OK);
    EXPECT_EQ(dialog, progress);

    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(progress->QueryInterface(IID_IDataObject, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(progress->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    // Two references from the queries, one from AddRef, the creator's own: the last one frees.
    EXPECT_EQ(unknown->Release(), 3u);
    EXPECT_EQ(dialog->Release(), 2u);
    EXPECT_EQ(progress->Release(), 1u);
    EXPECT_EQ(progress->Release(), 0u);
}

TEST(ConsoleProgress, CtrlCAndBreakCancelOtherEventsDoNot) {
    ResetConsoleCancel();
    ConsoleProgress* progress = ConsoleProgress::Create(nullptr, false);
    ASSERT_NE(progress, nullptr);
    EXPECT_FALSE(progress->HasUserCancelled());
    EXPECT_FALSE(ConsoleCancelHandler(CTRL_CLOSE_EVENT));
    EXPECT_FALSE(progress->HasUserCancelled());
    EXPECT_TRUE(ConsoleCancelHandler(CTRL_C_EVENT));
    EXPECT_TRUE(progress->HasUserCancelled());
    ResetConsoleCancel();
    EXPECT_FALSE(progress->HasUserCancelled());
    EXPECT_TRUE(ConsoleCancelHandler(CTRL_BREAK_EVENT));
    EXPECT_TRUE(progress->HasUserCancelled());
    ResetConsoleCancel();
    progress->Release();
}

TEST(ConsoleProgress, APipeGetsFewLinesAndTheFinalState) {
    Pipe pipe;
    ConsoleProgress* progress = ConsoleProgress::Create(pipe.writeEnd(), true);
    ASSERT_NE(progress, nullptr);
    progress->SetLine(1, L"file.bin", TRUE, nullptr);
    progress->StartProgressDialog(nullptr, nullptr, 0, nullptr);
    ULONGLONG start = GetTickCount64();
    for (DWORD done = 0; done <= 20000; ++done) progress->SetProgress(done, 20000);
    ULONGLONG elapsed = GetTickCount64() - start;
    progress->StopProgressDialog();
    std::string text = pipe.Drain();
    // One draw per quarter second at most, the first at once, plus the final line.
    size_t allowed = static_cast<size_t>(elapsed / 250) + 2;
    EXPECT_LE(CountLines(text), allowed) << text;
    EXPECT_GE(CountLines(text), 2u);
    EXPECT_EQ(CountLines(text), progress->DrawCount());
    EXPECT_NE(text.rfind("file.bin 100%\n"), std::string::npos) << text;
    // Nothing more once stopped.
    progress->SetProgress(1, 2);
    EXPECT_TRUE(pipe.Drain().empty());
    progress->Release();
}

TEST(ConsoleProgress, DrawsNothingUnlessAsked) {
    Pipe pipe;
    ConsoleProgress* progress = ConsoleProgress::Create(pipe.writeEnd(), false);
    ASSERT_NE(progress, nullptr);
    progress->StartProgressDialog(nullptr, nullptr, 0, nullptr);
    progress->SetProgress(5, 10);
    progress->StopProgressDialog();
    EXPECT_TRUE(pipe.Drain().empty());
    EXPECT_EQ(progress->DrawCount(), 0u);
    progress->Release();
}

TEST(ConsoleProgress, PercentStaysWithinBounds) {
    EXPECT_EQ(ProgressPercentText(0, 0), L"0%");
    EXPECT_EQ(ProgressPercentText(1, 3), L"33%");
    EXPECT_EQ(ProgressPercentText(7, 5), L"100%");
    // Totals beyond 32 bits.
    EXPECT_EQ(ProgressPercentText(0xFFFFFFFFull * 2, 0xFFFFFFFFull * 4), L"50%");
}

}  // namespace
