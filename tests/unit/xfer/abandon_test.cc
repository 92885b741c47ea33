// A session that ends in the middle of a transfer: what the transfer held is
// released, so the next session of the same process finds no open file, no
// lock, no archiver and no temporary upload file.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "Strn.h"
#include "transfer/archive.h"
#include "transfer/retr.h"
#include "transfer/stor.h"

namespace {

// 1 when another process could take a write lock on the whole file now.
int OthersMayLock(const std::string &path)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(path.c_str(), O_RDWR);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        _exit(fd >= 0 && fcntl(fd, F_SETLK, &fl) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool Closed(int fd)
{
    return fcntl(fd, F_GETFD) < 0 && errno == EBADF;
}

class Abandon : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/xfer_abandon.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
    std::string dir_;
};

}  // namespace

TEST_F(Abandon, ClosesTheLockedFileAndRemovesTheTemporaryUpload)
{
    const std::string tmp = dir_ + "/.upload.doc";
    const int fd = open(tmp.c_str(), O_CREAT | O_EXCL | O_RDWR, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(LockWholeFile(fd, F_WRLCK), 0);
    ASSERT_FALSE(OthersMayLock(tmp));
    gXferFileFd = fd;
    Strncpy(gTmpUploadPath, tmp.c_str());

    AbandonTransfer();
    EXPECT_TRUE(Closed(fd));
    EXPECT_EQ(gXferFileFd, -1);
    EXPECT_EQ(gTmpUploadPath[0], '\0');
    EXPECT_NE(access(tmp.c_str(), F_OK), 0);
}

TEST_F(Abandon, DropsTheLockOfADownload)
{
    const std::string path = dir_ + "/file";
    const int fd = open(path.c_str(), O_CREAT | O_RDWR, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(LockWholeFile(fd, F_RDLCK), 0);
    ASSERT_FALSE(OthersMayLock(path));
    gXferFileFd = fd;
    AbandonTransfer();
    EXPECT_TRUE(OthersMayLock(path));
    EXPECT_EQ(access(path.c_str(), F_OK), 0) << "a download's file stays";
}

TEST_F(Abandon, ClosesTheArchivePipeAndStopsTheArchivers)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        pause();                               // an archiver that never finishes
        _exit(0);
    }
    close(p[1]);
    gArchivePipe = p[0];
    gArchiverPids[0] = pid;

    AbandonTransfer();
    EXPECT_TRUE(Closed(p[0]));
    EXPECT_EQ(gArchivePipe, -1);
    EXPECT_EQ(gArchiverPids[0], 0);
    EXPECT_EQ(kill(pid, 0), -1) << "reaped";
}

TEST_F(Abandon, WithNothingHeldDoesNothing)
{
    const std::string keep = dir_ + "/.upload.keep";
    const int fd = open(keep.c_str(), O_CREAT | O_WRONLY, 0644);
    close(fd);
    gTmpUploadPath[0] = '\0';
    AbandonTransfer();
    EXPECT_EQ(access(keep.c_str(), F_OK), 0) << "a temporary file this session did not make";
}
