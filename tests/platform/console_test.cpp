#include "platform/console.h"

#include <gtest/gtest.h>

using zyl::platform::attributeToAnsi;

TEST(Console, AttributesBecomeAnsiColours) {
    EXPECT_EQ(attributeToAnsi(0x07), "\x1b[0m");         // the default resets
    EXPECT_EQ(attributeToAnsi(0x0C), "\x1b[0;91;40m");   // bright red on black
    EXPECT_EQ(attributeToAnsi(0xC0), "\x1b[0;30;101m");  // black on bright red
    EXPECT_EQ(attributeToAnsi(0x01), "\x1b[0;34;40m");   // Windows blue is ANSI blue
}
