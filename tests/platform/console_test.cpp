#include "platform/console.h"

#include <gtest/gtest.h>

using zyl::platform::attributeToAnsi;

TEST(Console, AttributesBecomeAnsiColours) {
    EXPECT_EQ(attributeToAnsi(0x07), "\x1b[0m");         // the default resets
    EXPECT_EQ(attributeToAnsi(0x0C), "\x1b[0;91;40m");   // bright red on black
    EXPECT_EQ(attributeToAnsi(0x0E), "\x1b[0;93;40m");   // bright yellow
    EXPECT_EQ(attributeToAnsi(0x0F), "\x1b[0;97;40m");   // bright white
    EXPECT_EQ(attributeToAnsi(0xC0), "\x1b[0;30;101m");  // black on bright red
    EXPECT_EQ(attributeToAnsi(0x70), "\x1b[0;30;47m");   // black on grey
    EXPECT_EQ(attributeToAnsi(0x01), "\x1b[0;34;40m");   // Windows blue is ANSI blue
}
