// The archiver processes of directory downloads: a program that cannot be
// started is known before anything is sent, and a started one runs with the
// real user and group of the effective ones.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "Strn.h"
#include "archive.h"
#include "config.h"

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

TEST_F(Archivers, AStartedArchiverSendsItsOutput)
{
    Strncpy(gTarPath, Script("fake-tar", "echo \"$1 $2 $3\"; ls \"$3\"\n").c_str());
    const int fd = RetrOpenDir(Tree().c_str(), ".tar");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ReadAll(fd), "cf - tree\nfile\n");
    close(fd);
    ReapArchivers();
    EXPECT_TRUE(NoChildLeft());
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
    ReapArchivers();
}
