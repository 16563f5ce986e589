// Test helper: runs a program in this console and presses Ctrl+C for it the way the console does,
// with GenerateConsoleCtrlEvent to every process attached to the console.
//   console_ctrl_c.exe GOFILE PROGRAM [ARGUMENTS...]
// The program starts at once with this helper's standard handles. When GOFILE appears (the test
// creates it once the program is under way), the helper sends CTRL_C_EVENT, waits for the program
// and exits with the program's exit status. Status 125: the helper could not do its part (the
// program ended before GOFILE appeared, or the event could not be sent); a line on standard error
// says which.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr DWORD kHelperFailed = 125;

// The helper itself shares the console and receives the event too; it only passes it on.
BOOL WINAPI IgnoreCtrlC(DWORD event) { return event == CTRL_C_EVENT ? TRUE : FALSE; }

// Quotes one argument for the command line the way the C runtime splits it again.
std::wstring Quote(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote is escaped.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

void Report(const wchar_t* what) {
    fwprintf(stderr, L"console_ctrl_c: %ls (error %lu)\n", what, GetLastError());
    fflush(stderr);
}

void MakeInheritable(HANDLE handle) {
    if (handle && handle != INVALID_HANDLE_VALUE) SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fwprintf(stderr, L"usage: console_ctrl_c GOFILE PROGRAM [ARGUMENTS...]\n");
        return kHelperFailed;
    }
    // The standard handles (files or pipes of the test) go to the program as they are.
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    // Without a console of its own (started from a pipe or a service: Wine gives a program started
    // without a terminal no console that takes events) the helper makes one, so that the program
    // and the event meet in the same console.
    HANDLE consoleInput = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (consoleInput == INVALID_HANDLE_VALUE) {
        FreeConsole();
        if (!AllocConsole()) {
            Report(L"cannot make a console");
            return kHelperFailed;
        }
    } else {
        CloseHandle(consoleInput);
    }
    SetConsoleCtrlHandler(IgnoreCtrlC, TRUE);

    std::wstring commandLine;
    for (int i = 2; i < argc; ++i) commandLine += (i > 2 ? L" " : L"") + Quote(argv[i]);
    MakeInheritable(input);
    MakeInheritable(output);
    MakeInheritable(error);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = error;
    PROCESS_INFORMATION process = {};
    // Same console, same process group: the group 0 event reaches the program as a Ctrl+C typed there.
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        Report(L"cannot start the program");
        return kHelperFailed;
    }
    CloseHandle(process.hThread);

    DWORD status = kHelperFailed;
    bool sent = false;
    while (WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT) {
        if (GetFileAttributesW(argv[1]) == INVALID_FILE_ATTRIBUTES) continue;
        if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
            Report(L"GenerateConsoleCtrlEvent failed");
            TerminateProcess(process.hProcess, kHelperFailed);
            WaitForSingleObject(process.hProcess, INFINITE);
            CloseHandle(process.hProcess);
            return kHelperFailed;
        }
        sent = true;
        WaitForSingleObject(process.hProcess, INFINITE);
        break;
    }
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    if (!sent) {
        fwprintf(stderr, L"console_ctrl_c: the program ended (status %lu) before the signal\n", status);
        return kHelperFailed;
    }
    return static_cast<int>(status);
}
