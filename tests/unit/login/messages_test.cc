// Message files: the %-escapes of a message line and the rules by which a
// message file is opened.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "Strn.h"
#include "config/config.h"
#include "config/domain.h"
#include "session/messages.h"
#include "session/shell.h"
#include "status/shm.h"

namespace {

// 2026-03-04 05:06:07 in local time (the escapes show local time).
time_t FixedNow()
{
    struct tm tm {};
    tm.tm_year = 126;
    tm.tm_mon = 2;
    tm.tm_mday = 4;
    tm.tm_hour = 5;
    tm.tm_min = 6;
    tm.tm_sec = 7;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

class ExpandTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        InitDomains();
        gCurDomain = AddDomain("north");
        ASSERT_NE(gCurDomain, nullptr);
        Strncpy(gCurDomain->serverName, "ftp.north.example");
        memset(gRUserPtr, 0, sizeof(*gRUserPtr));
        Strncpy(gRUserPtr->user, "alice");
        Strncpy(gRUserPtr->loginId, "alice@example.org");
        Strncpy(gRUserPtr->host, "client.example.org");
        Strncpy(gRUserPtr->addr, "192.0.2.7");
        gRUserPtr->usersOnServer = 5;
        gRUserPtr->usersOnDomain = 2;
        gNumChildren = 40;
        now_ = FixedNow();
        gRUserPtr->sessionStart = now_ - 75;
        gLoggedIn = 1;
        gTotalBytesRetr = 1000;
        gTotalBytesStor = 234;
        gNumSuccessfulDownloads = 3;
        gNumSuccessfulUploads = 1;
        gRetrBandwidthLimit = 0;
        gStorBandwidthLimit = 64;
    }
    void TearDown() override
    {
        gLoggedIn = 0;
        gCurDomain = nullptr;
        InitDomains();
    }
    std::string Expand(const char *line)
    {
        char out[kReplyLineSize];
        ExpandReplyLine(out, sizeof(out), line, now_);
        return out;
    }
    time_t now_ = 0;
};

TEST_F(ExpandTest, NamesTheUserTheSiteAndTheClient)
{
    EXPECT_EQ(Expand("%U from %R (%I) via %E\n"), "alice from client.example.org (192.0.2.7) via alice@example.org");
    EXPECT_EQ(Expand("%D on %L"), "north on ftp.north.example");
    gCurDomain->serverName[0] = '\0';
    EXPECT_EQ(Expand("%L"), "north");
}

TEST_F(ExpandTest, ShowsTheTime)
{
    char want[32];
    ctime_r(&now_, want);
    want[24] = '\0';
    EXPECT_EQ(Expand("%T"), want);
    EXPECT_EQ(Expand("%tY-%tm-%td %tH:%tM"), "2026-03-04 05:06");
    EXPECT_EQ(Expand("at %t"), "at %t");
}

TEST_F(ExpandTest, CountsUsersOfTheServerOrOfALimitedDomain)
{
    EXPECT_EQ(Expand("%N of %M"), "5 of 40");
    gCurDomain->maxDomainUsers = 10;
    EXPECT_EQ(Expand("%N of %M"), "2 of 10");
}

TEST_F(ExpandTest, ReportsTheSession)
{
    EXPECT_EQ(Expand("%sbd %sbu %sbt"), "1000 234 1234");
    EXPECT_EQ(Expand("%sfd %sfu %sft"), "3 1 4");
    EXPECT_EQ(Expand("%sts %stf"), "75 1:15");
    gRUserPtr->sessionStart = now_ - 3725;
    EXPECT_EQ(Expand("%stf"), "1:02:05");
}

TEST_F(ExpandTest, ReportsBandwidthAndQuota)
{
    EXPECT_EQ(Expand("%bup / %bdn"), "64 kB/sec / (no limit)");
    EXPECT_EQ(Expand("%qbu %qbh %qfu %qfh %qt"),
              "(not applicable) (not applicable) (not applicable) (not applicable) 0.0");
}

TEST_F(ExpandTest, HidesSessionFiguresBeforeLogin)
{
    gLoggedIn = 0;
    EXPECT_EQ(Expand("%U %E %sbt %bup %qt"), "? ? ?bt ?up ?t");
    EXPECT_EQ(Expand("%D %N"), "north 5");
}

TEST_F(ExpandTest, CopiesWhatIsNoEscape)
{
    EXPECT_EQ(Expand("100%% sure, %z, %bx, %sq, %qbz"), "100% sure, %z, %x, %q, %z");
    EXPECT_EQ(Expand("50%\n"), "50");
    EXPECT_EQ(Expand("50%"), "50");
    EXPECT_EQ(Expand("\n"), "");
    EXPECT_EQ(Expand("tail %sb\n"), "tail ");
}

TEST_F(ExpandTest, StopsAt255Characters)
{
    const std::string longLine(300, 'x');
    EXPECT_EQ(Expand(longLine.c_str()).size(), 255u);
    const std::string escapes = std::string(250, 'y') + "%T";
    EXPECT_EQ(Expand(escapes.c_str()).size(), 255u);
}

// ---- Opening ----------------------------------------------------------------------------

class OpenReplyFileTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/zorvad-msg-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(getcwd(oldCwd_, sizeof(oldCwd_)), oldCwd_);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        memset(gVisitedDirectories, 0, sizeof(gVisitedDirectories));
        gDumbClient = 0;
    }
    void TearDown() override
    {
        CloseReplyFile();
        ASSERT_EQ(chdir(oldCwd_), 0);
        std::string cmd = "rm -rf " + dir_;
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    void Write(const char *name, const char *text)
    {
        FILE *f = fopen(name, "w");
        ASSERT_NE(f, nullptr);
        fputs(text, f);
        fclose(f);
    }
    std::string dir_;
    char oldCwd_[1024];
};

TEST_F(OpenReplyFileTest, OpensAFileOfThreeBytesOrMore)
{
    Write("msg", "hi\n");
    EXPECT_NE(OpenReplyFile("msg", 0, 1), nullptr);
    EXPECT_EQ(gReplyFile != nullptr, true);
    CloseReplyFile();
    EXPECT_EQ(gReplyFile, nullptr);
}

TEST_F(OpenReplyFileTest, RefusesNothingEmptyAndShortFiles)
{
    Write("short", "\n");
    EXPECT_EQ(OpenReplyFile(nullptr, 0, 1), nullptr);
    EXPECT_EQ(OpenReplyFile("", 0, 1), nullptr);
    EXPECT_EQ(OpenReplyFile("short", 0, 1), nullptr);
    EXPECT_EQ(OpenReplyFile("missing", 0, 1), nullptr);
}

TEST_F(OpenReplyFileTest, RefusesRelativeLinksButNotAbsoluteOnes)
{
    Write("real", "a message\n");
    ASSERT_EQ(symlink("real", "link"), 0);
    EXPECT_EQ(OpenReplyFile("link", 0, 1), nullptr);
    const std::string absolute = dir_ + "/link";
    EXPECT_NE(OpenReplyFile(absolute.c_str(), 0, 1), nullptr);
}

// The name flips between the message file and a link to a secret as fast as
// renameat2 can swap them, while the session opens it again and again: a
// link met between the check and the open must not be followed either.
TEST_F(OpenReplyFileTest, ALinkSwappedInAfterTheCheckIsNotFollowed)
{
    Write("secret", "the secret\n");
    Write(".message", "a message\n");
    ASSERT_EQ(symlink("secret", "other"), 0);
    std::atomic<bool> stop{false};
    std::thread flipper([&] {
        while (!stop)
            renameat2(AT_FDCWD, ".message", AT_FDCWD, "other", RENAME_EXCHANGE);
    });
    int shown = 0, secrets = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (int i = 0; i < 200000 && secrets == 0 && std::chrono::steady_clock::now() < deadline; i++) {
        FILE *f = OpenReplyFile(".message", 0, 0);
        if (f == nullptr)
            continue;
        shown++;
        char line[64] = "";
        if (fgets(line, sizeof(line), f) != nullptr && strcmp(line, "the secret\n") == 0)
            secrets++;
        CloseReplyFile();
    }
    stop = true;
    flipper.join();
    EXPECT_EQ(secrets, 0);
    EXPECT_GT(shown, 0);
}

TEST_F(OpenReplyFileTest, ShowsAFileOnceByInode)
{
    ASSERT_EQ(mkdir("d", 0755), 0);
    Write("d/.message", "a message\n");
    EXPECT_NE(OpenReplyFile("d/.message", 1, 0), nullptr);
    const std::string other = dir_ + "/./d/.message";
    EXPECT_EQ(OpenReplyFile(other.c_str(), 1, 0), nullptr);
    EXPECT_NE(OpenReplyFile("d/.message", 0, 0), nullptr);   // not once-only
}

TEST_F(OpenReplyFileTest, AFullVisitedListStillShowsFiles)
{
    for (int i = 0; i < kMaxVisitedDirectories; i++)
        gVisitedDirectories[i] = static_cast<uint32_t>(i + 100000000);
    Write("msg", "a message\n");
    EXPECT_NE(OpenReplyFile("msg", 1, 0), nullptr);
    EXPECT_NE(OpenReplyFile("msg", 1, 0), nullptr);
}

TEST_F(OpenReplyFileTest, PlainRepliesOpenNothing)
{
    Write("msg", "a message\n");
    gDumbClient = 1;
    EXPECT_EQ(OpenReplyFile("msg", 0, 1), nullptr);
    gDumbClient = 0;
}

TEST_F(OpenReplyFileTest, OnlyRegularFilesAreShown)
{
    ASSERT_EQ(mkdir("dir", 0755), 0);
    ASSERT_EQ(mkfifo("fifo", 0644), 0);
    EXPECT_EQ(OpenReplyFile("dir", 0, 0), nullptr);
    EXPECT_EQ(OpenReplyFile("fifo", 0, 0), nullptr);
}

}  // namespace
