// Files read after both configuration files: denied users, valid shells and
// the full-server refusal message. Their failures are logged (standard error
// here) and start-up goes on.
#include "config/config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include <string>

#include "Strn.h"
#include "conffile.h"
#include "session/login.h"

using namespace std::string_literals;
using ::testing::HasSubstr;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

namespace {

class Loaders : public ::testing::Test {
  protected:
    void SetUp() override { SetConfigDefaults(); }
    void TearDown() override { SetConfigDefaults(); }
    TempConfDir dir_;
};

TEST_F(Loaders, ShellsAreKeptBetweenLineFeeds)
{
    Strncpy(gValidUserShellFile, dir_.Write("shells", "/bin/sh\n/bin/bash\n").c_str());
    ASSERT_EQ(LoadEtcShells(), 0);
    EXPECT_STREQ(gValidUserShells, "\n/bin/sh\n/bin/bash\n\n");
}

TEST_F(Loaders, AFileWithoutAFinalLineFeedStillEndsInOne)
{
    Strncpy(gValidUserShellFile, dir_.Write("shells", "/bin/sh").c_str());
    ASSERT_EQ(LoadEtcShells(), 0);
    EXPECT_STREQ(gValidUserShells, "\n/bin/sh\n");
}

TEST_F(Loaders, NeitherANulNorCarriageReturnsHideADeniedName)
{
    Strncpy(gDenyUsersFile, dir_.Write("ftpusers", "root\r\nbin\0\0alice\nbob"s).c_str());
    ASSERT_EQ(LoadEtcFtpusers(), 0);
    for (const char *name : {"root", "bin", "alice", "bob"})
        EXPECT_EQ(UserIsBlacklisted(name), 1) << name;
    EXPECT_EQ(UserIsBlacklisted("ali"), 0);
}

TEST_F(Loaders, AMissingShellsFileIsLoggedWithTheRecommendation)
{
    const std::string path = dir_.dir() + "/no-shells";
    Strncpy(gValidUserShellFile, path.c_str());
    CaptureStderr();
    EXPECT_EQ(LoadEtcShells(), -1);
    const std::string log = GetCapturedStderr();
    EXPECT_EQ(gValidUserShells, nullptr);
    EXPECT_THAT(log, HasSubstr(path + ": No such file or directory.\n"));
    EXPECT_THAT(log, HasSubstr("It is recommended your general.cf file has the line:\n"
                               "  u-valid-user-shell-file=/etc/shells\n"
                               "And that the file have a list of all interactive shells.\n"
                               "This prevents logins to usernames with non-interactive shells.\n\n"));
}

TEST_F(Loaders, AnEmptyKeyIsAWarning)
{
    gDenyUsersFile[0] = '\0';
    CaptureStderr();
    EXPECT_EQ(LoadEtcFtpusers(), -1);
    const std::string log = GetCapturedStderr();
    EXPECT_THAT(log, HasSubstr("Config file warning: u-deny-users-file not defined.\n"
                               "It is recommended your general.cf file has the line:\n"
                               "  u-deny-users-file=/etc/ftpusers\n"
                               "And that the file have a list of all users that.\n"
                               "should not be allowed to login via ftp.\n"
                               "At a minimum, you should have \"root\" in this file.\n\n"));
    EXPECT_EQ(gFTPUserIsBlacklisted, 0);
}

TEST_F(Loaders, DeniedAnonymousNamesRefuseAnonymousLogins)
{
    const struct { const char *contents; int blacklisted; } cases[] = {
        {"root\nftp\n", 1},      {"anonymous\nroot\n", 1}, {"root\n_ftp", 1},
        {"root\nftpx\n", 0},     {"root\n ftp\n", 0},      {"root\n# ftp\n", 0},
    };
    for (const auto &c : cases) {
        Strncpy(gDenyUsersFile, dir_.Write("ftpusers", c.contents).c_str());
        ASSERT_EQ(LoadEtcFtpusers(), 0);
        EXPECT_EQ(gFTPUserIsBlacklisted, c.blacklisted) << c.contents;
        EXPECT_NE(strstr(gDenyFTPUsers, "\nroot\n"), nullptr);
    }
}

TEST_F(Loaders, TheBuiltInRefusalWithoutAFile)
{
    ASSERT_EQ(LoadRefuseConnectionsMsg(""), 0);
    EXPECT_STREQ(gRefuseConnectionsMsg,
                 "421 Too many users are already logged on.  Please try again in 10 minutes.\r\n");
}

TEST_F(Loaders, AnUnreadableRefusalFileIsForgotten)
{
    const std::string path = dir_.dir() + "/no-refuse.msg";
    Strncpy(gRefuseMessageFile, path.c_str());
    CaptureStderr();
    EXPECT_EQ(LoadRefuseConnectionsMsg(gRefuseMessageFile), -1);
    GetCapturedStderr();
    EXPECT_STREQ(gRefuseConnectionsMsg,
                 "421 Too many users are already logged on.  Please try again in 10 minutes.\r\n");
    EXPECT_STREQ(gRefuseMessageFile, "");
}

TEST_F(Loaders, TheRefusalFileBecomesAMultiLineReply)
{
    const std::string path = dir_.Write("refuse.msg", "The server is full.\r\nCome back later.\n");
    ASSERT_EQ(LoadRefuseConnectionsMsg(path.c_str()), 0);
    EXPECT_STREQ(gRefuseConnectionsMsg, "421-Too many users are already logged on.\r\n"
                                        "421-The server is full.\r\n"
                                        "421-Come back later.\r\n"
                                        "421 \r\n");
}

TEST_F(Loaders, ALongOrNulHoldingRefusalLineNeverSwallowsTheNextOne)
{
    const struct {
        std::string first, shown;
    } cases[] = {{std::string(200, 'x'), std::string(127, 'x')}, {"ab\0cd"s, "ab"}};
    for (const auto &c : cases) {
        const std::string path = dir_.Write("refuse.msg", c.first + "\nnext\n");
        ASSERT_EQ(LoadRefuseConnectionsMsg(path.c_str()), 0);
        EXPECT_EQ(std::string(gRefuseConnectionsMsg),
                  "421-Too many users are already logged on.\r\n421-" + c.shown + "\r\n421-next\r\n421 \r\n");
    }
}

TEST_F(Loaders, AHugeRefusalFileStillEndsTheReply)
{
    std::string big;
    for (int i = 0; i < 1000; i++)
        big += "line of a very long refusal message\n";
    const std::string path = dir_.Write("refuse.msg", big);
    ASSERT_EQ(LoadRefuseConnectionsMsg(path.c_str()), 0);
    const std::string msg = gRefuseConnectionsMsg;
    ASSERT_GE(msg.size(), 6u);
    EXPECT_EQ(msg.substr(msg.size() - 6), "421 \r\n");
}

}  // namespace
