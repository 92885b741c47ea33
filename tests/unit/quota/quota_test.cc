// The quota figures: the walk of a home tree, the clamping deltas, the
// shared table's sums, and the SITE QUOTA report.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "Strn.h"
#include "config/config.h"
#include "paths/paths.h"
#include "quota/quota.h"
#include "quota/shared.h"

namespace {

class QuotaTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/quota_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        home_ = tmpl;
        Strncpy(gHomeDir, tmpl, sizeof(gHomeDir));
        gHomeDirLen = static_cast<int>(home_.size());
        gSessionUid = getuid();
        gVQuotas = 1;
        gCountOnlyFilesOwnedByUserTowardsQuota = 1;
        SessionResetQuota();
    }
    void TearDown() override { std::filesystem::remove_all(home_); }

    void File(const std::string &rel, size_t size, uid_t owner)
    {
        const std::string p = home_ + "/" + rel;
        const int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
        ASSERT_EQ(fchown(fd, owner, static_cast<gid_t>(-1)), 0);
        close(fd);
    }
    void Dir(const std::string &rel) { ASSERT_EQ(mkdir((home_ + "/" + rel).c_str(), 0755), 0); }

    std::string home_;
};

std::string Report()
{
    char buf[512];
    Quota(buf, sizeof(buf));
    return buf;
}

// The tree: the home itself, a/, a/b/, three files of the user and one of
// another uid, a link to a large file outside, and a directory deeper down.
TEST_F(QuotaTest, WalkCountsOwnEntriesAndNeverFollowsLinks)
{
    Dir("a");
    Dir("a/b");
    File("one", 1000, gSessionUid);
    File("a/two", 2000, gSessionUid);
    File("a/b/three", 3000, gSessionUid);
    File("a/other", 500000, 4242);   // another uid's file
    ASSERT_EQ(symlink("/usr/bin", (home_ + "/link").c_str()), 0);
    SessionSetQuotaLimits(10, 0, 100, 0);
    ComputeQuota();
    // 1 to start with + home, a, b, one, two, three, link; "other" left out.
    EXPECT_EQ(gUserFilesUsage, 8);
    EXPECT_EQ(gUserBytesUsage, 6000);
    EXPECT_EQ(gUserBytesUsageHardLimit, 10 * 1024);
    EXPECT_EQ(gUserFilesUsageHardLimit, 100);
    EXPECT_EQ(gQuotaDirCount, 3);
    EXPECT_EQ(gQuotaMaxDepth, 2);

    // With every owner counted, the other uid's file counts too.
    gCountOnlyFilesOwnedByUserTowardsQuota = 0;
    SessionResetQuota();
    SessionSetQuotaLimits(10, 0, 100, 0);
    ComputeQuota();
    EXPECT_EQ(gUserFilesUsage, 9);
    EXPECT_EQ(gUserBytesUsage, 506000);
}

TEST_F(QuotaTest, NoLimitsNoWalkAndTheNoQuotaTexts)
{
    File("one", 1024, gSessionUid);
    SessionSetQuotaLimits(0, -5, 0, -1);   // 0 or less: none
    EXPECT_EQ(Report(), "200 This account has no quota.\r\n");
    EXPECT_EQ(gUserBytesUsage, 0);        // not walked
    char q[kNumQuotaStrings][kQuotaStringSize];
    GetQuotaStrings(q);
    for (int i = 0; i < kQuotaDuration; i++)
        EXPECT_STREQ(q[i], "(not applicable)");
    EXPECT_STREQ(q[kQuotaDuration], "0.0");

    // Only soft limits: still "no quota" for the report, but the soft
    // byte limit is watched.
    SessionResetQuota();
    SessionSetQuotaLimits(0, 1, 0, 0);
    EXPECT_EQ(Report(), "200 This account has no quota.\r\n");
    EXPECT_TRUE(IsUserOverSoftBytesQuota());   // 1024 bytes: at the limit is over it
}

TEST_F(QuotaTest, ReportShowsUsageAndHardLimits)
{
    File("one", 1000, gSessionUid);
    SessionSetQuotaLimits(1, 0, 0, 0);
    const std::string r = Report();
    char q[kNumQuotaStrings][kQuotaStringSize];
    GetQuotaStrings(q);
    EXPECT_EQ(r, std::string("200-Quota report:\r\n"
                             "200-  Bytes: 1000  Limit: 1024\r\n"
                             "200-  Files: 3  Limit: (no limit)\r\n"
                             "200 Done (")
                     + q[kQuotaDuration] + " seconds used initially to compute quota).\r\n");
}

// Deltas never take the usage below 0, and "at the limit" is over it.
TEST_F(QuotaTest, AddsClampAtZeroAndReportTheHardLimit)
{
    struct Case {
        int64_t start, delta, expect;
        bool over;
    };
    SessionSetQuotaLimits(1, 0, 5, 0);   // 1024 bytes, 5 files
    ComputeQuota();                      // the empty home: 0 bytes, 2 files
    const Case bytes[] = {{200, -500, 0, false}, {0, 1023, 1023, false}, {1023, 1, 1024, true},
                          {1024, -1, 1023, false}, {5, INT64_MIN / 2, 0, false}};
    for (const Case &c : bytes) {
        gUserBytesUsage = c.start;
        EXPECT_EQ(QuotaAddBytes(c.delta), c.over) << c.start << " + " << c.delta;
        EXPECT_EQ(gUserBytesUsage, c.expect) << c.start << " + " << c.delta;
    }
    const Case files[] = {{2, -3, 0, false}, {4, 1, 5, true}, {5, -1, 4, false}};
    for (const Case &c : files) {
        gUserFilesUsage = c.start;
        EXPECT_EQ(QuotaAddFiles(c.delta), c.over) << c.start << " + " << c.delta;
        EXPECT_EQ(gUserFilesUsage, c.expect) << c.start << " + " << c.delta;
    }
}

bool NoneInUse(const QuotaKey &)
{
    return false;
}

// Code running in a session asks its pool child to charge whatever it likes:
// the shared figures stop at the ends of their range instead of wrapping
// round (to a small usage that would lift the user's limit), and a
// reservation never passes the hard limit.
TEST(QuotaTableTest, ChargesAtTheEndsOfTheRangeNeitherWrapNorPassTheLimit)
{
    ASSERT_EQ(QuotaTableCreate(2), 0);
    QuotaKey key{};
    Strncpy(key.domain, "main", sizeof(key.domain));
    Strncpy(key.user, "vera", sizeof(key.user));
    QuotaUsage now{};
    const int i = QuotaTableInstall(key, QuotaUsage{INT64_MAX - 5, 3}, true, NoneInUse, &now);
    ASSERT_GE(i, 0);
    QuotaUsage granted{-1, -1};
    const QuotaUsage none{0, 0};
    ASSERT_EQ(QuotaTableUpdate(i, key, QuotaUsage{INT64_MAX, INT64_MAX}, QuotaUsage{INT64_MAX, INT64_MAX}, none,
                               &granted, &now), 0);
    EXPECT_EQ(now.bytes, INT64_MAX);
    EXPECT_EQ(now.files, INT64_MAX);
    ASSERT_EQ(QuotaTableUpdate(i, key, QuotaUsage{INT64_MIN, INT64_MIN}, none, none, &granted, &now), 0);
    EXPECT_EQ(now.bytes, 0);
    EXPECT_EQ(now.files, 0);
    ASSERT_EQ(QuotaTableUpdate(i, key, QuotaUsage{1000, 3}, QuotaUsage{INT64_MAX, INT64_MAX}, QuotaUsage{4096, 5},
                               &granted, &now), 0);
    EXPECT_EQ(granted.bytes, 3096);
    EXPECT_EQ(granted.files, 0);       // files are reserved whole or not at all
    EXPECT_EQ(now.bytes, 4096);
    EXPECT_EQ(now.files, 3);
    QuotaTableForget();
}

}  // namespace
