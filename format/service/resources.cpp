#include "format/service/resources.h"

#include <cstdarg>
#include <cwchar>
#include <vector>

namespace {
HINSTANCE g_resourceModule = nullptr;

std::wstring FormatArgs(const wchar_t* format, va_list args) {
    std::vector<wchar_t> buffer(512);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int n = _vsnwprintf(buffer.data(), buffer.size(), format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < buffer.size()) return std::wstring(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
        if (buffer.size() > (1u << 24)) return std::wstring();
    }
}
}  // namespace

void SetResourceModule(HINSTANCE module) { g_resourceModule = module; }

HINSTANCE ResourceModule() { return g_resourceModule ? g_resourceModule : GetModuleHandleW(nullptr); }

std::wstring LoadText(UINT id) {
    const wchar_t* text = nullptr;
    // With a zero buffer size LoadStringW hands out a pointer into the resource itself.
    int length = LoadStringW(ResourceModule(), id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || !text) return std::wstring();
    return std::wstring(text, length);
}

std::wstring FormatText(UINT id, ...) {
    std::wstring format = LoadText(id);
    va_list args;
    va_start(args, id);
    std::wstring result = FormatArgs(format.c_str(), args);
    va_end(args);
    return result;
}

std::wstring FormatString(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring result = FormatArgs(format, args);
    va_end(args);
    return result;
}
