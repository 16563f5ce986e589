// Help as the dialogs call it: with a help file beside the program, F1 reaches the help viewer, and
// the viewer's library is loaded once for the process however often help is asked for.
#include <windows.h>
#include <commdlg.h>

#include <gtest/gtest.h>

#include <string>

#include "format/service/resources.h"
#include "pack/self_decoding_builder.h"
#include "packer_ui/main_window.h"
#include "tests/support/test_support.h"

namespace {

constexpr wchar_t kViewer[] = L"hhctrl.ocx";

// A help file (its contents do not matter: the viewer is only asked to open it) in the "Help"
// folder beside the module the texts come from, removed again at the end.
class HelpTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Under ctest every test has a process of its own; run together, an earlier test may have
        // loaded the viewer already.
        if (GetModuleHandleW(kViewer)) GTEST_SKIP() << "the help viewer is loaded already: run this test alone";
        wchar_t module[MAX_PATH] = {};
        const DWORD length = GetModuleFileNameW(ResourceModule(), module, MAX_PATH);
        ASSERT_GT(length, 0u);
        std::wstring path(module, length);
        folder_ = path.substr(0, path.rfind(L'\\') + 1) + L"Help";
        madeFolder_ = CreateDirectoryW(folder_.c_str(), nullptr) != FALSE;
        file_ = folder_ + L"\\Quillarent.chm";
        testing_support::WriteFileBytes(file_, {'I', 'T', 'S', 'F'});
    }
    void TearDown() override {
        if (file_.empty()) return;
        DeleteFileW(file_.c_str());
        if (madeFolder_) RemoveDirectoryW(folder_.c_str());
    }
    std::wstring folder_, file_;
    bool madeFolder_ = false;
};

TEST_F(HelpTest, TheViewerIsLoadedOnceForTheProcess) {
    for (int call = 0; call < 3; ++call) ShowHelp(nullptr, nullptr, false);
    HMODULE viewer = GetModuleHandleW(kViewer);
    ASSERT_TRUE(viewer);
    // Each reference the help calls left takes one release to unload the library.
    int references = 0;
    while (GetModuleHandleW(kViewer) && references < 10) {
        FreeLibrary(viewer);
        ++references;
    }
    EXPECT_EQ(references, 1);
}

// F1 on the list of the self-decoding program's save dialog asks the viewer for the control's help.
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
    HWND list = GetDlgItem(dialog, kOpenAfterUnpackListId);
    HELPINFO help = {};
    help.cbSize = sizeof help;
    help.iContextType = HELPINFO_WINDOW;
    help.iCtrlId = kOpenAfterUnpackListId;
    help.hItemHandle = list;
    EXPECT_EQ(GetModuleHandleW(kViewer), nullptr);
    SendMessageW(dialog, WM_HELP, 0, reinterpret_cast<LPARAM>(&help));
    EXPECT_NE(GetModuleHandleW(kViewer), nullptr);
    DestroyWindow(dialog);
    DestroyWindow(parent);
}

}  // namespace
