// The logger process, run in a forked child and fed crafted records through a
// pipe; its log files live in a temporary directory and its clock is a value
// the test sets in shared memory.
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Strn.h"
#include "config/config.h"
#include "log/log.h"
#include "logger/logger.h"
#include "status/shm.h"
#include "process/startup.h"

namespace fs = std::filesystem;

namespace {

constexpr time_t kNow = 1699998307;              // 2023-11-14 21:45:07 UTC
constexpr const char *kNowText = "2023-11-14 21:45:07";

// ---- The child's clock and domain table -----------------------------------------------------

struct SharedClock {
    volatile long sec;
    volatile long usec;
};
SharedClock *gClock = nullptr;

int TestClock(struct timeval *tv)
{
    tv->tv_sec = gClock->sec;
    tv->tv_usec = gClock->usec;
    return 0;
}

// Patterns by domain and type; "%D" in them stands for the domain number.  The
// table has gTestDomains sets; a reload adds gGrowBy sets and bumps
// gGeneration, which "%G" stands for.
std::string gPatterns[kLogNumTypes - 1];
int gTestDomains = 1;
int gGrowBy = 0;
int gGeneration = 0;
std::string gExpanded;

int TestNumDomains()
{
    return gTestDomains;
}

const char *TestPattern(int domain, int type)
{
    gExpanded = gPatterns[type];
    for (const auto &[mark, value] : {std::pair<std::string, int>{"%D", domain}, {"%G", gGeneration}}) {
        for (size_t at; (at = gExpanded.find(mark)) != std::string::npos;)
            gExpanded.replace(at, 2, std::to_string(value));
    }
    return gExpanded.c_str();
}

int TestReload()
{
    gTestDomains += gGrowBy;
    gGeneration++;
    return 0;
}

void SetReloadFlag(int)
{
    gReloadConfiguration = 1;
}

std::string ReadFile(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

bool Eventually(const std::function<bool()> &condition)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < limit) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        setenv("TZ", "UTC0", 1);
        tzset();
        char tmpl[] = "/tmp/zorvad-logger-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        void *page = mmap(nullptr, sizeof(SharedClock), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(page, MAP_FAILED);
        gClock = static_cast<SharedClock *>(page);
        gClock->sec = kNow;
        gClock->usec = 123999;
        gLoggerClock = TestClock;
        gLoggerDomains = {TestNumDomains, TestPattern, TestReload};
        gTestDomains = 1;
        gGrowBy = 0;
        gGeneration = 0;
        gPatterns[kLogMisc] = Path("misc.log");
        gPatterns[kLogXfer] = Path("xfer-%D.log");
        gPatterns[kLogSession] = Path("session-%D.log");
        gPatterns[kLogStat] = Path("stat.log");
        gUseTimeCache = 0;
        gLogTimestampFractionalSeconds = 0;
        gLogUmask = 022;
        gLogOwner = static_cast<uid_t>(-1);
        gLogGroup = static_cast<gid_t>(-1);
        gLogToTTY = 0;
        for (char *p : {gDownloadEventProcessor, gUploadEventProcessor, gLoginEventProcessor, gLogoutEventProcessor})
            p[0] = '\0';
        childSetup_ = nullptr;
    }

    void TearDown() override
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            Stop();
        }
        if (gClock != nullptr)
            munmap(gClock, sizeof(SharedClock));
        gClock = nullptr;
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::string Path(const std::string &name) const { return (fs::path(dir_) / name).string(); }
    std::string File(const std::string &name) const { return ReadFile(Path(name)); }

    // Forks the logger with standard error going to the file "stderr".
    void Start()
    {
        int fds[2], stop[2];
        ASSERT_EQ(MakeLogPipe(fds), 0);
        ASSERT_EQ(pipe(stop), 0);
        const std::string errPath = Path("stderr");
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            close(fds[1]);
            close(stop[1]);
            const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            dup2(err, 2);
            close(err);
            if (childSetup_)
                childSetup_();
            LogServer(LogInputs{fds[0], -1}, stop[0]);
        }
        close(fds[0]);
        close(stop[0]);
        fd_ = fds[1];
        stop_ = stop[1];
    }

    void SendBytes(const void *p, size_t n) { ASSERT_EQ(write(fd_, p, n), static_cast<ssize_t>(n)); }

    void Send(int type, int domain, const std::string &text, const char *tag = "(main)  | ",
              uint32_t magic = kLogMagic, int length = -1)
    {
        std::string rec(sizeof(LogRecordHeader), '\0');
        LogRecordHeader hdr {};
        Strncpy(hdr.tag, tag, sizeof(hdr.tag));
        hdr.type = type;
        hdr.length = length >= 0 ? length : static_cast<int>(text.size());
        hdr.domain = domain;
        hdr.magic = magic;
        memcpy(rec.data(), &hdr, sizeof(hdr));
        rec += text;
        SendBytes(rec.data(), rec.size());
    }

    // Closes the pipe (if still open) and returns the logger's exit status.
    int Stop()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        if (stop_ >= 0)
            close(stop_);
        stop_ = -1;
        int status = -1;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    bool FileHas(const std::string &name, const std::string &text)
    {
        return Eventually([&] { return File(name).find(text) != std::string::npos; });
    }

    std::string dir_;
    pid_t pid_ = -1;
    int fd_ = -1;
    int stop_ = -1;   // the master's stop channel
    std::function<void()> childSetup_;
};

// ---- Stamps, tags and line ends --------------------------------------------------------------

TEST_F(LoggerTest, RecordsAreStampedTaggedAndAppendedToTheMiscLog)
{
    Start();
    Send(kLogMisc, 0, "hello\n", "#u3     | ");
    const pid_t logger = pid_;
    ASSERT_EQ(Stop(), 0);

    const std::vector<std::string> lines = Lines(File("misc.log"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], std::string(kNowText) + " (logd)  | Started (pid=" + std::to_string(logger) + ").");
    EXPECT_EQ(lines[1], std::string(kNowText) + " #u3     | hello");
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(std::string(kNowText) + R"( \(logd\)  \| Exiting; last fd=\d+\.)")))
        << lines[2];
}

TEST_F(LoggerTest, EveryLineEndsInOneLineFeed)
{
    Start();
    Send(kLogMisc, 0, "dos\r\n");
    Send(kLogMisc, 0, "bare");
    Send(kLogMisc, 0, "cr\rinside\n");
    ASSERT_EQ(Stop(), 0);
    const std::string misc = File("misc.log");
    EXPECT_NE(misc.find("(main)  | dos\n"), std::string::npos);
    EXPECT_NE(misc.find("(main)  | bare\n"), std::string::npos);
    EXPECT_NE(misc.find("(main)  | cr\rinside\n"), std::string::npos);
    EXPECT_EQ(misc.find("\r\n"), std::string::npos);
}

TEST_F(LoggerTest, StatisticsLinesHaveNeitherStampNorTag)
{
    Start();
    Send(kLogStat, 0, "2023-11-14 21:30:00,1,2,3\n");
    Send(kLogStat, 0, "no line end");
    ASSERT_EQ(Stop(), 0);
    EXPECT_EQ(File("stat.log"), "2023-11-14 21:30:00,1,2,3\nno line end\n");
}

TEST_F(LoggerTest, FractionalSecondsFollowTheTimeWithTheConfiguredDigits)
{
    for (int digits : {3, 1, 6}) {
        SCOPED_TRACE(digits);
        gLogTimestampFractionalSeconds = digits;
        gPatterns[kLogMisc] = Path("misc-" + std::to_string(digits) + ".log");
        Start();
        Send(kLogMisc, 0, "x\n");
        ASSERT_EQ(Stop(), 0);
        const std::string fraction = std::string(".123999").substr(0, static_cast<size_t>(digits) + 1);
        const std::vector<std::string> lines = Lines(File("misc-" + std::to_string(digits) + ".log"));
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[1], std::string(kNowText) + fraction + " (main)  | x");
    }
}

// ---- Damaged input ------------------------------------------------------------------------------

TEST_F(LoggerTest, AShortHeaderAtTheEndIsReported)
{
    Start();
    Send(kLogMisc, 0, "complete\n");
    SendBytes("0123456789", 10);
    ASSERT_EQ(Stop(), 0);
    const std::vector<std::string> lines = Lines(File("misc.log"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], std::string(kNowText) + " (main)  | complete");
    EXPECT_EQ(lines[2], std::string(kNowText) +
                            " (logd)  | Warning:  Short message header received by logger.  Logger may be out of sync.");
    EXPECT_NE(lines[3].find("Exiting; last fd="), std::string::npos);
}

TEST_F(LoggerTest, ABadMagicNumberOrLengthIsReportedAndSkipped)
{
    Start();
    Send(kLogMisc, 0, "", "(main)  | ", 0xDEADBEEF);
    Send(kLogMisc, 0, "", "(main)  | ", kLogMagic, 5000);
    Send(kLogMisc, 0, "after\n");
    ASSERT_EQ(Stop(), 0);
    const std::vector<std::string> lines = Lines(File("misc.log"));
    ASSERT_EQ(lines.size(), 5u);
    const std::string bogus =
        std::string(kNowText) + " (logd)  | Warning:  Bogus message received by logger.  Logger may be out of sync.";
    EXPECT_EQ(lines[1], bogus);
    EXPECT_EQ(lines[2], bogus);
    EXPECT_EQ(lines[3], std::string(kNowText) + " (main)  | after");
}

TEST_F(LoggerTest, UnknownTypesAreDropped)
{
    Start();
    Send(5, 0, "five\n");
    Send(-3, 0, "negative\n");
    Send(kLogEvent, 0, "DOWNLOAD\tnobody\n");      // no event processor configured
    Send(kLogMisc, 0, "marker\n");
    ASSERT_EQ(Stop(), 0);
    const std::string misc = File("misc.log");
    EXPECT_EQ(misc.find("five"), std::string::npos);
    EXPECT_EQ(misc.find("negative"), std::string::npos);
    EXPECT_EQ(misc.find("DOWNLOAD"), std::string::npos);
    EXPECT_NE(misc.find("marker"), std::string::npos);
}

// ---- Choosing and switching files --------------------------------------------------------------

TEST_F(LoggerTest, ADatedPatternSwitchesFilesAtMidnight)
{
    gPatterns[kLogXfer] = Path("xfer-%Y%m%d.log");
    gClock->sec = 1700006399;                    // 2023-11-14 23:59:59
    Start();
    Send(kLogXfer, 0, "before midnight\n");
    ASSERT_TRUE(FileHas("xfer-20231114.log", "before midnight"));
    gClock->sec = 1700006401;                    // 2023-11-15 00:00:01
    Send(kLogXfer, 0, "after midnight\n");
    ASSERT_EQ(Stop(), 0);
    EXPECT_EQ(File("xfer-20231114.log"), "2023-11-14 23:59:59 (main)  | before midnight\n");
    EXPECT_EQ(File("xfer-20231115.log"), "2023-11-15 00:00:01 (main)  | after midnight\n");
}

TEST_F(LoggerTest, MissingDirectoriesAreCreatedAndFilesGetUmaskOwnerAndGroup)
{
    gPatterns[kLogSession] = Path("logs/%Y/%m/session.log");
    gLogUmask = 027;
    gLogOwner = 1;
    gLogGroup = 1;
    Start();
    Send(kLogSession, 0, "LOGIN,alice\n");
    ASSERT_EQ(Stop(), 0);
    struct stat st {};
    ASSERT_EQ(stat(Path("logs/2023/11/session.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(st.st_uid, 1u);
    EXPECT_EQ(st.st_gid, 1u);
    ASSERT_EQ(stat(Path("logs/2023").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
}

TEST_F(LoggerTest, TransferAndSessionRecordsGoToTheSendersDomainSet)
{
    gTestDomains = 2;
    Start();
    Send(kLogXfer, 1, "R,one\n");
    Send(kLogXfer, 0, "R,zero\n");
    Send(kLogSession, 1, "LOGIN,one\n");
    Send(kLogMisc, 1, "misc from set one\n");
    ASSERT_EQ(Stop(), 0);
    EXPECT_NE(File("xfer-1.log").find("R,one"), std::string::npos);
    EXPECT_EQ(File("xfer-1.log").find("R,zero"), std::string::npos);
    EXPECT_NE(File("xfer-0.log").find("R,zero"), std::string::npos);
    EXPECT_NE(File("session-1.log").find("LOGIN,one"), std::string::npos);
    EXPECT_NE(File("misc.log").find("misc from set one"), std::string::npos);
}

TEST_F(LoggerTest, ASetBeyondTheTableIsLookedUpAgainAndDroppedWhenStillMissing)
{
    gTestDomains = 1;
    gGrowBy = 1;
    Start();
    Send(kLogXfer, 1, "R,new set\n");      // the reload adds set 1
    Send(kLogXfer, 7, "R,removed set\n");  // still beyond after the next reload
    Send(kLogXfer, -1, "R,negative set\n");
    ASSERT_EQ(Stop(), 0);
    EXPECT_NE(File("xfer-1.log").find("R,new set"), std::string::npos);
    EXPECT_FALSE(fs::exists(Path("xfer-7.log")));
    EXPECT_FALSE(fs::exists(Path("xfer--1.log")));
}

TEST_F(LoggerTest, AHangupClosesTheFilesAndReloadsThePatterns)
{
    gPatterns[kLogMisc] = Path("misc-%G.log");
    childSetup_ = [] { signal(SIGHUP, SetReloadFlag); };
    Start();
    Send(kLogMisc, 0, "before\n");
    ASSERT_TRUE(FileHas("misc-0.log", "before"));
    kill(pid_, SIGHUP);
    ASSERT_TRUE(Eventually([&] {
        Send(kLogMisc, 0, "after\n");
        return File("misc-1.log").find("after") != std::string::npos;
    }));
    ASSERT_EQ(Stop(), 0);
}

// The domain table logs while it reloads (its outcome, its errors), when the
// logger has closed its files: what that opens must not stay open once the
// patterns are loaded again.
int LoggingReload()
{
    Log(kLogMisc, "reloaded\n");
    return TestReload();
}

size_t OpenDescriptors(pid_t pid)
{
    const fs::path dir = "/proc/" + std::to_string(pid) + "/fd";
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

size_t Count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

TEST_F(LoggerTest, HangupsLeaveNoDescriptorOpenBehind)
{
    gLoggerDomains = {TestNumDomains, TestPattern, LoggingReload};
    childSetup_ = [] { signal(SIGHUP, SetReloadFlag); };
    Start();
    Send(kLogMisc, 0, "start\n");
    ASSERT_TRUE(FileHas("misc.log", "start"));
    const size_t before = OpenDescriptors(pid_);
    for (size_t i = 1; i <= 5; i++) {
        kill(pid_, SIGHUP);
        ASSERT_TRUE(Eventually([&] {
            Send(kLogMisc, 0, "tick\n");
            return Count(File("misc.log"), "reloaded") == i;
        }));
    }
    Send(kLogMisc, 0, "end\n");
    ASSERT_TRUE(FileHas("misc.log", "end"));
    EXPECT_EQ(OpenDescriptors(pid_), before);
    ASSERT_EQ(Stop(), 0);
}

TEST_F(LoggerTest, AFileThatCannotBeOpenedLosesItsRecordsAndIsReported)
{
    std::ofstream(Path("plainfile")) << "x";
    gPatterns[kLogXfer] = Path("plainfile/xfer.log");
    Start();
    Send(kLogXfer, 0, "R,lost\n");
    Send(kLogMisc, 0, "still logging\n");
    ASSERT_EQ(Stop(), 0);
    EXPECT_EQ(File("stderr"), "Could not open " + Path("plainfile/xfer.log") + " for writing: Not a directory\n");
    EXPECT_NE(File("misc.log").find("still logging"), std::string::npos);
}

TEST_F(LoggerTest, WithoutAMiscFileLinesGoToStandardError)
{
    gPatterns[kLogMisc] = "relative/misc.log";
    Start();
    Send(kLogMisc, 0, "to stderr\n");
    ASSERT_EQ(Stop(), 0);
    EXPECT_NE(File("stderr").find(std::string(kNowText) + " (main)  | to stderr\n"), std::string::npos);
    EXPECT_FALSE(fs::exists("relative/misc.log"));
}

TEST_F(LoggerTest, EchoCopiesMiscLinesToStandardError)
{
    gLogToTTY = 2;
    Start();
    Send(kLogMisc, 0, "echoed\n");
    Send(kLogXfer, 0, "R,not echoed\n");
    ASSERT_EQ(Stop(), 0);
    gLogToTTY = 0;
    EXPECT_NE(File("stderr").find("(main)  | echoed\n"), std::string::npos);
    EXPECT_EQ(File("stderr").find("not echoed"), std::string::npos);
    EXPECT_NE(File("misc.log").find("(main)  | echoed\n"), std::string::npos);
}

// ---- The end ---------------------------------------------------------------------------------------

// Code running inside a session can write anything into the log pipe it
// holds, the stop record of type -99 too: the logger goes on.  Only the
// master's own channel stops it, after what is already in the pipe.
TEST_F(LoggerTest, ASessionCannotStopTheLoggerOnlyTheMastersChannelCan)
{
    Start();
    Send(-99, 0, "");
    Send(kLogMisc, 0, "after the session's stop\n");
    ASSERT_TRUE(FileHas("misc.log", "after the session's stop"));
    Send(kLogMisc, 0, "last\n");
    ASSERT_EQ(write(stop_, "", 1), 1);
    int status = -1;
    ASSERT_EQ(waitpid(pid_, &status, 0), pid_);     // while the log pipe stays open
    pid_ = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string misc = File("misc.log");
    EXPECT_NE(misc.find("(main)  | last\n"), std::string::npos);
    EXPECT_NE(misc.find("Exiting; last fd="), std::string::npos);
    EXPECT_EQ(misc.find("Bogus"), std::string::npos);
}

// ---- Event processors -------------------------------------------------------------------------

class EventTest : public LoggerTest {
  protected:
    // A program that writes its arguments, one a line, to out.
    std::string Script(const std::string &name, const std::string &out)
    {
        const std::string path = Path(name);
        std::ofstream(path) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > " << out << ".tmp && mv "
                            << out << ".tmp " << out << "\n";
        fs::permissions(path, fs::perms::owner_all);
        return path;
    }
};

TEST_F(EventTest, AnEventRecordRunsItsProgramWithTheFieldsAsArguments)
{
    Strncpy(gDownloadEventProcessor, Script("ondownload", Path("download.args")).c_str(), kConfigPathSize);
    Strncpy(gLoginEventProcessor, Script("onlogin", Path("login.args")).c_str(), kConfigPathSize);
    Strncpy(gLogoutEventProcessor, Script("onlogout", Path("logout.args")).c_str(), kConfigPathSize);
    Start();
    Send(kLogEvent, 0, "DOWNLOAD\talice\t\t/pub/a file\t\t\n");
    Send(kLogEvent, 0, "LOGIN\tbob\r\n");
    Send(kLogEvent, 0, "LOGOUT\tcarol\n");
    ASSERT_TRUE(Eventually([&] {
        return fs::exists(Path("download.args")) && fs::exists(Path("login.args")) && fs::exists(Path("logout.args"));
    }));
    ASSERT_EQ(Stop(), 0);
    EXPECT_EQ(File("download.args"), "DOWNLOAD\nalice\n\n/pub/a file\n");
    EXPECT_EQ(File("login.args"), "LOGIN\nbob\n");
    EXPECT_EQ(File("logout.args"), "LOGOUT\ncarol\n");
}

TEST_F(EventTest, RecordsWithOneFieldOrAnotherKindRunNothing)
{
    Strncpy(gUploadEventProcessor, Script("onupload", Path("upload.args")).c_str(), kConfigPathSize);
    Start();
    Send(kLogEvent, 0, "UPLOAD\t\t\n");               // one field once the empty ones are dropped
    Send(kLogEvent, 0, "DELETE\talice\t/x\n");
    Send(kLogEvent, 0, "LOG\tx\n");
    Send(kLogEvent, 0, "UPLOAD\tdave\n");
    ASSERT_TRUE(Eventually([&] { return fs::exists(Path("upload.args")); }));
    ASSERT_EQ(Stop(), 0);
    EXPECT_EQ(File("upload.args"), "UPLOAD\ndave\n");
}

TEST_F(EventTest, AProgramThatCannotBeStartedIsTriedOnceAndForgotten)
{
    const std::string missing = Path("no-such-program");
    Strncpy(gUploadEventProcessor, missing.c_str(), kConfigPathSize);
    Start();
    Send(kLogEvent, 0, "UPLOAD\talice\n");
    Send(kLogEvent, 0, "UPLOAD\tbob\n");
    Send(kLogMisc, 0, "marker\n");
    const std::string failure = "(logd)  | " + missing + ": No such file or directory.\n";
    // The program is started (and found missing) apart from the records' order.
    EXPECT_TRUE(FileHas("misc.log", failure));
    ASSERT_EQ(Stop(), 0);
    const std::string misc = File("misc.log");
    const size_t first = misc.find(failure);
    ASSERT_NE(first, std::string::npos) << misc;
    EXPECT_EQ(misc.find(failure, first + 1), std::string::npos) << misc;
    EXPECT_NE(misc.find("marker"), std::string::npos);
}

// ---- The time cache -----------------------------------------------------------------------------

TEST_F(LoggerTest, TheClockTicksIntoTheSharedTimeWord)
{
    if (unshare(CLONE_NEWIPC) != 0)
        GTEST_SKIP() << "no private IPC namespace: " << strerror(errno);
    gShmKeyBase = 0x5A0B7E02;
    gNumChildren = 1;
    gChild = 0;
    ASSERT_EQ(InitSharedMemory(), 0);
    gUseTimeCache = 1;
    Start();
    EXPECT_TRUE(Eventually([] { return ShmHead()->timeCache == kNow; }));
    gClock->sec = kNow + 60;
    EXPECT_TRUE(Eventually([] { return ShmHead()->timeCache == kNow + 60; }));
    Send(kLogMisc, 0, "cached\n");
    EXPECT_EQ(Stop(), 0);
    EXPECT_NE(File("misc.log").find("2023-11-14 21:46:07 (main)  | cached\n"), std::string::npos);
    gUseTimeCache = 0;
    FreeSharedMemory();
}

}  // namespace
