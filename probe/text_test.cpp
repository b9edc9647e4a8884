#include <gtest/gtest.h>

#include "escape.h"
#include "text.h"

namespace {

TEST(Strconcat, JoinsUpToTheFirstNull) {
    EXPECT_EQ(strconcat("only"), "only");
    EXPECT_EQ(strconcat("a", "", std::string("b"), std::string_view("c")), "abc");
    EXPECT_EQ(strconcat("a", nullptr, "ignored"), "a");
    const char* none = nullptr;
    EXPECT_EQ(strconcat("x", none, "y"), "x");
}

TEST(ControlBytes, BelowSpaceAndDeleteAreControl) {
    EXPECT_FALSE(has_control_byte("plain text with blanks ~\x80\xff"));
    for (const char* s : {"a\rb", "a\nb", "\t", "\x7f", "\x01"})
        EXPECT_TRUE(has_control_byte(s));
    EXPECT_TRUE(has_control_byte(std::string_view("a\0b", 3)));
}

// What is printed for people shows every control character as \xNN:
// C0, DEL, C1 raw or UTF-8 encoded, and bytes that are no UTF-8.
TEST(ControlBytes, PrintableEscapesEveryControl) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
         "plain caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\x1b]0;title\x07 \x1b[2J", "\\x1B]0;title\\x07 \\x1B[2J"},
        {"over\rwrite\x7f", "over\\x0Dwrite\\x7F"},
        {std::string("nul\0", 4), "nul\\x00"},
        {"csi \xc2\x9b"
         "1m \x9b"
         "2m",
         "csi \\xC2\\x9B1m \\x9B2m"},
        {"nbsp \xc2\xa0", "nbsp \xc2\xa0"},
        {"cut \xe2\x82 overlong \xc0\xaf", "cut \\xE2\\x82 overlong \\xC0\\xAF"},
        {"surrogate \xed\xa0\x80", "surrogate \\xED\\xA0\\x80"},
    };
    for (const auto& [text, shown] : cases)
        EXPECT_EQ(printable(text), shown) << shown;
}

}  // namespace
