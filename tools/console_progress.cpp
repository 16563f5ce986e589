#include "tools/console_progress.h"

#include <new>

#include "pack/messages.h"

namespace {

// At most four redraws a second: a pipe or a slow terminal must not be flooded.
constexpr ULONGLONG kRedrawInterval = 250;

volatile LONG g_cancelRequested = 0;

}  // namespace

std::wstring ProgressPercentText(ULONGLONG completed, ULONGLONG total) {
    ULONGLONG percent = 0;
    if (total != 0) percent = completed >= total ? 100 : completed * 100 / total;
    return std::to_wstring(percent) + L"%";
}

ConsoleProgress* ConsoleProgress::Create(HANDLE output, bool draw) {
    DWORD mode = 0;
    bool console = output && output != INVALID_HANDLE_VALUE && GetConsoleMode(output, &mode);
    return new (std::nothrow) ConsoleProgress(output, draw && output && output != INVALID_HANDLE_VALUE, console);
}

ConsoleProgress::ConsoleProgress(HANDLE output, bool draw, bool console)
    : output_(output), draw_(draw), console_(console) {}

HRESULT ConsoleProgress::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IProgressDialog)) return E_NOINTERFACE;
    *object = static_cast<IProgressDialog*>(this);
    AddRef();
    return S_OK;
}

ULONG ConsoleProgress::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&references_)); }

ULONG ConsoleProgress::Release() {
    LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
}

HRESULT ConsoleProgress::StartProgressDialog(HWND, IUnknown*, DWORD, LPCVOID) {
    running_ = true;
    drawnSinceStart_ = false;
    completed_ = total_ = 0;
    lastDraw_ = 0;
    return S_OK;
}

HRESULT ConsoleProgress::StopProgressDialog() {
    // The final state once, ending the line, but only after something was drawn for this run.
    if (running_ && drawnSinceStart_) Draw(true);
    running_ = false;
    return S_OK;
}

BOOL ConsoleProgress::HasUserCancelled() { return g_cancelRequested != 0; }

HRESULT ConsoleProgress::SetProgress(DWORD completed, DWORD total) { return SetProgress64(completed, total); }

HRESULT ConsoleProgress::SetProgress64(ULONGLONG completed, ULONGLONG total) {
    completed_ = completed;
    total_ = total;
    if (!draw_ || !running_) return S_OK;
    ULONGLONG now = GetTickCount64();
    if (drawnSinceStart_ && now - lastDraw_ < kRedrawInterval) return S_OK;
    lastDraw_ = now;
    Draw(false);
    return S_OK;
}

HRESULT ConsoleProgress::SetLine(DWORD line, PCWSTR text, BOOL, LPCVOID) {
    if (line == 1) title_ = text ? text : L"";
    return S_OK;
}

void ConsoleProgress::Draw(bool final) {
    if (!draw_) return;
    std::wstring line = title_ + L" " + ProgressPercentText(completed_, total_);
    if (console_) {
        // Redrawn in place; blanks cover a longer line drawn before.
        line = L"\r" + line + L"   ";
        if (final) line += L"\n";
    } else {
        line += L"\n";
    }
    WriteOutput(output_, line);
    drawnSinceStart_ = true;
    ++drawCount_;
}

BOOL WINAPI ConsoleCancelHandler(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    InterlockedExchange(&g_cancelRequested, 1);
    return TRUE;
}

bool InstallConsoleCancelHandler() { return SetConsoleCtrlHandler(ConsoleCancelHandler, TRUE) != FALSE; }

void ResetConsoleCancel() { InterlockedExchange(&g_cancelRequested, 0); }
