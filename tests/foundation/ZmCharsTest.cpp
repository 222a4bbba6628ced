#include "foundation/ZmChars.h"

#include <gtest/gtest.h>

TEST(ZmChars, LetterClassesKnowExactlyTheListedLatin1Letters)
{
    int latin1Letters = 0;
    for (int b = 0x80; b <= 0xFF; ++b)
        latin1Letters += cfIsAlpha(char(b)) ? 1 : 0;
    EXPECT_EQ(latin1Letters, 41);
    for (unsigned char b : {0xC3, 0xC5, 0xC6, 0xCF, 0xD1, 0xE3, 0xE5, 0xE6, 0xEF, 0xF1})
        EXPECT_FALSE(cfIsAlpha(char(b))) << int(b);
    for (unsigned char b : {0xC0, 0xC4, 0xC7, 0xCE, 0xDF, 0xE7, 0xEE, 0xFC})
        EXPECT_TRUE(cfIsAlpha(char(b))) << int(b);

    EXPECT_TRUE(cfIsCSymbol('_'));
    EXPECT_TRUE(cfIsCSymbol(char(0xE9)));
    EXPECT_FALSE(cfIsCSymbol('7')) << "digits are not C-symbol characters here";
    EXPECT_FALSE(cfIsAlpha('@'));
    EXPECT_FALSE(cfIsAlpha('['));
    EXPECT_TRUE(cfIsDigit('0'));
    EXPECT_FALSE(cfIsDigit('a'));
}

TEST(ZmChars, SpacesIncludeTheHighControlRangeWithItsGaps)
{
    int spaces = 0;
    for (int b = 0; b <= 0xFF; ++b)
        spaces += cfIsSpace(char(b)) ? 1 : 0;
    // 0x09-0x0D, 0x20, 0x81-0x85, 0x87-0x90, 0x93-0xA0
    EXPECT_EQ(spaces, 5 + 1 + 5 + 10 + 14);
    for (unsigned char b : {0x80, 0x86, 0x91, 0x92, 0xA1, 0x08, 0x0E})
        EXPECT_FALSE(cfIsSpace(char(b))) << int(b);
}

TEST(ZmChars, CaseFoldingTouchesAsciiLettersOnly)
{
    EXPECT_EQ(cfToLower('Q'), 'q');
    EXPECT_EQ(cfToLower(char(0xC4)), char(0xC4));
    EXPECT_EQ(cfStricmp("ABC", "abc"), 0);
    EXPECT_LT(cfStricmp("ab", "abc"), 0);
    EXPECT_GT(cfStricmp("abd", "ABC"), 0);
    EXPECT_NE(cfStricmp("\xC4", "\xE4"), 0);
    EXPECT_EQ(cfStricmp("", ""), 0);
    EXPECT_EQ(cfStrnicmp("HELLO world", "hello WORLD!", 11), 0);
    EXPECT_EQ(cfStrnicmp(nullptr, nullptr, 3), 0);
    EXPECT_LT(cfStricmp(nullptr, "a"), 0);
    EXPECT_GT(cfStricmp("a", nullptr), 0);
}
