// A progress "dialog" for programs without windows: one line on standard error, redrawn a few
// times a second at most, with Ctrl+C as the cancel button. It counts its own references like any
// COM object, so the engines can hold and release it as they would the platform's dialog.
#pragma once
#include <windows.h>
#include <shlobj.h>

#include <string>

class ConsoleProgress final : public IProgressDialog {
public:
    // output: where the line is drawn. draw: whether to draw at all (callers pass whether the
    // output is a console, or an explicit request). Starts with one reference.
    static ConsoleProgress* Create(HANDLE output, bool draw);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE StartProgressDialog(HWND, IUnknown*, DWORD, LPCVOID) override;
    HRESULT STDMETHODCALLTYPE StopProgressDialog() override;
    HRESULT STDMETHODCALLTYPE SetTitle(PCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetAnimation(HINSTANCE, UINT) override { return S_OK; }
    BOOL STDMETHODCALLTYPE HasUserCancelled() override;
    HRESULT STDMETHODCALLTYPE SetProgress(DWORD completed, DWORD total) override;
    HRESULT STDMETHODCALLTYPE SetProgress64(ULONGLONG completed, ULONGLONG total) override;
    HRESULT STDMETHODCALLTYPE SetLine(DWORD line, PCWSTR text, BOOL, LPCVOID) override;
    HRESULT STDMETHODCALLTYPE SetCancelMsg(PCWSTR, LPCVOID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Timer(DWORD, LPCVOID) override { return S_OK; }

    // How many lines (or redraws of the line) were written so far.
    unsigned DrawCount() const { return drawCount_; }

private:
    ConsoleProgress(HANDLE output, bool draw, bool console);
    ~ConsoleProgress() = default;
    void Draw(bool final);

    LONG references_ = 1;
    HANDLE output_;
    bool draw_;
    bool console_;  // a console gets the line redrawn in place; anything else a line per update
    bool running_ = false;
    bool drawnSinceStart_ = false;
    ULONGLONG lastDraw_ = 0;
    ULONGLONG completed_ = 0;
    ULONGLONG total_ = 0;
    unsigned drawCount_ = 0;
    std::wstring title_;  // line 1: what is being worked on
};

// "NN%" of completed over total (0% for an empty total, never above 100%).
std::wstring ProgressPercentText(ULONGLONG completed, ULONGLONG total);

// Ctrl+C and Ctrl+Break set a process-wide flag that every ConsoleProgress reports as a cancel.
// Install once per process; the handler returns TRUE for those two events only.
bool InstallConsoleCancelHandler();
BOOL WINAPI ConsoleCancelHandler(DWORD event);
void ResetConsoleCancel();
