// Uploads through Stor over an open loopback data connection: targets that
// are not plain files, the order of the refusals, the quota after the
// upload and around temporary names, and the restart point against the
// byte limit.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "loopback.h"

#include "Strn.h"
#include "config/config.h"
#include "log_capture.h"
#include "process/master.h"
#include "paths/paths.h"
#include "session/shell.h"
#include "transfer/stor.h"
#include "config/userclass.h"
#include "transfer/xferlog.h"

namespace {

constexpr const char *kOpen = "125 Data connection already open; transfer starting.\r\n";
constexpr const char *kDone = "226 Transfer completed.\r\n";

// A user with every upload permission in a private directory; gData is an
// open data connection (so OpenData answers 125), gCtrl collects replies.
class StorTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(OpenXferTestEnv(&client_, &replies_, &dir_, "xfer_stor"), 0);

        gLoggedIn = 1;
        gIsAnon = 0;
        gType = 'I';
        gMode = 'S';
        gAllowAsciiUploads = 1;
        gAllowAppend = 1;
        Strncpy(gCwd, dir_.c_str());
        gSessionUid = 0;
        gVChroot = gVChrootThisUser = gRestrictedUser = 0;
        gUPathnameFilter = 0;
        for (int p : {kPermModify, kPermAppend, kPermCreate})
            gAllow[p] = 1;
        gUploadTmpThenRename = gLockUploads = gSyncWrites = gUAutoChmodUploads = 0;
        gDeleteUploadedFileIfQuotaExceeded = 0;
        gRequireImplicitAckForUploads = 0;
        gRestartPt = 0;
        gXferTimeout = 10;
        gStorBandwidthLimit = 0;
        gSyslog = gLogXferStarts = 0;
        gLogXfers = 1;
        gLogXferTypeMask = 255;
        // Usage known (so nothing measures it), no limits.
        gUserBytesUsage = 0;
        gUserFilesUsage = 1;
        gUserBytesUsageHardLimit = gUserBytesUsageSoftLimit = 0;
        gUserFilesUsageHardLimit = gUserFilesUsageSoftLimit = 0;
    }
    void TearDown() override
    {
        CloseXferTestEnv(client_, replies_, dir_);
        gUserBytesUsage = gUserFilesUsage = -1;
        gUserBytesUsageHardLimit = gUserFilesUsageHardLimit = 0;
    }
    // STOR name while the client sends data and ends it; the replies.
    std::string Store(const std::string &name, const std::string &data)
    {
        std::thread writer([&] {
            send(client_, data.data(), data.size(), MSG_NOSIGNAL);
            shutdown(client_, SHUT_WR);
        });
        std::string arg = name;
        Stor(arg.data(), 0, 0);
        writer.join();
        return Replies();
    }
    std::string Replies()
    {
        char buf[4096];
        const ssize_t n = recv(replies_, buf, sizeof(buf), MSG_DONTWAIT);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }
    std::string Path(const std::string &name) const { return dir_ + "/" + name; }
    void Write(const std::string &name, const std::string &content)
    {
        const int fd = open(Path(name).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        close(fd);
    }
    std::string Content(const std::string &name)
    {
        std::string out;
        const int fd = open(Path(name).c_str(), O_RDONLY);
        char buf[4096];
        ssize_t n;
        while (fd >= 0 && (n = read(fd, buf, sizeof(buf))) > 0)
            out.append(buf, static_cast<size_t>(n));
        if (fd >= 0)
            close(fd);
        return out;
    }
    bool Exists(const std::string &name) const
    {
        struct stat st;
        return lstat(Path(name).c_str(), &st) == 0;
    }

    int client_ = -1, replies_ = -1;
    std::string dir_;
    LogCapture capture_;
};

// The transfer-log lines among the records, by their first letter.
std::vector<std::string> Lines(const std::vector<std::string> &texts, char letter)
{
    std::vector<std::string> out;
    for (const std::string &t : texts) {
        if (!t.empty() && t[0] == letter)
            out.push_back(t);
    }
    return out;
}

}  // namespace

TEST(RestartQuota, ComparesWithoutOverflow)
{
    EXPECT_EQ(RestartExceedsQuota(10, LLONG_MAX, 100), 1) << "the largest REST offset";
    EXPECT_EQ(RestartExceedsQuota(LLONG_MAX - 5, LLONG_MAX, LLONG_MAX), 1);
    EXPECT_EQ(RestartExceedsQuota(10, 89, 100), 0);
    EXPECT_EQ(RestartExceedsQuota(10, 90, 100), 1) << "at the limit is over";
    EXPECT_EQ(RestartExceedsQuota(10, LLONG_MAX, 0), 0) << "no limit";
    EXPECT_EQ(RestartExceedsQuota(10, 0, 5), 0) << "no restart point";
}

TEST_F(StorTest, OwnersChangeWithoutFollowingLinks)
{
    gRunningAsRoot = 1;
    constexpr uid_t kNobody = 65534;
    Write("victim", "not yours");
    ASSERT_EQ(symlink(Path("victim").c_str(), Path("link").c_str()), 0);
    EXPECT_EQ(SetOwnerAndGroup(Path("link").c_str(), kNobody, kNobody), 0);
    struct stat st;
    ASSERT_EQ(stat(Path("victim").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u) << "the file the link names keeps its owner";
    ASSERT_EQ(lstat(Path("link").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);

    // The upload's name swapped for a link after the upload: the uploaded
    // file itself changes owner.
    Write("upload", "data");
    const int fd = open(Path("upload").c_str(), O_RDONLY);
    ASSERT_EQ(rename(Path("link").c_str(), Path("upload").c_str()), 0);
    EXPECT_EQ(SetOwnerAndGroupOfFile(fd, Path("upload").c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
    ASSERT_EQ(stat(Path("victim").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    close(fd);
    gRunningAsRoot = 0;
}

TEST_F(StorTest, AFifoIsRefusedAtOnceAndLeftAlone)
{
    ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0666), 0);
    std::string arg = "pipe";
    Stor(arg.data(), 0, 0);                    // opening it to write would wait for a reader
    EXPECT_EQ(Replies(), "553 Permission denied.\r\n");
    const std::vector<std::string> recs = Lines(capture_.Texts(), 'S');
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_NE(recs[0].find(",PERM,"), std::string::npos) << recs[0];
    struct stat st;
    ASSERT_EQ(lstat(Path("pipe").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(StorTest, AnUnusableTemporaryNameIsRefusedBeforeThePermissionFlags)
{
    gUploadTmpThenRename = 1;
    for (int p : {kPermModify, kPermAppend, kPermCreate})
        gAllow[p] = 0;
    // A path that fits but leaves no room for "/.upload.".
    const std::string sub(250, 'd');
    ASSERT_EQ(mkdir(Path(sub).c_str(), 0755), 0);
    const std::string name = sub + "/" + std::string(507 - dir_.size() - sub.size() - 2, 'n');
    ASSERT_EQ(Path(name).size(), 507u);
    std::string arg = name;
    Stor(arg.data(), 0, 0);
    EXPECT_EQ(Replies(), "553 Permission denied.\r\n");
    const std::vector<std::string> recs = Lines(capture_.Texts(), 'S');
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_NE(recs[0].find(",PERM,"), std::string::npos) << recs[0];

    arg = "short";
    Stor(arg.data(), 0, 0);
    EXPECT_EQ(Replies(), "553 Sorry, you may not upload files to this system.\r\n");
}

TEST_F(StorTest, AnUploadRemovedForTheQuotaIsAFailure)
{
    gDeleteUploadedFileIfQuotaExceeded = 1;
    gUserFilesUsageHardLimit = 2;              // the new file reaches it
    EXPECT_EQ(Store("new", "content"), std::string(kOpen) + "450 Disk quota exceeded (2 files;  limit: 2).\r\n");
    EXPECT_FALSE(Exists("new"));
    EXPECT_EQ(gUserFilesUsage, 1);
    EXPECT_EQ(gUserBytesUsage, 0);
    const std::vector<std::string> texts = capture_.Texts();
    const std::vector<std::string> deletes = Lines(texts, 'D');
    const std::vector<std::string> uploads = Lines(texts, 'S');
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_NE(uploads[0].find(",ERROR,"), std::string::npos) << uploads[0];
    ASSERT_EQ(deletes.size(), 1u);
    EXPECT_EQ(deletes[0].rfind("D," + Path("new") + ",OK,", 0), 0u) << deletes[0];
}

TEST_F(StorTest, ATemporaryUploadGivesBackTheSizeOfTheFileItReplaces)
{
    gUploadTmpThenRename = 1;
    gUserBytesUsageHardLimit = 1 << 20;
    Write("doc", std::string(1000, 'o'));
    gUserBytesUsage = 5000;
    EXPECT_EQ(Store("doc", "0123456789"), std::string(kOpen) + kDone);
    EXPECT_EQ(Content("doc"), "0123456789");
    EXPECT_FALSE(Exists(".upload.doc"));
    EXPECT_EQ(gUserBytesUsage, 5000 + 10 - 1000);
    EXPECT_EQ(gUserFilesUsage, 1) << "a replaced file is no new file";
}

TEST_F(StorTest, ATemporaryUploadOverTheQuotaLeavesTheOldFileAndLogsTheTemporaryFile)
{
    gUploadTmpThenRename = 1;
    gDeleteUploadedFileIfQuotaExceeded = 1;
    Write("doc", std::string(100, 'o'));
    gUserBytesUsage = 100;
    gUserBytesUsageHardLimit = 150;
    // The upload stops at the limit itself, never a block past it.
    EXPECT_EQ(Store("doc", std::string(100, 'n')),
              std::string(kOpen) + "450 Disk quota exceeded (150 bytes;  limit: 150).\r\n");
    EXPECT_EQ(Content("doc"), std::string(100, 'o'));
    EXPECT_FALSE(Exists(".upload.doc"));
    EXPECT_EQ(gUserBytesUsage, 100);
    EXPECT_EQ(gUserFilesUsage, 1);
    const std::vector<std::string> deletes = Lines(capture_.Texts(), 'D');
    ASSERT_EQ(deletes.size(), 1u);
    EXPECT_EQ(deletes[0].rfind("D," + Path(".upload.doc") + ",OK,", 0), 0u) << deletes[0];
}
