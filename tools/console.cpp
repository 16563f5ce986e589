#include "tools/console.h"

#include "format/service/resources.h"
#include "pack/messages.h"

void PrintLine(const std::wstring& text) { WriteOutput(GetStdHandle(STD_OUTPUT_HANDLE), text + L"\n"); }

void PrintError(const std::wstring& text) { WriteOutput(GetStdHandle(STD_ERROR_HANDLE), text + L"\n"); }

std::wstring ErrorText(DWORD error) {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (length && buffer) text.assign(buffer, length);
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                             text.back() == L'.'))
        text.pop_back();
    if (text.empty()) text = FormatString(L"error 0x%08X", static_cast<unsigned>(error));
    return text;
}

int Fail(const std::wstring& what, DWORD error) {
    PrintError(L"quill: " + what + L": " + ErrorText(error));
    return 1;
}
