#include <gtest/gtest.h>

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

}  // namespace
