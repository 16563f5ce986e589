// The directory search dialog (template 202): one asynchronous LDAP search at a time, polled on the
// dialog's thread with a zero timeout so that the dialog stays responsive.
// Winsock 2 comes before the header's windows.h, which would bring in the old Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "packer_ui/directory_search.h"

#include <commctrl.h>
#include <cryptuiapi.h>
#include <winber.h>

#include <algorithm>
#include <cwchar>
#include <string>

#include "format/der.h"
#include "format/service/crypto_handles.h"
#include "format/service/help.h"
#include "format/service/resources.h"
#include "pack/messages.h"
#include "packer_ui/list_pages.h"
#include "packer_ui/protected_value.h"
#include "packer_ui/settings.h"

namespace {

constexpr UINT kObjectColumnText = 511;
constexpr UINT kCertificateColumns = 542;
constexpr UINT kNoCertificateChosen = 529;
constexpr UINT kDirectoryFailed = 556;
constexpr int kColumnWidth = 80;
constexpr int kCertificateIcon = 412;
constexpr wchar_t kShowAllValue[] = L"ShowAllObjects";
constexpr ULONG kNoMessage = static_cast<ULONG>(-1);
// While the server has nothing to hand over, the next poll waits for a timer instead of spinning.
constexpr UINT_PTR kPollTimer = 1;
constexpr UINT kPollIntervalMs = 20;
// How long the servers may take to accept a connection when no search time limit is set.
constexpr ULONGLONG kDefaultConnectLimitMs = 15000;

HWND ResultList(const DirectorySearch& search) { return GetDlgItem(search.dialog, kResultList); }

PCCERT_CONTEXT RowCertificate(HWND list, int row) {
    LVITEMW item = {};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    if (row < 0 || !SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item))) return nullptr;
    return reinterpret_cast<PCCERT_CONTEXT>(item.lParam);
}

// Releases the certificates of all rows but the chosen one and deletes the rows.
void ClearRows(DirectorySearch& search) {
    HWND list = ResultList(search);
    if (!list) return;
    const int rows = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int row = 0; row < rows; ++row) {
        PCCERT_CONTEXT certificate = RowCertificate(list, row);
        if (certificate && certificate != search.result) CertFreeCertificateContext(certificate);
    }
    SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
}

void CloseProbes(DirectorySearch& search) {
    for (SOCKET probe : search.probes) closesocket(probe);
    search.probes.clear();
}

// Ends whatever is under way: the connects, the pending operation and the session.
void CloseSession(DirectorySearch& search) {
    CloseProbes(search);
    if (search.session) {
        if (search.messageId != kNoMessage) ldap_abandon(search.session, search.messageId);
        ldap_unbind(search.session);
    }
    search.session = nullptr;
    search.messageId = kNoMessage;
    search.binding = false;
    if (search.dialog) KillTimer(search.dialog, kPollTimer);
}

// A failed step: the session goes and the user is told why.
void Fail(DirectorySearch& search, ULONG code) {
    CloseSession(search);
    search.lastError = code ? code : static_cast<ULONG>(LDAP_OTHER);
    ShowMessageBox(search.dialog, kDirectoryFailed, MB_OK | MB_ICONERROR, nullptr, LdapMapErrorToWin32(search.lastError));
}

wchar_t* OrNull(std::wstring& text) { return text.empty() ? nullptr : &text[0]; }

ULONG NegotiatedBind(DirectorySearch& search, std::wstring* password) {
    if (!password) return ldap_bind_sW(search.session, nullptr, nullptr, LDAP_AUTH_NEGOTIATE);
    DirectorySettings& settings = search.settings;
    SEC_WINNT_AUTH_IDENTITY_W identity = {};
    identity.User = reinterpret_cast<unsigned short*>(OrNull(settings.userName));
    identity.UserLength = static_cast<ULONG>(settings.userName.size());
    identity.Domain = reinterpret_cast<unsigned short*>(OrNull(settings.domain));
    identity.DomainLength = static_cast<ULONG>(settings.domain.size());
    identity.Password = reinterpret_cast<unsigned short*>(OrNull(*password));
    identity.PasswordLength = static_cast<ULONG>(password->size());
    identity.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE;
    return ldap_bind_sW(search.session, nullptr, reinterpret_cast<PWCHAR>(&identity), LDAP_AUTH_NEGOTIATE);
}

// A simple bind is sent without waiting for its answer, which the polling reads like a search's:
// a server that accepts the connection and then keeps silent must not stop the dialog.
ULONG SendSimpleBind(DirectorySearch& search, wchar_t* name, wchar_t* password) {
    const ULONG id = ldap_simple_bindW(search.session, name, password);
    if (id == kNoMessage) return LdapGetLastError();
    search.messageId = id;
    search.binding = true;
    return LDAP_SUCCESS;
}

// 0 when the session is bound, connected (without a name and a domain) or its simple bind is sent.
ULONG BindDirectory(DirectorySearch& search) {
    if (!search.session) return LDAP_PARAM_ERROR;
    DirectorySettings& settings = search.settings;
    if (settings.userName.empty()) {
        if (settings.domain.empty()) return ldap_connect(search.session, nullptr);
        if (settings.simpleBind) return SendSimpleBind(search, nullptr, nullptr);
        return NegotiatedBind(search, nullptr);
    }
    // A stored password that no longer decrypts is not replaced by an empty one: a simple bind with
    // a name and no password is an anonymous bind that servers report as a success.
    std::wstring password;
    if (!RevealPassword(settings, password)) return LDAP_INVALID_CREDENTIALS;
    const ULONG result = settings.simpleBind ? SendSimpleBind(search, &settings.userName[0], OrNull(password))
                                             : NegotiatedBind(search, &password);
    if (!password.empty()) SecureZeroMemory(&password[0], password.size() * sizeof(wchar_t));
    return result;
}

bool OpenSession(DirectorySearch& search) {
    search.session = ldap_initW(OrNull(search.settings.server), LDAP_PORT);
    if (!search.session) {
        Fail(search, LdapGetLastError());
        return false;
    }
    ULONG version = LDAP_VERSION3;
    ULONG result = ldap_set_option(search.session, LDAP_OPT_PROTOCOL_VERSION, &version);
    if (result == LDAP_SUCCESS) result = BindDirectory(search);
    if (result != LDAP_SUCCESS) {
        Fail(search, result);
        return false;
    }
    return true;
}

// Ascending by the table's first name, without a matching rule; null when it cannot be made.
PLDAPControlW CreateSortControl(DirectorySearch& search) {
    if (!search.settings.sortItems || search.sortRefused || !search.attributes[0]) return nullptr;
    LDAPSortKeyW key = {};
    key.sk_attrtype = search.attributes[0];
    PLDAPSortKeyW keys[] = {&key, nullptr};
    PLDAPControlW control = nullptr;
    if (ldap_create_sort_controlW(search.session, keys, FALSE, &control) != LDAP_SUCCESS) return nullptr;
    return control;
}

void ParseAttributeTable(DirectorySearch& search) {
    std::fill(std::begin(search.attributes), std::end(search.attributes), nullptr);
    search.displayTemplate.clear();
    search.displayCount = ParseAttributeNames(search.settings.displayAttributes, search.displayNames,
                                              search.attributes, 0, &search.displayTemplate);
    search.certificateCount = ParseAttributeNames(search.settings.certificateAttributes, search.certificateNames,
                                                  search.attributes, search.displayCount, nullptr);
}

// Sends the search on a bound session.
void SendSearch(DirectorySearch& search) {
    PLDAPControlW sort = CreateSortControl(search);
    PLDAPControlW controls[] = {sort, nullptr};
    std::wstring filter = search.settings.filter.empty() ? L"(objectClass=*)" : search.settings.filter;
    ULONG id = kNoMessage;
    const ULONG result = ldap_search_extW(search.session, OrNull(search.settings.container), LDAP_SCOPE_ONELEVEL,
                                          &filter[0], search.attributes, 0, sort ? controls : nullptr, nullptr,
                                          static_cast<ULONG>(search.settings.searchTimeout),
                                          static_cast<ULONG>(search.settings.maxItemsCount), &id);
    if (sort) ldap_control_freeW(sort);
    if (result != LDAP_SUCCESS || id == kNoMessage) {
        Fail(search, result);
        return;
    }
    search.messageId = id;
    PostMessageW(search.dialog, UM_POLL_SEARCH, 0, 0);
}

// Opens the session when there is none, then sends the simple bind or the search.
void OpenAndSend(DirectorySearch& search) {
    if (!search.session && !OpenSession(search)) return;
    if (search.binding) PostMessageW(search.dialog, UM_POLL_SEARCH, 0, 0);
    else SendSearch(search);
}

struct ServerEntry {
    std::wstring host, port;
};

// The entries of the server string as ldap_initW reads it: separated by spaces, each "host" or
// "host:port", the default port when none is given. An entry with more than one colon is an IPv6
// address without a port.
std::vector<ServerEntry> ParseServerList(const std::wstring& servers) {
    std::vector<ServerEntry> entries;
    for (size_t start = 0; start < servers.size();) {
        const size_t end = std::min(servers.find(L' ', start), servers.size());
        const std::wstring entry = servers.substr(start, end - start);
        start = end + 1;
        if (entry.empty()) continue;
        ServerEntry server = {entry, std::to_wstring(LDAP_PORT)};
        const size_t colon = entry.find(L':');
        if (colon != std::wstring::npos && entry.find(L':', colon + 1) == std::wstring::npos) {
            server.host = entry.substr(0, colon);
            if (colon + 1 < entry.size()) server.port = entry.substr(colon + 1);
        }
        entries.push_back(server);
    }
    return entries;
}

void StartConnect(DirectorySearch& search, const ADDRINFOW& address) {
    SOCKET probe = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (probe == INVALID_SOCKET) return;
    u_long nonBlocking = 1;
    if (ioctlsocket(probe, FIONBIO, &nonBlocking) == 0 &&
        (connect(probe, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0 ||
         WSAGetLastError() == WSAEWOULDBLOCK)) {
        search.probes.push_back(probe);
        return;
    }
    closesocket(probe);
}

// A connect to every address of every configured server, as many as one select can watch.
void StartConnects(DirectorySearch& search) {
    for (const ServerEntry& server : ParseServerList(search.settings.server)) {
        ADDRINFOW hints = {};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        ADDRINFOW* found = nullptr;
        if (GetAddrInfoW(server.host.c_str(), server.port.c_str(), &hints, &found) != 0) continue;
        for (ADDRINFOW* address = found; address; address = address->ai_next)
            if (search.probes.size() < static_cast<size_t>(FD_SETSIZE)) StartConnect(search, *address);
        FreeAddrInfoW(found);
    }
}

// The session is opened once one of the servers has accepted a connection, which the polling
// finds out; no server to connect to is the failure the session would report.
void StartProbe(DirectorySearch& search) {
    if (!search.winsockStarted) {
        WSADATA data;
        search.winsockStarted = WSAStartup(MAKEWORD(2, 2), &data) == 0;
        if (!search.winsockStarted) {
            OpenAndSend(search);  // the session then connects on its own
            return;
        }
    }
    StartConnects(search);
    if (search.probes.empty()) {
        Fail(search, LDAP_SERVER_DOWN);
        return;
    }
    const LONG limit = search.settings.searchTimeout;
    const ULONGLONG limitMs = limit > 0 ? static_cast<ULONGLONG>(limit) * 1000 : kDefaultConnectLimitMs;
    search.probeDeadline = GetTickCount64() + limitMs;
    PostMessageW(search.dialog, UM_POLL_SEARCH, 0, 0);
}

void PollProbe(DirectorySearch& search) {
    fd_set connected, failed;
    FD_ZERO(&connected);
    FD_ZERO(&failed);
    for (SOCKET probe : search.probes) {
        FD_SET(probe, &connected);
        FD_SET(probe, &failed);
    }
    timeval zero = {0, 0};
    if (select(0, nullptr, &connected, &failed, &zero) == SOCKET_ERROR) {
        Fail(search, LDAP_SERVER_DOWN);
        return;
    }
    if (std::any_of(search.probes.begin(), search.probes.end(),
                    [&connected](SOCKET probe) { return FD_ISSET(probe, &connected) != 0; })) {
        CloseProbes(search);
        OpenAndSend(search);
        return;
    }
    const auto refused = std::remove_if(search.probes.begin(), search.probes.end(), [&failed](SOCKET probe) {
        if (!FD_ISSET(probe, &failed)) return false;
        closesocket(probe);
        return true;
    });
    search.probes.erase(refused, search.probes.end());
    if (search.probes.empty()) Fail(search, LDAP_SERVER_DOWN);
    else if (GetTickCount64() >= search.probeDeadline) Fail(search, LDAP_TIMEOUT);
    else SetTimer(search.dialog, kPollTimer, kPollIntervalMs, nullptr);
}

void StartDirectorySearch(DirectorySearch& search) {
    ClearRows(search);
    ParseAttributeTable(search);
    search.lastError = 0;
    search.serverSorted = false;
    if (search.binding) return;  // the search is sent once the bind has been answered
    if (search.session && search.messageId != kNoMessage) {
        // The earlier search is no longer read.
        ldap_abandon(search.session, search.messageId);
        search.messageId = kNoMessage;
    }
    if (!search.session) {
        CloseProbes(search);  // connects under way start again
        // The platform's default server is found by the platform; there is nothing to probe.
        if (!search.settings.server.empty()) {
            StartProbe(search);
            return;
        }
    }
    OpenAndSend(search);
}

// The answer to the simple bind (its result code): the search follows, or the failure is reported.
void OnBindResult(DirectorySearch& search, ULONG code) {
    search.binding = false;
    search.messageId = kNoMessage;
    if (code != LDAP_SUCCESS) Fail(search, code);
    else SendSearch(search);
}

// Attribute descriptions match without regard to case and to options such as ";binary", which
// servers add to what was asked for.
bool SameAttribute(const wchar_t* returned, const wchar_t* name) {
    const size_t length = wcslen(name);
    return _wcsnicmp(returned, name, length) == 0 && (returned[length] == L'\0' || returned[length] == L';');
}

// Calls visit(description) for every attribute of the entry.
template <typename Visit>
void ForEachAttribute(LDAP* session, LDAPMessage* entry, Visit visit) {
    BerElement* position = nullptr;
    for (wchar_t* name = ldap_first_attributeW(session, entry, &position); name;
         name = ldap_next_attributeW(session, entry, position)) {
        visit(name);
        ldap_memfreeW(name);
    }
    if (position) ber_free(position, 0);
}

std::wstring JoinedValues(LDAP* session, LDAPMessage* entry, wchar_t* attribute) {
    std::wstring joined;
    wchar_t** values = ldap_get_valuesW(session, entry, attribute);
    if (!values) return joined;
    for (wchar_t** value = values; *value; ++value) {
        if (value != values) joined += L", ";
        joined += *value;
    }
    ldap_value_freeW(values);
    return joined;
}

std::wstring ObjectText(const DirectorySearch& search, LDAPMessage* entry) {
    std::vector<std::wstring> values(static_cast<size_t>(search.displayCount));
    ForEachAttribute(search.session, entry, [&](wchar_t* name) {
        for (int i = 0; i < search.displayCount; ++i)
            if (values[i].empty() && SameAttribute(name, search.attributes[i]))
                values[i] = JoinedValues(search.session, entry, name);
    });
    std::wstring text;
    size_t next = 0;
    for (wchar_t c : search.displayTemplate) {
        if (c != kValueMark) text.push_back(c);
        else if (next < values.size()) text += values[next++];
    }
    return text;
}

void SetCell(HWND list, int row, int column, const std::wstring& text) {
    LVITEMW cell = {};
    cell.iSubItem = column;
    cell.pszText = const_cast<wchar_t*>(text.c_str());
    SendMessageW(list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&cell));
}

// A row for the object; with a certificate its columns and the icon. -1 when it was not inserted.
int InsertRow(HWND list, const std::wstring& object, PCCERT_CONTEXT certificate) {
    LVITEMW row = {};
    row.mask = LVIF_TEXT | LVIF_PARAM | LVIF_IMAGE;
    row.iItem = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    row.pszText = const_cast<wchar_t*>(object.c_str());
    row.iImage = certificate ? 0 : I_IMAGENONE;
    row.lParam = reinterpret_cast<LPARAM>(certificate);
    const int index = static_cast<int>(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&row)));
    if (index < 0 || !certificate) return index;
    const CertificateRowTexts texts = DescribeCertificateRow(certificate);
    SetCell(list, index, 1, texts.subject);
    SetCell(list, index, 2, texts.issuer);
    SetCell(list, index, 3, texts.friendlyName);
    SetCell(list, index, 4, texts.expiry);
    return index;
}

void SetCutState(HWND list, int row) {
    LVITEMW state = {};
    state.stateMask = state.state = LVIS_CUT;
    SendMessageW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&state));
}

bool ShowAllObjects(const DirectorySearch& search) {
    return IsDlgButtonChecked(search.dialog, kShowAllObjectsCheck) == BST_CHECKED;
}

// The rows of one entry: one per value of its certificate attributes, and one dimmed row when none
// of them is a certificate and all objects are shown.
void AddEntryRows(DirectorySearch& search, LDAPMessage* entry) {
    HWND list = ResultList(search);
    const std::wstring object = ObjectText(search, entry);
    bool anyCertificate = false;
    ForEachAttribute(search.session, entry, [&](wchar_t* name) {
        const int first = search.displayCount, last = search.displayCount + search.certificateCount;
        if (std::none_of(search.attributes + first, search.attributes + last,
                         [name](const wchar_t* wanted) { return SameAttribute(name, wanted); }))
            return;
        berval** values = ldap_get_values_lenW(search.session, entry, name);
        if (!values) return;
        for (berval** value = values; *value; ++value) {
            PCCERT_CONTEXT certificate =
                CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                             reinterpret_cast<const BYTE*>((*value)->bv_val), (*value)->bv_len);
            anyCertificate = anyCertificate || certificate;
            if (InsertRow(list, object, certificate) < 0 && certificate) CertFreeCertificateContext(certificate);
        }
        ldap_value_free_len(values);
    });
    if (!anyCertificate && ShowAllObjects(search)) {
        const int row = InsertRow(list, object, nullptr);
        if (row >= 0) SetCutState(list, row);
    }
}

// A row as it was inserted, to be put back in another place.
struct RowRecord {
    std::wstring cells[5];
    LPARAM certificate = 0;
    UINT state = 0;
};

// The rows in the order of their object texts (the user's collation, without regard to case). The
// rows are read out and inserted again: a comparison by row index while the list view moves its
// rows is not reliable everywhere.
void SortRows(HWND list) {
    const int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    std::vector<RowRecord> rows(static_cast<size_t>(count));
    for (int row = 0; row < count; ++row) {
        RowRecord& record = rows[static_cast<size_t>(row)];
        for (int column = 0; column < 5; ++column) {
            wchar_t text[512] = {};
            ListView_GetItemText(list, row, column, text, 512);
            record.cells[column] = text;
        }
        record.certificate = reinterpret_cast<LPARAM>(RowCertificate(list, row));
        record.state = static_cast<UINT>(SendMessageW(list, LVM_GETITEMSTATE, row, LVIS_CUT));
    }
    std::stable_sort(rows.begin(), rows.end(), [](const RowRecord& a, const RowRecord& b) {
        return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.cells[0].c_str(), -1, b.cells[0].c_str(), -1) ==
               CSTR_LESS_THAN;
    });
    SendMessageW(list, WM_SETREDRAW, FALSE, 0);
    SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);  // the certificates stay with the records
    for (RowRecord& record : rows) {
        LVITEMW item = {};
        item.mask = LVIF_TEXT | LVIF_PARAM | LVIF_IMAGE;
        item.iItem = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
        item.pszText = &record.cells[0][0];
        item.iImage = record.certificate ? 0 : I_IMAGENONE;
        item.lParam = record.certificate;
        const int index = static_cast<int>(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
        if (index < 0) {
            if (record.certificate) CertFreeCertificateContext(reinterpret_cast<PCCERT_CONTEXT>(record.certificate));
            continue;
        }
        for (int column = 1; column < 5; ++column) SetCell(list, index, column, record.cells[column]);
        if (record.state) SetCutState(list, index);
    }
    SendMessageW(list, WM_SETREDRAW, TRUE, 0);
}

PCCERT_CONTEXT FocusedCertificate(const DirectorySearch& search) {
    HWND list = ResultList(search);
    const int focused = static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
    return RowCertificate(list, focused);
}

void UpdateButtons(DirectorySearch& search) {
    HWND list = ResultList(search);
    const BOOL enable = FocusedCertificate(search) != nullptr;
    EnableWindow(GetDlgItem(search.dialog, IDOK), enable);
    EnableWindow(GetDlgItem(search.dialog, kViewCertificateButton), enable);
    if (!enable && GetFocus() != list) SetFocus(list);
}

// The search has ended (its final result or an error came): nothing is left to abandon.
void FinishSearch(DirectorySearch& search) {
    search.messageId = kNoMessage;
    search.binding = false;
    HWND list = ResultList(search);
    // Rows the server sorted keep its order; a server that ignored or refused the control has
    // them sorted here.
    if (search.settings.sortItems && !search.serverSorted) SortRows(list);
    LVITEMW state = {};
    state.stateMask = state.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(list, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&state));
    SetFocus(list);
    UpdateButtons(search);
    CloseSession(search);
}

// The result code of a sort response control (SEQUENCE { sortResult ENUMERATED, ... }), read here
// because Wine's ldap_parse_sort_controlW fails on every response without the optional attribute
// name, which is each successful one. LDAP_OTHER when the value is not such a sequence.
ULONG SortResponseResult(PLDAPControlW* controls) {
    for (PLDAPControlW* control = controls; *control; ++control) {
        if (wcscmp((*control)->ldctl_oid, LDAP_SERVER_RESP_SORT_OID_W) != 0) continue;
        der::Reader value(reinterpret_cast<const uint8_t*>((*control)->ldctl_value.bv_val),
                          (*control)->ldctl_value.bv_val ? (*control)->ldctl_value.bv_len : 0);
        der::Reader sequence, sortResult;
        if (!value.ReadElement(0x30, sequence) || !sequence.ReadElement(0x0A, sortResult) || sortResult.empty() ||
            sortResult.size() > 4)
            return LDAP_OTHER;
        ULONG result = 0;
        for (size_t i = 0; i < sortResult.size(); ++i) result = result << 8 | sortResult.data()[i];
        return result;
    }
    return LDAP_OTHER;
}

// Whether the final result carries the server's answer that it sorted the entries. A server may
// also leave a control that is not critical unanswered.
bool ServerConfirmedSort(DirectorySearch& search, LDAPMessage* message) {
    ULONG code = 0;
    wchar_t *matched = nullptr, *error = nullptr, **referrals = nullptr;
    PLDAPControlW* controls = nullptr;
    const bool parsed = ldap_parse_resultW(search.session, message, &code, &matched, &error, &referrals, &controls,
                                           FALSE) == LDAP_SUCCESS;
    ULONG sortResult = LDAP_OTHER;
    wchar_t* failedAttribute = nullptr;
    if (parsed && controls &&
        ldap_parse_sort_controlW(search.session, controls, &sortResult, &failedAttribute) != LDAP_SUCCESS)
        sortResult = SortResponseResult(controls);
    const bool sorted = parsed && controls && sortResult == LDAP_SUCCESS;
    if (failedAttribute) ldap_memfreeW(failedAttribute);
    if (controls) ldap_controls_freeW(controls);
    if (referrals) ldap_value_freeW(referrals);
    if (error) ldap_memfreeW(error);
    if (matched) ldap_memfreeW(matched);
    return sorted;
}

// The final result of the search (its code, and whether the server confirmed a sort): a sort control
// the server refused runs the search again without it, with the rows sorted here; another failure
// is reported. Limits reached leave what came.
void OnSearchResult(DirectorySearch& search, ULONG code, bool serverConfirmedSort) {
    const bool sortWasSent = search.settings.sortItems && !search.sortRefused && search.attributes[0];
    search.serverSorted = sortWasSent && serverConfirmedSort;
    if (sortWasSent && (code == LDAP_INAPPROPRIATE_MATCHING || code == LDAP_UNAVAILABLE_CRIT_EXTENSION ||
                        code == LDAP_UNWILLING_TO_PERFORM)) {
        search.sortRefused = true;
        search.messageId = kNoMessage;
        StartDirectorySearch(search);
        return;
    }
    FinishSearch(search);
    if (code != LDAP_SUCCESS && code != LDAP_SIZELIMIT_EXCEEDED && code != LDAP_TIMELIMIT_EXCEEDED) {
        search.lastError = code;
        ShowMessageBox(search.dialog, kDirectoryFailed, MB_OK | MB_ICONERROR, nullptr, LdapMapErrorToWin32(code));
    }
}

void PollDirectorySearch(DirectorySearch& search) {
    if (!search.probes.empty()) {
        PollProbe(search);
        return;
    }
    if (!search.session || search.messageId == kNoMessage) return;
    l_timeval zero = {0, 0};
    LDAPMessage* message = nullptr;
    const ULONG kind = ldap_result(search.session, search.messageId, LDAP_MSG_ONE, &zero, &message);
    switch (kind) {
        case 0:
            SetTimer(search.dialog, kPollTimer, kPollIntervalMs, nullptr);
            return;
        case LDAP_RES_SEARCH_ENTRY:
            for (LDAPMessage* entry = ldap_first_entry(search.session, message); entry;
                 entry = ldap_next_entry(search.session, entry))
                AddEntryRows(search, entry);
            ldap_msgfree(message);
            PostMessageW(search.dialog, UM_POLL_SEARCH, 0, 0);
            return;
        case LDAP_RES_REFERRAL:  // a search result reference
            ldap_msgfree(message);
            PostMessageW(search.dialog, UM_POLL_SEARCH, 0, 0);
            return;
        // A final result is read and freed before it is acted on: acting may unbind the session, and
        // a message must not outlive its connection.
        case LDAP_RES_SEARCH_RESULT: {
            const ULONG code = ldap_result2error(search.session, message, 0);
            const bool confirmedSort = ServerConfirmedSort(search, message);
            ldap_msgfree(message);
            OnSearchResult(search, code, confirmedSort);
            return;
        }
        case LDAP_RES_BIND: {
            const ULONG code = ldap_result2error(search.session, message, 0);
            ldap_msgfree(message);
            OnBindResult(search, code);
            return;
        }
        default: {
            if (message) ldap_msgfree(message);
            const ULONG code = LdapGetLastError();
            FinishSearch(search);
            search.lastError = code ? code : static_cast<ULONG>(LDAP_OTHER);
            ShowMessageBox(search.dialog, kDirectoryFailed, MB_OK | MB_ICONERROR, nullptr,
                           LdapMapErrorToWin32(search.lastError));
            return;
        }
    }
}

void PrepareResultList(DirectorySearch& search) {
    HWND list = ResultList(search);
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    std::vector<std::wstring> names = ColumnNames(kCertificateColumns);
    names.insert(names.begin(), LoadText(kObjectColumnText));
    for (size_t i = 0; i < names.size(); ++i) {
        LVCOLUMNW column = {};
        column.mask = LVCF_FMT | LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        column.cx = kColumnWidth;
        column.pszText = &names[i][0];
        column.iSubItem = static_cast<int>(i);
        SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
    }
    // The list shares its image lists: the search owns this one and destroys it.
    HIMAGELIST icons = ImageList_Create(GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                        ILC_COLOR32 | ILC_MASK, 1, 1);
    if (HICON icon = static_cast<HICON>(LoadImageW(ResourceModule(), MAKEINTRESOURCEW(kCertificateIcon), IMAGE_ICON,
                                                   GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0))) {
        ImageList_AddIcon(icons, icon);
        DestroyIcon(icon);
    }
    if (search.icons) ImageList_Destroy(search.icons);
    search.icons = icons;
    SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(icons));
}

void InitSearchDialog(HWND dialog, DirectorySearch& search) {
    search.dialog = dialog;
    DWORD showAll = 0, size = sizeof showAll;
    RegGetValueW(HKEY_CURRENT_USER, kDirectoryKey, kShowAllValue, RRF_RT_REG_DWORD, nullptr, &showAll, &size);
    CheckDlgButton(dialog, kShowAllObjectsCheck, showAll ? BST_CHECKED : BST_UNCHECKED);
    PrepareResultList(search);
    UpdateButtons(search);
    StartDirectorySearch(search);
}

void CloseSearchDialog(DirectorySearch& search, INT_PTR result) {
    RegKeyHandle key;
    RegistryWrites writes;
    writes.Note(RegCreateKeyExW(HKEY_CURRENT_USER, kDirectoryKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr));
    if (key) {
        const DWORD one = 1;
        if (ShowAllObjects(search))
            writes.Note(RegSetValueExW(key.get(), kShowAllValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one));
        else
            writes.Note(RegDeleteValueW(key.get(), kShowAllValue), true);
    }
    if (!writes.Result()) ReportSettingsNotSaved(search.dialog, GetLastError());
    CloseSession(search);
    ClearRows(search);
    EndDialog(search.dialog, result);
}

void ViewFocusedCertificate(DirectorySearch& search) {
    HWND list = ResultList(search);
    if (PCCERT_CONTEXT certificate = FocusedCertificate(search)) {
        CRYPTUI_VIEWCERTIFICATE_STRUCTW view = {};
        view.dwSize = sizeof view;
        view.hwndParent = search.dialog;
        view.pCertContext = certificate;
        BOOL changed = FALSE;
        CryptUIDlgViewCertificateW(&view, &changed);
    }
    SetFocus(list);
}

void ChooseSelected(DirectorySearch& search) {
    HWND list = ResultList(search);
    const int selected = static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
    PCCERT_CONTEXT certificate = RowCertificate(list, selected);
    if (!certificate) {
        ShowMessageBox(search.dialog, kNoCertificateChosen, MB_OK | MB_ICONERROR, nullptr, 0);
        return;
    }
    search.result = certificate;
    CloseSearchDialog(search, IDOK);
}

bool OnCommand(DirectorySearch& search, WORD command) {
    switch (command) {
        case IDOK:
            // The dialog manager turns Enter into IDOK: in the list it shows the row's certificate,
            // while the OK button itself chooses. A row without one falls through to the choice,
            // which says that no certificate is chosen.
            if (GetFocus() == ResultList(search) && FocusedCertificate(search)) ViewFocusedCertificate(search);
            else ChooseSelected(search);
            return true;
        case IDCANCEL: CloseSearchDialog(search, IDCANCEL); return true;
        case kViewCertificateButton: ViewFocusedCertificate(search); return true;
        case kSettingsButton:
            if (EditDirectorySettings(search.dialog, search.settings) == IDOK) StartDirectorySearch(search);
            return true;
        case kShowAllObjectsCheck: StartDirectorySearch(search); return true;
        default: return false;
    }
}

bool OnNotify(DirectorySearch& search, const NMHDR* header) {
    if (header->idFrom != kResultList) return false;
    switch (header->code) {
        case LVN_ITEMCHANGED: UpdateButtons(search); return true;
        case NM_DBLCLK:
        case NM_RETURN: ViewFocusedCertificate(search); return true;
        case LVN_KEYDOWN:
            if (reinterpret_cast<const NMLVKEYDOWN*>(header)->wVKey == VK_F5) StartDirectorySearch(search);
            return true;
        default: return false;
    }
}

INT_PTR CALLBACK SearchProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* search = reinterpret_cast<DirectorySearch*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            InitSearchDialog(dialog, *reinterpret_cast<DirectorySearch*>(lParam));
            return FALSE;
        case UM_POLL_SEARCH:
            if (search) PollDirectorySearch(*search);
            return TRUE;
        case WM_TIMER:
            if (wParam != kPollTimer) return FALSE;
            KillTimer(dialog, kPollTimer);
            if (search) PollDirectorySearch(*search);
            return TRUE;
        case WM_COMMAND: return search && OnCommand(*search, LOWORD(wParam));
        case WM_NOTIFY: return search && OnNotify(*search, reinterpret_cast<const NMHDR*>(lParam));
        case WM_HELP: ShowHelp(dialog, reinterpret_cast<HELPINFO*>(lParam), true); return TRUE;
        default: return FALSE;
    }
}

}  // namespace

int ParseAttributeNames(const std::wstring& text, std::wstring& copy, wchar_t** table, int used,
                        std::wstring* displayTemplate) {
    copy = text;
    copy.push_back(L'\0');  // the scan ends at this NUL
    int kept = 0;
    bool inName = false, nameKept = false;
    for (size_t i = 0;; ++i) {
        const wchar_t c = copy[i];
        if (c && IsCharAlphaNumericW(c)) {
            if (!inName) {
                inName = true;
                nameKept = used + kept < static_cast<int>(kAttributeSlots) - 1;
                if (nameKept) table[used + kept++] = &copy[i];
            }
            continue;
        }
        if (inName && nameKept && displayTemplate) displayTemplate->push_back(kValueMark);
        inName = false;
        if (!c) break;
        if (displayTemplate) displayTemplate->push_back(c);
        copy[i] = L'\0';
    }
    return kept;
}

DirectorySearch::DirectorySearch() = default;

DirectorySearch::~DirectorySearch() {
    CloseSession(*this);
    if (icons) ImageList_Destroy(icons);
    if (winsockStarted) WSACleanup();
}

PCCERT_CONTEXT SearchDirectory(HWND owner) {
    DirectorySearch search;
    LoadDirectorySettings(search.settings);
    if (DialogBoxParamW(ResourceModule(), MAKEINTRESOURCEW(kSearchDialog), owner, SearchProc,
                        reinterpret_cast<LPARAM>(&search)) != IDOK)
        return nullptr;
    return search.result;
}

int AddCertificateFromDirectory(CVCertificateDlg* page) {
    if (!page || !page->isEncryptionPage) return 0;
    CertHandle chosen(SearchDirectory(page->parentWindow));
    if (!chosen) return 0;
    if (page->AddItem(const_cast<CERT_CONTEXT*>(chosen.get()), TRUE) < 0) return 0;
    chosen.release();
    return 1;
}
