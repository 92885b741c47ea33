// The wildcard matcher.
#include <string>

#include <gtest/gtest.h>

#include "paths/paths.h"

namespace {

struct GlobCase {
    const char *string;
    const char *pattern;
    int want;
};

class Glob : public ::testing::TestWithParam<GlobCase> {};

TEST_P(Glob, Matches)
{
    EXPECT_EQ(GlobMatch(GetParam().string, GetParam().pattern), GetParam().want)
        << "\"" << GetParam().string << "\" against \"" << GetParam().pattern << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Stars, Glob,
    ::testing::Values(GlobCase{"a.txt", "*.txt", 0}, GlobCase{".txt", "*.txt", 0},
                      GlobCase{"a.txt.gz", "*.txt", -1}, GlobCase{"", "*", 0}, GlobCase{"", "***", 0},
                      GlobCase{"", "", 0}, GlobCase{"", "*a", -1}, GlobCase{"", "?", -1},
                      GlobCase{"abc", "*", 0}, GlobCase{"abc", "a**c", 0}, GlobCase{"abc", "a*", 0},
                      GlobCase{"abcbd", "a*bd", 0}, GlobCase{"abcbx", "a*bd", -1},
                      GlobCase{"abc", "*?", 0}, GlobCase{"a", "*?", 0}, GlobCase{"", "*?", -1},
                      GlobCase{"abc", "*?c", 0}, GlobCase{"ab", "*??c", -1},
                      GlobCase{"x1y2", "*[0-9]y*", 0}, GlobCase{"xay2", "*[0-9]y*", -1},
                      GlobCase{"x.tar.gz", "*.gz", 0}, GlobCase{"abcabd", "*a*d", 0},
                      GlobCase{"abcabd", "*b*b?", 0}, GlobCase{"abcabd", "*c*c*", -1}));

TEST(GlobMatch, ManyStarsDoNotMakeTheSearchExplode)
{
    // A full search tries every way of placing the stars: far too many here.
    const std::string name(250, 'a');
    const std::string pattern = "*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b";
    EXPECT_EQ(GlobMatch(name.c_str(), pattern.c_str()), -1);
    EXPECT_EQ(GlobMatch((name + "b").c_str(), pattern.c_str()), 0);
    EXPECT_EQ(GlobMatch(name.c_str(), "*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*[b]"), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Sets, Glob,
    ::testing::Values(GlobCase{"b1", "[a-c]?", 0}, GlobCase{"d1", "[a-c]?", -1}, GlobCase{"b", "[a-c]?", -1},
                      GlobCase{"abc", "[^a]*", -1}, GlobCase{"xbc", "[^a]*", 0},
                      GlobCase{"-", "[-a]", 0}, GlobCase{"c", "[ac-e]", 0}, GlobCase{"b", "[ac-e]", -1},
                      GlobCase{"Z", "[a-z]", -1},
                      // Malformed sets.
                      GlobCase{"a", "[]", -2}, GlobCase{"a", "[^]", -2}, GlobCase{"a", "[a-", -2},
                      GlobCase{"a", "[a", -2}, GlobCase{"a", "[a-]", -2}, GlobCase{"a", "[c-a]", -2},
                      GlobCase{"xa", "*[]", -2}, GlobCase{"ab", "a*[b-", -2},
                      // Bytes above 127 compare signed: they sort below ASCII.
                      GlobCase{"\xe9", "[\x80-\xff]", 0}, GlobCase{"a", "[\xe9-a]", 0},
                      GlobCase{"a", "[a-\xe9]", -2}));

INSTANTIATE_TEST_SUITE_P(
    Plain, Glob,
    ::testing::Values(GlobCase{"abc", "abc", 0}, GlobCase{"abc", "ABC", -1}, GlobCase{"abcd", "abc", -1},
                      GlobCase{"ab", "abc", -1}, GlobCase{"a\\b", "a\\b", 0}, GlobCase{"a*b", "a\\*b", -1}));

}  // namespace
