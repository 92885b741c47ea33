#include "Strn.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Strncpy, TruncatesAndTerminatesInASmallBuffer)
{
    char b[4];
    memset(b, 'X', sizeof(b));
    Strncpy(b, "abcdef", sizeof(b));
    EXPECT_STREQ(b, "abc");
    EXPECT_EQ(b[3], '\0');
}

TEST(Strncpy, ZeroFillsTheRestOfALargeBuffer)
{
    char b[10];
    memset(b, 'X', sizeof(b));
    Strncpy(b, "abcdef", sizeof(b));
    EXPECT_STREQ(b, "abcdef");
    for (int i = 6; i < 10; i++)
        EXPECT_EQ(b[i], '\0') << i;
}

TEST(Strncpy, SizeZeroWritesNothing)
{
    char b[4] = {'X', 'X', 'X', 'X'};
    EXPECT_EQ(Strncpy(b, "abc", 0), b);
    EXPECT_EQ(Strnpcpy(b, "abc", 0), b);
    EXPECT_EQ(Strncat(b, "abc", 0), b);
    EXPECT_EQ(b[0], 'X');
}

TEST(Strncpy, NoZeroPadLeavesTheTailAlone)
{
    char b[8];
    memset(b, 'X', sizeof(b));
    Strncpy_NoZeroPad(b, "ab", sizeof(b));
    EXPECT_STREQ(b, "ab");
    EXPECT_EQ(b[3], 'X');
}

TEST(Strnpcpy, ReturnsTheTerminatingZero)
{
    char b[8];
    char *e = Strnpcpy(b, "abc", sizeof(b));
    EXPECT_EQ(e, b + 3);
    e = Strnpcpy(b, "abcdefghij", sizeof(b));
    EXPECT_EQ(e, b + 7);
    EXPECT_STREQ(b, "abcdefg");
}

TEST(Strncat, AppendsBoundedAndZeroFills)
{
    char b[8];
    memset(b, 'X', sizeof(b));
    Strncpy_NoZeroPad(b, "ab", sizeof(b));
    Strncat(b, "cdefghij", sizeof(b));
    EXPECT_STREQ(b, "abcdefg");
    char c[8];
    memset(c, 'X', sizeof(c));
    strcpy(c, "a");
    Strncat(c, "b", sizeof(c));
    EXPECT_STREQ(c, "ab");
    EXPECT_EQ(c[7], '\0');
}

TEST(Strncat, FullBufferIsLeftUnchanged)
{
    char b[4] = "abc";
    EXPECT_EQ(Strncat(b, "d", sizeof(b)), b);
    EXPECT_STREQ(b, "abc");
}

TEST(Strnpcat, FullBufferReturnsTheStart)
{
    char b[4] = "abc";
    EXPECT_EQ(Strnpcat(b, "d", sizeof(b)), b);
    EXPECT_STREQ(b, "abc");
    char c[8] = "ab";
    EXPECT_EQ(Strnpcat(c, "cd", sizeof(c)), c + 4);
}

TEST(Strtokc, SkipsRunsOfDelimiters)
{
    char s[] = ",,a,,b";
    char *ctx = nullptr;
    EXPECT_STREQ(strtokc(s, ",", &ctx), "a");
    EXPECT_STREQ(strtokc(nullptr, ",", &ctx), "b");
    EXPECT_EQ(strtokc(nullptr, ",", &ctx), nullptr);
    EXPECT_EQ(ctx, nullptr);
}

TEST(Strtokc, NullDelimitersEndTheScan)
{
    char s[] = "a b";
    char *ctx = nullptr;
    EXPECT_EQ(strtokc(s, nullptr, &ctx), nullptr);
    EXPECT_EQ(ctx, nullptr);
}

TEST(Strntokc, CopiesBoundedTokens)
{
    char s[] = "  hello world";
    char *ctx = nullptr;
    char d[4];
    EXPECT_EQ(strntokc(d, sizeof(d), s, " ", &ctx), 3u);
    EXPECT_STREQ(d, "hel");
    EXPECT_EQ(strntokc(d, sizeof(d), nullptr, " ", &ctx), 3u);
    EXPECT_STREQ(d, "wor");
    EXPECT_EQ(strntokc(d, sizeof(d), nullptr, " ", &ctx), 0u);
    EXPECT_STREQ(d, "");
}

TEST(Strtok, YieldsEmptyFieldsBetweenAdjacentDelimiters)
{
    char s[] = ",,a,,b";
    EXPECT_STREQ(Strtok(s, ","), "");
    EXPECT_STREQ(Strtok(nullptr, ","), "");
    EXPECT_STREQ(Strtok(nullptr, ","), "a");
    EXPECT_STREQ(Strtok(nullptr, ","), "");
    EXPECT_STREQ(Strtok(nullptr, ","), "b");
    EXPECT_EQ(Strtok(nullptr, ","), nullptr);
}

TEST(Strntok, HasItsOwnContextAndReturnsMinusOneAtTheEnd)
{
    char s[] = "ab:cd";
    char t[] = "x,y";
    char d[8];
    EXPECT_EQ(Strntok(d, sizeof(d), s, ":"), 2);
    EXPECT_STREQ(Strtok(t, ","), "x");
    EXPECT_EQ(Strntok(d, sizeof(d), nullptr, ":"), 2);
    EXPECT_STREQ(d, "cd");
    EXPECT_STREQ(Strtok(nullptr, ","), "y");
    EXPECT_EQ(Strntok(d, sizeof(d), nullptr, ":"), -1);
    EXPECT_STREQ(d, "");
}
