// The text popups file of a help file (Context.txt): topics, each a line ".topic N" followed by its
// text up to the next ".topic" line or the end. Bytes in the file's code page; no Win32 types.
#pragma once
#include <cstdint>
#include <string>

namespace help_popups {

// The text of topic id, without its leading and trailing blank lines and with CR LF as LF; false
// when the file has no such topic. A ".topic" line whose number does not parse starts a topic that
// matches no id.
bool FindTopic(const std::string& file, uint32_t id, std::string* text);

}  // namespace help_popups
