// The help's text popups reader on any bytes: a topic found is never longer than the file and is
// trimmed at both ends.
#include <string>

#include "format/help_popups.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint32_t id = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<uint32_t>(data[3]) << 24);
    const std::string file(reinterpret_cast<const char*>(data + 4), size - 4);
    std::string text;
    if (help_popups::FindTopic(file, id, &text)) {
        FUZZ_CHECK(text.size() <= file.size());
        // Trimmed: no blank at either end.
        FUZZ_CHECK(text.empty() || (text.front() != '\n' && text.back() != '\n' && text.front() != ' ' && text.back() != ' '));
    }
    help_popups::FindTopic(file, id % 3000, &text);
    return 0;
}
