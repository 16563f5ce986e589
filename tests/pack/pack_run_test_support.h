// What the pack run and self-decoding builder tests share: a packer window over test files, a
// message sink that records and answers, a progress dialog that reports a pressed cancel button,
// and decryption of what was written with the test recipients' keys.
#pragma once
#include <windows.h>
#include <shlobj.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <thread>
#include <string>
#include <vector>

#include "pack/messages.h"
#include "pack/pack_run.h"
#include "packer_ui/packer_window.h"

namespace pack_run_test {

// Records every message and answers from a queue, then with the default answer.
class RecordingSink : public MessageSink {
public:
    RecordingSink() { previous_ = SetMessageSink(this); }
    ~RecordingSink() override { SetMessageSink(previous_); }
    int Answer(HWND, const std::wstring& text, const std::wstring&, UINT style) override;

    // Whether some recorded text is the text of this message (formatted with argument and error).
    bool Saw(UINT stringId, const wchar_t* argument = nullptr, DWORD error = 0) const;

    std::vector<std::wstring> texts;
    std::vector<UINT> styles;
    std::deque<int> answers;
    int defaultAnswer = IDOK;

private:
    MessageSink* previous_ = nullptr;
};

// Fills in the next save dialog of this process from another thread: the name, the lines to tick
// in list box 1122 of a child template, then OK.
class SaveDialogFiller {
public:
    SaveDialogFiller(std::wstring name, std::vector<int> tick = {});
    ~SaveDialogFiller();
    bool filled() const { return filled_; }

private:
    void Fill();
    bool Ready(HWND dialog) const;
    std::wstring name_;
    std::vector<int> tick_;
    std::atomic<bool> filled_{false};
    std::thread thread_;
};

// A progress dialog that shows nothing and reports cancel once asked cancelAfter times.
class CancellingProgress : public IProgressDialog {
public:
    explicit CancellingProgress(int cancelAfter) : cancelAfter_(cancelAfter) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE StartProgressDialog(HWND, IUnknown*, DWORD, LPCVOID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE StopProgressDialog() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetTitle(PCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetAnimation(HINSTANCE, UINT) override { return S_OK; }
    BOOL STDMETHODCALLTYPE HasUserCancelled() override { return ++asked_ > cancelAfter_; }
    HRESULT STDMETHODCALLTYPE SetProgress(DWORD, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetProgress64(ULONGLONG, ULONGLONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetLine(DWORD, PCWSTR, BOOL, LPCVOID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetCancelMsg(PCWSTR, LPCVOID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Timer(DWORD, LPCVOID) override { return S_OK; }

private:
    int cancelAfter_;
    int asked_ = 0;
};

// A packer window with quiet settings (no certificate questions, no compression, close after
// success), pages filled by the test. Options open nothing and show no progress.
class TestWindow {
public:
    TestWindow();
    ~TestWindow();
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    PackerWindow* get() { return &window_; }
    CVSettingsDlg& settings() { return *window_.settingsPage; }
    PackRunOptions& options() { return options_; }

    // Adds a file (it must exist) to the files page; its index.
    int AddFile(const std::wstring& path);
    // Adds the certificate of a test data .cer file to the encryption page.
    void AddRecipientFile(const std::wstring& cerName);
    // Adds the "MY" certificate whose subject contains the text to the signing page.
    void AddSigner(const std::wstring& subjectPart);
    BOOL Run(BOOL askFolder = FALSE);

private:
    PackerWindow window_{};
    PackRunOptions options_;
};

// Decrypts a packed file with the current user's keys; its content as it was packed (a ".gz"
// content stays gzip). False when the reader failed.
bool DecryptContent(const std::wstring& packedPath, std::vector<uint8_t>& content);
// Unpacks a packed file into outputPath with the current user's keys, inflating a gzip content when
// inflate is set; false when the reader failed.
bool UnpackToFile(const std::wstring& packedPath, const std::wstring& outputPath, bool inflate);
// Whether two files hold the same bytes, read side by side in pieces (memory stays flat).
bool SameFileBytes(const std::wstring& a, const std::wstring& b);
// Decrypts envelope bytes that start at offset of a file (a self-decoding program's tail).
bool DecryptTail(const std::wstring& path, size_t offset, std::vector<uint8_t>& content);

// The gzip file's content; false when it is not one sound gzip member.
bool Gunzip(const std::vector<uint8_t>& gzip, std::vector<uint8_t>& content);
// A raw deflate stream followed by the CRC-32 and size trailer, as the self-decoding payload has.
bool InflateWithTrailer(const std::vector<uint8_t>& payload, std::vector<uint8_t>& content);

std::vector<uint8_t> TextBytes(const char* text);
// A file of the size without data (sparse where the file system can).
bool MakeSparseFile(const std::wstring& path, ULONGLONG size);

}  // namespace pack_run_test
