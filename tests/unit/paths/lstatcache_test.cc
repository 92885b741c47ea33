// The status cache: what it keeps, for how long, and what it never keeps.
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "config/config.h"
#include "paths/lstatcache.h"
#include "testenv.h"

namespace {

mode_t ModeThroughCache(const std::string &path)
{
    struct stat st;
    if (LStatCache(path.c_str(), static_cast<int>(path.size()), &st) < 0)
        return 0;
    return st.st_mode & 07777;
}

// Waits until the clock has passed at least one full second beyond now.
void LetASecondPass()
{
    const time_t start = time(nullptr);
    while (time(nullptr) < start + 2)
        usleep(50 * 1000);
}

class StatCache : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetPathSession();
        t_.Dir("d");
    }
    std::string d() const { return t_ / "d"; }

    TempTree t_{PATHS_TEST_SCRATCH};   // only root can change this tree
};

TEST_F(StatCache, AnswersARepeatedDirectoryFromTheTable)
{
    EXPECT_EQ(ModeThroughCache(d()), 0755u);
    EXPECT_EQ(StatCacheEntries(), 1);
    ASSERT_EQ(chmod(d().c_str(), 0700), 0);
    EXPECT_EQ(ModeThroughCache(d()), 0755u);     // still the cached status
    EXPECT_EQ(StatCacheEntries(), 1);
    ResetStatCache();
    EXPECT_EQ(StatCacheEntries(), 0);
    EXPECT_EQ(ModeThroughCache(d()), 0700u);
}

TEST_F(StatCache, KeepsSymbolicLinksButNeverFiles)
{
    t_.File("f");
    t_.Link("l", "f");
    struct stat st;
    ASSERT_EQ(LStatCache((t_ / "l").c_str(), 0, &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(StatCacheEntries(), 1);
    ASSERT_EQ(chmod((t_ / "f").c_str(), 0600), 0);
    EXPECT_EQ(ModeThroughCache(t_ / "f"), 0600u);
    ASSERT_EQ(chmod((t_ / "f").c_str(), 0644), 0);
    EXPECT_EQ(ModeThroughCache(t_ / "f"), 0644u);
    EXPECT_EQ(StatCacheEntries(), 1);
}

TEST_F(StatCache, AFailedLookupIsNotKept)
{
    struct stat st;
    EXPECT_EQ(LStatCache((t_ / "missing").c_str(), 0, &st), -1);
    EXPECT_EQ(StatCacheEntries(), 0);
    t_.Dir("missing");
    EXPECT_EQ(LStatCache((t_ / "missing").c_str(), 0, &st), 0);
}

TEST_F(StatCache, ZeroValidityTurnsItOff)
{
    gSCache = 0;
    EXPECT_EQ(ModeThroughCache(d()), 0755u);
    ASSERT_EQ(chmod(d().c_str(), 0700), 0);
    EXPECT_EQ(ModeThroughCache(d()), 0700u);
    EXPECT_EQ(StatCacheEntries(), 0);
}

TEST_F(StatCache, RefreshesAnEntryOnceItsValidityHasPassed)
{
    gSCache = 1;
    EXPECT_EQ(ModeThroughCache(d()), 0755u);
    ASSERT_EQ(chmod(d().c_str(), 0700), 0);
    LetASecondPass();
    EXPECT_EQ(ModeThroughCache(d()), 0700u);
    EXPECT_EQ(StatCacheEntries(), 1);
}

TEST_F(StatCache, AnEntryThatVanishedIsLookedUpAgainEveryTime)
{
    gSCache = 1;
    EXPECT_EQ(ModeThroughCache(d()), 0755u);
    ASSERT_EQ(rmdir(d().c_str()), 0);
    LetASecondPass();
    struct stat st;
    EXPECT_EQ(LStatCache(d().c_str(), 0, &st), -1);
    gSCache = 300;
    EXPECT_EQ(LStatCache(d().c_str(), 0, &st), -1);   // not served from the stale entry
    t_.Dir("d", 0711);
    EXPECT_EQ(ModeThroughCache(d()), 0711u);
}

TEST_F(StatCache, HoldsAtMostSixteenEntries)
{
    for (int i = 0; i < 20; i++)
        t_.Dir("e" + std::to_string(i));
    for (int i = 0; i < 20; i++)
        ModeThroughCache(t_ / ("e" + std::to_string(i)));
    EXPECT_EQ(StatCacheEntries(), kStatCacheEntries);
    // The seventeenth was not kept: its changes show at once.
    ASSERT_EQ(chmod((t_ / "e16").c_str(), 0700), 0);
    EXPECT_EQ(ModeThroughCache(t_ / "e16"), 0700u);
    ASSERT_EQ(chmod((t_ / "e0").c_str(), 0700), 0);
    EXPECT_EQ(ModeThroughCache(t_ / "e0"), 0755u);
}

TEST_F(StatCache, StopsAddingWhenThePathPoolIsFull)
{
    // Names of 200 characters: the pool of 1,500 bytes holds only a few.
    int added = 0;
    for (int i = 0; i < 10; i++) {
        const std::string name = std::string(200, static_cast<char>('a' + i));
        t_.Dir(name);
        ModeThroughCache(t_ / name);
        added = StatCacheEntries();
    }
    EXPECT_GT(added, 0);
    EXPECT_LT(added, 10);
    EXPECT_LE(added * static_cast<int>((t_ / std::string(200, 'a')).size() + 1), kStatCachePoolSize);
}

TEST_F(StatCache, NeverKeepsWhatSomeoneOtherThanRootCouldReplace)
{
    // Below a directory that others may write, a directory may become a
    // link to elsewhere at any moment: such entries are always looked up.
    t_.Dir("open/sub");
    ASSERT_EQ(chmod((t_ / "open").c_str(), 0777), 0);
    ASSERT_EQ(chown((t_ / "open").c_str(), 0, 0), 0);
    EXPECT_EQ(ModeThroughCache(t_ / "open/sub"), 0755u);
    EXPECT_EQ(StatCacheEntries(), 0);
    ASSERT_EQ(chmod((t_ / "open").c_str(), 0755), 0);
    ASSERT_EQ(chown((t_ / "open").c_str(), 65534, 65534), 0);
    EXPECT_EQ(ModeThroughCache(t_ / "open/sub"), 0755u);
    EXPECT_EQ(StatCacheEntries(), 0);
    // Once kept, a directory stands for the walk above it, never for itself.
    EXPECT_EQ(ModeThroughCache(t_ / "open"), 0755u);
    EXPECT_EQ(StatCacheEntries(), 1);
    EXPECT_EQ(ModeThroughCache(t_ / "open/sub"), 0755u);
    EXPECT_EQ(StatCacheEntries(), 1);
    ResetStatCache();
    // In a sticky directory writable by everyone (/tmp) only names that
    // belong to root are safe: their owner alone may rename them.
    TempTree tmp;
    tmp.Dir("x");
    ASSERT_EQ(chown(tmp.root().c_str(), 65534, 65534), 0);
    EXPECT_EQ(ModeThroughCache(tmp / "x"), 0755u);
    EXPECT_EQ(StatCacheEntries(), 0);
    ASSERT_EQ(chown(tmp.root().c_str(), 0, 0), 0);
    EXPECT_EQ(ModeThroughCache(tmp / "x"), 0755u);
    EXPECT_EQ(StatCacheEntries(), 1);
    ResetStatCache();
    ASSERT_EQ(chown((t_ / "open").c_str(), 0, 0), 0);
    EXPECT_EQ(ModeThroughCache(t_ / "open/sub"), 0755u);
    EXPECT_EQ(StatCacheEntries(), 1);
}

}  // namespace
