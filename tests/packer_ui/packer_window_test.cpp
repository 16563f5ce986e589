// The packer window as a user meets it: the real dialog runs on its own thread and the test drives
// it with messages, reads its controls and answers its message boxes.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <shlobj.h>
#include <ole2.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "packer_ui/data_object.h"
#include "unpack/decode_data.h"
#include "packer_ui/list_pages.h"
#include "packer_ui/main_window.h"
#include "packer_ui/packer_window.h"
#include "packer_ui/recent_lists.h"
#include "tests/pack/pack_run_test_support.h"
#include "tests/support/help_requests.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::FileExists;
using testing_support::FindProcessWindow;
using testing_support::HelpRequestLog;
using testing_support::SavePicture;
using testing_support::LoadCertificateFile;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::TestDataFile;
using testing_support::WaitUntil;
using testing_support::WriteFileBytes;
using Bytes = std::vector<uint8_t>;

constexpr int kPageList = 1037, kStatusBar = 1116, kToolbar = 1039;

// A dialog of this process other than the packer window.
HWND FindOtherDialog(const std::function<bool(HWND)>& matches) {
    return FindProcessWindow(L"#32770", [&matches](HWND window) { return !GetDlgItem(window, kPageList) && matches(window); });
}

// A message box: its text is the static control 0xFFFF.
HWND FindMessageBox() {
    return FindOtherDialog([](HWND window) { return GetDlgItem(window, 0xFFFF) != nullptr; });
}

// The platform's open-file dialog, once its name box (cmb13 or edt1) is there.
HWND FindOpenDialog() {
    return FindOtherDialog([](HWND window) { return GetDlgItem(window, 0x047C) || GetDlgItem(window, 0x0480); });
}

// Waits for the open-file dialog, names the file in it and presses Open.
void ChooseInOpenDialog(const std::wstring& path) {
    HWND dialog = nullptr;
    ASSERT_TRUE(WaitUntil([&dialog] { return (dialog = FindOpenDialog()) != nullptr; }));
    SendMessageW(dialog, CDM_SETCONTROLTEXT, 0x047C, reinterpret_cast<LPARAM>(path.c_str()));
    SendMessageW(dialog, CDM_SETCONTROLTEXT, 0x0480, reinterpret_cast<LPARAM>(path.c_str()));
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}

HWND FindChildOfClass(HWND parent, const wchar_t* className) {
    std::pair<const wchar_t*, HWND> search(className, nullptr);
    EnumChildWindows(
        parent,
        [](HWND child, LPARAM arg) -> BOOL {
            auto* wanted = reinterpret_cast<std::pair<const wchar_t*, HWND>*>(arg);
            wchar_t name[64] = {};
            GetClassNameW(child, name, 64);
            if (wcscmp(name, wanted->first) != 0) return TRUE;
            wanted->second = child;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.second;
}

// The platform's certificate selection dialog: a dialog with a list view and no name box.
HWND FindStoreDialog() {
    return FindOtherDialog([](HWND window) {
        return FindChildOfClass(window, L"SysListView32") && !GetDlgItem(window, 0x047C) && !GetDlgItem(window, 0x0480);
    });
}

// An open popup menu (TrackPopupMenu's window).
HWND FindPopupMenu() { return FindProcessWindow(L"#32768"); }

// Shift held or released in the key state of the given window's thread, which this thread shares
// for as long.
void HoldShift(HWND window, bool held) {
    const DWORD windowThread = GetWindowThreadProcessId(window, nullptr);
    AttachThreadInput(GetCurrentThreadId(), windowThread, TRUE);
    BYTE keys[256] = {};
    GetKeyboardState(keys);
    keys[VK_SHIFT] = keys[VK_LSHIFT] = held ? 0x80 : 0;
    SetKeyboardState(keys);
    if (!held) AttachThreadInput(GetCurrentThreadId(), windowThread, FALSE);
}

std::wstring RowText(HWND listView, int row, int column = 0) {
    return testing_support::ListViewText(listView, row, column);
}

int FindRow(HWND listView, const std::wstring& part) {
    const int rows = static_cast<int>(SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0));
    for (int row = 0; row < rows; ++row)
        if (RowText(listView, row).find(part) != std::wstring::npos) return row;
    return -1;
}

std::wstring WindowText(HWND window) {
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, 1024);
    return text;
}

std::wstring StatusText(HWND dialog) {
    wchar_t text[512] = {};
    // In simple mode the platform's status bar hands out the simple text as part 0.
    SendMessageW(GetDlgItem(dialog, kStatusBar), SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(text));
    return text;
}

DWORD RegistryDword(const wchar_t* name, DWORD missing = 0xFFFFFFFF) {
    DWORD value = 0, size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
        return missing;
    return value;
}

// Runs OpenPackerWindow on a thread of its own, as a caller with OLE would, and closes the window
// at the end unless the test did.
class OpenWindow {
public:
    explicit OpenWindow(PackerWindow* window) : thread_([this, window] { Run(window); }) {
        WaitUntil([this] {
            dialog = FindProcessWindow(L"#32770", [](HWND window) { return GetDlgItem(window, kPageList) != nullptr; });
            return dialog != nullptr || finished;
        });
    }
    ~OpenWindow() {
        if (!finished && dialog) PostMessageW(dialog, WM_COMMAND, 1040, 0);
        thread_.join();
    }
    // Sends a command as the menu would and lets the window handle what it posted itself.
    void Command(UINT id) {
        SendMessageW(dialog, WM_COMMAND, id, 0);
        SendMessageW(dialog, WM_NULL, 0, 0);
    }
    bool WaitClosed() { return WaitUntil([this] { return finished.load(); }); }

    HWND dialog = nullptr;
    std::atomic<bool> finished{false};
    std::atomic<INT_PTR> result{0};

private:
    void Run(PackerWindow* window) {
        OleInitialize(nullptr);
        result = OpenPackerWindow(window, nullptr);
        OleUninitialize();
        finished = true;
    }
    std::thread thread_;
};

class PackerWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
        ASSERT_TRUE(CreatePackerWindow(&window_));
        window_.settingsPage->VerifyCertificates = 0;  // the test CA is not trusted by the prefix
    }
    void TearDown() override {
        DestroyPackerWindow(&window_);
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    }
    void AddFile(const std::wstring& name, const char* text) {
        std::wstring path = temp_.File(name);
        WriteFileBytes(path, Bytes(text, text + strlen(text)));
        ASSERT_GE(window_.filesPage->AddItem(CVFilesDlg::DuplicatePath(path.c_str()), FALSE), 0);
    }
    static void AddCertificate(CVCertificateDlg* page, const wchar_t* file) {
        CertHandle certificate = LoadCertificateFile(TestDataFile(file));
        ASSERT_TRUE(certificate);
        ASSERT_GE(page->AddItem(const_cast<CERT_CONTEXT*>(certificate.release()), FALSE), 0);
    }
    static void SetRecovery(std::initializer_list<const wchar_t*> files) {
        std::vector<PCCERT_CONTEXT> list;
        for (const wchar_t* file : files) list.push_back(LoadCertificateFile(TestDataFile(file)).release());
        SaveCertificateList(list.data(), static_cast<DWORD>(list.size()), kRecoveryCertsKey, FALSE);
    }
    static void Select(HWND listView, std::initializer_list<int> rows) {
        LVITEMW none = {};
        none.stateMask = LVIS_SELECTED;
        SendMessageW(listView, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&none));
        for (int row : rows) {
            LVITEMW state = {};
            state.stateMask = state.state = LVIS_SELECTED;
            SendMessageW(listView, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&state));
        }
    }
    static bool ButtonEnabled(HWND dialog, UINT id) {
        return SendMessageW(GetDlgItem(dialog, kToolbar), TB_ISBUTTONENABLED, id, 0) != 0;
    }
    static bool MenuEnabled(HWND dialog, UINT id) {
        return !(GetMenuState(GetMenu(dialog), id, MF_BYCOMMAND) & MF_GRAYED);
    }
    static void ShowPage(OpenWindow& open, int index) {
        SendMessageW(GetDlgItem(open.dialog, kPageList), LB_SETCURSEL, index, 0);
        SendMessageW(open.dialog, WM_COMMAND, MAKEWPARAM(kPageList, LBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(GetDlgItem(open.dialog, kPageList)));
        SendMessageW(open.dialog, WM_NULL, 0, 0);
    }

    TempDir temp_;
    PackerWindow window_;
};

TEST_F(PackerWindowTest, AFirstStartShowsTheFilesPageAtTheDefaultSize) {
    OpenWindow open(&window_);
    ASSERT_TRUE(open.dialog);
    RECT rect;
    GetWindowRect(open.dialog, &rect);
    EXPECT_EQ(rect.right - rect.left, 600);
    EXPECT_EQ(rect.bottom - rect.top, 470);
    EXPECT_EQ(WindowText(open.dialog), L"Quillarent 1.0");
    HWND pages = GetDlgItem(open.dialog, kPageList);
    ASSERT_EQ(SendMessageW(pages, LB_GETCOUNT, 0, 0), 4);
    const CVTabDlg* order[] = {window_.filesPage, window_.encryptionPage, window_.signingPage, window_.settingsPage};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(reinterpret_cast<CVTabDlg*>(SendMessageW(pages, LB_GETITEMDATA, i, 0)), order[i]) << i;
    EXPECT_EQ(SendMessageW(pages, LB_GETCURSEL, 0, 0), 0);
    EXPECT_NE(window_.filesPage->pageWindow, nullptr);
    EXPECT_EQ(StatusText(open.dialog), L"Для получения справки нажмите F1.");
    // Large icons without labels; Pack is greyed without files.
    HWND toolbar = GetDlgItem(open.dialog, kToolbar);
    int width = 0, height = 0;
    ImageList_GetIconSize(reinterpret_cast<HIMAGELIST>(SendMessageW(toolbar, TB_GETIMAGELIST, 0, 0)), &width, &height);
    EXPECT_EQ(width, 24);
    EXPECT_EQ(SendMessageW(toolbar, TB_BUTTONCOUNT, 0, 0), 8);
    EXPECT_FALSE(ButtonEnabled(open.dialog, 1036));
    // Initially greyed menu commands.
    for (UINT id : {40017u, 40008u, 40007u}) EXPECT_FALSE(MenuEnabled(open.dialog, id)) << id;
    SavePicture(open.dialog, L"files-page");
    open.Command(1040);
    ASSERT_TRUE(open.WaitClosed());
    EXPECT_EQ(open.result, 1040);
    EXPECT_EQ(RegistryDword(L"MainWndWidth"), 600u);
    EXPECT_EQ(RegistryDword(L"MainWndHeight"), 470u);
}

// Two recovery certificates and one added before: the recovery rows come first and can be copied
// but not cut or deleted, also together with the added one; Delete of all three removes only the
// added one.
TEST_F(PackerWindowTest, RecoveryRowsComeFirstAndStay) {
    SetRecovery({L"carol.cer", L"dave.cer"});
    AddFile(L"a.txt", "a");
    AddCertificate(window_.encryptionPage, L"alice.cer");
    OpenWindow open(&window_);
    ASSERT_TRUE(open.dialog);
    EXPECT_EQ(SendMessageW(GetDlgItem(open.dialog, kPageList), LB_GETCURSEL, 0, 0), 1);  // files were added
    HWND listView = window_.encryptionPage->ListView();
    ASSERT_TRUE(listView);
    ASSERT_EQ(SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0), 3);
    const wchar_t* subjects[] = {L"Carol Signer", L"Dave Signer", L"Alice Recipient"};
    for (int row = 0; row < 3; ++row) {
        EXPECT_NE(RowText(listView, row).find(subjects[row]), std::wstring::npos) << row;
        EXPECT_EQ(SendMessageW(listView, LVM_GETITEMSTATE, row, LVIS_CUT) != 0, row < 2) << row;
    }
    EXPECT_EQ(StatusText(open.dialog), L"Файлов: 1, сертификатов шифрования: 3, сертификатов подписи: 0.");
    SavePicture(open.dialog, L"encryption-page");

    struct Case {
        std::initializer_list<int> rows;
        bool copy, cut;
    };
    const Case cases[] = {{{0}, true, false},     {{0, 1}, true, false}, {{0, 2}, true, false},
                          {{1, 2}, true, false},  {{2}, true, true},     {{}, false, false}};
    for (const Case& c : cases) {
        Select(listView, c.rows);
        SendMessageW(open.dialog, UM_COMMANDS_REFRESH, 0, 0);
        EXPECT_EQ(ButtonEnabled(open.dialog, 57634), c.copy);
        EXPECT_EQ(ButtonEnabled(open.dialog, 1045), c.copy);
        EXPECT_EQ(ButtonEnabled(open.dialog, 57635), c.cut);
        EXPECT_EQ(ButtonEnabled(open.dialog, 1011), c.cut);
        EXPECT_EQ(MenuEnabled(open.dialog, 40007), c.copy);
        EXPECT_EQ(MenuEnabled(open.dialog, 57635), c.cut);
        EXPECT_EQ(MenuEnabled(open.dialog, 1011), c.cut);
    }
    Select(listView, {0, 1, 2});
    open.Command(1011);
    EXPECT_EQ(SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0), 2);
    EXPECT_EQ(StatusText(open.dialog), L"Файлов: 1, сертификатов шифрования: 2, сертификатов подписи: 0.");
}

TEST_F(PackerWindowTest, TheSettingsPageGreysTheListCommands) {
    OpenWindow open(&window_);
    ASSERT_TRUE(open.dialog);
    ShowPage(open, 3);
    EXPECT_NE(window_.settingsPage->pageWindow, nullptr);
    EXPECT_EQ(window_.filesPage->pageWindow, nullptr);
    HMENU edit = GetSubMenu(GetMenu(open.dialog), 1);
    EXPECT_TRUE(GetMenuState(edit, 0, MF_BYPOSITION) & MF_GRAYED);  // the "Вид" popup
    for (UINT id : {1045u, 57634u, 57635u, 1011u, 57637u, 40012u}) EXPECT_FALSE(MenuEnabled(open.dialog, id)) << id;
    for (UINT id : {57634u, 57635u, 1011u, 1045u}) EXPECT_FALSE(ButtonEnabled(open.dialog, id)) << id;
    SavePicture(open.dialog, L"settings-page");
    // The GCM item's short name fits the closed combo box, and the IV box goes.
    HWND ciphers = GetDlgItem(window_.settingsPage->pageWindow, kEncryptionCombo);
    LRESULT gcm =
        SendMessageW(ciphers, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(L"AES-256 GCM"));
    ASSERT_NE(gcm, CB_ERR);
    SendMessageW(ciphers, CB_SETCURSEL, static_cast<WPARAM>(gcm), 0);
    SendMessageW(window_.settingsPage->pageWindow, WM_COMMAND, MAKEWPARAM(kEncryptionCombo, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(ciphers));
    SavePicture(open.dialog, L"settings-page-gcm");
    ShowPage(open, 2);
    SavePicture(open.dialog, L"signing-page");
    // While the signing page is open, the certificate sources of the encryption page are greyed.
    EXPECT_FALSE(MenuEnabled(open.dialog, 40029));
    EXPECT_FALSE(MenuEnabled(open.dialog, 40031));
}

// The toolbar commands rebuild it and are remembered.
TEST_F(PackerWindowTest, ToolbarLabelsAndIconSizeAreRebuiltAndKept) {
    OpenWindow open(&window_);
    ASSERT_TRUE(open.dialog);
    HWND toolbar = GetDlgItem(open.dialog, kToolbar);
    const LRESULT plainHeight = HIWORD(SendMessageW(toolbar, TB_GETBUTTONSIZE, 0, 0));
    open.Command(40066);
    toolbar = GetDlgItem(open.dialog, kToolbar);
    EXPECT_GT(HIWORD(SendMessageW(toolbar, TB_GETBUTTONSIZE, 0, 0)), plainHeight);  // labels under the icons
    wchar_t label[64] = {};
    SendMessageW(toolbar, TB_GETBUTTONTEXTW, 57601, reinterpret_cast<LPARAM>(label));
    EXPECT_STREQ(label, L"Файл");
    EXPECT_EQ(RegistryDword(L"ShowTBText"), 1u);
    SavePicture(open.dialog, L"toolbar-labels");
    open.Command(40067);
    toolbar = GetDlgItem(open.dialog, kToolbar);
    int width = 0, height = 0;
    ImageList_GetIconSize(reinterpret_cast<HIMAGELIST>(SendMessageW(toolbar, TB_GETIMAGELIST, 0, 0)), &width, &height);
    EXPECT_EQ(width, 16);
    EXPECT_EQ(RegistryDword(L"LargeTBIcons"), 0u);
    // Choosing what is already set changes nothing.
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"LargeTBIcons");
    open.Command(40067);
    EXPECT_EQ(RegistryDword(L"LargeTBIcons"), 0xFFFFFFFFu);
}

// View style and column widths of a page survive closing the window.
TEST_F(PackerWindowTest, ViewStyleAndColumnWidthsSurviveAReopen) {
    AddFile(L"b.txt", "b");
    {
        OpenWindow open(&window_);
        ASSERT_TRUE(open.dialog);
        ShowPage(open, 0);
        HWND listView = window_.filesPage->ListView();
        ASSERT_TRUE(listView);
        SendMessageW(listView, LVM_SETCOLUMNWIDTH, 1, 177);
        open.Command(40036);
        EXPECT_EQ(GetWindowLongW(listView, GWL_STYLE) & LVS_TYPEMASK, LVS_SMALLICON);
        EXPECT_TRUE(GetMenuState(GetMenu(open.dialog), 40036, MF_BYCOMMAND) & MF_CHECKED);
    }
    DestroyPackerWindow(&window_);  // the pages write their values when they go
    EXPECT_EQ(RegistryDword(L"FilesListViewStyle"), 40036u);
    ASSERT_TRUE(CreatePackerWindow(&window_));
    AddFile(L"b.txt", "b");
    OpenWindow open(&window_);
    ASSERT_TRUE(open.dialog);
    ShowPage(open, 0);
    HWND listView = window_.filesPage->ListView();
    EXPECT_EQ(GetWindowLongW(listView, GWL_STYLE) & LVS_TYPEMASK, LVS_SMALLICON);
    open.Command(40038);
    EXPECT_EQ(SendMessageW(listView, LVM_GETCOLUMNWIDTH, 1, 0), 177);
    // The rows keep their order across page switches; the columns show folder and size.
    ShowPage(open, 3);
    ShowPage(open, 0);
    listView = window_.filesPage->ListView();
    ASSERT_EQ(SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0), 1);
    EXPECT_EQ(RowText(listView, 0, 2), L"1 Байт");
}

// A page opened and closed in an icon view leaves the stored column widths as they were.
TEST_F(PackerWindowTest, AnIconViewKeepsTheStoredColumnWidths) {
    const int stored[] = {150, 60};
    const DWORD iconView = 40035;
    DestroyPackerWindow(&window_);  // its pages write their values as they go
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"FilesListViewStyle", REG_DWORD, &iconView,
                              sizeof iconView),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"FilesListColumnWidths", REG_BINARY, stored,
                              sizeof stored),
              ERROR_SUCCESS);
    ASSERT_TRUE(CreatePackerWindow(&window_));  // the pages read the values when they are made
    {
        OpenWindow open(&window_);
        ASSERT_TRUE(open.dialog);
        ASSERT_TRUE(window_.filesPage->ListView());
        EXPECT_EQ(GetWindowLongW(window_.filesPage->ListView(), GWL_STYLE) & LVS_TYPEMASK, LVS_ICON);
    }
    DestroyPackerWindow(&window_);
    int widths[8] = {};
    DWORD size = sizeof widths;
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, L"FilesListColumnWidths", RRF_RT_REG_BINARY, nullptr,
                           widths, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::vector<int>(widths, widths + size / sizeof(int)), std::vector<int>(std::begin(stored), std::end(stored)));
    ASSERT_TRUE(CreatePackerWindow(&window_));  // for TearDown
}

// Pack from the window: the envelope lies beside the source, the run's message is answered, the
// window closes (close after packing is on) and the file is in the recent list.
TEST_F(PackerWindowTest, PackingFromTheWindowWritesTheEnvelopeAndClosesIt) {
    AddFile(L"report.txt", "a report to pack from the window");
    AddCertificate(window_.encryptionPage, L"alice.cer");
    OpenWindow open(&window_);
    ASSERT_TRUE(open.dialog);
    PostMessageW(open.dialog, WM_COMMAND, 1036, 0);
    HWND box = nullptr;
    ASSERT_TRUE(WaitUntil([&box] { return (box = FindMessageBox()) != nullptr; }));
    wchar_t text[256] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 256);
    EXPECT_STREQ(text, L"Все файлы успешно упакованы.");
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(open.WaitClosed());
    EXPECT_EQ(open.result, 1036);
    const std::wstring packed = temp_.File(L"report.txt.gz.pkcs7");
    ASSERT_TRUE(FileExists(packed));
    // The OpenSSL interop test runs this test to get an envelope made by the window.
    wchar_t keep[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"QUILL_KEEP_WINDOW_ENVELOPE", keep, MAX_PATH)) {
        ASSERT_TRUE(CopyFileW(packed.c_str(), keep, FALSE));
    }
    Bytes gzip, content;
    ASSERT_TRUE(pack_run_test::DecryptContent(packed, gzip));
    ASSERT_TRUE(pack_run_test::Gunzip(gzip, content));
    EXPECT_EQ(std::string(content.begin(), content.end()), "a report to pack from the window");
    wchar_t recent[MAX_PATH] = {};
    DWORD size = sizeof recent;
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, kRecentFilesKey, L"file0", RRF_RT_REG_SZ, nullptr, recent, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(recent, temp_.File(L"report.txt"));
}

// Secure deletion asks first and then deletes the selected file and its row; help without a help
// file shows nothing and returns; the about box opens and closes on OK.
TEST_F(PackerWindowTest, SecureDeletionHelpAndAbout) {
    AddFile(L"secret.txt", "to be wiped");
    AddFile(L"kept.txt", "stays");
    OpenWindow open(&window_);
    ASSERT_TRUE(open.dialog);
    ShowPage(open, 0);
    HWND listView = window_.filesPage->ListView();
    Select(listView, {0});
    SendMessageW(open.dialog, UM_COMMANDS_REFRESH, 0, 0);
    EXPECT_TRUE(MenuEnabled(open.dialog, 40017));
    PostMessageW(open.dialog, WM_COMMAND, 40017, 0);
    HWND box = nullptr;
    ASSERT_TRUE(WaitUntil([&box] { return (box = FindMessageBox()) != nullptr; }));
    wchar_t text[256] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 256);
    EXPECT_STREQ(text, L"Вы действительно хотите удалить выделенные файлы?");
    // The window's message boxes are centred over it.
    RECT outer, inner;
    GetWindowRect(open.dialog, &outer);
    GetWindowRect(box, &inner);
    EXPECT_LE(abs((outer.left + outer.right) - (inner.left + inner.right)), 2);
    EXPECT_LE(abs((outer.top + outer.bottom) - (inner.top + inner.bottom)), 2);
    PostMessageW(box, WM_COMMAND, IDYES, 0);
    ASSERT_TRUE(WaitUntil([this] { return !FileExists(temp_.File(L"secret.txt")); }));
    SendMessageW(open.dialog, WM_NULL, 0, 0);
    EXPECT_EQ(SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0), 1);
    EXPECT_TRUE(FileExists(temp_.File(L"kept.txt")));

    // The Help menu's command asks the viewer for the introduction of the help file the build put
    // beside the program, and shows no message box of its own. The About box is asked for behind
    // it: once it is up, the help command is done, or is holding a box of its own that would be found.
    HelpRequestLog help;
    PostMessageW(open.dialog, WM_COMMAND, 40013, 0);
    PostMessageW(open.dialog, WM_COMMAND, 40014, 0);
    HWND about = nullptr;
    ASSERT_TRUE(WaitUntil([&about] {
        return (about = FindOtherDialog([](HWND window) { return GetDlgItem(window, IDOK) != nullptr; })) != nullptr;
    }));
    EXPECT_EQ(FindOtherDialog([about](HWND window) { return window != about && GetDlgItem(window, 0xFFFF); }), nullptr);
    EXPECT_EQ(help.Nth(1), HelpRequestLog::Topic());
    SavePicture(about, L"about-box");
    PostMessageW(about, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitUntil([about] { return !IsWindow(about); }));
}

// F1 in the packer window asks for the help's introduction; with Shift held, for the popup of the
// control the help is about.
TEST_F(PackerWindowTest, F1AndShiftF1AskForHelp) {
    HelpRequestLog help;
    OpenWindow open(&window_);
    ASSERT_TRUE(open.dialog);
    HWND pages = GetDlgItem(open.dialog, kPageList);
    HELPINFO info = {};
    info.cbSize = sizeof info;
    info.iContextType = HELPINFO_WINDOW;
    info.iCtrlId = kPageList;
    info.hItemHandle = pages;
    SendMessageW(open.dialog, WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(help.Nth(1), HelpRequestLog::Topic());
    HoldShift(pages, true);
    SendMessageW(open.dialog, WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
    const HelpRequest popup = help.Nth(2);
    HoldShift(pages, false);
    EXPECT_EQ(popup, HelpRequestLog::Popup(kPageList));
}

// A highlighted menu command shows its text in the status bar; closing the menu brings the counts
// back. The add-files dialog adds what the user chose.
TEST_F(PackerWindowTest, MenuHelpAndTheAddFilesDialog) {
    OpenWindow open(&window_);
    ASSERT_TRUE(open.dialog);
    SendMessageW(open.dialog, WM_MENUSELECT, MAKEWPARAM(1001, MF_HILITE), reinterpret_cast<LPARAM>(GetMenu(open.dialog)));
    EXPECT_EQ(StatusText(open.dialog), L"Упаковать файлы из списка в выбранную папку. ");
    SendMessageW(open.dialog, WM_MENUSELECT, MAKEWPARAM(0, 0xFFFF), 0);
    EXPECT_EQ(StatusText(open.dialog), L"Для получения справки нажмите F1.");

    const std::wstring chosen = temp_.File(L"chosen.txt");
    WriteFileBytes(chosen, Bytes{'x'});
    PostMessageW(open.dialog, WM_COMMAND, 57601, 0);
    ChooseInOpenDialog(chosen);
    ASSERT_TRUE(WaitUntil([this] { return window_.filesPage->RowCount() == 1; }));
    EXPECT_TRUE(WaitUntil([&open] {
        return StatusText(open.dialog) == L"Файлов: 1, сертификатов шифрования: 0, сертификатов подписи: 0.";
    }));
}

// Certificates come from a file and from the store; the same file a second time adds no row.
TEST_F(PackerWindowTest, CertificatesComeFromAFileAndTheStoreOnce) {
    OpenWindow open(&window_);
    ASSERT_TRUE(open.dialog);
    ShowPage(open, 1);
    CVCertificateDlg* page = window_.encryptionPage;
    PostMessageW(open.dialog, WM_COMMAND, 40029, 0);
    ChooseInOpenDialog(TestDataFile(L"alice.cer"));
    ASSERT_TRUE(WaitUntil([page] { return page->RowCount() == 1; }));
    PostMessageW(open.dialog, WM_COMMAND, 40029, 0);
    ChooseInOpenDialog(TestDataFile(L"alice.cer"));

    // The window handles one command at a time: once the store dialog is up, the file is in.
    PostMessageW(open.dialog, WM_COMMAND, 40030, 0);
    HWND store = nullptr;
    ASSERT_TRUE(WaitUntil([&store] { return (store = FindStoreDialog()) != nullptr; }));
    EXPECT_EQ(page->RowCount(), 1);
    HWND choices = FindChildOfClass(store, L"SysListView32");
    int bob = -1;
    ASSERT_TRUE(WaitUntil([&] { return (bob = FindRow(choices, L"Bob Recipient")) >= 0; }));
    SavePicture(store, L"store-dialog");
    Select(choices, {bob});
    PostMessageW(store, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    ASSERT_TRUE(WaitUntil([page] { return page->RowCount() == 2; }));
    EXPECT_EQ(FindRow(page->ListView(), L"Bob Recipient"), 1);
    EXPECT_TRUE(WaitUntil([&open] {
        return StatusText(open.dialog) == L"Файлов: 0, сертификатов шифрования: 2, сертификатов подписи: 0.";
    }));
}

// The keys of a list page and its context menu, the toolbar's drop-down menus, and message boxes
// kept on the screen when the window is not.
TEST_F(PackerWindowTest, KeysMenusAndPopupsOfTheWindow) {
    AddFile(L"kept.txt", "stays");
    AddCertificate(window_.encryptionPage, L"alice.cer");
    AddCertificate(window_.encryptionPage, L"bob.cer");
    OpenWindow open(&window_);
    ASSERT_TRUE(open.dialog);
    ShowPage(open, 1);
    HWND listView = window_.encryptionPage->ListView();
    ASSERT_TRUE(listView);
    HMENU edit = GetSubMenu(GetMenu(open.dialog), 1);
    auto press = [listView](WORD key) { PostMessageW(listView, WM_KEYDOWN, key, 0); };

    // Enter shows the certificate in the platform's viewer.
    Select(listView, {0});
    press(VK_RETURN);
    HWND viewer = nullptr;
    ASSERT_TRUE(WaitUntil([&viewer] {
        return (viewer = FindOtherDialog([](HWND window) { return GetDlgItem(window, 0x3020) != nullptr; })) != nullptr;
    }));  // the property sheet's tab control
    PostMessageW(viewer, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(WaitUntil([viewer] { return !IsWindow(viewer); }));

    // Insert asks the store.
    press(VK_INSERT);
    HWND store = nullptr;
    ASSERT_TRUE(WaitUntil([&store] { return (store = FindStoreDialog()) != nullptr; }));
    PostMessageW(store, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    ASSERT_TRUE(WaitUntil([store] { return !IsWindow(store); }));

    // The menu key opens the Edit menu at the selected row; Escape closes it. The window must have
    // its activation back from the store dialog first: a menu opened before that is closed by it.
    // Shift+F10 does the same; it comes as a system key, with Shift held in the window's key state.
    ASSERT_TRUE(WaitUntil([&open] { return GetForegroundWindow() == open.dialog; }));
    HWND popup = nullptr;
    RECT row = {}, menu;
    const struct {
        UINT message;
        WORD key;
        bool shift;
    } menuKeys[] = {{WM_KEYDOWN, VK_APPS, false}, {WM_SYSKEYDOWN, VK_F10, true}};
    for (const auto& keys : menuKeys) {
        Select(listView, {1});
        if (keys.shift) HoldShift(listView, true);
        PostMessageW(listView, keys.message, keys.key, 1);
        const bool opened = WaitUntil([&popup] { return (popup = FindPopupMenu()) != nullptr; });
        if (!opened && keys.shift) HoldShift(listView, false);
        ASSERT_TRUE(opened) << keys.key;
        EXPECT_EQ(reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0)), edit);
        row.left = LVIR_SELECTBOUNDS;
        SendMessageW(listView, LVM_GETITEMRECT, 1, reinterpret_cast<LPARAM>(&row));
        MapWindowPoints(listView, nullptr, reinterpret_cast<POINT*>(&row), 2);
        GetWindowRect(popup, &menu);
        EXPECT_EQ(menu.left, (row.left + row.right) / 2) << keys.key;
        EXPECT_EQ(menu.top, (row.top + row.bottom) / 2) << keys.key;
        PostMessageW(popup, WM_KEYDOWN, VK_ESCAPE, 0);
        const bool closed = WaitUntil([] { return FindPopupMenu() == nullptr; });
        if (keys.shift) HoldShift(listView, false);  // once the menu is gone: it keeps the input while open
        ASSERT_TRUE(closed);
    }

    // Delete removes the selected row.
    press(VK_DELETE);
    ASSERT_TRUE(WaitUntil([this] { return window_.encryptionPage->RowCount() == 1; }));
    EXPECT_EQ(FindRow(listView, L"Alice Recipient"), 0);

    // The toolbar's drop-downs open below their buttons with the menus of the toolbar.
    HWND toolbar = GetDlgItem(open.dialog, kToolbar);
    const struct {
        int button;
        UINT firstCommand;  // of the menu's first plain item
    } dropDowns[] = {{1036, 1036}, {40030, 40030}};
    for (const auto& dropDown : dropDowns) {
        NMTOOLBARW info = {};
        info.hdr = {toolbar, static_cast<UINT_PTR>(kToolbar), static_cast<UINT>(TBN_DROPDOWN)};
        info.iItem = dropDown.button;
        SendMessageW(toolbar, TB_GETRECT, dropDown.button, reinterpret_cast<LPARAM>(&info.rcButton));
        PostMessageW(open.dialog, WM_NOTIFY, kToolbar, reinterpret_cast<LPARAM>(&info));  // read before the menu opens
        ASSERT_TRUE(WaitUntil([&popup] { return (popup = FindPopupMenu()) != nullptr; })) << dropDown.button;
        HMENU shown = reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0));
        bool listed = false;
        for (int i = 0; i < GetMenuItemCount(shown); ++i) listed |= GetMenuItemID(shown, i) == dropDown.firstCommand;
        EXPECT_TRUE(listed) << dropDown.button;
        RECT button = info.rcButton;
        MapWindowPoints(toolbar, nullptr, reinterpret_cast<POINT*>(&button), 2);
        GetWindowRect(popup, &menu);
        EXPECT_EQ(menu.left, button.left) << dropDown.button;
        EXPECT_EQ(menu.top, button.bottom) << dropDown.button;
        PostMessageW(popup, WM_KEYDOWN, VK_ESCAPE, 0);
        ASSERT_TRUE(WaitUntil([] { return FindPopupMenu() == nullptr; })) << dropDown.button;
    }

    // A right click on the toolbar offers its icon sizes and labels, the current ones checked, and
    // only once: the click is sent, so every menu it opens is closed before the send returns.
    std::vector<UINT> checked;  // of each menu opened: 40066, 40067, 40068
    std::atomic<bool> clicked{false};
    std::thread closer([&checked, &clicked] {
        HWND opened = nullptr;
        while (WaitUntil([&] { return (opened = FindPopupMenu()) != nullptr || clicked; }) && opened) {
            HMENU toolbarMenu = reinterpret_cast<HMENU>(SendMessageW(opened, MN_GETHMENU, 0, 0));
            UINT states = 0;
            for (UINT id : {40066u, 40067u, 40068u})
                states = states * 2 + ((GetMenuState(toolbarMenu, id, MF_BYCOMMAND) & MF_CHECKED) ? 1 : 0);
            checked.push_back(states);
            PostMessageW(opened, WM_KEYDOWN, VK_ESCAPE, 0);
            if (!WaitUntil([opened] { return !IsWindow(opened) || !IsWindowVisible(opened); })) break;
        }
    });
    RECT first = {};
    SendMessageW(toolbar, TB_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&first));
    const LPARAM at = MAKELPARAM((first.left + first.right) / 2, (first.top + first.bottom) / 2);
    SendMessageW(toolbar, WM_RBUTTONDOWN, MK_RBUTTON, at);
    SendMessageW(toolbar, WM_RBUTTONUP, 0, at);
    clicked = true;
    closer.join();
    EXPECT_EQ(checked, std::vector<UINT>{1u});  // large icons (40068) checked, the others not

    // Wider, the page's list grows with the window.
    RECT before, after;
    GetWindowRect(listView, &before);
    SetWindowPos(open.dialog, nullptr, 0, 0, 800, 560, SWP_NOMOVE | SWP_NOZORDER);
    SendMessageW(open.dialog, WM_NULL, 0, 0);
    GetWindowRect(listView, &after);
    EXPECT_EQ(after.right - after.left, before.right - before.left + 200);
    SavePicture(open.dialog, L"encryption-page-wide");
    // It cannot be made smaller than its first-start size, below which the page texts are cut off.
    SetWindowPos(open.dialog, nullptr, 0, 0, 300, 200, SWP_NOMOVE | SWP_NOZORDER);
    SendMessageW(open.dialog, WM_NULL, 0, 0);
    RECT smallest;
    GetWindowRect(open.dialog, &smallest);
    EXPECT_EQ(smallest.right - smallest.left, 600);
    EXPECT_EQ(smallest.bottom - smallest.top, 470);

    // A message box over a window mostly off the screen stays inside the work area.
    ShowPage(open, 0);
    Select(window_.filesPage->ListView(), {0});
    SetWindowPos(open.dialog, nullptr, -700, -500, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    PostMessageW(open.dialog, WM_COMMAND, 40017, 0);
    HWND box = nullptr;
    ASSERT_TRUE(WaitUntil([&box] { return (box = FindMessageBox()) != nullptr; }));
    RECT work, placed;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    GetWindowRect(box, &placed);
    EXPECT_EQ(placed.left, work.left);
    EXPECT_EQ(placed.top, work.top);
    PostMessageW(box, WM_COMMAND, IDNO, 0);
    ASSERT_TRUE(WaitUntil([box] { return !IsWindow(box); }));
    SendMessageW(open.dialog, WM_NULL, 0, 0);
    EXPECT_TRUE(FileExists(temp_.File(L"kept.txt")));
}

// The clipboard: cleared before and after each test, since it outlives the process. Only
// through the plain clipboard: Wine keeps one OLE clipboard window per process, made by the first
// thread that sets the OLE clipboard, and the test's own thread must not be that one, for it does
// not answer the other programs' render requests while it waits for them.
void ClearClipboard() {
    if (OpenClipboard(nullptr)) {
        EmptyClipboard();
        CloseClipboard();
    }
}

// Starts the clipboard peer (another program); false when it cannot start.
bool StartPeer(const std::wstring& arguments, PROCESS_INFORMATION& process) {
    std::wstring line = L"\"" CLIPBOARD_PEER "\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    process = {};
    return CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
}

// Runs the clipboard peer and returns its exit status.
DWORD RunPeer(const std::wstring& arguments) {
    PROCESS_INFORMATION process;
    if (!StartPeer(arguments, process)) return 0xFFFFFFFF;
    DWORD status = 0xFFFFFFFF;
    if (WaitForSingleObject(process.hProcess, testing_support::kPatientWaitMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return status;
}

std::string Utf8(const std::wstring& text) {
    std::string result;
    for (wchar_t c : text) result.push_back(static_cast<char>(c));  // the test paths are ASCII
    return result;
}

// What the peer found on the clipboard.
std::string PeerReading(const TempDir& temp) {
    const std::wstring out = temp.File(L"peer.txt");
    DeleteFileW(out.c_str());
    if (RunPeer(L"read \"" + out + L"\"") != 0) return "(nothing)";
    Bytes bytes = ReadFileBytes(out);
    return std::string(bytes.begin(), bytes.end());
}

// Owns a data object on the clipboard from a thread of its own that answers OLE's calls, as
// another program's window would.
class ClipboardSource {
public:
    explicit ClipboardSource(IDataObject* object) : thread_([this, object] { Run(object); }) {
        WaitUntil([this] { return ready_.load(); });
    }
    ~ClipboardSource() {
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        thread_.join();
    }
    bool placed() const { return placed_; }

private:
    void Run(IDataObject* object) {
        OleInitialize(nullptr);
        threadId_ = GetCurrentThreadId();
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists before the quit is posted
        placed_ = SUCCEEDED(OleSetClipboard(object));
        object->Release();
        ready_ = true;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
        OleSetClipboard(nullptr);
        OleUninitialize();
    }
    std::atomic<bool> ready_{false};
    std::atomic<DWORD> threadId_{0};
    bool placed_ = false;
    std::thread thread_;
};

class PackerClipboardTest : public PackerWindowTest {
protected:
    void SetUp() override {
        PackerWindowTest::SetUp();
        OleInitialize(nullptr);
        ClearClipboard();
    }
    void TearDown() override {
        ClearClipboard();
        OleUninitialize();
        PackerWindowTest::TearDown();
    }
    static Bytes CertificateBytes(const wchar_t* file) {
        CertHandle certificate = LoadCertificateFile(TestDataFile(file));
        PCCERT_CONTEXT context = certificate.get();
        return context ? Bytes(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded) : Bytes();
    }
    // A data object of this process lives on the source's thread, so the window's every look at it
    // is a call between threads. The page switch goes through posted messages, as a user's click
    // does: inside a message sent from the test's thread, Wine's OLE now and then fails that call.
    static bool PasteEnabledOnPage(OpenWindow& open, int index, bool enabled) {
        HWND list = GetDlgItem(open.dialog, kPageList);
        PostMessageW(list, LB_SETCURSEL, index, 0);
        PostMessageW(open.dialog, WM_COMMAND, MAKEWPARAM(kPageList, LBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
        return WaitUntil([&] { return ButtonEnabled(open.dialog, kCommandPaste) == enabled; });
    }
    static Bytes GlobalBytes(HGLOBAL block) {
        const BYTE* bytes = static_cast<const BYTE*>(GlobalLock(block));
        Bytes copy(bytes, bytes + GlobalSize(block));
        GlobalUnlock(block);
        return copy;
    }
};

// Copied certificates are virtual files: the contents by index, the names for every program, and
// the signing page takes them from the clipboard without doubling them.
TEST_F(PackerClipboardTest, CertificatesCopiedOnOnePageArePastedOnAnother) {
    AddCertificate(window_.encryptionPage, L"alice.cer");
    AddCertificate(window_.encryptionPage, L"bob.cer");
    OpenWindow open(&window_);
    ASSERT_TRUE(open.dialog);
    ShowPage(open, 1);
    Select(window_.encryptionPage->ListView(), {0, 1});
    open.Command(kCommandCopy);
    EXPECT_EQ(PeerReading(temp_), "virtual:cert0.cer\nvirtual:cert1.cer\n");

    IDataObject* clipboard = nullptr;
    ASSERT_EQ(OleGetClipboard(&clipboard), S_OK);
    IEnumFORMATETC* formats = nullptr;
    ASSERT_EQ(clipboard->EnumFormatEtc(DATADIR_GET, &formats), S_OK);
    std::vector<CLIPFORMAT> order;
    FORMATETC format;
    while (formats->Next(1, &format, nullptr) == S_OK) {
        if (format.ptd) CoTaskMemFree(format.ptd);
        if (order.empty() || order.back() != format.cfFormat) order.push_back(format.cfFormat);
    }
    formats->Release();
    EXPECT_EQ(order, (std::vector<CLIPFORMAT>{g_cfFileContents, g_cfFileGroupDescriptorW, g_cfPreferredDropEffect}));
    FORMATETC contents = {g_cfFileContents, nullptr, DVASPECT_CONTENT, 1, TYMED_HGLOBAL};
    STGMEDIUM medium = {};
    ASSERT_EQ(clipboard->GetData(&contents, &medium), S_OK);
    EXPECT_EQ(GlobalBytes(medium.hGlobal), CertificateBytes(L"bob.cer"));
    ReleaseStgMedium(&medium);
    contents.lindex = 2;
    EXPECT_EQ(clipboard->GetData(&contents, &medium), DV_E_FORMATETC);
    FORMATETC effect = {g_cfPreferredDropEffect, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    ASSERT_EQ(clipboard->GetData(&effect, &medium), S_OK);
    EXPECT_EQ(GlobalBytes(medium.hGlobal), (Bytes{DROPEFFECT_COPY, 0, 0, 0}));
    ReleaseStgMedium(&medium);
    clipboard->Release();

    ShowPage(open, 2);
    EXPECT_TRUE(ButtonEnabled(open.dialog, kCommandPaste));
    EXPECT_TRUE(MenuEnabled(open.dialog, kCommandPaste));
    for (int round = 0; round < 2; ++round) {  // the second paste replaces what the first added
        open.Command(kCommandPaste);
        EXPECT_EQ(window_.signingPage->RowCount(), 2) << round;
    }
    EXPECT_EQ(FindRow(window_.signingPage->ListView(), L"Bob Recipient"), 1);
}

// Files go to other programs as a file list and come from them the same way; a cut removes the
// row; the certificate page takes only the certificate files of a list.
TEST_F(PackerClipboardTest, FileListsGoToAndComeFromOtherPrograms) {
    AddFile(L"a.txt", "a");
    AddFile(L"b.txt", "b");
    OpenWindow open(&window_);
    ASSERT_TRUE(open.dialog);
    ShowPage(open, 0);
    HWND files = window_.filesPage->ListView();
    Select(files, {0, 1});
    open.Command(kCommandCopy);
    EXPECT_EQ(PeerReading(temp_), "file:" + Utf8(temp_.File(L"a.txt")) + "\nfile:" + Utf8(temp_.File(L"b.txt")) + "\n");
    Select(files, {0});
    open.Command(kCommandCut);
    EXPECT_EQ(window_.filesPage->RowCount(), 1);
    EXPECT_EQ(PeerReading(temp_), "file:" + Utf8(temp_.File(L"a.txt")) + "\n");
    EXPECT_TRUE(FileExists(temp_.File(L"a.txt")));
    {
        // While another program holds the clipboard open the copy cannot reach it: the cut keeps the row.
        const std::wstring flag = temp_.File(L"holding");
        PROCESS_INFORMATION peer;
        ASSERT_TRUE(StartPeer(L"hold \"" + flag + L"\"", peer));
        const bool held = WaitUntil([&] { return FileExists(flag); });
        Select(files, {0});
        if (held) open.Command(kCommandCut);
        DeleteFileW(flag.c_str());
        WaitForSingleObject(peer.hProcess, testing_support::kPatientWaitMs);
        CloseHandle(peer.hThread);
        CloseHandle(peer.hProcess);
        ASSERT_TRUE(held);
        EXPECT_EQ(window_.filesPage->RowCount(), 1);
    }

    const std::wstring text = temp_.File(L"c.txt"), folder = temp_.File(L"folder"), cer = temp_.File(L"alice.cer");
    WriteFileBytes(text, Bytes{'c'});
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(TestDataFile(L"alice.cer").c_str(), cer.c_str(), FALSE));
    const struct {
        std::wstring list;
        bool filesPaste, certificatesPaste;
    } tests[] = {{L"\"" + text + L"\"", true, false},
                 {L"\"" + text + L"\" \"" + folder + L"\" \"" + cer + L"\"", true, true}};
    for (const auto& t : tests) {
        ASSERT_EQ(RunPeer(L"put-files " + t.list), 0u);
        ShowPage(open, 0);
        EXPECT_EQ(ButtonEnabled(open.dialog, kCommandPaste), t.filesPaste);
        ShowPage(open, 1);
        EXPECT_EQ(ButtonEnabled(open.dialog, kCommandPaste), t.certificatesPaste);
    }
    open.Command(kCommandPaste);
    EXPECT_EQ(window_.encryptionPage->RowCount(), 1);
    ShowPage(open, 0);
    open.Command(kCommandPaste);
    EXPECT_EQ(window_.filesPage->RowCount(), 3);  // b.txt, c.txt and alice.cer; not the folder
}

// Virtual files of another program: only ".cer" and ".crt" names (exactly) and sizes up to
// 65535 bytes are taken; ANSI descriptors are read too. Files dropped from the shell are added.
TEST_F(PackerClipboardTest, VirtualFilesOfOtherProgramsAndDroppedFiles) {
    const struct {
        const char* name;
        DWORD size;
        const wchar_t* file;
    } offered[] = {{"a.CER", 0, L"bob.cer"}, {"a.cer", 0, L"alice.cer"}, {"big.cer", 70000, L"carol.cer"}};
    CDataObject* object = new CDataObject();
    const SIZE_T groupSize = offsetof(FILEGROUPDESCRIPTORA, fgd) + 3 * sizeof(FILEDESCRIPTORA);
    HGLOBAL group = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, groupSize);
    auto* descriptors = static_cast<FILEGROUPDESCRIPTORA*>(GlobalLock(group));
    descriptors->cItems = 3;
    for (LONG i = 0; i < 3; ++i) {
        Bytes bytes = CertificateBytes(offered[i].file);
        FILEDESCRIPTORA& file = descriptors->fgd[i];
        strcpy(file.cFileName, offered[i].name);
        file.dwFlags = FD_FILESIZE;
        file.nFileSizeLow = offered[i].size ? offered[i].size : static_cast<DWORD>(bytes.size());
        ASSERT_EQ(SetGlobalData(object, g_cfFileContents, i, GlobalFromBytes(bytes.data(), bytes.size())), S_OK);
    }
    GlobalUnlock(group);
    ASSERT_EQ(SetGlobalData(object, g_cfFileGroupDescriptor, -1, group), S_OK);
    ClipboardSource source(object);
    ASSERT_TRUE(source.placed());

    OpenWindow open(&window_);
    ASSERT_TRUE(open.dialog);
    EXPECT_TRUE(PasteEnabledOnPage(open, 1, true));
    EXPECT_TRUE(PasteEnabledOnPage(open, 0, false));  // the files page takes file lists only
    ASSERT_TRUE(PasteEnabledOnPage(open, 1, true));
    PostMessageW(open.dialog, WM_COMMAND, kCommandPaste, 0);
    HWND certificates = window_.encryptionPage->ListView();
    ASSERT_TRUE(WaitUntil([this] { return window_.encryptionPage->RowCount() > 0; }));
    SendMessageW(open.dialog, WM_NULL, 0, 0);
    ASSERT_EQ(window_.encryptionPage->RowCount(), 1);
    EXPECT_EQ(FindRow(certificates, L"Alice Recipient"), 0);

    const std::wstring text = temp_.File(L"dropped.txt"), folder = temp_.File(L"dropped");
    WriteFileBytes(text, Bytes{'d'});
    CreateDirectoryW(folder.c_str(), nullptr);
    PostMessageW(certificates, WM_DROPFILES, reinterpret_cast<WPARAM>(BuildDropFilesBlock({text, TestDataFile(L"bob.cer")})), 0);
    ASSERT_TRUE(WaitUntil([this] { return window_.encryptionPage->RowCount() == 2; }));
    ShowPage(open, 0);
    PostMessageW(window_.filesPage->ListView(), WM_DROPFILES, reinterpret_cast<WPARAM>(BuildDropFilesBlock({folder, text})), 0);
    ASSERT_TRUE(WaitUntil([this] { return window_.filesPage->RowCount() == 1; }));
    SendMessageW(open.dialog, WM_NULL, 0, 0);
    EXPECT_EQ(RowText(window_.filesPage->ListView(), 0), L"dropped.txt");
}

}  // namespace
