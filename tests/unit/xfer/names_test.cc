// Names and small decisions of transfers: unique names, creation modes,
// program detection, archive suffixes and commands, the incoming directory,
// the alarm and the bandwidth delay.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "Strn.h"
#include "transfer/archive.h"
#include "config/config.h"
#include "transfer/sendmethods.h"
#include "session/shell.h"
#include "transfer/stor.h"

namespace {

class TempDir : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/xfer_names.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
    std::string Touch(const std::string &name)
    {
        const std::string p = dir_ + "/" + name;
        const int fd = open(p.c_str(), O_CREAT | O_WRONLY, 0644);
        close(fd);
        return p;
    }
    std::string dir_;
};

using UniqueName = TempDir;

}  // namespace

TEST_F(UniqueName, IsTheNameItselfWhenItIsFree)
{
    char out[512];
    const std::string base = dir_ + "/report";
    ASSERT_EQ(GetUniqueFileName(base.c_str(), out, sizeof(out)), 0);
    EXPECT_EQ(out, base);
}

TEST_F(UniqueName, SkipsTheTakenNumberedNames)
{
    const std::string base = Touch("report");
    Touch("report.2");
    char out[512];
    ASSERT_EQ(GetUniqueFileName(base.c_str(), out, sizeof(out)), 0);
    EXPECT_EQ(out, base + ".3");
}

TEST_F(UniqueName, ADanglingLinkCountsAsTaken)
{
    const std::string base = dir_ + "/link";
    ASSERT_EQ(symlink("/nonexistent/target", base.c_str()), 0);
    char out[512];
    ASSERT_EQ(GetUniqueFileName(base.c_str(), out, sizeof(out)), 0);
    EXPECT_EQ(out, base + ".2");
}

TEST_F(UniqueName, FailsWhenEveryNumberUpTo999IsTaken)
{
    const std::string base = Touch("full");
    for (int i = 2; i <= 999; i++)
        Touch("full." + std::to_string(i));
    char out[512];
    EXPECT_EQ(GetUniqueFileName(base.c_str(), out, sizeof(out)), -1);
}

TEST_F(UniqueName, AnEmptyNameIsFAndTheUtcDate)
{
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    char expected[32];
    const time_t now = time(nullptr);
    struct tm tm {};
    gmtime_r(&now, &tm);
    strftime(expected, sizeof(expected), "f%Y%m%d", &tm);
    char out[512];
    ASSERT_EQ(GetUniqueFileName("", out, sizeof(out)), 0);
    EXPECT_STREQ(out, expected);
    ASSERT_EQ(chdir("/"), 0);
}

TEST(CreationMode, ProgramsOfRealUsersGetExecutableModeWithAutoChmod)
{
    gIsAnon = 0;
    gUAutoChmodUploads = 1;
    for (const char *name : {"/a/x.cgi", "/a/x.php", "/a/x.pl", "/a/x.py", "/a/x.exe", "/a/x.sh", "/a/x.tcl",
                             "/a/X.SH", "/a/y.tar.PY"})
        EXPECT_EQ(GetFileCreationModeByFileType(name), 0777u) << name;
    for (const char *name : {"/a/x.txt", "/a/x.Sh", "/a/x.shx", "/a/x", "/a.sh/x"})
        EXPECT_EQ(GetFileCreationModeByFileType(name), 0666u) << name;
    gIsAnon = 1;
    EXPECT_EQ(GetFileCreationModeByFileType("/a/x.sh"), 0666u) << "never for anonymous users";
    gIsAnon = 0;
    gUAutoChmodUploads = 0;
    EXPECT_EQ(GetFileCreationModeByFileType("/a/x.sh"), 0666u);
}

TEST(ProgramDetection, KnowsTheFourMagicBeginnings)
{
    EXPECT_TRUE(LooksLikeProgram("\x7f" "ELF\x02\x01", 6));
    EXPECT_TRUE(LooksLikeProgram("#!/bin/sh\n", 10));
    EXPECT_TRUE(LooksLikeProgram("<!--applet code", 15));
    EXPECT_TRUE(LooksLikeProgram("\xca\xfe\xba\xbe\x00", 5));
    EXPECT_FALSE(LooksLikeProgram("#! /bin/sh", 10));
    EXPECT_FALSE(LooksLikeProgram("#!", 2));
    EXPECT_FALSE(LooksLikeProgram("plain text", 10));
}

TEST(ArchiveSuffix, IsCutOffAndReportedInItsOrder)
{
    struct Case {
        const char *in, *dir, *sfx;
    };
    for (const Case &c : {Case {"/pub/src.tar.gz", "/pub/src", ".tar.gz"}, Case {"/pub/src.TAR.Z", "/pub/src", ".TAR.Z"},
                          Case {"/pub/src.tar", "/pub/src", ".tar"}, Case {"/pub/src.Zip", "/pub/src", ".Zip"},
                          Case {"/pub/src.tgz", "/pub/src", ".tgz"}}) {
        char path[512];
        char sfx[16];
        Strncpy(path, c.in);
        ASSERT_EQ(RetrDirSuffix(path, sfx, sizeof(sfx)), 1) << c.in;
        EXPECT_STREQ(path, c.dir);
        EXPECT_STREQ(sfx, c.sfx);
    }
    char path[512] = "/pub/src.gz";
    char sfx[16] = "";
    EXPECT_EQ(RetrDirSuffix(path, sfx, sizeof(sfx)), 0);
    EXPECT_STREQ(path, "/pub/src.gz");
    Strncpy(path, ".tar");
    EXPECT_EQ(RetrDirSuffix(path, sfx, sizeof(sfx)), 0) << "a suffix alone names no directory";
}

TEST(ArchiveCommands, PipeTarThroughTheConfiguredCompressor)
{
    Strncpy(gTarPath, "/bin/tar");
    Strncpy(gGzipPath, "/bin/gzip");
    Strncpy(gCompressPath, "");
    Strncpy(gZipPath, "/usr/bin/zip");
    ArchiverWords words;
    const char *argv[kMaxArchivers][kMaxArchiverArgs];
    const auto commands = [&](const char *sfx) {
        return ArchiverCommands(sfx, "src", ArchiveExclusions{}, words, argv);
    };

    ASSERT_EQ(commands(".tar.gz"), 2);
    EXPECT_STREQ(argv[0][0], "/bin/tar");
    EXPECT_STREQ(argv[0][1], "cf");
    EXPECT_STREQ(argv[0][2], "-");
    EXPECT_STREQ(argv[0][3], "src");
    EXPECT_EQ(argv[0][4], nullptr);
    EXPECT_STREQ(argv[1][0], "/bin/gzip");
    EXPECT_STREQ(argv[1][1], "-3");
    EXPECT_STREQ(argv[1][2], "-c");
    EXPECT_EQ(argv[1][3], nullptr);

    ASSERT_EQ(commands(".tar"), 1);
    ASSERT_EQ(commands(".zip"), 1);
    EXPECT_STREQ(argv[0][1], "-rqyy");
    EXPECT_STREQ(argv[0][2], "-");
    EXPECT_STREQ(argv[0][3], "src");
    EXPECT_EQ(commands(".tar.Z"), 0) << "compress is not configured";
    EXPECT_FALSE(ArchiverConfigured(".tar.Z"));
    Strncpy(gTarPath, "");
    EXPECT_EQ(commands(".tgz"), 0);
    Strncpy(gGzipPath, "");
    Strncpy(gZipPath, "");
}

using ArchiveDir = TempDir;

TEST_F(ArchiveDir, ANotarFileOrATopLevelDirectoryIsRefused)
{
    gVChroot = 0;
    gVChrootThisUser = 0;
    gAllowTarRootDirs = 0;
    ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0755), 0);
    EXPECT_EQ(MayRetrDir((dir_ + "/sub").c_str()), 0);
    Touch("sub/.notar");
    EXPECT_EQ(MayRetrDir((dir_ + "/sub").c_str()), -1);
    EXPECT_EQ(MayRetrDir("/tmp"), -1) << "one slash: a top-level directory";
    gAllowTarRootDirs = 1;
    EXPECT_EQ(MayRetrDir("/tmp"), 0);
    gAllowTarRootDirs = 0;
}

TEST(IncomingDir, IsTheConfiguredNameFollowedBySlashOrTheEnd)
{
    gVChroot = 0;
    gVChrootThisUser = 0;
    gAllowIncoming = 1;
    Strncpy(gAIncomingDir, "");
    int configured = 0;
    EXPECT_TRUE(InIncomingDir("/pub/incoming/x", &configured));
    EXPECT_EQ(configured, 1);
    EXPECT_TRUE(InIncomingDir("/incoming", nullptr));
    EXPECT_FALSE(InIncomingDir("/pub/incomingx/y", nullptr));
    EXPECT_TRUE(InIncomingDir("/pub/incomingx/incoming/f", nullptr));   // the later one counts
    EXPECT_FALSE(InIncomingDir("/pub/x", nullptr));
    // MKD finds the directory itself by the same rule.
    EXPECT_EQ(IncomingDirEnd("/pub/incoming/x"), 13u);
    EXPECT_EQ(IncomingDirEnd("/pub/incomingx/incoming/f"), 23u);
    EXPECT_EQ(IncomingDirEnd("/pub/x"), 0u);
    Strncpy(gAIncomingDir, "uploads");
    EXPECT_TRUE(InIncomingDir("/uploads/new.bin", nullptr));
    EXPECT_FALSE(InIncomingDir("/incoming/new.bin", nullptr));
    EXPECT_EQ(IncomingDirEnd("/uploads/sub/new.bin"), 8u);
    EXPECT_EQ(IncomingDirEnd("/uploads2/incoming/new.bin"), 0u);
    gAllowIncoming = 0;
    EXPECT_FALSE(InIncomingDir("/uploads/new.bin", &configured));
    EXPECT_EQ(configured, 0);
    gAllowIncoming = 1;
    Strncpy(gAIncomingDir, "");
}

TEST(TransferAlarm, GrowsWithTheFileButStaysWithinItsBounds)
{
    EXPECT_EQ(TransferAlarmSeconds(1000, 4096, kSendfileHugeFile, 3600), 3600u);
    EXPECT_EQ(TransferAlarmSeconds(4096LL * 5000, 4096, kSendfileHugeFile, 3600), 5000u);
    EXPECT_EQ(TransferAlarmSeconds(999999999, 4096, kSendfileHugeFile, 10), 65535u);
    EXPECT_EQ(TransferAlarmSeconds(kSendfileHugeFile + 1, 4096, kSendfileHugeFile, 10), 65535u);
    EXPECT_EQ(TransferAlarmSeconds(kMmapHugeFile + 1, 256, kMmapHugeFile, 10), 65535u);
}

TEST(Bandwidth, TheDelayKeepsTheBytesSentWithinTheLimit)
{
    EXPECT_DOUBLE_EQ(BandwidthDelay(0, 100, 0.0), 0.0);
    EXPECT_DOUBLE_EQ(BandwidthDelay(204800, 100, 0.5), 1.5);   // 200 KiB at 100 KiB/s: due at 2 s
    EXPECT_DOUBLE_EQ(BandwidthDelay(204800, 100, 3.0), 0.0);
    EXPECT_DOUBLE_EQ(BandwidthDelay(1 << 30, 0, 0.0), 0.0) << "no limit";
}
