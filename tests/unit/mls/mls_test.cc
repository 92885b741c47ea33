// The MLST/MLSD fact line where the clients cannot reach: the types of
// special files, links resolved through chains of every length, and the
// 512-byte bound of a line.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "Strn.h"
#include "listing/ls.h"
#include "listing/mls.h"
#include "paths/paths.h"
#include "session/shell.h"

namespace {

constexpr time_t kBase = 1600000000;   // 2020-09-13 12:26:40 UTC

class MlsTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char name[] = "/tmp/mls_test.XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root_ = name;
        gIsAnon = 0;
        gSessionUid = 0;
        for (int &a : gAllow)
            a = 1;
        gMlsOpts = kMlsType | kMlsSize | kMlsModify | kMlsUnixMode;
        TakeSessionGroups();
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    std::string Path(const std::string &rel) const { return root_ + "/" + rel; }

    // The fact line of rel as MLSD writes it (the entry's lstat, its name).
    std::string Line(const std::string &rel, int resolve, size_t size = kMlsLineSize)
    {
        struct stat st;
        if (lstat(Path(rel).c_str(), &st) < 0)
            return "lstat failed";
        char buf[kMlsLineSize * 2];
        const int n = Mls(buf, size, Path(rel).c_str(), &st, rel.c_str(), resolve, nullptr, nullptr);
        return n == 0 ? "" : std::string(buf, static_cast<size_t>(n));
    }

    void Touch(const std::string &rel, mode_t mode, time_t t)
    {
        const struct timespec times[2] = {{t, 0}, {t, 0}};
        ASSERT_EQ(chmod(Path(rel).c_str(), mode), 0);
        ASSERT_EQ(utimensat(AT_FDCWD, Path(rel).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    }

    std::string root_;
};

TEST_F(MlsTest, EachKindOfFileHasItsTypeAndOnlyNonDirectoriesASize)
{
    FILE *f = fopen(Path("file").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("12345", f);
    fclose(f);
    ASSERT_EQ(mkdir(Path("dir").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mknod(Path("chr").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    ASSERT_EQ(mknod(Path("blk").c_str(), S_IFBLK | 0660, makedev(7, 0)), 0);
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    Strncpy(sa.sun_path, Path("sock").c_str(), sizeof(sa.sun_path));
    ASSERT_EQ(bind(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)), 0);
    close(s);
    ASSERT_EQ(symlink("file", Path("link").c_str()), 0);
    for (const char *rel : {"file", "dir", "fifo", "chr", "blk", "sock"})
        Touch(rel, 0640, kBase);
    Touch("dir", 0751, kBase);
    const struct timespec times[2] = {{kBase, 0}, {kBase, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, Path("link").c_str(), times, AT_SYMLINK_NOFOLLOW), 0);

    const char *mod = "Modify=20200913122640;";
    EXPECT_EQ(Line("file", 0), std::string("Type=file;Size=5;") + mod + "UNIX.mode=0640; file\r\n");
    EXPECT_EQ(Line("dir", 0), std::string("Type=dir;") + mod + "UNIX.mode=0751; dir\r\n");
    EXPECT_EQ(Line("fifo", 0), std::string("Type=OS.unix=fifo;Size=0;") + mod + "UNIX.mode=0640; fifo\r\n");
    EXPECT_EQ(Line("chr", 0), std::string("Type=OS.unix=chr;Size=0;") + mod + "UNIX.mode=0640; chr\r\n");
    EXPECT_EQ(Line("blk", 0), std::string("Type=OS.unix=blk;Size=0;") + mod + "UNIX.mode=0640; blk\r\n");
    EXPECT_EQ(Line("sock", 0), std::string("Type=OS.unix=socket;Size=0;") + mod + "UNIX.mode=0640; sock\r\n");
    EXPECT_EQ(Line("link", 0), std::string("Type=OS.unix=slink;Size=4;") + mod + "UNIX.mode=0777; link\r\n");
    EXPECT_EQ(Line("link", 1), std::string("Type=file;Size=5;") + mod + "UNIX.mode=0640; link\r\n");
}

// The Modify fact is computed without the C library's conversion: it must
// agree with it across leap days, centuries and the years before 1970.
TEST_F(MlsTest, ModifyIsTheModificationTimeInUtc)
{
    FILE *f = fopen(Path("t").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    gMlsOpts = kMlsModify;
    for (time_t t : {time_t{0}, time_t{-1}, time_t{-86401}, time_t{951782400}, time_t{951868799},
                     time_t{978307199}, time_t{4107542399}, time_t{4107542400}, kBase, time_t{253402300799}}) {
        Touch("t", 0644, t);
        struct stat st;
        ASSERT_EQ(lstat(Path("t").c_str(), &st), 0);   // the file system may clamp the time
        struct tm tmv;
        ASSERT_NE(gmtime_r(&st.st_mtime, &tmv), nullptr);
        char expected[64];
        strftime(expected, sizeof(expected), "Modify=%Y%m%d%H%M%S; t\r\n", &tmv);
        EXPECT_EQ(Line("t", 0), expected) << t;
    }
}

// l1 -> l2 -> ... -> lN -> target: seven links are followed, an eighth is
// one too many; a dangling link and a loop give no line.
TEST_F(MlsTest, LinksResolveThroughAtMostSevenLevels)
{
    ASSERT_EQ(mkdir(Path("d").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(Path("d/target").c_str(), 0700), 0);
    for (int chain = 1; chain <= 8; chain++) {
        for (int i = chain; i >= 1; i--) {
            const std::string name = "c" + std::to_string(chain) + "_" + std::to_string(i);
            const std::string to = i == chain ? "d/target" : "c" + std::to_string(chain) + "_" + std::to_string(i + 1);
            ASSERT_EQ(symlink(to.c_str(), Path(name).c_str()), 0);
        }
        const std::string first = "c" + std::to_string(chain) + "_1";
        const std::string line = Line(first, 1);
        if (chain <= kMlsMaxLinkLevels)
            EXPECT_EQ(line.rfind("Type=dir;", 0), 0u) << chain << ": " << line;
        else
            EXPECT_EQ(line, "") << chain;
    }
    ASSERT_EQ(symlink("nothing", Path("dangling").c_str()), 0);
    ASSERT_EQ(symlink("loop", Path("loop").c_str()), 0);
    EXPECT_EQ(Line("dangling", 1), "");
    EXPECT_EQ(Line("loop", 1), "");
    EXPECT_EQ(Line("dangling", 0).rfind("Type=OS.unix=slink;Size=7;", 0), 0u);
}

// A line of 511 characters and its NUL fill the 512-byte buffer; one more
// character and the entry is not listed.
TEST_F(MlsTest, ALineThatDoesNotFitInTheBufferIsLeftOut)
{
    FILE *f = fopen(Path("x").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    Touch("x", 0644, kBase);
    struct stat st;
    ASSERT_EQ(lstat(Path("x").c_str(), &st), 0);
    const std::string facts = "Type=file;Size=0;Modify=20200913122640;UNIX.mode=0644; ";
    for (size_t total : {size_t{510}, size_t{511}, size_t{512}, size_t{513}}) {
        const std::string name(total - facts.size() - 2, 'n');
        char buf[kMlsLineSize];
        const int n = Mls(buf, sizeof(buf), Path("x").c_str(), &st, name.c_str(), 0, nullptr, nullptr);
        if (total < kMlsLineSize) {
            EXPECT_EQ(n, static_cast<int>(total));
            EXPECT_EQ(std::string(buf), facts + name + "\r\n");
        } else {
            EXPECT_EQ(n, 0) << total;
        }
    }
}

}  // namespace
