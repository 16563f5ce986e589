// Helpers shared by the Windows test programs: temporary folders, test data, streams, files.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <objidl.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "format/service/crypto_handles.h"

namespace testing_support {

// A fresh folder under %TEMP%, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// Folder with the certificates and keys the suite made (QUILL_TESTDATA), and a file in it.
std::wstring TestDataDir();
std::wstring TestDataFile(const std::wstring& name);

std::vector<uint8_t> ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::vector<uint8_t>& bytes);
bool FileExists(const std::wstring& path);
std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed = 1);

// Waits for a condition another process or thread brings about: polls it until it holds or the
// deadline passes, and returns its last answer. The deadline is only a guard against a hang, so it
// is generous; a test never relies on how long something takes.
constexpr DWORD kPatientWaitMs = 120000;
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs = kPatientWaitMs);
// Waits until the file exists and its writer has closed it, then returns its bytes (empty when it
// never appeared). Another program writing the file keeps it from being opened without write sharing.
std::vector<uint8_t> ReadFileOnceClosed(const std::wstring& path, DWORD timeoutMs = kPatientWaitMs);

// The first visible top-level window of this process whose class is className (any class when
// null) and that matches; null when there is none.
HWND FindProcessWindow(const wchar_t* className, const std::function<bool(HWND)>& matches = {});
// Waits for such a window to appear and returns it (null when none came).
HWND WaitForProcessWindow(const wchar_t* className, const std::function<bool(HWND)>& matches = {});
// Saves what the window shows (once it has painted) as screenshots\NAME.bmp in the test data,
// for a person to look at.
void SavePicture(HWND window, const std::wstring& name);
// The first window below parent (at any depth) with the control id; null when there is none.
HWND FindDescendant(HWND parent, int id);

// The text of a list view's cell (of this process).
std::wstring ListViewText(HWND listView, int row, int column = 0);

// A certificate loaded from a .cer/.pem file of the test data (null when it cannot be read).
CertHandle LoadCertificateFile(const std::wstring& path);
// The certificate of the current user's "MY" store whose subject contains the text.
CertHandle FindMyCertificate(const std::wstring& subjectPart);

// An ISequentialStream over bytes in memory. Delivers at most maxRead bytes per call when set and
// reports S_FALSE with the call that hands out the last byte, or only after it when lateEnd is set.
class MemoryStream : public ISequentialStream {
public:
    explicit MemoryStream(std::vector<uint8_t> bytes, ULONG maxRead = 0, bool lateEnd = false);
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOTIMPL; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG wanted, ULONG* got) override;
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    // From that many bytes on, Read answers error, with cause as the last error when given.
    void FailAfter(size_t bytes, HRESULT error, DWORD cause = 0) {
        failAfter_ = bytes;
        failWith_ = error;
        failCause_ = cause;
    }

private:
    std::vector<uint8_t> bytes_;
    size_t position_ = 0;
    ULONG maxRead_;
    bool lateEnd_;
    size_t failAfter_ = SIZE_MAX;
    HRESULT failWith_ = S_OK;
    DWORD failCause_ = 0;
};

std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

}  // namespace testing_support
