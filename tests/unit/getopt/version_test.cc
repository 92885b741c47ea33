// Version texts.
#include "version.h"

#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <cctype>
#include <cstdio>
#include <regex>
#include <string>

TEST(Version, NameVersionBuildDateAndTime)
{
    EXPECT_TRUE(std::regex_match(gVersion, std::regex(R"(Zorvad 1\.0\.0/\d{3} [A-Z][a-z]{2} \d{2} \d{4} \d{2}:\d{2}:\d{2})")))
        << gVersion;
}

TEST(Version, TheShortFormsEndAtAWordBoundary)
{
    char buf[64];
    snprintf(buf, sizeof(buf), "%.12s", gVersion);
    EXPECT_STREQ(buf, "Zorvad 1.0.0");
    snprintf(buf, sizeof(buf), "%.28s", gVersion);
    EXPECT_TRUE(std::regex_match(buf, std::regex(R"(Zorvad 1\.0\.0/\d{3} [A-Z][a-z]{2} \d{2} \d{4})"))) << buf;
}

TEST(Version, PlatformIsSystemAndMachine)
{
    struct utsname u {};
    ASSERT_EQ(uname(&u), 0);
    std::string expected;
    for (const char *cp = u.sysname; *cp != '\0'; cp++)
        expected += static_cast<char>(tolower(static_cast<unsigned char>(*cp)));
    expected += std::string("-") + u.machine;
    EXPECT_EQ(PlatformText(), expected);
    EXPECT_STREQ(gNotice, "Zorvad FTP server suite.");
}
