// The text popups file of the help: the text of one topic, whatever the line ends and blank lines.
#include <gtest/gtest.h>

#include <string>

#include "format/help_popups.h"

namespace {

TEST(HelpPopupsTest, FindsTheTextOfOneTopic) {
    const std::string file =
        ".topic 1\r\nFirst.\r\n\r\n.topic 1020\r\nTwo\r\nlines.\r\n\r\n.topic IDH_NAMED\r\nNamed.\r\n"
        ".topic  77 \nLast, no line end";
    const struct {
        uint32_t id;
        bool found;
        const char* text;
    } cases[] = {
        {1, true, "First."},
        {1020, true, "Two\nlines."},
        {77, true, "Last, no line end"},
        {2, false, ""},
        {102, false, ""},       // a prefix of a number is not the number
        {10200, false, ""},
    };
    for (const auto& c : cases) {
        std::string text = "untouched";
        EXPECT_EQ(help_popups::FindTopic(file, c.id, &text), c.found) << c.id;
        EXPECT_EQ(text, c.found ? std::string(c.text) : std::string("untouched")) << c.id;
    }
}

TEST(HelpPopupsTest, MalformedTopicLinesMatchNothing) {
    for (const char* file : {".topic\n1\nText", ".topic 4294967297\nText", ".topic 12x\nText", ".topics 12\nText", ""}) {
        std::string text;
        EXPECT_FALSE(help_popups::FindTopic(file, 12, &text)) << file;
        EXPECT_FALSE(help_popups::FindTopic(file, 1, &text)) << file;
    }
    // A topic without text is found, with an empty text.
    std::string text = "x";
    EXPECT_TRUE(help_popups::FindTopic(".topic 5\n\n.topic 6\nSix", 5, &text));
    EXPECT_EQ(text, "");
}

}  // namespace
