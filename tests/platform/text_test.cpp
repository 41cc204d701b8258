#include "platform/text.h"

#include <gtest/gtest.h>

using namespace zyl::platform;

TEST(Text, RoundTripsEveryPlaneThroughEveryForm) {
    const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // A, e-acute, euro, emoji
    const auto wide = utf8ToWide(utf8);
    ASSERT_TRUE(wide);
    EXPECT_EQ(*wide, std::wstring(L"A\u00E9\u20AC\U0001F600"));
    const auto utf16 = utf8ToUtf16(utf8);
    ASSERT_TRUE(utf16);
    EXPECT_EQ(utf16->size(), 5u);  // the emoji takes a surrogate pair
    EXPECT_EQ(*utf16ToUtf8(*utf16), utf8);
    EXPECT_EQ(*wideToUtf8(*wide), utf8);
    EXPECT_EQ(*wideToUtf16(*wide), *utf16);
    EXPECT_EQ(*utf16ToWide(*utf16), *wide);
    EXPECT_EQ(*leBytesToUtf16(utf16ToLeBytes(*utf16)), *utf16);
    EXPECT_EQ(utf16ToLeBytes(u"A"), std::string("A\0", 2));
    EXPECT_EQ(*utf8ToWide(""), L"");
    EXPECT_EQ(*utf16ToUtf8(u""), "");
    EXPECT_EQ(*leBytesToUtf16(""), u"");
}

TEST(Text, RefusesMalformedInput) {
    EXPECT_FALSE(utf8ToWide("\xC0\xAF"));                            // overlong slash
    EXPECT_FALSE(utf8ToWide("\xED\xA0\x80"));                        // encoded surrogate
    EXPECT_FALSE(utf8ToWide("\xE2\x82"));                            // truncated sequence
    EXPECT_FALSE(utf8ToWide("\xF4\x90\x80\x80"));                    // beyond U+10FFFF
    EXPECT_FALSE(utf8ToWide("\x80"));                                // stray continuation byte
    EXPECT_FALSE(utf16ToUtf8(std::u16string(1, char16_t(0xD800))));  // lone high surrogate
    EXPECT_FALSE(utf16ToUtf8(std::u16string(1, char16_t(0xDC00))));  // lone low surrogate
    EXPECT_FALSE(wideToUtf8(std::wstring(1, wchar_t(0x110000))));
    EXPECT_FALSE(wideToUtf16(std::wstring(1, wchar_t(0xD800))));
    EXPECT_FALSE(leBytesToUtf16("abc"));
}
