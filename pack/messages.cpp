#include "pack/messages.h"

#include <atomic>
#include <cwchar>
#include <string>
#include <vector>

#include "format/service/resources.h"

namespace {

constexpr UINT kCaptionId = 503;
constexpr UINT kUnknownErrorId = 514;

std::atomic<MessageSink*> g_sink{nullptr};

// One value handed to a text of the string table: a string or a number.
struct FormatValue {
    const wchar_t* text = nullptr;  // null: a number
    unsigned long long number = 0;
};

FormatValue TextValue(const wchar_t* text) { return FormatValue{text ? text : L"", 0}; }
FormatValue NumberValue(unsigned long long number) { return FormatValue{nullptr, number}; }

bool IsLengthModifier(wchar_t c) { return c == L'h' || c == L'l' || c == L'L' || c == L'I' || c == L'w'; }

// A string value under the conversion's width and precision.
void AppendText(std::wstring& out, const wchar_t* text, const std::wstring& flags, int width, int precision) {
    std::wstring value = text;
    if (precision >= 0 && value.size() > static_cast<size_t>(precision)) value.resize(precision);
    size_t padding = width > 0 && static_cast<size_t>(width) > value.size() ? width - value.size() : 0;
    bool left = flags.find(L'-') != std::wstring::npos;
    if (!left) out.append(padding, L' ');
    out += value;
    if (left) out.append(padding, L' ');
}

// A numeric value under one conversion, rebuilt without length modifiers so its meaning is plain.
void AppendNumber(std::wstring& out, unsigned long long number, const std::wstring& widthAndPrecision, wchar_t conversion) {
    // Every number handed to a text is 32 bits wide.
    std::wstring format = L"%" + widthAndPrecision + conversion;
    wchar_t buffer[96];
    int n = (conversion == L'd' || conversion == L'i')
                ? _snwprintf(buffer, 96, format.c_str(), static_cast<int>(number))
                : _snwprintf(buffer, 96, format.c_str(), static_cast<unsigned>(number));
    if (n > 0 && n < 96) out.append(buffer, n);
}

// printf-like formatting where each conversion takes the next value only when the types agree: a
// text of the table can never read a number as a string pointer or run past the values given.
// A conversion without a fitting value writes nothing.
std::wstring FormatValues(const std::wstring& format, const std::vector<FormatValue>& values) {
    std::wstring out;
    size_t next = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != L'%') {
            out += format[i];
            continue;
        }
        size_t start = ++i;
        while (i < format.size() && wcschr(L"-+ #0", format[i])) ++i;
        std::wstring flags = format.substr(start, i - start);
        int width = 0, precision = -1;
        while (i < format.size() && iswdigit(format[i])) width = width * 10 + (format[i++] - L'0');
        if (i < format.size() && format[i] == L'.') {
            precision = 0;
            ++i;
            while (i < format.size() && iswdigit(format[i])) precision = precision * 10 + (format[i++] - L'0');
        }
        std::wstring widthAndPrecision = format.substr(start, i - start);  // with the flags
        while (i < format.size() && (IsLengthModifier(format[i]) || iswdigit(format[i]))) ++i;
        if (i >= format.size()) break;
        wchar_t conversion = format[i];
        if (conversion == L'%') {
            out += L'%';
            continue;
        }
        const FormatValue* value = next < values.size() ? &values[next++] : nullptr;
        if (!value) continue;
        if (conversion == L's' || conversion == L'S') {
            if (value->text) AppendText(out, value->text, flags, width, precision);
        } else if (wcschr(L"diuxXoc", conversion) && !value->text) {
            if (conversion == L'c') out += static_cast<wchar_t>(value->number);
            else AppendNumber(out, value->number, widthAndPrecision, conversion);
        }
    }
    return out;
}

void TrimTrailingBlanks(std::wstring& text) {
    size_t end = text.find_last_not_of(L" \r\n");
    text.erase(end == std::wstring::npos ? 0 : end + 1);
}

const wchar_t* ButtonName(int button) {
    switch (button) {
        case IDOK: return L"OK";
        case IDCANCEL: return L"Cancel";
        case IDABORT: return L"Abort";
        case IDRETRY: return L"Retry";
        case IDIGNORE: return L"Ignore";
        case IDYES: return L"Yes";
        case IDNO: return L"No";
        case IDTRYAGAIN: return L"Try again";
        case IDCONTINUE: return L"Continue";
        default: return L"?";
    }
}

}  // namespace

MessageSink* SetMessageSink(MessageSink* sink) { return g_sink.exchange(sink); }

MessageSink* CurrentMessageSink() { return g_sink.load(); }

int SafeAnswer(UINT style) {
    switch (style & MB_TYPEMASK) {
        case MB_OKCANCEL:
        case MB_YESNOCANCEL:
        case MB_RETRYCANCEL:
        case MB_CANCELTRYCONTINUE: return IDCANCEL;
        case MB_YESNO: return IDNO;
        case MB_ABORTRETRYIGNORE: return IDABORT;
        default: return IDOK;
    }
}

int AgreeingAnswer(UINT style) {
    switch (style & MB_TYPEMASK) {
        case MB_YESNO:
        case MB_YESNOCANCEL: return IDYES;
        case MB_OKCANCEL: return IDOK;
        case MB_ABORTRETRYIGNORE: return IDIGNORE;
        case MB_CANCELTRYCONTINUE: return IDCONTINUE;
        // Retrying without anyone to change anything would ask the same question for ever.
        default: return SafeAnswer(style);
    }
}

int ConsoleMessageSink::Answer(HWND, const std::wstring& text, const std::wstring& caption, UINT style) {
    int answer = agree_ ? AgreeingAnswer(style) : SafeAnswer(style);
    std::wstring line = caption + L": " + text;
    TrimTrailingBlanks(line);
    if ((style & MB_TYPEMASK) != MB_OK) line += std::wstring(L" [") + ButtonName(answer) + L"]";
    WriteOutput(output_, line + L"\r\n");
    return answer;
}

std::wstring SystemErrorText(DWORD code) {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code,
        LANG_USER_DEFAULT, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::wstring text;
    if (length && buffer) text.assign(buffer, length);
    if (buffer) LocalFree(buffer);
    TrimTrailingBlanks(text);
    if (text.empty()) text = FormatValues(LoadText(kUnknownErrorId), {NumberValue(code)});
    return text;
}

int FormatSystemMessage(std::wstring& text, const wchar_t* argument, UINT stringId, DWORD code, int offset) {
    std::wstring format = stringId ? LoadText(stringId) : std::wstring();
    std::wstring systemText = SystemErrorText(code);
    if (format.empty()) {
        text = systemText;
    } else {
        std::vector<FormatValue> values;
        if (argument) values.push_back(TextValue(argument));
        values.push_back(TextValue(systemText.c_str()));
        values.push_back(NumberValue(code));
        values.push_back(NumberValue(static_cast<unsigned long long>(static_cast<long long>(offset))));
        text = FormatValues(format, values);
    }
    return static_cast<int>(text.size());
}

std::wstring MessageBoxText(UINT stringId, const wchar_t* argument, DWORD errorCode) {
    if (errorCode) {
        std::wstring text;
        FormatSystemMessage(text, argument, stringId, errorCode, 0);
        return text;
    }
    if (!stringId) return argument ? argument : L"";
    std::wstring format = LoadText(stringId);
    if (!argument) return format;
    return FormatValues(format, {TextValue(argument)});
}

int ShowMessageText(HWND owner, const std::wstring& text, const std::wstring& caption, UINT style) {
    if (MessageSink* sink = CurrentMessageSink()) return sink->Answer(owner, text, caption, style);
    return MessageBoxW(owner, text.c_str(), caption.c_str(), style);
}

int ShowMessageBox(HWND owner, UINT stringId, UINT style, const wchar_t* argument, DWORD errorCode) {
    return ShowMessageText(owner, MessageBoxText(stringId, argument, errorCode), LoadText(kCaptionId), style);
}

void WriteOutput(HANDLE output, const std::wstring& text) {
    if (!output || output == INVALID_HANDLE_VALUE || text.empty()) return;
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(output, &mode)) {
        WriteConsoleW(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0) return;
    std::string bytes(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void ReportSettingsNotSaved(HWND owner, DWORD error) {
    ShowMessageBox(owner, kSettingsNotSavedText, MB_OK | MB_ICONERROR, L"HKEY_CURRENT_USER\\Software\\Orbelin\\Quillarent",
                   error);
}
