#include "self_decoding/texts.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace quendrix {

namespace {
constexpr UINT kErrorCodeText = 514;
}

std::string LoadText(UINT id) {
    char buffer[2048];
    int length = LoadStringA(GetModuleHandleA(nullptr), id, buffer, sizeof buffer);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

std::string FormatText(UINT id, ...) {
    std::string format = LoadText(id);
    va_list arguments;
    va_start(arguments, id);
    va_list copy;
    va_copy(copy, arguments);
    int needed = std::vsnprintf(nullptr, 0, format.c_str(), copy);
    va_end(copy);
    std::string out;
    if (needed > 0) {
        std::vector<char> buffer(static_cast<size_t>(needed) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format.c_str(), arguments);
        out.assign(buffer.data(), static_cast<size_t>(needed));
    }
    va_end(arguments);
    return out;
}

std::string SystemMessage(DWORD code) {
    char* message = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  nullptr, code, 1024, reinterpret_cast<char*>(&message), 0, nullptr);
    std::string text;
    if (length && message) text.assign(message, length);
    if (message) LocalFree(message);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (text.empty()) text = FormatText(kErrorCodeText, static_cast<unsigned>(code));
    return text;
}

std::string FileNamePart(const std::string& path) {
    size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace quendrix
