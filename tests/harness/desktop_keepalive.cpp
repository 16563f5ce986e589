// Keeps Wine's desktop process alive for a whole test run. Without a program that holds a window,
// Wine starts and stops its desktop process around every test program, which costs about two
// seconds each time. The program owns one hidden window and waits until it is killed.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"QuillDesktopKeepAlive";
    if (!RegisterClassW(&windowClass)) return 1;
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                  instance, nullptr);
    if (!window) return 1;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}
