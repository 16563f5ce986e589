// The library as the shell and rundll32 meet it: registered with regsvr32 and used through COM,
// and its rundll entry run as a program of its own.
#include <windows.h>
#include <commctrl.h>
#include <ole2.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "pack/messages.h"
#include "packer_ui/data_object.h"
#include "packer_ui/recent_lists.h"
#include "tests/support/test_support.h"
#include "unpack/decode_data.h"

namespace {

using testing_support::FileExists;
using testing_support::FindProcessWindow;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::TestDataFile;
using testing_support::WaitUntil;
using testing_support::WriteFileBytes;

constexpr CLSID kClsid = {0x2CFDF8BC, 0xD2D6, 0x4A6D, {0xAF, 0xF6, 0xF2, 0xB5, 0x33, 0x1F, 0x38, 0xD0}};
constexpr wchar_t kLibrary[] = L"" QUILLARENT_DLL;
constexpr int kPageList = 1037, kStatusBar = 1116;

// Runs a program of the prefix to its end; returns its exit status.
DWORD RunToEnd(std::wstring line, const wchar_t* folder = nullptr) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, folder, &startup, &process))
        return 0xFFFFFFFF;
    DWORD status = 0xFFFFFFFF;
    if (WaitForSingleObject(process.hProcess, testing_support::kPatientWaitMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return status;
}

std::wstring RegistryText(const std::wstring& path, const wchar_t* value = nullptr) {
    wchar_t text[1024] = {};
    DWORD size = sizeof text;
    if (RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), value, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
        return L"(missing)";
    return text;
}

bool KeyExists(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// A data object holding a file list, as the shell hands over a selection.
IDataObject* Selection(const std::vector<std::wstring>& names) {
    RegisterPackerClipboardFormats();
    CDataObject* object = new CDataObject();
    SetGlobalData(object, CF_HDROP, -1, BuildDropFilesBlock(names));
    return object;
}

bool IsPackerWindow(HWND window) { return GetDlgItem(window, kPageList) != nullptr; }

std::vector<std::wstring> MenuTexts(HMENU menu) {
    std::vector<std::wstring> texts;
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        wchar_t text[128] = {};
        GetMenuStringW(menu, i, text, 128, MF_BYPOSITION);
        texts.push_back(text);
    }
    return texts;
}

class ShellObjectTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(RunToEnd(L"regsvr32.exe /s \"" + std::wstring(kLibrary) + L"\""), 0u);
    }
    void SetUp() override {
        OleInitialize(nullptr);
        RegDeleteTreeW(HKEY_CURRENT_USER, kRecentCertsKey);
        RegDeleteTreeW(HKEY_CURRENT_USER, kRecoveryCertsKey);
        ASSERT_EQ(CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IShellExtInit, reinterpret_cast<void**>(&init_)), S_OK);
        ASSERT_EQ(init_->QueryInterface(IID_IContextMenu, reinterpret_cast<void**>(&menu_)), S_OK);
    }
    void TearDown() override {
        if (menu_) menu_->Release();
        if (init_) init_->Release();
        RegDeleteTreeW(HKEY_CURRENT_USER, kRecentCertsKey);
        RegDeleteTreeW(HKEY_CURRENT_USER, kRecoveryCertsKey);
        OleUninitialize();
    }
    void Renew() {
        menu_->Release();
        init_->Release();
        ASSERT_EQ(CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IShellExtInit, reinterpret_cast<void**>(&init_)), S_OK);
        ASSERT_EQ(init_->QueryInterface(IID_IContextMenu, reinterpret_cast<void**>(&menu_)), S_OK);
    }
    void Select(const std::vector<std::wstring>& names) {
        IDataObject* selection = Selection(names);
        ASSERT_EQ(init_->Initialize(nullptr, selection, nullptr), S_OK);
        selection->Release();
    }
    IShellExtInit* init_ = nullptr;
    IContextMenu* menu_ = nullptr;
    TempDir temp_;
};

TEST_F(ShellObjectTest, RegistrationNamesTheClassEverywhere) {
    const std::wstring clsid = L"{2CFDF8BC-D2D6-4A6D-AFF6-F2B5331F38D0}", progId = L"Orbelin.Quillarent.QuillarentShell.1";
    EXPECT_EQ(RegistryText(L".pkcs7"), progId);
    for (const wchar_t* handler : {L"\\CLSID", L"\\shellex\\IconHandler", L"\\shellex\\ContextMenuHandlers\\DecodeFile",
                                   L"\\shellex\\ContextMenuHandlers\\DecodeFileTo", L"\\shellex\\ContextMenuHandlers\\EncodeFile",
                                   L"\\shellex\\PropertySheetHandlers\\Info"})
        EXPECT_EQ(RegistryText(progId + handler), clsid) << handler;
    EXPECT_EQ(RegistryText(L"*\\shellex\\ContextMenuHandlers\\_Quillarent"), clsid);
    EXPECT_EQ(RegistryText(progId + L"\\DefaultIcon"), L"%1");
    EXPECT_EQ(RegistryText(L"Orbelin.Quillarent.QuillarentShell\\CurVer"), progId);
    EXPECT_EQ(RegistryText(L"CLSID\\" + clsid + L"\\InProcServer32", L"ThreadingModel"), L"Apartment");
    EXPECT_TRUE(KeyExists(L"CLSID\\" + clsid + L"\\shellex\\MayChangeDefaultMenu"));
    wchar_t path[MAX_PATH] = {};
    GetFullPathNameW(kLibrary, MAX_PATH, path, nullptr);
    EXPECT_EQ(lstrcmpiW(RegistryText(L"CLSID\\" + clsid + L"\\InProcServer32").c_str(), path), 0);

    // Removal takes the whole ".pkcs7" key, with what other programs put below it.
    HKEY foreign = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L".pkcs7\\OpenWithProgids\\Other", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &foreign, nullptr), ERROR_SUCCESS);
    RegCloseKey(foreign);
    init_->Release();
    menu_->Release();
    init_ = nullptr;
    menu_ = nullptr;
    ASSERT_EQ(RunToEnd(L"regsvr32.exe /s /u \"" + std::wstring(kLibrary) + L"\""), 0u);
    for (const std::wstring& key : {std::wstring(L".pkcs7"), progId, std::wstring(L"Orbelin.Quillarent.QuillarentShell"),
                                    L"CLSID\\" + clsid, std::wstring(L"*\\shellex\\ContextMenuHandlers\\_Quillarent")})
        EXPECT_FALSE(KeyExists(key)) << std::string(key.begin(), key.end());
    EXPECT_TRUE(KeyExists(L"*\\shellex\\ContextMenuHandlers"));  // not ours
    ASSERT_EQ(RunToEnd(L"regsvr32.exe /s \"" + std::wstring(kLibrary) + L"\""), 0u);
}

TEST_F(ShellObjectTest, TheClassObjectKeepsTheLibraryLoaded) {
    HMODULE library = GetModuleHandleW(kLibrary);
    ASSERT_TRUE(library);
    auto getClassObject = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(library, "DllGetClassObject")));
    auto canUnloadNow = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(GetProcAddress(library, "DllCanUnloadNow")));
    ASSERT_TRUE(getClassObject && canUnloadNow);
    EXPECT_EQ(canUnloadNow(), S_FALSE);  // the fixture's object
    menu_->Release();
    init_->Release();
    menu_ = nullptr;
    init_ = nullptr;
    EXPECT_EQ(canUnloadNow(), S_OK);
    void* object = nullptr;
    EXPECT_EQ(getClassObject(IID_IShellExtInit, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(canUnloadNow(), S_OK);
    IClassFactory* factory = nullptr;
    ASSERT_EQ(getClassObject(kClsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    IUnknown* outer = factory;
    EXPECT_EQ(factory->CreateInstance(outer, IID_IUnknown, &object), CLASS_E_NOAGGREGATION);
    IPersistFile* file = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPersistFile, reinterpret_cast<void**>(&file)), S_OK);
    factory->Release();
    EXPECT_EQ(canUnloadNow(), S_FALSE);
    CLSID id = {};
    EXPECT_EQ(file->GetClassID(&id), S_OK);
    EXPECT_EQ(id, kClsid);
    // An interface the object lacks: the answer says so and clears what the caller's pointer held.
    object = &id;
    EXPECT_EQ(file->QueryInterface(IID_IDropTarget, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    file->Release();
    EXPECT_EQ(canUnloadNow(), S_OK);
}

// The items for the selections and flags of the shell, their verbs and help texts.
TEST_F(ShellObjectTest, MenusFollowTheSelection) {
    const struct {
        std::vector<std::wstring> names;
        UINT flags;
        bool recent;
        std::vector<std::wstring> items;
        int defaultItem;
        HRESULT result;
    } cases[] = {
        {{L"a.pkcs7", L"b.pkcs7"}, CMF_NORMAL, false,
         {L"Распаковать файл(ы)", L"Распаковать файл(ы) в...", L"Упаковать файл(ы)"}, 0, MAKE_HRESULT(0, 0, 4)},
        {{L"a.pkcs7", L"b.PKCS7"}, CMF_NORMAL, false, {L"Упаковать файл(ы)"}, -1, MAKE_HRESULT(0, 0, 2)},
        {{L"a.pkcs7"}, CMF_DEFAULTONLY, false, {L"Распаковать файл(ы)"}, 0, MAKE_HRESULT(0, 0, 2)},
        {{L"a.pkcs7"}, CMF_NODEFAULT, false, {L"Распаковать файл(ы)", L"Распаковать файл(ы) в...", L"Упаковать файл(ы)"},
         -1, MAKE_HRESULT(0, 0, 4)},
        {{L"x.txt"}, CMF_DEFAULTONLY, false, {}, -1, MAKE_HRESULT(0, 0, 1)},
        {{L"x.txt"}, CMF_NORMAL, true, {L"Упаковать файл(ы)", L"Упаковать файл(ы) для..."}, -1, MAKE_HRESULT(0, 0, 4)},
    };
    for (const auto& c : cases) {
        Renew();  // command offsets stay from an earlier menu of the same object
        RegDeleteTreeW(HKEY_CURRENT_USER, kRecentCertsKey);
        if (c.recent) {
            PCCERT_CONTEXT list[] = {testing_support::LoadCertificateFile(TestDataFile(L"alice.cer")).release(),
                                     testing_support::LoadCertificateFile(TestDataFile(L"bob.cer")).release()};
            SaveCertificateList(list, 2, kRecentCertsKey, FALSE);
        }
        Select(c.names);
        HMENU menu = CreatePopupMenu();
        EXPECT_EQ(menu_->QueryContextMenu(menu, 0, 100, 200, c.flags), c.result) << c.items.size();
        EXPECT_EQ(MenuTexts(menu), c.items);
        EXPECT_EQ(static_cast<int>(GetMenuDefaultItem(menu, TRUE, 0)), c.defaultItem);
        if (c.recent) {
            const std::vector<std::wstring> recent = MenuTexts(GetSubMenu(menu, 1));
            ASSERT_EQ(recent.size(), 2u);
            EXPECT_EQ(recent[0].find(L"Alice Recipient"), 0u);
            EXPECT_EQ(recent[1].find(L"Bob Recipient"), 0u);
            EXPECT_EQ(GetMenuItemID(GetSubMenu(menu, 1), 1), 102u);
        }
        DestroyMenu(menu);
    }

    // Verbs and help of the last menu (one pack item, two recent certificates: offsets 0 to 2).
    const struct {
        UINT offset;
        HRESULT result;
        const char* verb;
        const wchar_t* help;
    } strings[] = {{0, S_OK, "EncodeFile", L"Упаковать выделенные файлы при помощи Quillarent."},
                   {1, S_OK, "EncodeFile", L"Упаковать выделенные файлы для выбранных получателей при помощи Quillarent."},
                   {3, S_OK, "EncodeFile", L"Упаковать выделенные файлы для выбранных получателей при помощи Quillarent."},
                   {4, E_INVALIDARG, "", L""}};
    for (const auto& s : strings) {
        char verb[32] = {};
        wchar_t help[128] = {};
        EXPECT_EQ(menu_->GetCommandString(s.offset, GCS_VERBA, nullptr, verb, 32), s.result) << s.offset;
        menu_->GetCommandString(s.offset, GCS_HELPTEXTW, nullptr, reinterpret_cast<char*>(help), 128);
        EXPECT_STREQ(verb, s.verb) << s.offset;
        EXPECT_STREQ(help, s.help) << s.offset;
    }
    CMINVOKECOMMANDINFO invoke = {};
    invoke.cbSize = sizeof invoke;
    for (const char* verb : {"DecodeFileTo", "Other"}) {
        invoke.lpVerb = verb;
        EXPECT_EQ(menu_->InvokeCommand(&invoke), E_FAIL) << verb;
    }
    invoke.lpVerb = MAKEINTRESOURCEA(3);
    EXPECT_EQ(menu_->InvokeCommand(&invoke), E_FAIL);  // past the recent certificates
}

// The pack command returns at once; the packer window opens on a thread of its own with the
// selection, and the library stays loaded until it is closed.
TEST_F(ShellObjectTest, ThePackVerbOpensThePackerOnAWorkerThread) {
    const std::wstring file = temp_.File(L"report.txt");
    WriteFileBytes(file, {'r'});
    Select({file});
    HMENU menu = CreatePopupMenu();
    menu_->QueryContextMenu(menu, 0, 1, 100, CMF_NORMAL);
    DestroyMenu(menu);
    CMINVOKECOMMANDINFOEX invoke = {};
    invoke.cbSize = sizeof invoke;
    invoke.fMask = CMIC_MASK_UNICODE;
    invoke.lpVerb = "EncodeFile";
    invoke.lpVerbW = L"EncodeFile";
    ASSERT_EQ(menu_->InvokeCommand(reinterpret_cast<CMINVOKECOMMANDINFO*>(&invoke)), S_OK);
    menu_->Release();
    init_->Release();
    menu_ = nullptr;
    init_ = nullptr;
    HWND window = testing_support::WaitForProcessWindow(L"#32770", IsPackerWindow);
    ASSERT_TRUE(window);
    EXPECT_NE(GetWindowThreadProcessId(window, nullptr), GetCurrentThreadId());
    wchar_t status[256] = {};
    SendMessageW(GetDlgItem(window, kStatusBar), SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(status));
    EXPECT_STREQ(status, L"Файлов: 1, сертификатов шифрования: 0, сертификатов подписи: 0.");
    auto canUnloadNow = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(kLibrary), "DllCanUnloadNow")));
    EXPECT_EQ(canUnloadNow(), S_FALSE);
    PostMessageW(window, WM_COMMAND, 1040, 0);
    EXPECT_TRUE(WaitUntil([canUnloadNow] { return canUnloadNow() == S_OK; }));
}

// A message box or the packer window of the process.
HWND DialogOf(DWORD processId) {
    std::pair<DWORD, HWND> search(processId, nullptr);
    EnumWindows(
        [](HWND window, LPARAM arg) -> BOOL {
            auto* found = reinterpret_cast<std::pair<DWORD, HWND>*>(arg);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            wchar_t name[16] = {};
            GetClassNameW(window, name, 16);
            if (owner != found->first || !IsWindowVisible(window) || wcscmp(name, L"#32770") != 0) return TRUE;
            if (!GetDlgItem(window, kPageList) && !GetDlgItem(window, 0xFFFF)) return TRUE;  // the progress window
            found->second = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.second;
}

// Runs work on this thread while another answers the message boxes the process shows (Yes where
// the box asks, else OK); returns their texts.
std::vector<std::wstring> AnsweringBoxes(const std::function<void()>& work) {
    std::vector<std::wstring> texts;
    std::atomic<bool> done(false);
    std::thread answering([&] {
        for (;;) {
            HWND box = nullptr;
            WaitUntil([&] {
                box = DialogOf(GetCurrentProcessId());
                if (box && GetDlgItem(box, kPageList)) box = nullptr;
                return done || box;
            });
            if (!box) return;
            wchar_t text[512] = {};
            GetDlgItemTextW(box, 0xFFFF, text, 512);
            texts.push_back(text);
            PostMessageW(box, WM_COMMAND, GetDlgItem(box, IDYES) ? IDYES : IDOK, 0);
            WaitUntil([box] { return !IsWindow(box) || !IsWindowVisible(box); });
        }
    });
    work();
    done = true;
    answering.join();
    return texts;
}

// A shell selection whose reading runs out of memory, as code of the library can: GetData throws.
// The first call on the test's thread throws; later ones there find no file list. On another
// thread (the pack worker) it waits until the test lets it go, then throws.
class ThrowingSelection final : public IDataObject {
public:
    ThrowingSelection() : entered_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), go_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~ThrowingSelection() {
        CloseHandle(entered_);
        CloseHandle(go_);
        if (worker_) CloseHandle(worker_);
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        *object = iid == IID_IUnknown || iid == IID_IDataObject ? this : nullptr;
        if (!*object) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override { return --references_; }  // the test deletes it
    HRESULT STDMETHODCALLTYPE GetData(FORMATETC*, STGMEDIUM*) override {
        if (GetCurrentThreadId() == testThread_) {
            if (testThreadCalls_++ == 0) throw std::bad_alloc();
            return DV_E_FORMATETC;
        }
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &worker_, SYNCHRONIZE, FALSE, 0);
        SetEvent(entered_);
        WaitForSingleObject(go_, testing_support::kPatientWaitMs);
        throw std::bad_alloc();
    }
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

    HANDLE entered_, go_;
    HANDLE worker_ = nullptr;
    std::atomic<ULONG> references_{1};
    const DWORD testThread_ = GetCurrentThreadId();
    int testThreadCalls_ = 0;
};

// The library loaded as the shell loads it, without COM keeping it: an exception inside a COM
// method becomes its HRESULT, one on the pack worker is reported and ends only that thread, and
// the worker holds the library until it has left it; then the library goes.
TEST(ShellBoundaryTest, ExceptionsStayInsideAndThePackWorkerHoldsTheLibrary) {
    // Each test runs in a process of its own under ctest; run alone, this one finds the library as
    // loaded by COM for the others.
    if (GetModuleHandleW(kLibrary)) GTEST_SKIP() << "the library is loaded already: run this test alone";
    HMODULE library = LoadLibraryW(kLibrary);
    ASSERT_TRUE(library);
    auto getClassObject = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(library, "DllGetClassObject")));
    ASSERT_TRUE(getClassObject);
    IShellExtInit* init = nullptr;
    IContextMenu* menu = nullptr;
    ASSERT_EQ(getClassObject(kClsid, IID_IShellExtInit, reinterpret_cast<void**>(&init)), S_OK);
    ASSERT_EQ(init->QueryInterface(IID_IContextMenu, reinterpret_cast<void**>(&menu)), S_OK);
    // Not on the stack: a worker left waiting by a failed check below must find it there.
    auto* selection = new ThrowingSelection();
    EXPECT_EQ(init->Initialize(nullptr, selection, nullptr), E_OUTOFMEMORY);
    ASSERT_EQ(init->Initialize(nullptr, selection, nullptr), S_OK);
    HMENU popup = CreatePopupMenu();
    menu->QueryContextMenu(popup, 0, 1, 100, CMF_NORMAL);
    DestroyMenu(popup);
    CMINVOKECOMMANDINFO invoke = {};
    invoke.cbSize = sizeof invoke;
    invoke.lpVerb = "EncodeFile";
    ASSERT_EQ(menu->InvokeCommand(&invoke), S_OK);
    menu->Release();
    init->Release();
    ASSERT_EQ(WaitForSingleObject(selection->entered_, testing_support::kPatientWaitMs), WAIT_OBJECT_0);

    // Only the worker holds the library now. Without its reference the library would be gone, and
    // the worker, once let go, would return into nothing: it is then left waiting.
    FreeLibrary(library);
    ASSERT_NE(GetModuleHandleW(kLibrary), nullptr);

    const std::vector<std::wstring> boxes = AnsweringBoxes([selection] {
        SetEvent(selection->go_);
        EXPECT_EQ(WaitForSingleObject(selection->worker_, testing_support::kPatientWaitMs), WAIT_OBJECT_0);
    });
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], SystemErrorText(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(GetModuleHandleW(kLibrary), nullptr);
    EXPECT_EQ(selection->references_, 1u);
    delete selection;
}

// A recent certificate packs the selection for it at once, on the caller's thread and without a
// window; with Shift held the packer opens instead, on its worker thread, with the certificate.
TEST_F(ShellObjectTest, RecentCertificatesPackAtOnceOrOpenThePackerWithShift) {
    CertHandle alice = testing_support::LoadCertificateFile(TestDataFile(L"alice.cer"));
    CertHandle bob = testing_support::LoadCertificateFile(TestDataFile(L"bob.cer"));
    PCCERT_CONTEXT list[] = {CertDuplicateCertificateContext(alice.get())};
    SaveCertificateList(list, 1, kRecentCertsKey, FALSE);
    // Bob is the recovery recipient: every envelope is made for him too, also without the window.
    PCCERT_CONTEXT recovery[] = {CertDuplicateCertificateContext(bob.get())};
    SaveCertificateList(recovery, 1, kRecoveryCertsKey, FALSE);
    // A recipient as the envelope names it: the issuer, then the serial number.
    auto recipientEntry = [](PCCERT_CONTEXT certificate) {
        const CERT_INFO& info = *certificate->pCertInfo;
        std::vector<uint8_t> entry(info.Issuer.pbData, info.Issuer.pbData + info.Issuer.cbData);
        entry.push_back(0x02);
        entry.push_back(static_cast<uint8_t>(info.SerialNumber.cbData));
        for (DWORD i = info.SerialNumber.cbData; i > 0; --i) entry.push_back(info.SerialNumber.pbData[i - 1]);
        return entry;
    };
    const std::vector<uint8_t> aliceEntry = recipientEntry(alice.get()), bobEntry = recipientEntry(bob.get());
    auto invokeRecent = [this](const std::wstring& file) {
        WriteFileBytes(file, {'n', 'o', 't', 'e', 's'});
        Renew();
        Select({file});
        HMENU menu = CreatePopupMenu();
        menu_->QueryContextMenu(menu, 0, 1, 100, CMF_NORMAL);
        DestroyMenu(menu);
        CMINVOKECOMMANDINFO invoke = {};
        invoke.cbSize = sizeof invoke;
        invoke.lpVerb = MAKEINTRESOURCEA(1);  // the first recent certificate
        return menu_->InvokeCommand(&invoke);
    };

    const std::wstring atOnce = temp_.File(L"notes.txt");
    HRESULT result = E_FAIL;
    const std::vector<std::wstring> boxes = AnsweringBoxes([&] { result = invokeRecent(atOnce); });
    ASSERT_EQ(result, S_OK);
    // The test certificates' authority is not trusted here: before the report of success the only
    // question is whether to use the certificate anyway.
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back(), L"Все файлы успешно упакованы.");
    for (size_t i = 0; i + 1 < boxes.size(); ++i)
        EXPECT_TRUE(boxes[i].find(L"Alice Recipient") != std::wstring::npos ||
                    boxes[i].find(L"Bob Recipient") != std::wstring::npos)
            << testing::PrintToString(boxes[i]);
    const std::vector<uint8_t> envelope = ReadFileBytes(atOnce + L".gz.pkcs7");
    for (const std::vector<uint8_t>* entry : {&aliceEntry, &bobEntry})
        EXPECT_NE(std::search(envelope.begin(), envelope.end(), entry->begin(), entry->end()), envelope.end());
    EXPECT_FALSE(FindProcessWindow(L"#32770", IsPackerWindow));

    BYTE keys[256] = {};
    ASSERT_TRUE(GetKeyboardState(keys));
    const BYTE shiftUp = keys[VK_SHIFT];
    keys[VK_SHIFT] = 0x80;
    ASSERT_TRUE(SetKeyboardState(keys));
    const HRESULT withShift = invokeRecent(temp_.File(L"plan.txt"));
    keys[VK_SHIFT] = shiftUp;
    SetKeyboardState(keys);
    ASSERT_EQ(withShift, S_OK);
    HWND window = testing_support::WaitForProcessWindow(L"#32770", IsPackerWindow);
    ASSERT_TRUE(window);
    EXPECT_NE(GetWindowThreadProcessId(window, nullptr), GetCurrentThreadId());
    EXPECT_FALSE(FileExists(temp_.File(L"plan.txt.gz.pkcs7")));
    wchar_t status[256] = {};
    SendMessageW(GetDlgItem(window, kStatusBar), SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(status));
    // The window holds the recovery recipient and the recent one.
    EXPECT_STREQ(status, L"Файлов: 1, сертификатов шифрования: 2, сертификатов подписи: 0.");
    PostMessageW(window, WM_COMMAND, 1040, 0);
    EXPECT_TRUE(WaitUntil([] { return !FindProcessWindow(L"#32770", IsPackerWindow); }));
}

// The icon's pixels drawn over a plain background of the colour, 32 by 32, top-down.
std::vector<COLORREF> Pixels(HICON icon, COLORREF background) {
    const int size = 32;
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), size, -size, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    RECT all = {0, 0, size, size};
    HBRUSH brush = CreateSolidBrush(background);
    FillRect(memory, &all, brush);
    DeleteObject(brush);
    DrawIconEx(memory, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL);
    GdiFlush();
    std::vector<COLORREF> pixels(static_cast<const COLORREF*>(bits), static_cast<const COLORREF*>(bits) + size * size);
    for (COLORREF& pixel : pixels) pixel &= 0xFFFFFF;
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

ULONG References(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

// Packed files show the icon of the type they carry with the library's mark; the Info page lists
// the recipients of one packed file and is not offered for two.
TEST_F(ShellObjectTest, IconsAndTheInfoPage) {
    IExtractIconW* icons = nullptr;
    IPersistFile* file = nullptr;
    ASSERT_EQ(init_->QueryInterface(IID_IExtractIconW, reinterpret_cast<void**>(&icons)), S_OK);
    ASSERT_EQ(init_->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)), S_OK);
    UINT flags = 0;
    int index = 77;
    wchar_t location[MAX_PATH] = L"untouched";
    EXPECT_EQ(icons->GetIconLocation(GIL_ASYNC, location, MAX_PATH, &index, &flags), E_PENDING);
    EXPECT_EQ(icons->GetIconLocation(0, location, MAX_PATH, &index, &flags), S_OK);
    EXPECT_EQ(flags, static_cast<UINT>(GIL_PERINSTANCE | GIL_NOTFILENAME | GIL_DONTCACHE));
    // No file and no index: the icon is made per file by Extract.
    EXPECT_STREQ(location, L"untouched");
    EXPECT_EQ(index, 77);
    HICON large = nullptr, small = nullptr;
    EXPECT_EQ(icons->Extract(L"", 0, &large, &small, MAKELONG(32, 16)), S_FALSE);  // nothing loaded yet
    EXPECT_EQ(file->Load(L"C:\\notes\\readme", 0), S_FALSE);
    EXPECT_EQ(icons->Extract(L"", 0, &large, &small, MAKELONG(32, 16)), S_FALSE);
    EXPECT_EQ(file->Load(L"C:\\my.dir\\notes.txt.pkcs7", 0), S_OK);
    ASSERT_EQ(icons->Extract(L"", 0, &large, &small, MAKELONG(32, 16)), S_OK);
    ICONINFO info = {};
    ASSERT_TRUE(large && small && GetIconInfo(large, &info));
    BITMAP picture = {};
    GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof picture, &picture);
    EXPECT_EQ(picture.bmWidth, 32);
    if (info.hbmColor) DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    // Where the library's mark (icon 411) is clear, the icon is that of text files.
    SHFILEINFOW type = {};
    ASSERT_TRUE(SHGetFileInfoW(L".txt", FILE_ATTRIBUTE_NORMAL, &type, sizeof type,
                               SHGFI_ICON | SHGFI_USEFILEATTRIBUTES | SHGFI_SHELLICONSIZE));
    HICON mark = static_cast<HICON>(LoadImageW(GetModuleHandleW(kLibrary), MAKEINTRESOURCEW(411), IMAGE_ICON, 32, 32, 0));
    ASSERT_TRUE(type.hIcon && mark);
    const COLORREF black = RGB(0, 0, 0), white = RGB(255, 255, 255);
    const std::vector<COLORREF> shown = Pixels(large, black), plain = Pixels(type.hIcon, black),
                                markOnBlack = Pixels(mark, black), markOnWhite = Pixels(mark, white);
    size_t clear = 0;
    for (size_t p = 0; p < shown.size(); ++p) {
        if (markOnBlack[p] != black || markOnWhite[p] != white) continue;
        ++clear;
        EXPECT_EQ(shown[p], plain[p]) << "pixel " << p << " is not the type's";
    }
    EXPECT_GT(clear, 0u);
    DestroyIcon(mark);
    DestroyIcon(type.hIcon);
    DestroyIcon(large);
    DestroyIcon(small);
    file->Release();
    icons->Release();

    IShellPropSheetExt* sheet = nullptr;
    ASSERT_EQ(init_->QueryInterface(IID_IShellPropSheetExt, reinterpret_cast<void**>(&sheet)), S_OK);
    std::vector<HPROPSHEETPAGE> pages;
    auto collect = [](HPROPSHEETPAGE page, LPARAM list) -> BOOL {
        reinterpret_cast<std::vector<HPROPSHEETPAGE>*>(list)->push_back(page);
        return TRUE;
    };
    const std::wstring packed = temp_.File(L"report.txt.pkcs7");
    ASSERT_TRUE(CopyFileW(TestDataFile(L"reader-alice-aes256.pkcs7").c_str(), packed.c_str(), FALSE));
    Select({packed, packed});
    EXPECT_EQ(sheet->AddPages(collect, reinterpret_cast<LPARAM>(&pages)), E_FAIL);
    Select({packed});
    // A page added and released unshown (the user never opened its tab) gives its reference back.
    const ULONG references = References(init_);
    ASSERT_EQ(sheet->AddPages(collect, reinterpret_cast<LPARAM>(&pages)), S_OK);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(References(init_), references + 1);
    EXPECT_TRUE(DestroyPropertySheetPage(pages[0]));
    EXPECT_EQ(References(init_), references);
    pages.clear();
    ASSERT_EQ(sheet->AddPages(collect, reinterpret_cast<LPARAM>(&pages)), S_OK);
    ASSERT_EQ(pages.size(), 1u);

    PROPSHEETHEADERW header = {};
    header.dwSize = sizeof header;
    header.dwFlags = PSH_MODELESS | PSH_PROPTITLE;
    header.pszCaption = L"report.txt.pkcs7";
    header.nPages = 1;
    header.phpage = pages.data();
    HWND dialog = reinterpret_cast<HWND>(PropertySheetW(&header));
    ASSERT_TRUE(dialog);
    HWND page = reinterpret_cast<HWND>(SendMessageW(dialog, PSM_GETCURRENTPAGEHWND, 0, 0));
    ASSERT_TRUE(page);
    HWND recipients = GetDlgItem(page, 1102);
    ASSERT_EQ(SendMessageW(recipients, LVM_GETITEMCOUNT, 0, 0), 1);
    wchar_t subject[128] = {};
    LVITEMW cell = {};
    cell.iSubItem = 1;
    cell.pszText = subject;
    cell.cchTextMax = 128;
    SendMessageW(recipients, LVM_GETITEMTEXTW, 0, reinterpret_cast<LPARAM>(&cell));
    EXPECT_EQ(std::wstring(subject).find(L"Alice Recipient"), 0u);
    // Beside the certificate, the row names how the session key was wrapped for it.
    wchar_t transport[64] = {};
    cell.iSubItem = 3;
    cell.pszText = transport;
    cell.cchTextMax = 64;
    SendMessageW(recipients, LVM_GETITEMTEXTW, 0, reinterpret_cast<LPARAM>(&cell));
    EXPECT_STREQ(transport, L"RSA (PKCS #1 v1.5)");
    RedrawWindow(dialog, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);  // this thread paints it
    testing_support::SavePicture(dialog, L"info-page");
    DestroyWindow(dialog);
    EXPECT_EQ(References(init_), references);  // the shown page's reference, given back once
    sheet->Release();
}

struct EntryRun {
    bool ended = false;
    std::vector<std::wstring> boxes;  // the texts of the message boxes, answered with OK
    int files = -1, recipients = -1;  // the rows of the packer window's pages; -1: no window
};

// Shows a page of the other program's packer window and counts the rows of its list.
int PageRows(HWND window, int page) {
    HWND pages = GetDlgItem(window, kPageList);
    SendMessageW(pages, LB_SETCURSEL, page, 0);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(kPageList, LBN_SELCHANGE), reinterpret_cast<LPARAM>(pages));
    HWND list = testing_support::FindDescendant(window, 1044);
    return list ? static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)) : -1;
}

// Runs the entry through rundll32 in the folder and answers what it shows until it ends: message
// boxes with OK, the packer window by closing it.
EntryRun RunEntry(const std::wstring& arguments, const std::wstring& folder) {
    EntryRun run;
    std::wstring line = L"rundll32.exe \"" + std::wstring(kLibrary) + L"\",Start " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup, &process))
        return run;
    for (;;) {
        HWND shown = nullptr;
        WaitUntil([&] {
            run.ended = WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0;
            return run.ended || (shown = DialogOf(process.dwProcessId)) != nullptr;
        });
        if (run.ended || !shown) break;
        wchar_t text[512] = {};
        if (GetDlgItem(shown, kPageList)) {
            run.files = PageRows(shown, 0);
            run.recipients = PageRows(shown, 1);
            PostMessageW(shown, WM_COMMAND, 1040, 0);
        } else {
            GetDlgItemTextW(shown, 0xFFFF, text, 512);
            run.boxes.push_back(text);
            PostMessageW(shown, WM_COMMAND, IDOK, 0);
        }
        WaitUntil([shown] { return !IsWindow(shown) || !IsWindowVisible(shown); });
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}

// rundll32 with the entry: packed files are unpacked in one batch, other files and certificates go
// into the packer window, which opens only when there is something to pack or nothing was named.
TEST_F(ShellObjectTest, TheRundllEntrySortsItsNames) {
    const std::wstring source = TestDataFile(L"reader-alice-aes256.pkcs7");
    const std::wstring a = temp_.File(L"a.pkcs7"), b = temp_.File(L"b c.PKCS7"), x = temp_.File(L"x.txt");
    ASSERT_TRUE(CopyFileW(source.c_str(), a.c_str(), FALSE) && CopyFileW(source.c_str(), b.c_str(), FALSE));
    WriteFileBytes(x, {'x'});
    const std::wstring out = temp_.File(L"out");
    CreateDirectoryW(out.c_str(), nullptr);
    const struct {
        std::wstring arguments;
        std::vector<std::wstring> outputs;  // unpacked, all alike
        size_t boxes;                       // each saying the file was decrypted
        int files, recipients;  // rows of the packer window's pages; -1: no window
    } cases[] = {
        {L"\"" + a + L"\" '" + b + L"' -DW", {out + L"\\a", out + L"\\b c"}, 2, -1, -1},
        {L"\"" + temp_.File(L"missing.txt") + L"\" \"" + a + L"\"", {temp_.File(L"a")}, 1, -1, -1},
        {L"\"" + x + L"\" \"" + a + L"\"", {temp_.File(L"a")}, 1, 1, 0},
        {L"\"" + temp_.File(L"missing.txt") + L"\"", {}, 0, 0, 0},  // nothing to unpack: the window opens
        {L"\"" + TestDataFile(L"bob.cer") + L"\"", {}, 0, 0, 1},
        {L"   ", {}, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const std::string label(c.arguments.begin(), c.arguments.end());
        EntryRun run = RunEntry(c.arguments, out);
        EXPECT_TRUE(run.ended) << label;
        EXPECT_EQ(run.boxes.size(), c.boxes) << label;
        for (const std::wstring& box : run.boxes) EXPECT_EQ(box, L"Файл успешно расшифрован.") << label;
        EXPECT_EQ(run.files, c.files) << label;
        EXPECT_EQ(run.recipients, c.recipients) << label;
        for (const std::wstring& path : c.outputs) {
            ASSERT_TRUE(FileExists(path)) << label;
            EXPECT_EQ(ReadFileBytes(path), ReadFileBytes(c.outputs[0])) << label;
        }
        for (const std::wstring& path : c.outputs) DeleteFileW(path.c_str());
    }
}

}  // namespace
