// The archiver processes of directory downloads: a program that cannot be
// started is known before anything is sent, and a started one runs with the
// real user and group of the effective ones.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "Strn.h"
#include "transfer/archive.h"
#include "config/config.h"
#include "session/shell.h"

namespace {

constexpr uid_t kNobody = 65534;

std::string ReadAll(int fd)
{
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

bool NoChildLeft()
{
    return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

class Archivers : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/xfer_archive.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir_ + "/tree").c_str(), 0755), 0);
        const int fd = open((dir_ + "/tree/file").c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_EQ(write(fd, "content\n", 8), 8);
        close(fd);
        Strncpy(gGzipPath, "");
        Strncpy(gCompressPath, "");
        Strncpy(gZipPath, "");
    }
    void TearDown() override
    {
        Strncpy(gTarPath, "");
        Strncpy(gGzipPath, "");
        std::system(("rm -rf " + dir_).c_str());
    }
    // An executable shell script in the directory.
    std::string Script(const std::string &name, const std::string &body)
    {
        const std::string p = dir_ + "/" + name;
        const int fd = open(p.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0755);
        const std::string text = "#!/bin/sh\n" + body;
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
        return p;
    }
    std::string Tree() const { return dir_ + "/tree"; }
    std::string dir_;
};

}  // namespace

TEST_F(Archivers, AMissingProgramIsKnownAtOnce)
{
    Strncpy(gTarPath, (dir_ + "/no-such-tar").c_str());
    EXPECT_EQ(RetrOpenDir(Tree().c_str(), ".tar"), -1);
    EXPECT_EQ(gArchiverPids[0], 0);
    EXPECT_TRUE(NoChildLeft());
}

TEST_F(Archivers, AMissingCompressorStopsTheTarAlreadyRunning)
{
    Strncpy(gTarPath, Script("slow-tar", "exec sleep 30\n").c_str());
    Strncpy(gGzipPath, (dir_ + "/no-such-gzip").c_str());
    EXPECT_EQ(RetrOpenDir(Tree().c_str(), ".tar.gz"), -1);
    EXPECT_EQ(gArchiverPids[0], 0);
    EXPECT_EQ(gArchiverPids[1], 0);
    EXPECT_TRUE(NoChildLeft());
}

// The directory was checked with every link resolved: a link met on the way
// to it now means the tree changed since.
TEST_F(Archivers, ALinkOnTheWayToTheDirectoryRefusesTheArchive)
{
    Strncpy(gTarPath, Script("fake-tar", "echo started\n").c_str());
    ASSERT_EQ(symlink(dir_.c_str(), (dir_ + "/swapped").c_str()), 0);
    EXPECT_EQ(RetrOpenDir((dir_ + "/swapped/tree").c_str(), ".tar"), -1);
    EXPECT_EQ(gArchiverPids[0], 0);
    EXPECT_TRUE(NoChildLeft());
}

TEST_F(Archivers, AStartedArchiverSendsItsOutput)
{
    Strncpy(gTarPath, Script("fake-tar", "echo \"$1 $2 $3\"; ls \"$3\"\n").c_str());
    const int fd = RetrOpenDir(Tree().c_str(), ".tar");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ReadAll(fd), "cf - tree\nfile\n");
    close(fd);
    EXPECT_EQ(ReapArchivers(), 0);
    EXPECT_TRUE(NoChildLeft());
}

TEST_F(Archivers, AnAnonymousArchiveLeavesOutTheIncomingDirectoryAndDotFiles)
{
    Strncpy(gTarPath, Script("args-tar", "echo \"$*\"\n").c_str());
    const int saved[] = {gIsAnon, gAPathnameFilter, gAllowIncoming, gAllowDownloadFromIncoming};
    gIsAnon = 1;
    gAPathnameFilter = 1;
    gAllowIncoming = 1;
    gAllowDownloadFromIncoming = 0;
    const int fd = RetrOpenDir(Tree().c_str(), ".tar");
    gIsAnon = saved[0];
    gAPathnameFilter = saved[1];
    gAllowIncoming = saved[2];
    gAllowDownloadFromIncoming = saved[3];
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ReadAll(fd), "cf - --exclude=incoming --exclude=.* tree\n");
    close(fd);
    EXPECT_EQ(ReapArchivers(), 0);
}

TEST_F(Archivers, RunWithTheRealUserAndGroupOfTheEffectiveOnes)
{
    Strncpy(gTarPath, Script("id-tar", "echo $(id -ru) $(id -u) $(id -rg) $(id -g)\n").c_str());
    ASSERT_EQ(setegid(kNobody), 0);
    ASSERT_EQ(seteuid(kNobody), 0);
    const int fd = RetrOpenDir(Tree().c_str(), ".tar");
    ASSERT_EQ(seteuid(0), 0);
    ASSERT_EQ(setegid(0), 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ReadAll(fd), "65534 65534 65534 65534\n");
    close(fd);
    EXPECT_EQ(ReapArchivers(), 0);
}

// The exclusions: options before the directory for tar, a -x list at the end
// for zip, with configured names matching only themselves; refused trees
// anchored at the start of the member names.
TEST(ArchiveExclusions, GoBeforeTheDirectoryForTarAndInATrailingListForZip)
{
    Strncpy(gTarPath, "/bin/tar");
    Strncpy(gGzipPath, "/bin/gzip");
    Strncpy(gZipPath, "/usr/bin/zip");
    static ArchiverWords words;
    const char *argv[kMaxArchivers][kMaxArchiverArgs];
    const RefusedTree refused[] = {{"s[1]/x*", false}, {"etc/hosts.", true}};

    ASSERT_EQ(ArchiverCommands(".tgz", "p?b", ArchiveExclusions{"up[*?\\]", true, refused, 2}, words, argv), 2);
    const char *tar[] = {"/bin/tar", "cf", "-", "--exclude=up\\[\\*\\?\\\\]", "--exclude=.*", "--anchored",
                         "--exclude=p\\?b/s\\[1]/x\\*", "--exclude=p\\?b/etc/hosts.*", "p?b", nullptr};
    for (size_t i = 0; i < std::size(tar); i++)
        EXPECT_STREQ(argv[0][i], tar[i]) << i;
    EXPECT_STREQ(argv[1][0], "/bin/gzip");

    ASSERT_EQ(ArchiverCommands(".zip", "pub", ArchiveExclusions{"incoming", true, refused, 2}, words, argv), 1);
    const char *zip[] = {"/usr/bin/zip", "-rqyy", "-", "pub", "-x", "*/incoming", "*/incoming/*", "*/.*",
                         "pub/s\\[1]/x\\*", "pub/s\\[1]/x\\*/*", "pub/etc/hosts.*", nullptr};
    for (size_t i = 0; i < std::size(zip); i++)
        EXPECT_STREQ(argv[0][i], zip[i]) << i;

    ASSERT_EQ(ArchiverCommands(".zip", "pub", ArchiveExclusions{"", false}, words, argv), 1);
    EXPECT_EQ(argv[0][4], nullptr) << "no -x without patterns";
    ASSERT_EQ(ArchiverCommands(".tar", "pub", ArchiveExclusions{nullptr, true}, words, argv), 1);
    EXPECT_STREQ(argv[0][3], "--exclude=.*");
    EXPECT_STREQ(argv[0][4], "pub");
    EXPECT_EQ(argv[0][5], nullptr);

    // A pattern that does not fit whole is no pattern: the archive is refused.
    RefusedTree longName{};
    memset(longName.rel, '*', sizeof(longName.rel) - 1);
    const std::string name(300, 'n');
    EXPECT_EQ(ArchiverCommands(".tar", name.c_str(), ArchiveExclusions{nullptr, false, &longName, 1}, words, argv),
              -1);
    Strncpy(gTarPath, "");
    Strncpy(gGzipPath, "");
    Strncpy(gZipPath, "");
}

TEST(ArchiveExclusions, FollowTheRulesOfSingleAnonymousDownloads)
{
    struct Case {
        int anon, filter, allowIncoming, fromIncoming;
        const char *dir;
        const char *incoming;         // nullptr: not excluded
        bool dotFiles;
    };
    constexpr Case kCases[] = {
        {0, 1, 1, 0, "", nullptr, true},               // other users: their own filter
        {0, 0, 1, 0, "", nullptr, false},
        {1, 1, 1, 0, "", "incoming", true},
        {1, 0, 1, 0, "/pub/uploads/", "uploads", false},
        {1, 1, 1, 1, "uploads", nullptr, true},         // downloads from it allowed
        {1, 1, 0, 0, "uploads", nullptr, true},         // no incoming directory at all
        {1, 1, 1, 0, "/", nullptr, true},
    };
    const int saved[] = {gIsAnon, gAPathnameFilter, gAllowIncoming, gAllowDownloadFromIncoming, gUPathnameFilter};
    for (const Case &c : kCases) {
        gIsAnon = c.anon;
        gAPathnameFilter = c.anon ? c.filter : 0;
        gUPathnameFilter = c.anon ? 0 : c.filter;
        gAllowIncoming = c.allowIncoming;
        gAllowDownloadFromIncoming = c.fromIncoming;
        Strncpy(gAIncomingDir, c.dir);
        char name[kConfigPathSize];
        const ArchiveExclusions ex = SessionArchiveExclusions(name, sizeof(name));
        if (c.incoming == nullptr)
            EXPECT_EQ(ex.incoming, nullptr) << c.dir;
        else
            EXPECT_STREQ(ex.incoming, c.incoming) << c.dir;
        EXPECT_EQ(ex.dotFiles, c.dotFiles) << c.dir;
    }
    gIsAnon = saved[0];
    gAPathnameFilter = saved[1];
    gAllowIncoming = saved[2];
    gAllowDownloadFromIncoming = saved[3];
    gUPathnameFilter = saved[4];
    Strncpy(gAIncomingDir, "");
}
