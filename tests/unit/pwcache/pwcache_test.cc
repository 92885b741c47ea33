// The user and group preload cache, loaded from private passwd and group
// files (each test runs in its own child with its own mount namespace).
#include "listing/pwcache.h"
#include "private_etc.h"

#include <string>
#include <sys/stat.h>
#include <utime.h>

#include <gtest/gtest.h>

namespace {

time_t gFakeNow = 1000000;
time_t FakeNow()
{
    return gFakeNow;
}

std::string gTraced;
std::string gLogged;
void Trace(const char *text)
{
    gTraced += text;
}
void LogLine(const char *text)
{
    gLogged += text;
}

int gAnon = 0;
int gAnonNames = 0;
int gUserNames = 1;

class PwCache : public ::testing::Test {
  protected:
    void SetUp() override
    {
        passwd_ = dir_.Write("passwd",
                             "root:x:0:0:root:/root:/bin/bash\n"
                             "alice:x:5001:5001::/home/alice:/bin/sh\n"
                             "averylongname:x:5002:5002::/:/bin/sh\n"
                             "firstdup:x:5003:5003::/:/bin/sh\n"
                             "seconddup:x:5003:5003::/:/bin/sh\n"
                             "highuid:x:4294967294:5003::/:/bin/sh\n"
                             "collide:x:" + std::to_string(5001 + kPwHashSize) + ":1::/:/bin/sh\n");
        group_ = dir_.Write("group",
                            "root:x:0:\n"
                            "staff:x:6001:\n"
                            "averylonggroupname:x:6002:\n"
                            "firstgrp:x:6003:\n"
                            "secondgrp:x:6003:\n");
    }
    template <class Body>
    int Run(Body body)
    {
        return RunWithPrivateEtc({{passwd_, "/etc/passwd"}, {group_, "/etc/group"}}, [&] {
            gPwCacheEnv.anonNames = &gAnonNames;
            gPwCacheEnv.userNames = &gUserNames;
            gPwCacheEnv.isAnon = &gAnon;
            gPwCacheEnv.now = FakeNow;
            gPwCacheEnv.trace = Trace;
            gPwCacheEnv.log = LogLine;
            body();
        });
    }
    // Rewrites passwd in place (the bind mount follows the inode) and dates it.
    void Rewrite(const std::string &text, time_t mtime)
    {
        dir_.Write("passwd", text);
        struct utimbuf t = {mtime, mtime};
        utime(passwd_.c_str(), &t);
    }

    TempDir dir_;
    std::string passwd_, group_;
};

TEST_F(PwCache, NamesAreCutToEightAndTheFirstOfADuplicateIdWins)
{
    int rc = Run([] {
        PwLoad();
        CHILD_CHECK_STREQ(PwSearch(0), "root");
        CHILD_CHECK_STREQ(PwSearch(5001), "alice");
        CHILD_CHECK_STREQ(PwSearch(5002), "averylon");
        CHILD_CHECK_STREQ(PwSearch(5003), "firstdup");
        CHILD_CHECK_STREQ(PwSearch(int32_t(4294967294u)), "highuid");
        CHILD_CHECK_STREQ(PwSearch(5001 + kPwHashSize), "collide");
        CHILD_CHECK_STREQ(PwSearch(4242), "ftpuser");
        CHILD_CHECK_STREQ(GrSearch(6001), "staff");
        CHILD_CHECK_STREQ(GrSearch(6002), "averylon");
        CHILD_CHECK_STREQ(GrSearch(6003), "firstgrp");
        CHILD_CHECK_STREQ(GrSearch(4242), "ftpusers");
        CHILD_CHECK(gNumPwUsers == 7);
        CHILD_CHECK(gNumPwGroups == 5);
        CHILD_CHECK_STREQ(gTraced, "Loaded 7 users, 5 groups.\n");
        CHILD_CHECK_STREQ(gLogged, "");
    });
    EXPECT_EQ(rc, 0);
}

TEST_F(PwCache, SessionsThatMayNotSeeNamesSeeTheDefaults)
{
    int rc = Run([] {
        PwLoad();
        gAnon = 1;
        gAnonNames = 0;
        CHILD_CHECK_STREQ(PwSearch(5001), "ftpuser");
        CHILD_CHECK_STREQ(GrSearch(6001), "ftpusers");
        gAnonNames = 1;
        CHILD_CHECK_STREQ(PwSearch(5001), "alice");
        gAnon = 0;
        gUserNames = 0;
        CHILD_CHECK_STREQ(PwSearch(5001), "ftpuser");
        CHILD_CHECK_STREQ(GrSearch(6001), "ftpusers");
    });
    EXPECT_EQ(rc, 0);
}

TEST_F(PwCache, NothingIsLoadedWhenNoSessionMaySeeNames)
{
    int rc = Run([] {
        gAnonNames = 0;
        gUserNames = 0;
        PwLoad();
        CHILD_CHECK(gPwUsers == nullptr);
        CHILD_CHECK(gPwUserHashTable == nullptr);
        CHILD_CHECK_STREQ(gTraced,
                          "No users or groups were loaded since a-ls-names=\"no\" and u-ls-names=\"no\".\n");
        gUserNames = 1;
        CHILD_CHECK_STREQ(PwSearch(5001), "ftpuser");   // no table
    });
    EXPECT_EQ(rc, 0);
}

TEST_F(PwCache, ReloadsAtMostEveryTwelveHoursAndOnlyWhenPasswdChanged)
{
    struct stat st;
    ASSERT_EQ(stat(passwd_.c_str(), &st), 0);
    time_t loaded = st.st_mtime;
    int rc = Run([&] {
        PwLoad();
        CHILD_CHECK_STREQ(PwSearch(5001), "alice");

        // Changed, but within 12 hours: nothing happens.
        Rewrite("root:x:0:0::/:/bin/sh\nrenamed:x:5001:5001::/:/bin/sh\n", loaded + 100);
        gFakeNow += 3600;
        PwLoad();
        CHILD_CHECK_STREQ(PwSearch(5001), "alice");

        // Twelve hours on, changed: reloaded.
        gFakeNow += kPwReloadInterval;
        PwLoad();
        CHILD_CHECK_STREQ(PwSearch(5001), "renamed");
        CHILD_CHECK(gNumPwUsers == 2);

        // Twelve more hours, new content but not a newer time: kept.
        Rewrite("root:x:0:0::/:/bin/sh\nthird:x:5001:5001::/:/bin/sh\n", loaded + 100);
        gFakeNow += kPwReloadInterval + 1;
        PwLoad();
        CHILD_CHECK_STREQ(PwSearch(5001), "renamed");
    });
    EXPECT_EQ(rc, 0);
}

TEST_F(PwCache, FreeingForgetsTheTables)
{
    int rc = Run([] {
        PwLoad();
        CHILD_CHECK(gNumPwUsers > 0);
        PwFree();
        CHILD_CHECK(gNumPwUsers == 0 && gNumPwGroups == 0);
        CHILD_CHECK_STREQ(PwSearch(0), "ftpuser");
        CHILD_CHECK_STREQ(GrSearch(0), "ftpusers");
        PwLoad();
        CHILD_CHECK_STREQ(PwSearch(0), "root");
        PwFree();
    });
    EXPECT_EQ(rc, 0);
}

} // namespace
