// Symbolic-link resolution and the current-directory query, on scratch
// trees of real links.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "paths/lstatcache.h"
#include "paths/paths.h"
#include "testenv.h"

namespace {

class Resolve : public ::testing::Test {
  protected:
    void SetUp() override { ResetPathSession(); }

    // ResolveSymlinks into a 512-byte buffer; the code and the text.
    int Run(const std::string &src)
    {
        errno = 0;
        const int rc = ResolveSymlinks(dst_, sizeof(dst_), src.c_str());
        err_ = errno;
        return rc;
    }

    // A chain t/l1 -> t/l2 -> ... -> t/ln -> t/target (a directory).
    void MakeChain(int n)
    {
        t_.Dir("target");
        for (int i = 1; i <= n; i++)
            t_.Link("l" + std::to_string(i), i == n ? t_ / "target" : "l" + std::to_string(i + 1));
    }

    TempTree t_;
    char dst_[kPathBufSize];
    int err_ = 0;
};

TEST_F(Resolve, ReplacesAbsoluteAndRelativeLinksByTheirTargets)
{
    t_.Dir("a/b");
    t_.Dir("c");
    t_.Link("a/abs", t_ / "c");
    t_.Link("a/rel", "../c");
    t_.Link("a/b/up", "..");
    ASSERT_EQ(Run(t_ / "a/abs/f"), 0);
    EXPECT_EQ(dst_, t_ / "c/f");
    ASSERT_EQ(Run(t_ / "a/rel"), 0);
    EXPECT_EQ(dst_, t_ / "c");
    ASSERT_EQ(Run(t_ / "a/b/up/rel/x"), 0);
    EXPECT_EQ(dst_, t_ / "c/x");
}

TEST_F(Resolve, CompressesBeforeResolving)
{
    t_.Dir("a");
    t_.Link("a/l", "../b");
    ASSERT_EQ(Run(t_.root() + "//a/./x/../l/"), 0);
    EXPECT_EQ(dst_, t_ / "b");
}

TEST_F(Resolve, KeepsMissingComponentsAndDanglingTargets)
{
    t_.Link("dangling", "/nonexistent-zorvad/x");
    ASSERT_EQ(Run(t_ / "no/such/file"), 0);
    EXPECT_EQ(dst_, t_ / "no/such/file");
    ASSERT_EQ(Run(t_ / "dangling/y"), 0);
    EXPECT_STREQ(dst_, "/nonexistent-zorvad/x/y");
}

TEST_F(Resolve, ALinkToTheRootContinuesFromTheRoot)
{
    t_.Link("root", "/");
    ASSERT_EQ(Run(t_ / "root"), 0);
    EXPECT_STREQ(dst_, "/");
    ASSERT_EQ(Run(t_ / "root/etc"), 0);
    EXPECT_STREQ(dst_, "/etc");
}

TEST_F(Resolve, SevenNestedLinksResolve)
{
    MakeChain(7);
    ASSERT_EQ(Run(t_ / "l1"), 0) << strerror(err_);
    EXPECT_EQ(dst_, t_ / "target");
}

TEST_F(Resolve, EightNestedLinksFailWithELOOP)
{
    MakeChain(8);
    strcpy(dst_, "stale");
    EXPECT_EQ(Run(t_ / "l1"), -1);
    EXPECT_EQ(err_, ELOOP);
    EXPECT_STREQ(dst_, "");
    // The nesting count is back at zero: the shorter chain still resolves.
    ASSERT_EQ(Run(t_ / "l2"), 0);
    EXPECT_EQ(dst_, t_ / "target");
}

TEST_F(Resolve, ALinkToItselfFailsWithELOOP)
{
    t_.Link("self", "self");
    EXPECT_EQ(Run(t_ / "self/x"), -1);
    EXPECT_EQ(err_, ELOOP);
}

TEST_F(Resolve, LinksThatEachNameManyOthersStopAfter40FollowedLinks)
{
    // "0" names the directory itself; each further level names the one
    // before six times, so the work grows six-fold per level.
    t_.Link("0", ".");
    t_.Link("1", "0/0/0/0/0/0");
    t_.Link("2", "1/1/1/1/1/1");
    t_.Link("3", "2/2/2/2/2/2");
    t_.Link("4", "3/3/3/3/3/3");
    ASSERT_EQ(Run(t_ / "1"), 0) << strerror(err_);    // 7 links
    EXPECT_EQ(dst_, t_.root());
    for (const char *fan : {"2", "3", "4"}) {
        strcpy(dst_, "stale");
        EXPECT_EQ(Run(t_ / fan), -1) << fan;          // 43, 259, 1555 links
        EXPECT_EQ(err_, ELOOP) << fan;
        EXPECT_STREQ(dst_, "");
    }
    // The count starts again with each resolution.
    ASSERT_EQ(Run(t_ / "1/x"), 0) << strerror(err_);
    EXPECT_EQ(dst_, t_ / "x");
}

TEST_F(Resolve, FortyLinksInOnePathResolveAndFortyOneDoNot)
{
    t_.Link("0", ".");
    std::string forty = t_.root();
    for (int i = 0; i < 40; i++)
        forty += "/0";
    ASSERT_EQ(Run(forty), 0) << strerror(err_);
    EXPECT_EQ(dst_, t_.root());
    EXPECT_EQ(Run(forty + "/0"), -1);
    EXPECT_EQ(err_, ELOOP);
    // An ordinary chain of a few links is untouched by the count.
    MakeChain(3);
    ASSERT_EQ(Run(t_ / "l1/f"), 0) << strerror(err_);
    EXPECT_EQ(dst_, t_ / "target/f");
}

TEST_F(Resolve, ALinkWhoseTextDoesNotFitWholeFailsWithENAMETOOLONG)
{
    // A relative target joined to a deep directory would be cut short and
    // name another place ("x/../.." cut to "x/..").
    std::string deep = std::string(200, 'a') + "/" + std::string(200, 'b');
    t_.Dir(deep);
    const std::string prefix = t_.root() + "/" + deep + "/";
    const std::string target = std::string(511 - prefix.size() - 3, 'x') + "/../..";
    ASSERT_GT(prefix.size() + target.size(), 511u);
    t_.Link(deep + "/l", target);
    EXPECT_EQ(Run(t_ / (deep + "/l")), -2);
    EXPECT_EQ(err_, ENAMETOOLONG);
    EXPECT_STREQ(dst_, "");
    // A target of more than 511 bytes cannot be read whole either.
    t_.Link("long", "/" + std::string(255, 'y') + "/" + std::string(255, 'z'));
    EXPECT_EQ(Run(t_ / "long"), -2);
    EXPECT_EQ(err_, ENAMETOOLONG);
}

TEST_F(Resolve, RefusesARelativeText)
{
    EXPECT_EQ(Run("relative/x"), -1);
    EXPECT_STREQ(dst_, "");
}

TEST_F(Resolve, AWorkPathLongerThan510CharactersFailsWithENAMETOOLONG)
{
    // 510 characters resolve; 511 do not (the buffer holds them, the walk does not).
    std::string path = "/" + std::string(254, 'a') + "/" + std::string(254, 'b');
    ASSERT_EQ(path.size(), 510u);
    ASSERT_EQ(Run(path), 0);
    EXPECT_EQ(dst_, path);
    EXPECT_EQ(Run(path + "c"), -2);
    EXPECT_EQ(err_, ENAMETOOLONG);
    EXPECT_STREQ(dst_, "");
}

TEST_F(Resolve, ALinkThatCannotBeReadFailsWithMinus4)
{
    // The status cache still says "link" after the link became a directory
    // (a root-only tree, so the entry is cached), so readlink fails.
    TempTree t(PATHS_TEST_SCRATCH);
    t.Link("was-link", "/");
    struct stat st;
    ASSERT_EQ(LStatCache((t / "was-link").c_str(), 0, &st), 0);
    ASSERT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(unlink((t / "was-link").c_str()), 0);
    t.Dir("was-link");
    EXPECT_EQ(Run(t / "was-link/x"), -4);
    EXPECT_STREQ(dst_, "");
}

TEST_F(Resolve, CutsTheResultToTheDestination)
{
    t_.Dir("some/deeper/directory");
    const std::string path = t_ / "some/deeper/directory";
    for (size_t size = 1; size <= path.size() + 2; size++) {
        std::vector<char> dst(size + 4, '#');
        (void)ResolveSymlinks(dst.data(), size, path.c_str());
        ASSERT_LT(strlen(dst.data()), size);
        ASSERT_EQ(std::string(dst.data() + size, 4), "####") << size;
    }
}

// ---- GetCWD ----------------------------------------------------------------------------

TEST(GetCWD, CopiesAnAbsolutePathArgument)
{
    EXPECT_STREQ(GetCWD("/some/where"), "/some/where");
    const std::string longPath = "/" + std::string(2000, 'x');
    EXPECT_EQ(GetCWD(longPath.c_str()), longPath);
}

TEST(GetCWD, AsksTheSystemOtherwiseAndGrowsItsBuffer)
{
    char before[4096];
    ASSERT_NE(getcwd(before, sizeof(before)), nullptr);
    TempTree t;
    std::string deep = "d";
    for (int i = 0; i < 12; i++)
        deep += "/" + std::string(100, static_cast<char>('a' + i));
    t.Dir(deep);
    ASSERT_EQ(chdir((t / deep).c_str()), 0);
    const std::string got = GetCWD(nullptr);
    const std::string relative = GetCWD("relative");
    ASSERT_EQ(chdir(before), 0);
    EXPECT_EQ(got, t / deep);
    EXPECT_GT(got.size(), 1024u);
    EXPECT_EQ(relative, t / deep);
}

TEST(GetCWD, RestoresTheEffectiveUserItRaised)
{
    if (getuid() != 0)
        GTEST_SKIP() << "needs a process started as root";
    char before[4096];
    ASSERT_NE(getcwd(before, sizeof(before)), nullptr);
    ASSERT_EQ(chdir("/usr"), 0);
    ASSERT_EQ(seteuid(65534), 0);
    const std::string got = GetCWD(nullptr);
    const uid_t euid = geteuid();
    ASSERT_EQ(seteuid(0), 0);
    ASSERT_EQ(chdir(before), 0);
    EXPECT_EQ(got, "/usr");
    EXPECT_EQ(euid, 65534u);
}

}  // namespace
