// The console progress object: COM reference counting, the Ctrl+C flag and the bounded redraws.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tools/console_progress.h"

namespace {

TEST(ConsoleProgress, CountsReferencesAndAnswersOnlyItsInterfaces) {
    ConsoleProgress* progress = ConsoleProgress::Create(nullptr, false);
    ASSERT_NE(progress, nullptr);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(progress->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(unknown, static_cast<IUnknown*>(static_cast<IProgressDialog*>(progress)));
    IProgressDialog* dialog = nullptr;
    ASSERT_EQ(progress->QueryInterface(IID_IProgressDialog, reinterpret_cast<void**>(&dialog)), S_OK);
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(progress->QueryInterface(IID_IDataObject, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    // The creator's reference and one per successful query: the last release frees.
    EXPECT_EQ(unknown->Release(), 2u);
    EXPECT_EQ(progress->AddRef(), 3u);
    EXPECT_EQ(dialog->Release(), 2u);
    EXPECT_EQ(progress->Release(), 1u);
    EXPECT_EQ(progress->Release(), 0u);
}

TEST(ConsoleProgress, CtrlCAndBreakCancelOtherEventsDoNot) {
    ResetConsoleCancel();
    ConsoleProgress* progress = ConsoleProgress::Create(nullptr, false);
    ASSERT_NE(progress, nullptr);
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

std::string Drain(HANDLE pipe) {
    std::string text;
    DWORD available = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available) {
        std::string chunk(available, '\0');
        DWORD got = 0;
        if (!ReadFile(pipe, &chunk[0], available, &got, nullptr)) break;
        text.append(chunk, 0, got);
    }
    return text;
}

TEST(ConsoleProgress, APipeGetsFewLinesAndTheFinalStateOnlyWhenAsked) {
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 1 << 20));
    for (bool draw : {false, true}) {
        ConsoleProgress* progress = ConsoleProgress::Create(writeEnd, draw);
        ASSERT_NE(progress, nullptr);
        progress->SetLine(1, L"file.bin", TRUE, nullptr);
        progress->StartProgressDialog(nullptr, nullptr, 0, nullptr);
        ULONGLONG start = GetTickCount64();
        for (DWORD done = 0; done <= 20000; ++done) progress->SetProgress(done, 20000);
        ULONGLONG elapsed = GetTickCount64() - start;
        progress->StopProgressDialog();
        progress->SetProgress(1, 2);  // after the stop: nothing
        std::string text = Drain(readEnd);
        size_t lines = 0;
        for (char c : text) lines += c == '\n';
        EXPECT_EQ(lines, progress->DrawCount());
        if (!draw) {
            EXPECT_TRUE(text.empty()) << text;
        } else {
            // One draw per quarter second at most, the first at once, plus the final line.
            EXPECT_LE(lines, static_cast<size_t>(elapsed / 250) + 2) << text;
            EXPECT_GE(lines, 2u);
            EXPECT_EQ(text.substr(text.size() - 14), "file.bin 100%\n") << text;
        }
        progress->Release();
    }
    CloseHandle(readEnd);
    CloseHandle(writeEnd);
    EXPECT_EQ(ProgressPercentText(0, 0), L"0%");
    EXPECT_EQ(ProgressPercentText(1, 3), L"33%");
    EXPECT_EQ(ProgressPercentText(7, 5), L"100%");
}

}  // namespace
