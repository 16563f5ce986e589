// The rundll command line: split into names, and the name rules of the entry (the working
// directory switch, the last extension, case-blind comparison with an ASCII text). Templates over
// the character type, so the same code serves UTF-16 on Windows and the native tests.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace command_line {

template <typename Char>
bool IsSeparator(Char c) {
    return c == Char(' ') || c == Char('\r') || c == Char('\n') || c == Char('\t');
}

template <typename Char>
bool IsQuote(Char c) {
    return c == Char('"') || c == Char('\'');
}

// Names in command-line order. Separators cut unquoted text; a quote of either kind starts a
// quotation that the next quote of either kind (or the end of the line) closes, and a quotation is
// one name, separators included, even when empty. A quote inside a word ends the word.
template <typename Char>
std::vector<std::basic_string<Char>> Split(const std::basic_string<Char>& line) {
    std::vector<std::basic_string<Char>> names;
    size_t at = 0;
    const size_t end = line.size();
    while (at < end && IsSeparator(line[at])) ++at;
    while (at < end) {
        std::basic_string<Char> word;
        for (; at < end && !IsQuote(line[at]); ++at) {
            if (!IsSeparator(line[at])) {
                word.push_back(line[at]);
            } else if (!word.empty()) {
                names.push_back(word);
                word.clear();
            }
        }
        if (!word.empty()) names.push_back(word);
        if (at >= end) break;
        const size_t start = ++at;  // past the opening quote
        while (at < end && !IsQuote(line[at])) ++at;
        names.push_back(line.substr(start, at - start));
        if (at < end) ++at;  // past the closing quote
        while (at < end && IsSeparator(line[at])) ++at;
    }
    return names;
}

// Whether the text equals the ASCII text, letters compared without regard to case.
template <typename Char>
bool EqualsIgnoringCase(const Char* text, size_t length, const char* ascii) {
    size_t i = 0;
    for (; i < length && ascii[i]; ++i) {
        Char a = text[i], b = Char(ascii[i]);
        if (a >= Char('A') && a <= Char('Z')) a = Char(a - Char('A') + Char('a'));
        if (b >= Char('A') && b <= Char('Z')) b = Char(b - Char('A') + Char('a'));
        if (a != b) return false;
    }
    return i == length && !ascii[i];
}

// "-dw" or "\dw" in any case; "/dw" is a file name.
template <typename Char>
bool IsWorkingDirectorySwitch(const std::basic_string<Char>& name) {
    return name.size() == 3 && (name[0] == Char('-') || name[0] == Char('\\')) &&
           EqualsIgnoringCase(name.c_str() + 1, 2, "dw");
}

// From the last '.' of the whole name (folders included) to its end; npos when there is none.
template <typename Char>
size_t LastExtension(const std::basic_string<Char>& name) {
    return name.rfind(Char('.'));
}

template <typename Char>
bool ExtensionIs(const std::basic_string<Char>& name, const char* extension) {
    const size_t dot = LastExtension(name);
    return dot != std::basic_string<Char>::npos && EqualsIgnoringCase(name.c_str() + dot, name.size() - dot, extension);
}

// The extensions of certificate files the entry opens as certificate stores.
constexpr const char* kCertificateExtensions[] = {".p7b", ".p7c", ".spc", ".cer", ".crt"};

template <typename Char>
bool IsCertificateFileName(const std::basic_string<Char>& name) {
    for (const char* extension : kCertificateExtensions)
        if (ExtensionIs(name, extension)) return true;
    return false;
}

}  // namespace command_line
