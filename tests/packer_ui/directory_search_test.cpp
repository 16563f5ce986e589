// The directory search as a user meets it: the real dialogs against the suite's own slapd (see
// helpers/directory-server.sh), run on a thread of their own and driven from the test's thread.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <commctrl.h>
#include <ole2.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <ostream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "packer_ui/directory_search.h"
#include "packer_ui/list_pages.h"
#include "packer_ui/main_window.h"
#include "packer_ui/protected_value.h"
#include "packer_ui/settings.h"
#include "tests/pack/pack_run_test_support.h"
#include "tests/packer_ui/registry_sandbox.h"
#include "tests/support/capturing_sink.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::CapturingSink;
using testing_support::FindDescendant;
using testing_support::FindProcessWindow;
using testing_support::ListViewText;
using testing_support::ReadFileBytes;
using testing_support::SavePicture;
using testing_support::TempDir;
using testing_support::TestDataFile;
using testing_support::WaitForProcessWindow;
using testing_support::WaitUntil;
using testing_support::WriteFileBytes;

constexpr wchar_t kPeople[] = L"ou=people,dc=quillarent,dc=test";
constexpr wchar_t kPrivate[] = L"ou=private,dc=quillarent,dc=test";
constexpr wchar_t kBulk[] = L"ou=bulk,dc=quillarent,dc=test";
constexpr wchar_t kReader[] = L"cn=reader,dc=quillarent,dc=test";
constexpr wchar_t kFailed[] = L"Не удается выполнить поиск в службе каталогов.";

u_short ServerPort() {
    std::vector<uint8_t> text = ReadFileBytes(TestDataFile(L"ldap\\port"));
    return static_cast<u_short>(atoi(std::string(text.begin(), text.end()).c_str()));
}
std::wstring Address(u_short port) { return L"127.0.0.1:" + std::to_wstring(port); }
std::wstring ReaderPassword() {
    std::vector<uint8_t> text = ReadFileBytes(TestDataFile(L"ldap\\password"));
    return testing_support::Widen(std::string(text.begin(), text.end()));
}

struct Query {
    std::wstring container = kPeople;
    std::wstring filter = L"(objectClass=inetOrgPerson)";
    std::wstring display = L"cn (mail)";
    std::wstring certificates = L"userCertificate, userSMIMECertificate";
    bool showAll = false;
    bool sort = false;
    LONG timeLimit = 0;
    std::wstring user, password;
    std::wstring server;  // empty: the suite's server
};

void StoreQuery(const Query& query) {
    DirectorySettings settings;
    settings.server = query.server.empty() ? Address(ServerPort()) : query.server;
    settings.container = query.container;
    settings.filter = query.filter;
    settings.displayAttributes = query.display;
    settings.certificateAttributes = query.certificates;
    settings.sortItems = query.sort;
    settings.searchTimeout = query.timeLimit;
    settings.userName = query.user;
    settings.simpleBind = 1;
    ASSERT_TRUE(ProtectPassword(settings, query.password));
    SaveDirectorySettings(settings);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kDirectoryKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD one = 1;
    if (query.showAll) RegSetValueExW(key, L"ShowAllObjects", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4);
    RegCloseKey(key);
}

struct Row {
    std::wstring object, subject;
    bool certificate = false, dimmed = false;
    bool operator<(const Row& o) const {
        return std::tie(object, subject, certificate, dimmed) < std::tie(o.object, o.subject, o.certificate, o.dimmed);
    }
    bool operator==(const Row& o) const { return !(*this < o) && !(o < *this); }
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << '"' << testing_support::Narrow(row.object) << "\" \"" << testing_support::Narrow(row.subject) << '"'
         << (row.certificate ? " certificate" : "") << (row.dimmed ? " dimmed" : "");
}

bool IsSearchDialog(HWND window) { return GetDlgItem(window, kResultList) != nullptr; }

// What the test reads from an open search dialog and does in it.
class SearchDialog {
public:
    explicit SearchDialog(HWND window = nullptr) : dialog(window) {}
    DirectorySearch* search() const {
        return reinterpret_cast<DirectorySearch*>(GetWindowLongPtrW(dialog, DWLP_USER));
    }
    // Whether the search has ended (no connect is pending and the session is closed); asked on the
    // dialog's own thread by letting it handle a message first.
    bool Idle() const {
        SendMessageW(dialog, WM_NULL, 0, 0);
        return search()->probes.empty() && search()->session == nullptr;
    }
    // Whether the dialog still waits for a server to accept the connection.
    bool Connecting() const {
        SendMessageW(dialog, WM_NULL, 0, 0);
        return !search()->probes.empty() && search()->session == nullptr;
    }
    bool WaitIdle() const { return WaitUntil([this] { return Idle(); }); }
    HWND List() const { return GetDlgItem(dialog, kResultList); }
    std::vector<Row> Rows() const {
        std::vector<Row> rows;
        HWND list = List();
        const int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
        for (int row = 0; row < count; ++row) {
            LVITEMW item = {};
            item.mask = LVIF_PARAM;
            item.iItem = row;
            SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
            rows.push_back({ListViewText(list, row, 0), ListViewText(list, row, 1), item.lParam != 0,
                            SendMessageW(list, LVM_GETITEMSTATE, row, LVIS_CUT) != 0});
        }
        return rows;
    }
    int FindRow(const std::wstring& object) const {
        const std::vector<Row> rows = Rows();
        for (size_t i = 0; i < rows.size(); ++i)
            if (rows[i].object == object && rows[i].certificate) return static_cast<int>(i);
        return -1;
    }
    void Select(int row) const {
        LVITEMW state = {};
        state.stateMask = state.state = LVIS_SELECTED | LVIS_FOCUSED;
        SendMessageW(List(), LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&state));
    }

    HWND dialog = nullptr;
};

// The search dialog on its own thread, as the packer window's command runs it; the thread's result
// is the chosen certificate.
class OpenSearch : public SearchDialog {
public:
    OpenSearch() {
        thread_ = std::thread([this] {
            chosen_.reset(SearchDirectory(nullptr));
            finished = true;
        });
        WaitUntil([this] { return (dialog = FindProcessWindow(L"#32770", IsSearchDialog)) != nullptr || finished; });
    }
    ~OpenSearch() {
        if (!finished && dialog) PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        thread_.join();
    }
    bool Close(WORD button) {
        PostMessageW(dialog, WM_COMMAND, button, 0);
        return WaitUntil([this] { return finished.load(); });
    }
    PCCERT_CONTEXT chosen() const { return chosen_.get(); }

    std::atomic<bool> finished{false};

private:
    CertHandle chosen_;
    std::thread thread_;
};

class DirectorySearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox_.emplace();
        ASSERT_TRUE(sandbox_->active());
        ASSERT_NE(ServerPort(), 0) << "the suite's directory server is not running";
    }
    std::optional<RegistrySandbox> sandbox_;  // the test's own profile
    CapturingSink sink_;
};

// What each search lists: a row per certificate value (the two of Bob's entry, Dave's too), an
// undecodable value as a row without a certificate, entries without certificates only when all
// objects are shown; a Cyrillic entry found by its mail; entries readable only after a bind; and
// every failure reported.
TEST_F(DirectorySearchTest, EachSearchListsTheCertificatesItShould) {
    const Row alice = {L"Alice Recipient (alice@quillarent.test, a.recipient@quillarent.test)", L"Alice Recipient, Quillarent Tests", true,
                       false};
    const Row bob = {L"Bob Recipient (bob@quillarent.test)", L"Bob Recipient, Quillarent Tests", true, false};
    const Row dave = {L"Bob Recipient (bob@quillarent.test)", L"Dave Signer, Quillarent Tests", true, false};
    const Row petr = {L"Пётр Ёжиков (petr@quillarent.test)", L"Пётр Ёжиков, Квиларент", true, false};
    const Row damaged = {L"Damaged Value (damaged@quillarent.test)", L"", false, false};
    const Row damagedDimmed = {L"Damaged Value (damaged@quillarent.test)", L"", false, true};
    const Row nobody = {L"Nobody Certified (nobody@quillarent.test)", L"", false, true};
    const Row carol = {L"Carol Signer", L"Carol Signer, Quillarent Tests", true, false};
    Query all;
    Query shown = all;
    shown.showAll = true;
    Query byMail = all;
    byMail.filter = L"(mail=petr@quillarent.test)";
    Query byName = all;
    byName.filter = L"(cn=Alice*)";
    Query privateAnonymous = all;
    privateAnonymous.container = kPrivate;
    privateAnonymous.display = L"cn";
    Query privateBound = privateAnonymous;
    privateBound.user = kReader;
    privateBound.password = ReaderPassword();
    Query wrongPassword = privateBound;
    wrongPassword.password = L"not-the-password";
    Query unreachable = all;
    unreachable.server = L"127.0.0.1:1";
    Query badFilter = all;
    badFilter.filter = L"(cn=";
    struct Case {
        const char* name;
        Query query;
        std::vector<Row> rows;
        bool fails;
    };
    const Case cases[] = {
        {"all people", all, {alice, bob, dave, petr, damaged}, false},
        {"all objects shown", shown, {alice, bob, dave, petr, damaged, damagedDimmed, nobody}, false},
        {"by mail", byMail, {petr}, false},
        {"by name", byName, {alice}, false},
        {"private without a bind (the container is not visible)", privateAnonymous, {}, true},
        {"private after a simple bind", privateBound, {carol}, false},
        {"wrong password", wrongPassword, {}, true},
        {"unreachable server", unreachable, {}, true},
        {"bad filter", badFilter, {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RegDeleteTreeW(HKEY_CURRENT_USER, kDirectoryKey);
        StoreQuery(c.query);
        sink_.texts.clear();
        std::vector<Row> rows;
        {
            OpenSearch open;
            ASSERT_TRUE(open.dialog);
            ASSERT_TRUE(open.WaitIdle());
            rows = open.Rows();
            ASSERT_TRUE(open.Close(IDCANCEL));
        }
        std::vector<Row> expected = c.rows;
        std::sort(rows.begin(), rows.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(rows, expected);
        ASSERT_EQ(sink_.texts.size(), c.fails ? 1u : 0u);
        if (c.fails) {
            EXPECT_EQ(sink_.texts[0].find(kFailed), 0u) << testing_support::Narrow(sink_.texts[0]);
        }
    }
}

// The LDAP client calls of the code under test, in order: this program imports them, so its import
// table is pointed at recorders that note each call and pass it on. Messages are noted with the
// session ldap_result took them from.
class LdapCallLog {
public:
    struct Event {
        enum Kind { kResult, kFree, kUnbind } kind;
        const void* session;
        const void* message;
    };
    LdapCallLog() {
        log_ = this;
        HMODULE client = GetModuleHandleW(L"wldap32.dll");
        realResult_ = Redirect(client, "ldap_result", reinterpret_cast<void*>(&Result));
        realFree_ = Redirect(client, "ldap_msgfree", reinterpret_cast<void*>(&Free));
        realUnbind_ = Redirect(client, "ldap_unbind", reinterpret_cast<void*>(&Unbind));
    }
    ~LdapCallLog() {
        Restore(reinterpret_cast<void*>(&Result), realResult_);
        Restore(reinterpret_cast<void*>(&Free), realFree_);
        Restore(reinterpret_cast<void*>(&Unbind), realUnbind_);
        log_ = nullptr;
    }
    LdapCallLog(const LdapCallLog&) = delete;
    LdapCallLog& operator=(const LdapCallLog&) = delete;
    bool installed() const { return realResult_ && realFree_ && realUnbind_; }

    // Messages freed only after the session they came from was unbound, or never freed.
    int MessagesOutlivingTheirSession() {
        std::lock_guard<std::mutex> lock(mutex_);
        int late = 0;
        for (size_t i = 0; i < events_.size(); ++i) {
            if (events_[i].kind != Event::kResult || !events_[i].message) continue;
            bool unbound = false, freed = false;
            for (size_t j = i + 1; j < events_.size() && !freed; ++j) {
                if (events_[j].kind == Event::kUnbind && events_[j].session == events_[i].session) unbound = true;
                if (events_[j].kind == Event::kFree && events_[j].message == events_[i].message) freed = !unbound;
            }
            if (!freed) ++late;
        }
        return late;
    }

private:
    using ResultFunction = ULONG(__cdecl*)(LDAP*, ULONG, ULONG, l_timeval*, LDAPMessage**);
    using FreeFunction = ULONG(__cdecl*)(LDAPMessage*);
    using UnbindFunction = ULONG(__cdecl*)(LDAP*);

    static ULONG __cdecl Result(LDAP* session, ULONG id, ULONG all, l_timeval* timeout, LDAPMessage** message) {
        const ULONG kind = reinterpret_cast<ResultFunction>(log_->realResult_)(session, id, all, timeout, message);
        if (kind != 0 && kind != static_cast<ULONG>(-1) && message) log_->Note({Event::kResult, session, *message});
        return kind;
    }
    static ULONG __cdecl Free(LDAPMessage* message) {
        log_->Note({Event::kFree, nullptr, message});
        return reinterpret_cast<FreeFunction>(log_->realFree_)(message);
    }
    static ULONG __cdecl Unbind(LDAP* session) {
        log_->Note({Event::kUnbind, session, nullptr});
        return reinterpret_cast<UnbindFunction>(log_->realUnbind_)(session);
    }
    void Note(const Event& event) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
    }

    // The import table entry of this program that holds `from`, or null.
    static ULONG_PTR* ImportSlot(const void* from) {
        auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); module->Name;
             ++module) {
            for (auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk); slot->u1.Function; ++slot)
                if (reinterpret_cast<const void*>(slot->u1.Function) == from) return &slot->u1.Function;
        }
        return nullptr;
    }
    static void Patch(ULONG_PTR* slot, const void* to) {
        DWORD protection = 0;
        VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
        *slot = reinterpret_cast<ULONG_PTR>(to);
        VirtualProtect(slot, sizeof *slot, protection, &protection);
    }
    static void* Redirect(HMODULE client, const char* name, void* recorder) {
        void* real = client ? reinterpret_cast<void*>(GetProcAddress(client, name)) : nullptr;
        ULONG_PTR* slot = real ? ImportSlot(real) : nullptr;
        if (!slot) return nullptr;
        Patch(slot, recorder);
        return real;
    }
    static void Restore(void* recorder, void* real) {
        if (ULONG_PTR* slot = real ? ImportSlot(recorder) : nullptr) Patch(slot, real);
    }

    static LdapCallLog* log_;
    std::mutex mutex_;
    std::vector<Event> events_;
    void* realResult_ = nullptr;
    void* realFree_ = nullptr;
    void* realUnbind_ = nullptr;
};

LdapCallLog* LdapCallLog::log_ = nullptr;

// Every message the search reads is freed while its session is still bound: after a search that
// ends well or fails, a bind that succeeds or is refused.
TEST_F(DirectorySearchTest, MessagesAreFreedBeforeTheirSessionIsUnbound) {
    Query all;
    Query bound = all;
    bound.container = kPrivate;
    bound.display = L"cn";
    bound.user = kReader;
    bound.password = ReaderPassword();
    Query wrongPassword = bound;
    wrongPassword.password = L"not-the-password";
    Query badFilter = all;
    badFilter.filter = L"(cn=";
    const std::pair<const char*, Query> cases[] = {
        {"a search", all}, {"a bind and a search", bound}, {"a refused bind", wrongPassword}, {"a failed search", badFilter}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        RegDeleteTreeW(HKEY_CURRENT_USER, kDirectoryKey);
        StoreQuery(c.second);
        LdapCallLog log;
        ASSERT_TRUE(log.installed());
        {
            OpenSearch open;
            ASSERT_TRUE(open.dialog);
            ASSERT_TRUE(open.WaitIdle());
            ASSERT_TRUE(open.Close(IDCANCEL));
        }
        EXPECT_EQ(log.MessagesOutlivingTheirSession(), 0);
    }
}

// The result list shares its image lists (LVS_SHAREIMAGELISTS) and so never destroys them: the
// search owns its icons and must. Once the dialog is gone, the test's own reference is their last.
TEST_F(DirectorySearchTest, TheResultIconsGoWithTheDialog) {
    auto queryInterface = reinterpret_cast<HRESULT(WINAPI*)(HIMAGELIST, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"comctl32.dll"), "HIMAGELIST_QueryInterface")));
    ASSERT_TRUE(queryInterface);
    StoreQuery(Query());
    IUnknown* icons = nullptr;
    {
        OpenSearch open;
        ASSERT_TRUE(open.dialog);
        ASSERT_TRUE(open.WaitIdle());
        auto list = reinterpret_cast<HIMAGELIST>(SendMessageW(open.List(), LVM_GETIMAGELIST, LVSIL_SMALL, 0));
        ASSERT_TRUE(list);
        ASSERT_EQ(queryInterface(list, IID_IUnknown, reinterpret_cast<void**>(&icons)), S_OK);
        ASSERT_TRUE(open.Close(IDCANCEL));
    }
    EXPECT_EQ(icons->Release(), 0u);
}

// The server sorts only by attributes with an ordering rule. It refuses "cn": the search runs again
// without the control and the rows are sorted here. By "dnQualifier" it sorts, and its order is
// kept. Unsorted, the rows come in the server's order.
TEST_F(DirectorySearchTest, SortedRowsComeInOrderEvenWhenTheServerRefusesToSort) {
    struct Case {
        const char* name;
        const wchar_t* display;
        bool sort;
        std::vector<std::wstring> head;
        std::wstring last;
        bool sortRefused, serverSorted;
    };
    const Case cases[] = {
        {"unsorted", L"cn", false, {L"Bulk 1", L"Bulk 2", L"Bulk 3"}, L"Bulk 200", false, false},
        {"refused, sorted here", L"cn", true, {L"Bulk 1", L"Bulk 10", L"Bulk 100"}, L"Bulk 99", true, false},
        {"sorted by the server",
         L"dnQualifier (cn)",
         true,
         {L"k001 (Bulk 200)", L"k002 (Bulk 199)", L"k003 (Bulk 198)"},
         L"k200 (Bulk 1)",
         false,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Query bulk;
        bulk.container = kBulk;
        bulk.display = c.display;
        bulk.sort = c.sort;
        StoreQuery(bulk);
        sink_.texts.clear();
        OpenSearch open;
        ASSERT_TRUE(open.dialog);
        ASSERT_TRUE(open.WaitIdle());
        const std::vector<Row> rows = open.Rows();
        ASSERT_EQ(rows.size(), 200u);
        for (size_t i = 0; i < c.head.size(); ++i) EXPECT_EQ(rows[i].object, c.head[i]) << i;
        EXPECT_EQ(rows.back().object, c.last);
        EXPECT_EQ(open.search()->sortRefused, c.sortRefused);
        EXPECT_EQ(open.search()->serverSorted, c.serverSorted);
        EXPECT_TRUE(sink_.texts.empty());
        if (c.serverSorted) SavePicture(open.dialog, L"directory-search-sorted");
        ASSERT_TRUE(open.Close(IDCANCEL));
    }
}

// A TCP listener on a free loopback port (Winsock started for the caller).
SOCKET LoopbackListener(int backlog, u_short& port) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, backlog);
    int size = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    return listener;
}

// A relay between the client and the suite's server that holds the server's answers until it is
// told to let them through, and notes which operations the client sent.
class HoldingRelay {
public:
    explicit HoldingRelay(u_short serverPort) : serverPort_(serverPort) {
        listener_ = LoopbackListener(1, port_);
        thread_ = std::thread([this] { Run(); });
    }
    ~HoldingRelay() {
        stop_ = true;
        thread_.join();
        closesocket(listener_);
        WSACleanup();
    }
    u_short port() const { return port_; }
    void Release() { holding_ = false; }
    // Whether the client sent an operation with this protocol tag (0x63 search, 0x50 abandon).
    bool Saw(uint8_t tag) {
        std::lock_guard<std::mutex> lock(mutex_);
        return tags_.count(tag) != 0;
    }

private:
    void Run() {
        SOCKET client = INVALID_SOCKET, server = INVALID_SOCKET;
        std::string held, fromClient;
        char buffer[65536];
        while (!stop_) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(client == INVALID_SOCKET ? listener_ : client, &readable);
            if (server != INVALID_SOCKET) FD_SET(server, &readable);
            timeval tick = {0, 20000};  // the relay looks at its stop and hold flags between waits
            if (select(0, &readable, nullptr, nullptr, &tick) < 0) break;
            if (client == INVALID_SOCKET) {
                if (!FD_ISSET(listener_, &readable)) continue;
                client = accept(listener_, nullptr, nullptr);
                server = Connect();
                continue;
            }
            if (FD_ISSET(client, &readable)) {
                const int got = recv(client, buffer, sizeof buffer, 0);
                if (got <= 0 && fromClient.empty()) {
                    // The dialog's connect that only finds out whether the server answers; the
                    // session's own connection follows.
                    closesocket(client);
                    closesocket(server);
                    client = server = INVALID_SOCKET;
                    continue;
                }
                if (got <= 0) break;
                fromClient.append(buffer, got);
                NoteOperations(fromClient);
                send(server, buffer, got, 0);
            }
            if (server != INVALID_SOCKET && FD_ISSET(server, &readable)) {
                const int got = recv(server, buffer, sizeof buffer, 0);
                if (got <= 0) break;
                held.append(buffer, got);
            }
            if (!holding_ && !held.empty()) {
                send(client, held.data(), static_cast<int>(held.size()), 0);
                held.clear();
            }
        }
        if (client != INVALID_SOCKET) closesocket(client);
        if (server != INVALID_SOCKET) closesocket(server);
    }
    SOCKET Connect() const {
        SOCKET server = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(serverPort_);
        connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address);
        return server;
    }
    // Each whole LDAPMessage (SEQUENCE { messageID INTEGER, protocolOp ... }) gives its op's tag.
    void NoteOperations(std::string& bytes) {
        for (;;) {
            if (bytes.size() < 2) return;
            size_t header = 2, length = static_cast<uint8_t>(bytes[1]);
            if (length & 0x80) {
                const size_t n = length & 0x7F;
                if (bytes.size() < 2 + n) return;
                length = 0;
                for (size_t i = 0; i < n; ++i) length = length << 8 | static_cast<uint8_t>(bytes[2 + i]);
                header += n;
            }
            if (bytes.size() < header + length) return;
            const size_t idLength = static_cast<uint8_t>(bytes[header + 1]);
            const size_t op = header + 2 + idLength;
            if (op < header + length) {
                std::lock_guard<std::mutex> lock(mutex_);
                tags_.insert(static_cast<uint8_t>(bytes[op]));
            }
            bytes.erase(0, header + length);
        }
    }

    u_short serverPort_;
    u_short port_ = 0;
    SOCKET listener_ = INVALID_SOCKET;
    std::atomic<bool> stop_{false}, holding_{true};
    std::mutex mutex_;
    std::set<uint8_t> tags_;
    std::thread thread_;
};

// While the server has not answered the bind or the search, the dialog keeps handling its
// messages; a late answer still fills the list, and Cancel meanwhile abandons what is pending.
TEST_F(DirectorySearchTest, ASlowServerKeepsTheDialogAnsweringAndCancelAbandonsTheSearch) {
    struct Case {
        const char* name;
        bool bind, cancel;
    };
    const Case cases[] = {{"search answered late", false, false},
                          {"search cancelled", false, true},
                          {"bind answered late", true, false},
                          {"bind cancelled", true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HoldingRelay relay(ServerPort());
        Query query;
        query.server = Address(relay.port());
        query.filter = L"(cn=Alice*)";
        if (c.bind) {
            query.user = kReader;
            query.password = ReaderPassword();
        }
        StoreQuery(query);
        OpenSearch open;
        ASSERT_TRUE(open.dialog);
        const uint8_t waitingFor = c.bind ? 0x60 : 0x63;  // BindRequest, SearchRequest
        ASSERT_TRUE(WaitUntil([&relay, waitingFor] { return relay.Saw(waitingFor); }));
        DWORD_PTR answer = 0;
        EXPECT_TRUE(SendMessageTimeoutW(open.dialog, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer));
        EXPECT_FALSE(open.Idle());
        EXPECT_TRUE(open.Rows().empty());
        if (c.cancel) {
            ASSERT_TRUE(open.Close(IDCANCEL));
            EXPECT_TRUE(WaitUntil([&relay] { return relay.Saw(0x50); }));  // AbandonRequest
            EXPECT_EQ(open.chosen(), nullptr);
        } else {
            relay.Release();
            ASSERT_TRUE(open.WaitIdle());
            EXPECT_EQ(open.Rows().size(), 1u);
            EXPECT_FALSE(relay.Saw(0x50));
            ASSERT_TRUE(open.Close(IDCANCEL));
        }
        EXPECT_TRUE(sink_.texts.empty());
    }
}

// A listener on loopback that never accepts, with its queue of one connection filled by the test's
// own: the system drops further connection requests, so a connect to it stays pending as one to a
// server that never answers.
class BlackHole {
public:
    BlackHole() {
        listener_ = LoopbackListener(0, port_);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port_);
        filler_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        u_long nonBlocking = 1;
        ioctlsocket(filler_, FIONBIO, &nonBlocking);
        connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~BlackHole() {
        closesocket(filler_);
        closesocket(listener_);
        WSACleanup();
    }
    u_short port() const { return port_; }
    // Whether the test's own connection is in the queue.
    bool Filled() const {
        fd_set connected;
        FD_ZERO(&connected);
        FD_SET(filler_, &connected);
        timeval zero = {0, 0};
        return select(0, nullptr, &connected, nullptr, &zero) == 1;
    }

private:
    SOCKET listener_ = INVALID_SOCKET, filler_ = INVALID_SOCKET;
    u_short port_ = 0;
};

// A server that never accepts the connection: the dialog keeps answering while it waits, a restart
// connects again, Cancel closes the dialog at once, and the search time limit ends the wait with
// the failure.
TEST_F(DirectorySearchTest, AServerThatNeverAcceptsTheConnectionDoesNotHoldTheDialog) {
    struct Case {
        const char* name;
        LONG timeLimit;
        bool cancel;
    };
    const Case cases[] = {{"cancelled while connecting", 600, true}, {"time limit reached", 1, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BlackHole hole;
        ASSERT_TRUE(WaitUntil([&hole] { return hole.Filled(); }));
        Query query;
        query.server = L"127.0.0.1:" + std::to_wstring(hole.port());
        query.timeLimit = c.timeLimit;
        StoreQuery(query);
        sink_.texts.clear();
        OpenSearch open;
        ASSERT_TRUE(open.dialog);
        if (c.cancel) {
            DWORD_PTR answer = 0;
            EXPECT_TRUE(SendMessageTimeoutW(open.dialog, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer));
            EXPECT_TRUE(open.Connecting());
            SavePicture(open.dialog, L"directory-search-connecting");
            PostMessageW(open.dialog, WM_COMMAND, kShowAllObjectsCheck, 0);  // the search starts again
            EXPECT_TRUE(open.Connecting());
            ASSERT_TRUE(open.Close(IDCANCEL));  // long before the ten minutes of the time limit
            EXPECT_EQ(open.chosen(), nullptr);
            EXPECT_TRUE(sink_.texts.empty());
            continue;
        }
        ASSERT_TRUE(open.WaitIdle());
        EXPECT_TRUE(open.Rows().empty());
        EXPECT_EQ(open.search()->lastError, static_cast<ULONG>(LDAP_TIMEOUT));
        ASSERT_EQ(sink_.texts.size(), 1u);
        EXPECT_EQ(sink_.texts[0].find(kFailed), 0u) << testing_support::Narrow(sink_.texts[0]);
        ASSERT_TRUE(open.Close(IDCANCEL));
    }
}

std::vector<BYTE> StoredPassword() {
    std::vector<BYTE> blob(512);
    DWORD size = static_cast<DWORD>(blob.size());
    if (RegGetValueW(HKEY_CURRENT_USER, kDirectoryKey, L"AuthentificationPassword", RRF_RT_REG_BINARY, nullptr,
                     blob.data(), &size) != ERROR_SUCCESS)
        return {};
    blob.resize(size);
    return blob;
}

// The settings dialog shows the stored settings with the password decrypted, saves what was typed
// with the password protected, and an emptied box deletes it; the search then runs again.
TEST_F(DirectorySearchTest, TheSettingsDialogKeepsThePasswordProtected) {
    Query query;
    query.user = kReader;
    query.password = L"Пароль-1";
    StoreQuery(query);
    OpenSearch open;
    ASSERT_TRUE(open.dialog);
    ASSERT_TRUE(open.WaitIdle());  // the wrong password is reported
    ASSERT_TRUE(open.FindRow(L"Alice Recipient (alice@quillarent.test, a.recipient@quillarent.test)") < 0);
    struct Step {
        const wchar_t* shownPassword;
        const wchar_t* typedUser;
        const wchar_t* typedPassword;
        size_t rows;
    };
    // The reader's real password, then no name and no password (an anonymous search).
    const std::wstring reader = ReaderPassword();
    const Step steps[] = {{L"Пароль-1", kReader, reader.c_str(), 5}, {reader.c_str(), L"", L"", 5}};
    for (const Step& step : steps) {
        PostMessageW(open.dialog, WM_COMMAND, kSettingsButton, 0);
        HWND settings = WaitForProcessWindow(L"#32770", [](HWND w) { return GetDlgItem(w, kPasswordEdit) != nullptr; });
        ASSERT_TRUE(settings);
        wchar_t text[256] = {};
        GetDlgItemTextW(settings, kPasswordEdit, text, 256);
        EXPECT_STREQ(text, step.shownPassword);
        GetDlgItemTextW(settings, kServerEdit, text, 256);
        EXPECT_EQ(text, Address(ServerPort()));
        if (step.typedPassword[0]) SavePicture(settings, L"directory-settings");
        SetDlgItemTextW(settings, kUserNameEdit, step.typedUser);
        SetDlgItemTextW(settings, kPasswordEdit, step.typedPassword);
        SetDlgItemTextW(settings, kDisplayAttributesEdit, L"cn");
        SetDlgItemTextW(settings, kTimeLimitEdit, L"30");
        SetDlgItemTextW(settings, kMaxItemsEdit, L"0");
        PostMessageW(settings, WM_COMMAND, IDOK, 0);
        ASSERT_TRUE(WaitUntil([settings] { return !IsWindow(settings); }));
        ASSERT_TRUE(open.WaitIdle());
        EXPECT_EQ(open.Rows().size(), step.rows);

        const std::vector<BYTE> stored = StoredPassword();
        DirectorySettings saved;
        LoadDirectorySettings(saved);
        EXPECT_EQ(saved.displayAttributes, L"cn");
        EXPECT_EQ(saved.searchTimeout, 30);
        DWORD size = sizeof(DWORD), value = 0;
        EXPECT_NE(RegGetValueW(HKEY_CURRENT_USER, kDirectoryKey, L"MaxItemsCount", RRF_RT_ANY, nullptr, &value, &size),
                  ERROR_SUCCESS);
        if (!step.typedPassword[0]) {
            EXPECT_TRUE(stored.empty());
            continue;
        }
        const size_t plainBytes = (wcslen(step.typedPassword) + 1) * sizeof(wchar_t);
        ASSERT_EQ(stored.size(), plainBytes / 8 * 8 + 8);
        const BYTE* plain = reinterpret_cast<const BYTE*>(step.typedPassword);
        EXPECT_EQ(std::search(stored.begin(), stored.end(), plain, plain + 4), stored.end());
        std::wstring revealed;
        ASSERT_TRUE(RevealPassword(saved, revealed));
        EXPECT_EQ(revealed, step.typedPassword);
    }
    ASSERT_TRUE(open.Close(IDCANCEL));
    ASSERT_EQ(sink_.texts.size(), 1u);  // the first, wrong password
}

// A stored password that no longer decrypts is not sent as an empty one (which a server takes for
// an anonymous bind): the bind fails and says so.
TEST_F(DirectorySearchTest, APasswordThatNoLongerDecryptsIsNotSentEmpty) {
    Query query;
    query.container = kPrivate;
    query.user = kReader;
    query.password = ReaderPassword();
    StoreQuery(query);
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"PasswordsKey");
    OpenSearch open;
    ASSERT_TRUE(open.dialog);
    ASSERT_TRUE(open.WaitIdle());
    EXPECT_TRUE(open.Rows().empty());
    EXPECT_EQ(open.search()->lastError, static_cast<ULONG>(LDAP_INVALID_CREDENTIALS));
    ASSERT_TRUE(open.Close(IDCANCEL));
    ASSERT_EQ(sink_.texts.size(), 1u);
    EXPECT_EQ(sink_.texts[0].find(kFailed), 0u);
}

// From the packer window: command 40031 finds the recipient, OK on a row without a certificate
// says so, Enter in the list shows a certificate, the chosen certificate joins the encryption page, and the file packed for it opens with
// the recipient's key.
TEST_F(DirectorySearchTest, ARecipientFoundInTheDirectoryIsPackedFor) {
    TempDir temp;
    const std::wstring source = temp.File(L"report.txt");
    WriteFileBytes(source, pack_run_test::TextBytes("for the recipient found in the directory"));
    {
        Query query;
        query.showAll = true;
        StoreQuery(query);
        pack_run_test::TestWindow window;
        ASSERT_GE(window.AddFile(source), 0);
        std::atomic<INT_PTR> closedWith{0};
        std::thread packer([&] {
            OleInitialize(nullptr);
            closedWith = OpenPackerWindow(window.get(), nullptr);
            OleUninitialize();
        });
        HWND main = WaitForProcessWindow(L"#32770", [](HWND w) { return GetDlgItem(w, 1037) != nullptr; });
        if (main) PostMessageW(main, WM_COMMAND, 40031, 0);
        SearchDialog search(main ? WaitForProcessWindow(L"#32770", IsSearchDialog) : nullptr);
        const bool opened = search.dialog && search.WaitIdle();
        EXPECT_TRUE(opened);
        if (opened) {
            SavePicture(search.dialog, L"directory-search");
            const std::vector<Row> rows = search.Rows();
            const auto dimmed = std::find_if(rows.begin(), rows.end(), [](const Row& r) { return r.dimmed; });
            EXPECT_NE(dimmed, rows.end());
            search.Select(static_cast<int>(dimmed - rows.begin()));
            SendMessageW(search.dialog, WM_COMMAND, IDOK, 0);
            EXPECT_TRUE(IsWindow(search.dialog)) << "OK on a row without a certificate keeps the dialog";
            EXPECT_EQ(sink_.texts, std::vector<std::wstring>{L"Не выбрано ни одного сертификата.\r\nВыберите, "
                                                             L"пожалуйста, необходимые сертификаты."});
            search.Select(search.FindRow(L"Alice Recipient (alice@quillarent.test, a.recipient@quillarent.test)"));
            // Enter in the list shows the certificate over the dialog, which stays; its OK button chooses.
            HWND list = search.List();
            PostMessageW(search.dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(list), TRUE);
            PostMessageW(list, WM_KEYDOWN, VK_RETURN, 1);
            PostMessageW(list, WM_KEYUP, VK_RETURN, 0xC0000001);
            HWND viewer = nullptr;
            // Wine's viewer has no owner; the property sheet's tab control tells it from the others.
            EXPECT_TRUE(WaitUntil([&viewer] {
                viewer = FindProcessWindow(L"#32770",
                                           [](HWND window) { return GetDlgItem(window, 0x3020) != nullptr; });
                return viewer != nullptr;
            }));
            if (viewer) PostMessageW(viewer, WM_COMMAND, IDOK, 0);
            EXPECT_TRUE(WaitUntil([viewer] { return !IsWindow(viewer); }));
            EXPECT_TRUE(WaitUntil([&search, list] {
                GUITHREADINFO thread = {};
                thread.cbSize = sizeof thread;
                return GetGUIThreadInfo(GetWindowThreadProcessId(search.dialog, nullptr), &thread) &&
                       thread.hwndFocus == list;
            }));
            EXPECT_TRUE(IsWindow(search.dialog));
            PostMessageW(GetDlgItem(search.dialog, IDOK), BM_CLICK, 0, 0);
            EXPECT_TRUE(WaitUntil([&search] { return !IsWindow(search.dialog); }));
            SendMessageW(main, WM_NULL, 0, 0);
            CVCertificateDlg* page = window.get()->encryptionPage;
            HWND pageList = page->ListView();
            EXPECT_EQ(pageList ? SendMessageW(pageList, LVM_GETITEMCOUNT, 0, 0) : page->count, 1);
        }
        if (main) PostMessageW(main, WM_COMMAND, opened ? 1036 : IDCANCEL, 0);
        packer.join();
        ASSERT_TRUE(opened);
        EXPECT_EQ(closedWith.load(), 1036);
    }
    // The recipient's key lives in the prefix's own profile, outside the test's.
    sandbox_.reset();
    std::vector<uint8_t> content;
    ASSERT_TRUE(pack_run_test::DecryptContent(temp.File(L"report.txt.pkcs7"), content));
    EXPECT_EQ(std::string(content.begin(), content.end()), "for the recipient found in the directory");
}

}  // namespace
