#include "tests/support/test_support.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace testing_support {

TempDir::TempDir() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static unsigned counter = 0;
    for (;;) {
        path_ = std::wstring(base) + L"quilltest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(++counter);
        if (CreateDirectoryW(path_.c_str(), nullptr)) break;
        if (GetLastError() != ERROR_ALREADY_EXISTS) throw std::runtime_error("cannot create a temporary folder");
    }
}

TempDir::~TempDir() {
    std::wstring from = path_;
    from.push_back(L'\0');  // SHFileOperation wants a double-terminated list
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NO_UI;
    SHFileOperationW(&op);
}

std::wstring TestDataDir() {
    wchar_t buffer[MAX_PATH * 2];
    DWORD n = GetEnvironmentVariableW(L"QUILL_TESTDATA", buffer, MAX_PATH * 2);
    if (n == 0 || n >= MAX_PATH * 2) return std::wstring();
    return std::wstring(buffer, n);
}

std::wstring TestDataFile(const std::wstring& name) { return TestDataDir() + L"\\" + name; }

std::vector<uint8_t> ReadFileBytes(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) throw std::runtime_error("cannot open " + Narrow(path));
    LARGE_INTEGER size;
    GetFileSizeEx(file.get(), &size);
    std::vector<uint8_t> bytes(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD got = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 24));
        if (!ReadFile(file.get(), bytes.data() + done, want, &got, nullptr) || got == 0) break;
        done += got;
    }
    bytes.resize(done);
    return bytes;
}

void WriteFileBytes(const std::wstring& path, const std::vector<uint8_t>& bytes) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) throw std::runtime_error("cannot create " + Narrow(path));
    DWORD written = 0;
    if (!bytes.empty() && (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
                           written != bytes.size()))
        throw std::runtime_error("cannot write " + Narrow(path));
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (GetTickCount() - start >= timeoutMs) return condition();
        Sleep(20);
    }
}

namespace {

struct WindowSearch {
    const wchar_t* className;
    const std::function<bool(HWND)>* matches;
    HWND found;
};

BOOL CALLBACK MatchProcessWindow(HWND window, LPARAM arg) {
    auto* search = reinterpret_cast<WindowSearch*>(arg);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId() || !IsWindowVisible(window)) return TRUE;
    if (search->className) {
        wchar_t name[64] = {};
        GetClassNameW(window, name, 64);
        if (wcscmp(name, search->className) != 0) return TRUE;
    }
    if (*search->matches && !(*search->matches)(window)) return TRUE;
    search->found = window;
    return FALSE;
}

}  // namespace

HWND FindProcessWindow(const wchar_t* className, const std::function<bool(HWND)>& matches) {
    WindowSearch search = {className, &matches, nullptr};
    EnumWindows(MatchProcessWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForProcessWindow(const wchar_t* className, const std::function<bool(HWND)>& matches) {
    HWND found = nullptr;
    WaitUntil([&] { return (found = FindProcessWindow(className, matches)) != nullptr; });
    return found;
}

std::wstring ListViewText(HWND listView, int row, int column) {
    wchar_t text[512] = {};
    LVITEMW cell = {};
    cell.iSubItem = column;
    cell.pszText = text;
    cell.cchTextMax = 512;
    SendMessageW(listView, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&cell));
    return text;
}

HWND FindDescendant(HWND parent, int id) {
    std::pair<int, HWND> search(id, nullptr);
    EnumChildWindows(
        parent,
        [](HWND child, LPARAM arg) -> BOOL {
            auto* wanted = reinterpret_cast<std::pair<int, HWND>*>(arg);
            if (GetDlgCtrlID(child) != wanted->first) return TRUE;
            wanted->second = child;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.second;
}

namespace {

bool NothingToPaint(HWND window) {
    if (GetUpdateRect(window, nullptr, FALSE)) return false;
    bool clean = true;
    EnumChildWindows(
        window,
        [](HWND child, LPARAM result) -> BOOL {
            if (!IsWindowVisible(child) || !GetUpdateRect(child, nullptr, FALSE)) return TRUE;
            *reinterpret_cast<bool*>(result) = false;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&clean));
    return clean;
}

}  // namespace

void SavePicture(HWND window, const std::wstring& name) {
    // The window's thread paints what changed; the picture waits for it.
    WaitUntil([window] { return NothingToPaint(window); });
    RECT rect;
    GetWindowRect(window, &rect);
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    const DWORD stride = ((width * 3 + 3) / 4) * 4, imageSize = stride * height;
    BITMAPFILEHEADER file = {0x4D42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + imageSize),
                             0, 0, sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)};
    std::vector<uint8_t> bytes(reinterpret_cast<BYTE*>(&file), reinterpret_cast<BYTE*>(&file) + sizeof file);
    bytes.insert(bytes.end(), reinterpret_cast<BYTE*>(&info.bmiHeader),
                 reinterpret_cast<BYTE*>(&info.bmiHeader) + sizeof info.bmiHeader);
    bytes.insert(bytes.end(), static_cast<BYTE*>(bits), static_cast<BYTE*>(bits) + imageSize);
    CreateDirectoryW(TestDataFile(L"screenshots").c_str(), nullptr);
    WriteFileBytes(TestDataFile(L"screenshots\\" + name + L".bmp"), bytes);
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

std::vector<uint8_t> ReadFileOnceClosed(const std::wstring& path, DWORD timeoutMs) {
    // Without FILE_SHARE_WRITE the open fails with a sharing violation while a writer holds the file.
    auto closed = [&path] {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        CloseHandle(file);
        return true;
    };
    if (!WaitUntil(closed, timeoutMs)) return {};
    return ReadFileBytes(path);
}

std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t state = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(state >> 24);
    }
    return bytes;
}

CertHandle LoadCertificateFile(const std::wstring& path) {
    StoreHandle store(CertOpenStore(CERT_STORE_PROV_FILENAME_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                    CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG, path.c_str()));
    if (!store) return CertHandle();
    return CertHandle(CertEnumCertificatesInStore(store.get(), nullptr));
}

CertHandle FindMyCertificate(const std::wstring& subjectPart) {
    StoreHandle store(CertOpenSystemStoreW(0, L"MY"));
    if (!store) return CertHandle();
    return CertHandle(CertFindCertificateInStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                 CERT_FIND_SUBJECT_STR_W, subjectPart.c_str(), nullptr));
}

MemoryStream::MemoryStream(std::vector<uint8_t> bytes, ULONG maxRead, bool lateEnd)
    : bytes_(std::move(bytes)), maxRead_(maxRead), lateEnd_(lateEnd) {}

HRESULT MemoryStream::Read(void* buffer, ULONG wanted, ULONG* got) {
    *got = 0;
    if (position_ >= failAfter_) {
        if (failCause_) SetLastError(failCause_);
        return failWith_;
    }
    size_t left = bytes_.size() - position_;
    size_t n = std::min<size_t>(left, wanted);
    if (maxRead_) n = std::min<size_t>(n, maxRead_);
    if (failAfter_ != SIZE_MAX) n = std::min(n, failAfter_ - position_);
    if (n) std::memcpy(buffer, bytes_.data() + position_, n);
    position_ += n;
    *got = static_cast<ULONG>(n);
    bool ended = position_ == bytes_.size();
    if (lateEnd_) return (ended && n == 0) ? S_FALSE : S_OK;
    return ended ? S_FALSE : S_OK;
}

std::string Narrow(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring Widen(const std::string& text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

}  // namespace testing_support
