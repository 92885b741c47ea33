// The link-safe door: a path checked link-free is used link-free, with the
// kernel's openat2 and with the component walk older kernels get.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "paths/safefs.h"
#include "testenv.h"

extern bool gSafeFsNoOpenat2;

namespace {

class SafeFs : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override
    {
        ResetPathSession();
        gSafeFsNoOpenat2 = GetParam();
        t_.Dir("area/sub");
        t_.File("area/sub/f");
        t_.Dir("outside");
        t_.File("outside/secret");
    }
    void TearDown() override { gSafeFsNoOpenat2 = false; }

    // The administrator's "swap in the new release": a checked directory
    // becomes a link that leads out.
    void SwapSubForALinkOut() const
    {
        ASSERT_EQ(rename((t_ / "area/sub").c_str(), (t_ / "area/old").c_str()), 0);
        ASSERT_EQ(symlink((t_ / "outside").c_str(), (t_ / "area/sub").c_str()), 0);
    }

    TempTree t_;
};

TEST_P(SafeFs, UsesALinkFreePathLikeThePlainCall)
{
    const int fd = SafeOpen((t_ / "area/sub/f").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    close(fd);
    struct stat st;
    EXPECT_EQ(SafeStat((t_ / "area/sub").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    ASSERT_EQ(SafeOpen((t_ / "area/sub/missing").c_str(), O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
    const int made = SafeOpen((t_ / "area/sub/new").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(made, 0);
    close(made);
    EXPECT_EQ(SafeStat((t_ / "area/sub/new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// Every call that takes a whole path refuses a link met on the way with
// EACCES, whichever component it is.
TEST_P(SafeFs, RefusesAComponentSwappedForALinkAfterTheCheck)
{
    const std::string viaSwap = t_ / "area/sub/secret";
    SwapSubForALinkOut();
    struct stat st;
    errno = 0;
    EXPECT_EQ(SafeOpen(viaSwap.c_str(), O_RDONLY), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(SafeOpen((t_ / "area/sub").c_str(), O_RDONLY), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(SafeStat(viaSwap.c_str(), &st), -1);
    EXPECT_EQ(SafeChdir((t_ / "area/sub").c_str()), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(SafeOpendir((t_ / "area/sub").c_str()), nullptr);
    EXPECT_EQ(SafeUnlink(viaSwap.c_str()), -1);
    EXPECT_EQ(SafeRename(viaSwap.c_str(), (t_ / "area/taken").c_str()), -1);
    EXPECT_EQ(SafeOpen((t_ / "area/sub/planted").c_str(), O_WRONLY | O_CREAT, 0644), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(access((t_ / "outside/secret").c_str(), F_OK), 0);
    EXPECT_NE(access((t_ / "outside/planted").c_str(), F_OK), 0);
}

// Calls on a last component that is a link act on the link itself, or
// refuse, but never reach its target.
TEST_P(SafeFs, ActsOnALinkInTheLastPlaceNeverOnItsTarget)
{
    const std::string link = t_ / "area/l";
    t_.Link("area/l", t_ / "outside/secret");
    struct stat st;
    ASSERT_EQ(SafeLstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    char text[512] = {};
    EXPECT_EQ(SafeReadlink(link.c_str(), text, sizeof(text) - 1), static_cast<ssize_t>((t_ / "outside/secret").size()));
    EXPECT_EQ(SafeChmod(link.c_str(), 0777), -1);
    EXPECT_EQ(errno, EACCES);
    const struct timespec times[2] = {{1, 0}, {1, 0}};
    EXPECT_EQ(SafeUtimens(link.c_str(), times), -1);
    ASSERT_EQ(stat((t_ / "outside/secret").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0777, 0777u);
    EXPECT_NE(st.st_mtime, 1);
    ASSERT_EQ(SafeRename(link.c_str(), (t_ / "area/l2").c_str()), 0);
    ASSERT_EQ(SafeUnlink((t_ / "area/l2").c_str()), 0);
    EXPECT_EQ(access((t_ / "outside/secret").c_str(), F_OK), 0);
    ASSERT_EQ(SafeMkdir((t_ / "area/d").c_str(), 0700), 0);
    ASSERT_EQ(SafeSymlink("d", (t_ / "area/ld").c_str()), 0);
    EXPECT_EQ(SafeRmdir((t_ / "area/ld").c_str()), -1);     // not a directory: the link itself
    EXPECT_EQ(SafeRmdir((t_ / "area/d").c_str()), 0);
}

INSTANTIATE_TEST_SUITE_P(OpenAt2AndWalk, SafeFs, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Walk" : "OpenAt2"; });

} // namespace
