#include "foundation/ZmString.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <utility>

TEST(ZmString, GrowthFollowsTheCapacityRules)
{
    ZmString s;
    EXPECT_EQ(std::pair(s.getCapacity(), s.getLength()), std::pair(33, 0));
    for (int i = 0; i < 32; ++i)
        s += 'x';
    EXPECT_EQ(s.getCapacity(), 33);
    s += 'y';
    EXPECT_EQ(std::tuple(s.getCapacity(), s.getLength(), std::string(s)), std::tuple(65, 33, std::string(32, 'x') + "y"));

    ZmString t("abc");
    EXPECT_EQ(t.getCapacity(), 3 + 33);
    t += std::string(40, 'z').c_str(); // does not fit: grows to exactly new length + 3
    EXPECT_EQ(std::pair(t.getLength(), t.getCapacity()), std::pair(43, 46));

    ZmString fill('q', 4);
    EXPECT_STREQ(fill, "qqqq");
    EXPECT_EQ(fill.getCapacity(), 37);
    EXPECT_EQ(ZmString('\0', 4).getLength(), 0);
    EXPECT_EQ(ZmString('q', -1).getLength(), 0);

    ZmString copy(t);
    EXPECT_EQ(std::pair(copy.getCapacity(), copy.compare(t)), std::pair(43 + 33, 0));
}

TEST(ZmString, AssignReusesTheArrayWhenItFits)
{
    ZmString s("a fairly long text of some length");
    const char* before = s;
    int32_t capacity = s.getCapacity();
    s.assign("short");
    EXPECT_EQ(std::tuple(static_cast<const char*>(s), s.getCapacity(), std::string(s)), std::tuple(before, capacity, "short"));
    s.assign(nullptr);
    EXPECT_STREQ(s, "");
    EXPECT_TRUE(s.isEmpty());
    s.assign(s); // self-assignment keeps the text
    s.assign("abc");
    s.assign(static_cast<const char*>(s) + 1); // overlapping source
    EXPECT_EQ(std::pair(std::string(s), s.getLength()), std::pair(std::string("bc"), 2));
    s.clear();
    EXPECT_EQ(s.getCapacity(), 33);
}

TEST(ZmString, LengthPadsAndCuts)
{
    ZmString s("ab");
    s.setLength(5);
    EXPECT_STREQ(s, "ab   ");
    s.setLength(1);
    EXPECT_STREQ(s, "a");
    s.setLength(-3);
    EXPECT_STREQ(s, "");
    ZmString r("  \t\x85 mid dle \x81\n");
    r.trimLeft();
    EXPECT_STREQ(r, "mid dle \x81\n");
    r.trimRight();
    EXPECT_EQ(std::pair(std::string(r), r.getLength()), std::pair(std::string("mid dle"), 7));
    ZmString keep("\x80keep\x86");
    keep.trimLeft().trimRight();
    EXPECT_STREQ(keep, "\x80keep\x86") << "0x80 and 0x86 are not spaces";
}

TEST(ZmString, ReplaceNeverSearchesInsertedText)
{
    ZmString s("banana");
    s.replace("a", "aa");
    EXPECT_STREQ(s, "baanaanaa");
    s.replace("", "x");
    EXPECT_STREQ(s, "baanaanaa");
    s.replace("aa", "");
    EXPECT_EQ(std::pair(std::string(s), s.getLength()), std::pair(std::string("bnn"), 3));
    ZmString overlap("aaa");
    overlap.replace("aa", "b");
    EXPECT_STREQ(overlap, "ba");
    ZmString empty;
    empty.replace("a", "b");
    EXPECT_STREQ(empty, "");
}

TEST(ZmString, SubstringsStayInsideTheText)
{
    ZmString s("abc"), out("old");
    s.right(out, 10);
    EXPECT_STREQ(out, "abc");
    s.right(out, 2);
    EXPECT_STREQ(out, "bc");
    for (auto [from, count] : {std::pair{1, 0}, std::pair{3, 5}, std::pair{4, 1}, std::pair{-1, 1}}) {
        s.substring(out, from, count);
        EXPECT_STREQ(out, "") << from << ", " << count;
    }
    s.substring(out, 1, 100);
    EXPECT_STREQ(out, "bc");
    s.left(out, 2);
    EXPECT_STREQ(out, "ab");
    s.substring(s, 1, 1);
    EXPECT_STREQ(s, "b");
    EXPECT_EQ(ZmString("hello world").match("o w"), 4);
    EXPECT_EQ(ZmString("hello").match("z"), -1);
}

TEST(ZmString, GetTokenSplitsLikeStrtokWithoutSharedState)
{
    ZmString s(",,a,b"), t("stale");
    ZmString comma(",");
    EXPECT_TRUE(s.getToken(comma, t));
    EXPECT_EQ(std::pair(std::string(t), std::string(s)), std::pair(std::string("a"), std::string("b")));
    EXPECT_TRUE(s.getToken(comma, t));
    EXPECT_EQ(std::pair(std::string(t), std::string(s)), std::pair(std::string("b"), std::string()));
    EXPECT_FALSE(s.getToken(comma, t));
    EXPECT_STREQ(t, "");

    ZmString only(",,,");
    t.assign("stale");
    EXPECT_FALSE(only.getToken(comma, t));
    EXPECT_EQ(std::pair(std::string(t), std::string(only)), std::pair(std::string(), std::string(",,,")));

    // Only the one delimiter behind the token is consumed.
    ZmString twice("x;;y"), t2;
    EXPECT_TRUE(twice.getToken(ZmString(";"), t2));
    EXPECT_STREQ(twice, ";y");

    // Interleaved tokenising of two strings keeps each one's state apart.
    ZmString p("1 2"), q("a b"), tp, tq;
    ZmString space(" ");
    ASSERT_TRUE(p.getToken(space, tp));
    ASSERT_TRUE(q.getToken(space, tq));
    ASSERT_TRUE(p.getToken(space, tp));
    EXPECT_STREQ(tp, "2");
    EXPECT_STREQ(tq, "a");
}

TEST(ZmString, FormattingIsBounded)
{
    ZmString s;
    s.printf("%d-%s", 42, "x");
    EXPECT_STREQ(s, "42-x");
    std::string huge(5000, 'h');
    s.printf("%s", huge.c_str());
    EXPECT_EQ(std::string(s), huge.substr(0, 2047));

    s.toString(-123L);
    EXPECT_STREQ(s, "-123");
    s.toString(short(7));
    EXPECT_STREQ(s, "7");

    ZmString hex("\x01\xAB z");
    ZmString out;
    hex.toHexString(out);
    EXPECT_EQ(std::pair(std::string(out), out.getLength()), std::pair(std::string("01AB207A"), 2 * hex.getLength()));
    ZmString mixed("MiX");
    EXPECT_STREQ(mixed.uppercase(), "MIX");
    EXPECT_STREQ(mixed.lowercase(), "mix");
}

TEST(ZmString, NumbersFromText)
{
    EXPECT_DOUBLE_EQ(ZmString("1.5M").asNumeric(), 1500000.0);
    EXPECT_DOUBLE_EQ(ZmString("2t").asNumeric(), 2000.0);
    EXPECT_DOUBLE_EQ(ZmString("44.1 kHz").asNumeric(), 44.1);
    EXPECT_DOUBLE_EQ(ZmString("-3e2x").asNumeric(), -300.0);
    // Every M expands to two characters: 200 of them would need 400 bytes.
    ZmString many(("1" + std::string(200, 'm')).c_str());
    EXPECT_DOUBLE_EQ(many.asNumeric(), 1e6);
    ZmString longDigits((std::string(300, '1')).c_str());
    EXPECT_GT(longDigits.asNumeric(), 1e250);

    EXPECT_EQ(ZmString("  17abc").scanInt(), 17);
    EXPECT_EQ(ZmString("abc").scanInt(), 0);
    EXPECT_EQ(ZmString("-9x").asInteger(), -9);
}

TEST(ZmString, CopiesAndPascalStrings)
{
    ZmString s("hello");
    char* copy = s.copyString();
    EXPECT_STREQ(copy, "hello");
    delete[] copy;
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_STREQ(s.copyString(buffer, 3), "hel");
    EXPECT_STREQ(s.copyString(buffer, -1), "hello");
    EXPECT_STREQ(s.copyString(buffer, 99), "hello");
    EXPECT_EQ(s.copyString(nullptr, 3), nullptr);

    unsigned char p[256];
    std::memset(p, 0xEE, sizeof p);
    s.toStr255(p);
    EXPECT_EQ(std::tuple(p[0], std::memcmp(p + 1, "hello", 6), p[200], p[255]), std::tuple(5, 0, 0, 0xEE))
        << "only bytes 0 to 254 are written";
    ZmString back;
    back.asString(p);
    EXPECT_STREQ(back, "hello");

    ZmString longText(std::string(300, 'L').c_str());
    longText.toStr255(p);
    EXPECT_EQ(std::tuple(p[0], p[253], p[254]), std::tuple(253, 'L', 0));
    back.asString(p);
    EXPECT_EQ(back.getLength(), 253);

    unsigned char full[256];
    std::memset(full, 'F', sizeof full);
    full[0] = 255;
    back.asString(full);
    EXPECT_EQ(back.getLength(), 255);
    full[0] = 10;
    full[4] = 0;
    back.asString(full);
    EXPECT_STREQ(back, "FFF") << "the length stays that of the text";
}

TEST(ZmString, ComparisonOrdersTextsOnly)
{
    ZmString a("apple"), b("banana"), a2("apple");
    EXPECT_EQ(std::tuple(a.compare(b), b.compare(a), a == a2, a == b, a.stricmp("APPLE")),
              std::tuple(-1, 1, true, false, 0));
    EXPECT_LT(a.strcmp("b"), 0);
    ZmObject plain;
    EXPECT_EQ(a.compare(plain), 0);
}
