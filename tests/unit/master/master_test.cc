// The master's pieces that need no running pool: the quarter-hour statistics
// check point with an injected clock, the death reports of children and the
// logger, and the descriptor sweep and report.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.h"
#include "log/log.h"
#include "process/master.h"
#include "status/shm.h"
#include "process/startup.h"

namespace {

struct Record {
    int type;
    std::string text;
};
std::vector<Record> gRecords;

void Capture(const LogRecordHeader *hdr, const char *text)
{
    gRecords.push_back({hdr->type, std::string(text, static_cast<size_t>(hdr->length))});
}

unsigned NoSleep(unsigned)
{
    return 0;
}

class Logged : public ::testing::Test {
  protected:
    void SetUp() override
    {
        gRecords.clear();
        gLogSink = Capture;
        gTraceLogging = 1;
    }
    void TearDown() override
    {
        gLogSink = nullptr;
        gTraceLogging = 0;
    }
    std::vector<std::string> Texts(int type)
    {
        std::vector<std::string> out;
        for (const Record &r : gRecords) {
            if (r.type == type)
                out.push_back(r.text);
        }
        return out;
    }
};

// A private segment under a key of this test process.
class Statistics : public Logged {
  protected:
    void SetUp() override
    {
        Logged::SetUp();
        gShmSleep = NoSleep;
        gShmKeyBase = static_cast<key_t>(0x5A000000 | (getpid() & 0xFFFFF));
        gNumChildren = 2;
        gChild = 0;
        InitSharedMemory();
        ASSERT_EQ(JoinSharedMemory(0), 0);
        NoteHighestDescriptor();
        gRecords.clear();
    }
    void TearDown() override
    {
        FreeSharedMemory();
        Logged::TearDown();
    }
};

// A quarter-hour boundary (a multiple of 900 seconds).
constexpr time_t kBoundary = 1800000000 - 1800000000 % 900;

TEST_F(Statistics, AQuarterHourWithConnectionsIsWrittenFifteenSecondsAfterItsEnd)
{
    gNextStatDump = kBoundary;
    gNextStatDumpD = kBoundary + kStatDumpDelay;
    gPeriodMaxSimultaneousUsers = 2;
    StatSession(kBoundary - 100, 30, 0);                              // the master's refusal count
    ShmSlotAt(1)->stats[ShmBucketIndex(kBoundary - 3)].session[kStatConnections] = 2;   // a child's
    gHighestChild = 1;

    EXPECT_EQ(StatisticsCheckPoint(kBoundary + 14), 0);
    EXPECT_TRUE(Texts(kLogStat).empty());

    EXPECT_EQ(StatisticsCheckPoint(kBoundary + 15), 1);
    const std::vector<std::string> lines = Texts(kLogStat);
    ASSERT_EQ(lines.size(), 1u);
    char start[32];
    const time_t begin = kBoundary - 900;
    struct tm tm {};
    strftime(start, sizeof(start), "%Y-%m-%d %H:%M:%S", localtime_r(&begin, &tm));
    EXPECT_EQ(lines[0].rfind(std::string(start) + "," + std::to_string(begin) + ",", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("," + std::to_string(kBoundary - 1) + ",3,"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[0].substr(lines[0].size() - 3), ",2\n");

    EXPECT_EQ(gNextStatDump, kBoundary + 900);
    EXPECT_EQ(gNextStatDumpD, kBoundary + 900 + kStatDumpDelay);
    EXPECT_EQ(gPeriodMaxSimultaneousUsers, 0);
}

TEST_F(Statistics, AQuarterHourWithoutConnectionsWritesNothing)
{
    gNextStatDump = kBoundary;
    gNextStatDumpD = kBoundary + kStatDumpDelay;
    EXPECT_EQ(StatisticsCheckPoint(kBoundary + 20), 1);
    EXPECT_TRUE(Texts(kLogStat).empty());
    EXPECT_EQ(gNextStatDump, kBoundary + 900);
}

int StatusOf(void (*body)())
{
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

TEST_F(Logged, DeathsOfChildrenAndOfTheLoggerAreTold)
{
    const int exited3 = StatusOf([] { _exit(3); });
    const int exited0 = StatusOf([] { _exit(0); });
    const int killed = StatusOf([] { raise(SIGKILL); });

    LogDeath(101, 2, exited3);
    LogDeath(102, 2, exited0);
    LogDeath(103, 4, killed);
    LogDeath(104, -1, killed);
    LogDeath(105, -1, exited3);
    const std::vector<std::string> expected = {
        "Detected exit status 3 from child #2, pid 101.\n",
        "Detected death of natural causes of child #2, pid 102.\n",
        "Detected abnormal death of child #4, pid 103, due to signal 9.\n",
        "Detected abnormal death of logger, pid 104, due to signal 9.\n",
        "Logger died with exit status 3, pid 105.\n",
    };
    EXPECT_EQ(Texts(kLogMisc), expected);
}

TEST_F(Logged, OrdinaryEndsOfChildrenAreToldOnlyWhenVerbose)
{
    gTraceLogging = 0;
    LogDeath(101, 2, 0);
    EXPECT_TRUE(gRecords.empty());
}

TEST_F(Logged, TheSweepClosesWhatWasOpenedAfterTheNote)
{
    NoteHighestDescriptor();
    const int low = open("/dev/null", O_RDONLY);
    ASSERT_GE(low, 0);
    const int fd = fcntl(low, F_DUPFD, HighestOpenDescriptor() + 1);   // above whatever the test inherited
    close(low);
    ASSERT_GE(fd, 0);
    CloseStrayDescriptors();
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    const std::vector<std::string> expected = {
        "Descriptor " + std::to_string(fd) + " (of type character device) was unexpectedly open and has been closed.\n",
    };
    EXPECT_EQ(Texts(kLogMisc), expected);

    gRecords.clear();
    CloseStrayDescriptors();
    EXPECT_TRUE(gRecords.empty());
}

TEST_F(Logged, TheDescriptorReportListsEveryOpenDescriptorOnce)
{
    const int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    LeakReport();
    const std::vector<std::string> lines = Texts(kLogMisc);
    ASSERT_GE(lines.size(), 2u);
    char want[64];
    snprintf(want, sizeof(want), "  fd %2d type=chr      age=", fd);
    bool found = false;
    for (const std::string &l : lines)
        found = found || l.rfind(want, 0) == 0;
    EXPECT_TRUE(found);
    EXPECT_NE(lines.back().find(" descriptors used (max "), std::string::npos) << lines.back();
    EXPECT_EQ(std::to_string(lines.size() - 1), lines.back().substr(0, lines.back().find(' ')));

    gRecords.clear();
    LeakReport();                       // at most once per process
    EXPECT_TRUE(gRecords.empty());
    close(fd);
}

}  // namespace
