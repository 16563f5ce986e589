#include "format/signer_trailer.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(SignerTrailer, SequenceElementsStopAtTheFirstOtherElement) {
    const Bytes first = {0x30, 0x03, 0x02, 0x01, 0x07};
    const Bytes second = {0x30, 0x81, 0x01, 0xAA};  // a long-form length is still whole
    struct Case {
        const char* what;
        Bytes tail;  // after first and second
        size_t expected;
    } cases[] = {
        {"nothing more", {}, 2},
        {"another certificate form", {0xA1, 0x00, 0x30, 0x00}, 2},
        {"a SEQUENCE cut short", {0x30, 0x05, 0x01}, 2},
        {"an open length", {0x30, 0x80, 0x00, 0x00}, 2},
        {"a lone tag", {0x30}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes data = first;
        data.insert(data.end(), second.begin(), second.end());
        data.insert(data.end(), c.tail.begin(), c.tail.end());
        std::vector<der::Reader> elements = signer_trailer::SequenceElements(data.data(), data.size());
        ASSERT_EQ(elements.size(), c.expected);
        EXPECT_EQ(Bytes(elements[0].data(), elements[0].data() + elements[0].size()), first);
        EXPECT_EQ(Bytes(elements[1].data(), elements[1].data() + elements[1].size()), second);
    }
}

TEST(SignerTrailer, NoElementsWhereTheDataStartsOtherwise) {
    const Bytes set = {0x31, 0x00};
    EXPECT_TRUE(signer_trailer::SequenceElements(set.data(), set.size()).empty());
    EXPECT_TRUE(signer_trailer::SequenceElements(nullptr, 5).empty());
    EXPECT_TRUE(signer_trailer::SequenceElements(set.data(), 0).empty());
}

}  // namespace
