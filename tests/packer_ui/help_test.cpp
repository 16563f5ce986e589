// Help as the dialogs ask for it: F1 reaches the viewer with the help file the build made beside the
// program and the introduction or the control's popup, and the viewer's library is loaded once for
// the process however often help is asked for.
#include <windows.h>
#include <commdlg.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "format/service/help.h"
#include "format/service/resources.h"
#include "pack/self_decoding_builder.h"
#include "tests/support/help_requests.h"
#include "tests/support/test_support.h"
#include "unpack/recipient_key.h"

namespace {

using testing_support::HelpRequestLog;
using testing_support::ReadFileBytes;
using testing_support::WaitUntil;

constexpr wchar_t kViewer[] = L"hhctrl.ocx";

// The help file is the one the build compiled into Help\ beside the program (the test programs lie
// beside Quillarent.dll), not one the test makes.
class HelpTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::vector<uint8_t> head = ReadFileBytes(HelpFilePath());
        ASSERT_GE(head.size(), 4u) << "no help file: the build makes it (target help_file)";
        ASSERT_EQ(std::string(head.begin(), head.begin() + 4), "ITSF") << "not a compiled help file";
    }
    // F1 on a control of a dialog, as the system reports it.
    static void PressF1On(HWND dialog, int id) {
        HWND control = GetDlgItem(dialog, id);
        ASSERT_TRUE(control) << id;
        RECT rect = {};
        GetWindowRect(control, &rect);
        HELPINFO help = {};
        help.cbSize = sizeof help;
        help.iContextType = HELPINFO_WINDOW;
        help.iCtrlId = id;
        help.hItemHandle = control;
        help.MousePos = POINT{rect.left + 1, rect.top + 1};
        SendMessageW(dialog, WM_HELP, 0, reinterpret_cast<LPARAM>(&help));
    }
    HelpRequestLog log_;
};

TEST_F(HelpTest, TheViewerIsLoadedOnceForTheProcess) {
    // Under ctest every test has a process of its own; run together, an earlier test may have
    // loaded the viewer already.
    if (GetModuleHandleW(kViewer)) GTEST_SKIP() << "the help viewer is loaded already: run this test alone";
    for (int call = 0; call < 3; ++call) ShowHelp(nullptr, nullptr, false);
    HMODULE viewer = GetModuleHandleW(kViewer);
    ASSERT_TRUE(viewer);
    EXPECT_EQ(log_.Count(), 3u);
    // Each reference the help calls left takes one release to unload the library.
    int references = 0;
    while (GetModuleHandleW(kViewer) && references < 10) {
        FreeLibrary(viewer);
        ++references;
    }
    EXPECT_EQ(references, 1);
}

// Which help a dialog's F1 asks for: the control's popup, but the introduction for the texts 2001 to
// 2009, for an id that is not positive and for help that is not about a control.
TEST_F(HelpTest, DialogsAskForTheControlsPopupOrTheIntroduction) {
    HWND dialog = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(dialog);
    for (int id : {1020, 2001, 2009, -1}) {
        HWND child = CreateWindowExW(0, L"BUTTON", L"", WS_CHILD, 0, 0, 50, 20, dialog,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
        ASSERT_TRUE(child);
    }
    const struct {
        int id;
        int context;
        HelpRequest expected;
    } cases[] = {
        {1020, HELPINFO_WINDOW, HelpRequestLog::Popup(1020)},
        {2001, HELPINFO_WINDOW, HelpRequestLog::Topic()},
        {2009, HELPINFO_WINDOW, HelpRequestLog::Topic()},
        {-1, HELPINFO_WINDOW, HelpRequestLog::Topic()},
        {1020, HELPINFO_MENUITEM, HelpRequestLog::Topic()},
    };
    size_t count = 0;
    for (const auto& c : cases) {
        HELPINFO help = {};
        help.cbSize = sizeof help;
        help.iContextType = c.context;
        help.iCtrlId = c.id;
        help.hItemHandle = GetDlgItem(dialog, c.id);
        ShowHelp(dialog, &help, true);
        EXPECT_EQ(log_.Nth(++count), c.expected) << c.id << " context " << c.context;
    }
    DestroyWindow(dialog);
}

// F1 on the list of the self-decoding program's save dialog asks for the list's popup.
TEST_F(HelpTest, TheOpenAfterUnpackSelectorAnswersF1) {
    HWND parent = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, 0, 0, 600, 400, nullptr, nullptr,
                                  nullptr, nullptr);
    ASSERT_TRUE(parent);
    OpenAfterUnpackSelection selection;
    OpenAfterUnpackRequest request;
    request.selection = &selection;
    OPENFILENAMEW data = {};
    data.lCustData = reinterpret_cast<LPARAM>(&request);
    HWND dialog = CreateDialogParamW(ResourceModule(), MAKEINTRESOURCEW(kOpenAfterUnpackDialogId), parent,
                                     reinterpret_cast<DLGPROC>(OpenAfterUnpackSelector),
                                     reinterpret_cast<LPARAM>(&data));
    ASSERT_TRUE(dialog);
    PressF1On(dialog, kOpenAfterUnpackListId);
    EXPECT_EQ(log_.Nth(1), HelpRequestLog::Popup(kOpenAfterUnpackListId));
    DestroyWindow(dialog);
    DestroyWindow(parent);
}

// The question before a private key is copied to another provider answers F1 on its check boxes with
// their popups and on its text with the introduction.
TEST_F(HelpTest, TheReimportQuestionAnswersF1) {
    ReimportQuestion question = {};
    question.providerName = L"Test provider";
    INT_PTR answer = 0;
    std::thread shown([&question, &answer] { answer = ShowReimportQuestion(nullptr, &question); });
    HWND dialog = testing_support::WaitForProcessWindow(
        L"#32770", [](HWND window) { return GetDlgItem(window, kReimportKeyCheckId) != nullptr; });
    const bool opened = dialog != nullptr;
    if (opened) {
        PressF1On(dialog, kReimportKeyCheckId);
        PressF1On(dialog, kDoNotAskCheckId);
        PressF1On(dialog, kReimportTextId);
        PostMessageW(dialog, WM_COMMAND, IDNO, 0);
    }
    shown.join();
    ASSERT_TRUE(opened);
    EXPECT_EQ(answer, IDNO);
    EXPECT_EQ(log_.Nth(1), HelpRequestLog::Popup(kReimportKeyCheckId));
    EXPECT_EQ(log_.Nth(2), HelpRequestLog::Popup(kDoNotAskCheckId));
    EXPECT_EQ(log_.Nth(3), HelpRequestLog::Topic());
}

}  // namespace
