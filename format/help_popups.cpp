#include "format/help_popups.h"

#include <cstddef>

namespace help_popups {
namespace {

constexpr char kTopic[] = ".topic";
constexpr size_t kTopicLength = sizeof kTopic - 1;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The topic number of a ".topic" line, or false when the line is not one or its number is not a
// decimal number of at most 32 bits (a symbolic name).
bool TopicNumber(const std::string& line, uint32_t* number) {
    if (line.compare(0, kTopicLength, kTopic) != 0 || line.size() == kTopicLength || !IsBlank(line[kTopicLength]))
        return false;
    size_t at = kTopicLength;
    while (at < line.size() && IsBlank(line[at])) ++at;
    uint64_t value = 0;
    size_t digits = 0;
    for (; at < line.size() && line[at] >= '0' && line[at] <= '9'; ++at, ++digits) {
        value = value * 10 + static_cast<uint64_t>(line[at] - '0');
        if (value > UINT32_MAX) return false;
    }
    while (at < line.size() && IsBlank(line[at])) ++at;
    if (digits == 0 || at != line.size()) return false;
    *number = static_cast<uint32_t>(value);
    return true;
}

bool IsTopicLine(const std::string& line) {
    return line.compare(0, kTopicLength, kTopic) == 0 && (line.size() == kTopicLength || IsBlank(line[kTopicLength]));
}

std::string Trimmed(const std::string& text) {
    size_t first = 0, last = text.size();
    while (first < last && IsBlank(text[first])) ++first;
    while (last > first && IsBlank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

}  // namespace

bool FindTopic(const std::string& file, uint32_t id, std::string* text) {
    bool inTopic = false, found = false;
    std::string body;
    size_t at = 0;
    while (at < file.size()) {
        size_t end = file.find('\n', at);
        if (end == std::string::npos) end = file.size();
        std::string line = file.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        at = end + 1;
        if (IsTopicLine(line)) {
            if (inTopic) break;  // the topic wanted ends here
            uint32_t number = 0;
            inTopic = TopicNumber(line, &number) && number == id;
            found = found || inTopic;
            continue;
        }
        if (inTopic) body += line + "\n";
    }
    if (!found) return false;
    *text = Trimmed(body);
    return true;
}

}  // namespace help_popups
