// Start-up pieces: the second option scan, the swap of the file arguments,
// the PID file layout, the directories root writes in for itself, the
// hashing self-tests and host name detection (the latter in a private UTS
// namespace so the host name can be set).
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.h"
#include "process/startup.h"
#include "paths/trusteddir.h"

namespace {

// Runs the second scan over "zorvad <args> g.cf d.cf".
void Scan(std::vector<const char *> args)
{
    std::vector<char *> argv;
    static char prog[] = "zorvad";
    argv.push_back(prog);
    std::vector<std::string> copies(args.begin(), args.end());
    copies.push_back("g.cf");
    copies.push_back("d.cf");
    for (std::string &s : copies)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    ScanOptions(static_cast<int>(argv.size()) - 1, argv.data());
}

void ResetSettings()
{
    SetConfigDefaults();
    gAnonOnlyServer = 0;
    gDaemon = 0;
    gLogToTTY = 1;
    gHidePasswordsInVerboseLog = 1;
}

std::string ReadFile(const char *path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string Line(const char *text)
{
    std::string s(text);
    s.resize(63, ' ');
    return s + "\n";
}

}  // namespace

TEST(StartupOptions, UserCountsAndPort)
{
    ResetSettings();
    Scan({"-p", "2121", "-n", "10"});
    EXPECT_EQ(gServerPort, 2121);
    EXPECT_EQ(gNumChildren, 10);
    EXPECT_EQ(gMinChildren, 10);
    Scan({"-n3,2"});
    EXPECT_EQ(gNumChildren, 3);
    EXPECT_EQ(gMinChildren, 2);
}

TEST(StartupOptions, ImpossibleUserCountsPrintTheUsage)
{
    ResetSettings();
    EXPECT_EXIT(Scan({"-n", "10,20"}), ::testing::ExitedWithCode(2), "Usage:  zorvad \\[flags\\]");
    EXPECT_EXIT(Scan({"-n", "0"}), ::testing::ExitedWithCode(2), "Usage:");
}

TEST(StartupOptions, KeyBaseIsHexadecimalWithOrWithout0x)
{
    ResetSettings();
    Scan({"-k", "0x1234"});
    EXPECT_EQ(gShmKeyBase, 0x1234);
    gShmKeyBase = 0;
    Scan({"-k", "1234"});
    EXPECT_EQ(gShmKeyBase, 0x1234);
}

TEST(StartupOptions, SwitchesAndLevels)
{
    ResetSettings();
    Scan({"-a", "-d", "-vv", "-q", "-Y"});
    EXPECT_EQ(gAnonOnlyServer, 1);
    EXPECT_EQ(gDaemon, 1);
    EXPECT_EQ(gTraceLogging, 2);
    EXPECT_EQ(gLogToTTY, 0);
    EXPECT_EQ(gHidePasswordsInVerboseLog, 0);
    Scan({"-u", "-V", "-Q"});
    EXPECT_EQ(gAnonOnlyServer, 0);
    EXPECT_EQ(gTraceLogging, 0);
    EXPECT_EQ(gLogToTTY, 2);
}

TEST(StartupOptions, FileArgumentsAreSwappedOnlyForDomainThenGeneral)
{
    struct Case {
        const char *first, *second;
        bool swapped;
    };
    const Case cases[] = {
        {"domain.cf", "general.cf", true},
        {"/etc/zv/d.cf", "/etc/zv/g.cf", true},
        {"general.cf", "domain.cf", false},
        {"dom.cf", "other.cf", false},
        {"/d/x.cf", "/g/y.cf", false},
    };
    for (const Case &c : cases) {
        char a[64], b[64];
        snprintf(a, sizeof(a), "%s", c.first);
        snprintf(b, sizeof(b), "%s", c.second);
        char *first = a, *second = b;
        SwapConfigArgs(&first, &second);
        EXPECT_EQ(first == b, c.swapped) << c.first << " " << c.second;
    }
}

TEST(StartupPIDFile, FixedWidthLinesWrittenInPlace)
{
    char dir[] = "/tmp/zorvad-pidfile-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    snprintf(gPIDFile, kPIDFileSize, "%s/zorvad.pid.sh", dir);
    gNumChildren = 2;
    gMasterPID = 4321;
    gLoggerPID = 987;
    gChild = 0;
    InitPIDFile();

    std::string data = ReadFile(gPIDFile);
    ASSERT_EQ(data.size(), 10u + 64u * (2 + 4));
    EXPECT_EQ(data.substr(0, 10), "#!/bin/sh\n");
    EXPECT_EQ(data.substr(10, 64), Line("kill -15   4321                # main process"));
    EXPECT_EQ(data.substr(74, 64), Line("sleep 5"));
    EXPECT_EQ(data.substr(138, 64), Line("kill -9     987 2>/dev/null    # logger"));
    for (size_t off = 202; off < data.size(); off += 64)
        EXPECT_EQ(data.substr(off, 64), Line(""));
    struct stat st;
    ASSERT_EQ(stat(gPIDFile, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);

    gChild = 2;
    WritePIDFile(0);
    data = ReadFile(gPIDFile);
    char expected[80];
    snprintf(expected, sizeof(expected), "kill -9  %6d 2>/dev/null    # child 2", static_cast<int>(getpid()));
    EXPECT_EQ(data.substr(138 + 128, 64), Line(expected));
    WritePIDFile(1);
    EXPECT_EQ(ReadFile(gPIDFile).substr(138 + 128, 64), Line(""));

    gChild = -1;
    WritePIDFile(0);
    snprintf(expected, sizeof(expected), "kill -9  %6d 2>/dev/null    # logd", static_cast<int>(getpid()));
    EXPECT_EQ(ReadFile(gPIDFile).substr(138, 64), Line(expected));

    gChild = 0;
    RemovePIDFile();
    EXPECT_NE(access(gPIDFile, F_OK), 0);
    rmdir(dir);
    gPIDFile[0] = '\0';
    gLoggerPID = -1;
}

TEST(StartupPIDFile, WithoutALoggerTheScriptSaysSo)
{
    char dir[] = "/tmp/zorvad-pidfile-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    snprintf(gPIDFile, kPIDFileSize, "%s/zorvad.pid.sh", dir);
    gNumChildren = 1;
    gLoggerPID = -1;
    gChild = 0;
    InitPIDFile();
    EXPECT_EQ(ReadFile(gPIDFile).substr(138, 64), Line("echo ERROR: logger PID unknown"));
    RemovePIDFile();
    rmdir(dir);
    gPIDFile[0] = '\0';
}

// ---- Directories only root can change ----------------------------------------------

constexpr uid_t kNobody = 65534;

// A tree under a fresh directory of root's: top/mid/end, each 0755 and
// root's unless a case changes one, and top/link -> mid.
class TrustedDirTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/zorvad-trusted-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        base_ = tmpl;
        ASSERT_EQ(mkdir(Path("top").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(Path("top/mid").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(Path("top/mid/end").c_str(), 0755), 0);
        ASSERT_EQ(symlink("mid", Path("top/link").c_str()), 0);
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf " + base_;
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string Path(const std::string &rel) const { return base_ + "/" + rel; }
    std::string base_;
};

TEST_F(TrustedDirTest, OnlyDirectoriesNobodyElseCanChangeAreOpened)
{
    struct Case {
        const char *changed;   // directory whose owner and mode the case sets
        uid_t owner;
        mode_t mode;
        const char *path;      // the path opened
        uid_t serverAccount;
        int err;               // 0: opened
        const char *blamed;    // the directory named when refused
    };
    const Case cases[] = {
        {nullptr, 0, 0, "top/mid/end", 0, 0, nullptr},
        {nullptr, 0, 0, "top/./mid//end/", 0, 0, nullptr},
        {"top/mid/end", 0, 0775, "top/mid/end", 0, EPERM, "top/mid/end"},       // group-writable
        {"top/mid/end", 0, 0757, "top/mid/end", 0, EPERM, "top/mid/end"},       // writable by all
        {"top/mid/end", kNobody, 0755, "top/mid/end", 0, EPERM, "top/mid/end"}, // another owner
        {"top/mid/end", 0, 01777, "top/mid/end", 0, EPERM, "top/mid/end"},      // sticky, at the end
        {"top/mid", 0, 01777, "top/mid/end", 0, 0, nullptr},                    // sticky, above it
        {"top/mid", kNobody, 0755, "top/mid/end", 0, EPERM, "top/mid"},         // another owner above
        {"top/mid/end", kNobody, 0755, "top/mid/end", kNobody, 0, nullptr},     // the server's own
        {nullptr, 0, 0, "top/link/end", 0, ELOOP, "top/link"},
        {nullptr, 0, 0, "top/link", 0, ELOOP, "top/link"},
        {nullptr, 0, 0, "top/mid/../mid/end", 0, EINVAL, nullptr},
    };
    for (const Case &c : cases) {
        if (&c != cases) {   // a fresh tree for each case
            TearDown();
            SetUp();
        }
        if (c.changed != nullptr) {
            ASSERT_EQ(chown(Path(c.changed).c_str(), c.owner, c.owner), 0);
            ASSERT_EQ(chmod(Path(c.changed).c_str(), c.mode), 0);
        }
        size_t len = 0;
        const int fd = OpenTrustedDirectory(Path(c.path).c_str(), c.serverAccount, &len);
        const int err = errno;
        if (c.err == 0) {
            EXPECT_GE(fd, 0) << c.path << " " << (c.changed ? c.changed : "");
            struct stat st, want;
            EXPECT_EQ(fstat(fd, &st), 0);
            EXPECT_EQ(stat(Path(c.path).c_str(), &want), 0);
            EXPECT_EQ(st.st_ino, want.st_ino);
            close(fd);
        } else {
            EXPECT_EQ(fd, -1) << c.path << " " << (c.changed ? c.changed : "");
            EXPECT_EQ(err, c.err) << c.path;
            if (c.blamed != nullptr) {
                EXPECT_EQ(std::string(Path(c.path), 0, len), Path(c.blamed)) << c.path;
            }
        }
    }
    EXPECT_EQ(OpenTrustedDirectory("tmp", 0), -1);   // not absolute
    EXPECT_EQ(errno, EINVAL);
}

// The core directory is entered as root on a fatal signal: only when nobody
// else can change it or lead there by a link.
TEST_F(TrustedDirTest, TheCoreDirectoryIsEnteredOnlyWhenNobodyElseCanChangeIt)
{
    char oldCwd[1024];
    ASSERT_EQ(getcwd(oldCwd, sizeof(oldCwd)), oldCwd);
    gInitialized = true;
    gCoreSubDir[0] = '\0';
    struct Case {
        std::string dir;
        bool entered;
    };
    ASSERT_EQ(mkdir(Path("top/open").c_str(), 0777), 0);
    ASSERT_EQ(chmod(Path("top/open").c_str(), 0777), 0);
    const Case cases[] = {
        {Path("top/mid/end"), true},
        {Path("top/link/end"), false},
        {Path("top/open"), false},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(chdir("/"), 0);
        snprintf(gCoreDir, sizeof(gCoreDir), "%s", c.dir.c_str());
        EXPECT_EQ(EnterCoreDirectory(), c.entered) << c.dir;
        char cwd[1024];
        ASSERT_EQ(getcwd(cwd, sizeof(cwd)), cwd);
        EXPECT_EQ(std::string(cwd), c.entered ? Path("top/mid/end") : "/") << c.dir;
    }
    snprintf(gCoreDir, sizeof(gCoreDir), "%s", Path("top/mid").c_str());
    snprintf(gCoreSubDir, sizeof(gCoreSubDir), "end");
    EXPECT_TRUE(EnterCoreDirectory());
    gCoreDir[0] = gCoreSubDir[0] = '\0';
    gInitialized = false;
    ASSERT_EQ(chdir(oldCwd), 0);
}

TEST(StartupSelfTests, TraditionalAndMd5CryptBothWork)
{
    EXPECT_EQ(HashSelfTests(), 0);
}

// Host names are set in a private UTS namespace of a death-test child.
TEST(StartupHostName, ANameWithADotIsTakenAsItIs)
{
    EXPECT_EXIT(
        {
            if (unshare(CLONE_NEWUTS) < 0 || sethostname("ftp.example.org", 15) < 0)
                _exit(3);
            char buf[kHostNameSize];
            const int m = GetOurHostName(buf, sizeof(buf));
            fprintf(stderr, "method %d name [%s]\n", m, buf);
            _exit(m == 2 && strcmp(buf, "ftp.example.org") == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "method 2");
}

TEST(StartupHostName, ANameThatFillsTheBufferIsRefused)
{
    EXPECT_EXIT(
        {
            const std::string name = "a." + std::string(62, 'b');   // 64 characters
            if (unshare(CLONE_NEWUTS) < 0 || sethostname(name.c_str(), name.size()) < 0)
                _exit(3);
            char buf[kHostNameSize];
            const int m = GetOurHostName(buf, sizeof(buf));
            _exit(m == -3 && buf[0] == '\0' ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(StartupHostName, ALocalhostDotNameIsCutAndNeverReturnedAsItIs)
{
    EXPECT_EXIT(
        {
            if (unshare(CLONE_NEWUTS) < 0 || sethostname("localhost.localdomain", 21) < 0)
                _exit(3);
            char buf[kHostNameSize];
            const int m = GetOurHostName(buf, sizeof(buf));
            const bool ok = strcmp(buf, "localhost.localdomain") != 0 && (m > 0 ? buf[0] != '\0' : buf[0] == '\0');
            _exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(StartupPortDefaults, KeyBaseFollowsThePortUnlessGiven)
{
    SetConfigDefaults();
    gServerPort = 2121;
    DeriveShmKeyBase();
    EXPECT_EQ(static_cast<unsigned>(gShmKeyBase), 0x77C1832Eu);
    SetConfigDefaults();
    gServerPort = 21;
    DeriveShmKeyBase();
    EXPECT_EQ(static_cast<unsigned>(gShmKeyBase), 0x77C0FFEEu);
    gServerPort = 2121;
    gShmKeyBase = 0x1234;
    DeriveShmKeyBase();
    EXPECT_EQ(gShmKeyBase, 0x1234);
}

TEST(StartupPortDefaults, TheStandardPIDFileNameGetsThePort)
{
    struct Case {
        int port;
        const char *given, *used;
    };
    const Case cases[] = {
        {2121, "/run/zorvad.pid.sh", "/run/zorvad-2121.pid.sh"},
        {21, "/run/zorvad.pid.sh", "/run/zorvad.pid.sh"},
        {2121, "/run/other.pid.sh", "/run/other.pid.sh"},
        {2121, "zorvad.pid.sh", "zorvad.pid.sh"},      // no directory part: as named
        {2121, "/zorvad.pid.sh", "/zorvad.pid.sh"},    // a leading slash only: as named
    };
    for (const Case &c : cases) {
        gServerPort = c.port;
        snprintf(gPIDFile, kPIDFileSize, "%s", c.given);
        CheckPIDFile();
        EXPECT_STREQ(gPIDFile, c.used) << c.given;
    }
    gPIDFile[0] = '\0';
}

TEST(StartupPortDefaults, AnUnnamedPIDFileStopsTheStart)
{
    gPIDFile[0] = '\0';
    EXPECT_EXIT(CheckPIDFile(), ::testing::ExitedWithCode(1), "Please specify a valid pathname for `pid-file'.");
}
