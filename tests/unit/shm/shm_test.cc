// The shared status area: the segment's size, key and permissions, removal of a
// stale segment, joining and clearing slots, the time cache and the session
// identifier.  Segments are made only inside a private IPC namespace, which
// vanishes with the test process.
#include <sched.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Strn.h"
#include "config/config.h"
#include "log_capture.h"
#include "status/shm.h"
#include "process/startup.h"
#include "version.h"

namespace {

constexpr key_t kTestKey = 0x5A0B7E01;

std::vector<unsigned> gSleeps;
unsigned RecordSleep(unsigned s)
{
    gSleeps.push_back(s);
    return 0;
}

class SegmentTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (unshare(CLONE_NEWIPC) != 0)
            GTEST_SKIP() << "no private IPC namespace: " << strerror(errno);
        gShmKeyBase = kTestKey;
        gNumChildren = 10;
        gChild = 0;
        gSleeps.clear();
        gShmSleep = RecordSleep;
    }
    void TearDown() override
    {
        FreeSharedMemory();
        gShmSleep = sleep;
    }
};

TEST_F(SegmentTest, WithTenUsersTheSegmentHas49408BytesAndMode0600)
{
    ASSERT_EQ(InitSharedMemory(), 0);
    struct shmid_ds ds {};
    ASSERT_EQ(shmctl(gShmID, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_segsz, 49408u);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0600u);
    EXPECT_EQ(ds.shm_perm.__key, kTestKey);
    EXPECT_EQ(shmget(kTestKey, 0, 0), gShmID);
    // Tagged from its creation: the monitor may look before the master's loop.
    char tag[kShmVersionTagSize] = {};
    snprintf(tag, sizeof(tag), "%.12s", gVersion);
    EXPECT_EQ(memcmp(ShmHead()->version, tag, sizeof(tag)), 0);
}

TEST_F(SegmentTest, SlotsSitAfterTheHeaderAndEndWithTheSegment)
{
    ASSERT_EQ(InitSharedMemory(), 0);
    char *base = static_cast<char *>(gShmAddr);
    EXPECT_EQ(reinterpret_cast<char *>(ShmHead()), base);
    EXPECT_EQ(reinterpret_cast<char *>(ShmSlotAt(0)), base + 1024);
    EXPECT_EQ(reinterpret_cast<char *>(ShmSlotAt(3)), base + 1024 + 3 * 3456);
    EXPECT_EQ(reinterpret_cast<char *>(ShmSlotAt(13) + 1), base + 49408);
    EXPECT_EQ(ShmSlotAt(14), nullptr);
    EXPECT_EQ(ShmSlotAt(-1), nullptr);
}

TEST_F(SegmentTest, AStaleSegmentWithTheKeyIsRemovedAndReplaced)
{
    const int stale = shmget(kTestKey, 4096, IPC_CREAT | 0600);
    ASSERT_GE(stale, 0);
    LogCapture log;

    ASSERT_EQ(InitSharedMemory(), 0);

    EXPECT_NE(gShmID, stale);
    struct shmid_ds ds {};
    EXPECT_NE(shmctl(stale, IPC_STAT, &ds), 0);
    ASSERT_EQ(shmctl(gShmID, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_segsz, 49408u);
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"shared memory pool [key 0x5a0b7e01] already exists!  Removed it.\n"});
    EXPECT_EQ(gSleeps, std::vector<unsigned>{5});
}

// A segment with the key whose master is a live process of this program is
// left alone and the start stops; one whose master is gone, or that names no
// master however many processes are attached to it, is replaced.
enum class Owner { kAttached, kLiveMaster, kDeadMaster };

class ExistingSegmentDeathTest : public SegmentTest, public ::testing::WithParamInterface<Owner> {};

pid_t DeadPid()
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

TEST_P(ExistingSegmentDeathTest, IsKeptWhileItsServerRuns)
{
    const int old = shmget(kTestKey, 49408, IPC_CREAT | 0600);
    ASSERT_GE(old, 0);
    auto *base = static_cast<char *>(shmat(old, nullptr, 0));
    ASSERT_NE(base, reinterpret_cast<char *>(-1));
    const pid_t master = GetParam() == Owner::kDeadMaster ? DeadPid() : getpid();
    reinterpret_cast<ShmSlot *>(base + 1024)->pid = GetParam() == Owner::kAttached ? 0 : master;
    if (GetParam() != Owner::kAttached) {
        ASSERT_EQ(shmdt(base), 0);
    }

    if (GetParam() != Owner::kLiveMaster) {
        LogCapture log;
        ASSERT_EQ(InitSharedMemory(), 0);
        EXPECT_NE(gShmID, old);
        EXPECT_EQ(log.Texts(), std::vector<std::string>{"shared memory pool [key 0x5a0b7e01] already exists!  Removed it.\n"});
        if (GetParam() == Owner::kAttached)
            shmdt(base);
        return;
    }
    EXPECT_EXIT(InitSharedMemory(), ::testing::ExitedWithCode(1),
                "^shared memory pool \\[key 0x5a0b7e01\\] belongs to a running server \\(master pid " +
                    std::to_string(master) +
                    ", [0-9]+ processes attached\\); not starting another one with the same key\\.\n$");
    EXPECT_EQ(shmget(kTestKey, 0, 0), old);
    struct shmid_ds ds {};
    ASSERT_EQ(shmctl(old, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_nattch, 0u);
}

INSTANTIATE_TEST_SUITE_P(Owners, ExistingSegmentDeathTest,
                         ::testing::Values(Owner::kAttached, Owner::kLiveMaster, Owner::kDeadMaster));

TEST_F(SegmentTest, TheMasterRemovesTheSegmentWhenItLeaves)
{
    ASSERT_EQ(InitSharedMemory(), 0);
    ASSERT_EQ(JoinSharedMemory(0), 0);
    FreeSharedMemory();
    EXPECT_EQ(gShmAddr, reinterpret_cast<void *>(-1));
    EXPECT_EQ(gShmSlot, nullptr);
    EXPECT_LT(shmget(kTestKey, 0, 0), 0);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(SegmentTest, AChildOnlyDetachesAndClearsItsSlot)
{
    ASSERT_EQ(InitSharedMemory(), 0);
    const int id = gShmID;
    gChild = 2;
    ASSERT_EQ(JoinSharedMemory(2), 0);
    gShmSlot->sessionStart = 1234;
    FreeSharedMemory();
    gChild = 0;

    EXPECT_EQ(shmget(kTestKey, 0, 0), id);
    auto *again = static_cast<char *>(shmat(id, nullptr, 0));
    ASSERT_NE(again, reinterpret_cast<char *>(-1));
    const auto *slot = reinterpret_cast<const ShmSlot *>(again + 1024 + 2 * 3456);
    EXPECT_EQ(slot->pid, getpid());
    EXPECT_EQ(slot->sessionStart, 0);
    // TearDown leaves through the master's path, which removes the segment.
    gShmAddr = again;
}

// Code running in a session's process writes its mailbox as it likes, and
// the master clears a bucket of every slot ahead of its quarter hour while the
// session goes on: a publication adds only what the mailbox's figures grew by.
TEST_F(SegmentTest, APublicationTakesOnlyWhatTheStatisticsGrewBy)
{
    ASSERT_EQ(InitSharedMemory(), 0);
    ASSERT_EQ(JoinSharedMemory(0), 0);
    ShmSlot *slot = gShmSlot;
    slot->stats[7].session[kStatConnections] = 5;   // two and a half hours old, not yet cleared
    slot->stats[3].download.count = 2;
    slot->stats[3].download.seconds = 1.5;
    ASSERT_EQ(ShmPrepareMailbox(), 0);

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (ShmUseMailbox() < 0)
            _exit(1);
        ShmStatBucket *b = gRUserPtr->stats;
        b[7].session[kStatConnections]++;           // a connection ended in the new quarter hour
        b[3].download.count = 0;                    // a figure taken down
        b[3].download.seconds = NAN;                // no number
        b[3].upload.kib += 10;
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    memset(&slot->stats[7], 0, sizeof(slot->stats[7]));     // the master, at the quarter hour

    ShmPublishMailbox(true);
    EXPECT_EQ(slot->stats[7].session[kStatConnections], 1u);
    EXPECT_EQ(slot->stats[3].download.count, 2u);
    EXPECT_EQ(slot->stats[3].download.seconds, 1.5);
    EXPECT_EQ(slot->stats[3].upload.kib, 10u);
    ShmPublishMailbox(true);                                        // nothing grew since
    EXPECT_EQ(slot->stats[3].upload.kib, 10u);
    EXPECT_EQ(slot->stats[7].session[kStatConnections], 1u);
}

// A server sized for many users but serving few must not pay memory for the
// rest: neither the master's start nor its quarter-hour sums touch the pages
// of slots that no child has used.
TEST_F(SegmentTest, SlotsNoChildUsedStayOutOfMemory)
{
    gNumChildren = 1000;
    ASSERT_EQ(InitSharedMemory(), 0);
    ASSERT_EQ(JoinSharedMemory(0), 0);
    StatDump(kShmBucketSeconds * 100, 0, 3);
    const long page = sysconf(_SC_PAGESIZE);
    // From the page after slot 4 to the page before the logger's slot.
    const auto pageOf = [page](const void *p) { return reinterpret_cast<uintptr_t>(p) & ~(page - 1); };
    char *from = reinterpret_cast<char *>(pageOf(ShmSlotAt(5)) + page);
    const size_t span = pageOf(ShmSlotAt(1001)) - reinterpret_cast<uintptr_t>(from);
    std::vector<unsigned char> resident(span / page);
    ASSERT_EQ(mincore(from, span, resident.data()), 0);
    size_t touched = 0;
    for (unsigned char r : resident)
        touched += r & 1;
    EXPECT_EQ(touched, 0u) << "of " << resident.size() << " pages";
}

// ---- Joining and clearing slots, on a segment image in ordinary memory ---------------------

class SlotTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        gNumChildren = 4;
        image_.assign(ShmSegmentSize(gNumChildren), 0);
        gShmAddr = image_.data();
        ShmHead()->maxUsers = 4;
        gChild = 0;
    }
    void TearDown() override
    {
        gShmAddr = reinterpret_cast<void *>(-1);
        gShmSlot = nullptr;
    }
    std::vector<char> image_;
};

TEST_F(SlotTest, TheMasterRecordsTheHeaderAndTheLoggerPid)
{
    gServerStartTime = 1700000000;
    gLoggerPID = 4242;
    ASSERT_EQ(JoinSharedMemory(0), 0);
    EXPECT_STREQ(ShmHead()->version, "Zorvad 1.0.0");
    EXPECT_EQ(ShmHead()->maxUsers, 4u);
    EXPECT_EQ(ShmHead()->serverStart, 1700000000);
    EXPECT_EQ(gShmSlot, ShmSlotAt(0));
    EXPECT_EQ(ShmSlotAt(0)->pid, getpid());
    EXPECT_EQ(ShmSlotAt(5)->pid, 4242);
    gLoggerPID = -1;
}

TEST_F(SlotTest, AChildRecordsItsStartTimeAndTheLoggerHasNoSlot)
{
    ASSERT_EQ(JoinSharedMemory(3), 0);
    EXPECT_EQ(gShmSlot, ShmSlotAt(3));
    EXPECT_EQ(gShmSlot->pid, getpid());
    EXPECT_NEAR(static_cast<double>(gShmSlot->procStart), static_cast<double>(time(nullptr)), 5.0);

    EXPECT_EQ(JoinSharedMemory(-1), 0);
    EXPECT_EQ(gShmSlot, nullptr);
    EXPECT_EQ(JoinSharedMemory(5), -1);
}

TEST_F(SlotTest, ASessionEndKeepsPidStartTimeCountAndStatistics)
{
    ASSERT_EQ(JoinSharedMemory(1), 0);
    ShmSlot *s = gShmSlot;
    const int64_t started = s->procStart;
    s->resetCount = 7;
    s->sessionStart = 1700000000;
    Strncpy(s->user, "alice", sizeof(s->user));
    Strncpy(s->cwd, "/pub", sizeof(s->cwd));
    s->waitStart = 99;
    s->stats[4].session[kStatConnections] = 3;
    s->pid = 1;

    ResetSharedMemory();

    EXPECT_EQ(s->pid, getpid());
    EXPECT_EQ(s->procStart, started);
    EXPECT_EQ(s->resetCount, 7u);
    EXPECT_EQ(s->stats[4].session[kStatConnections], 3u);
    EXPECT_EQ(s->sessionStart, 0);
    const char *live = reinterpret_cast<const char *>(s) + 32;
    EXPECT_EQ(std::vector<char>(live, live + 944), std::vector<char>(944, 0));
}

TEST_F(SlotTest, TheConfigurationPathsAreCut)
{
    const std::string longPath(300, 'g');
    ShmRecordConfigPaths(longPath.c_str(), "/etc/zorvad/domain.cf");
    EXPECT_EQ(std::string(ShmHead()->generalCf), longPath.substr(0, 255));
    EXPECT_STREQ(ShmHead()->domainCf, "/etc/zorvad/domain.cf");
}

// ---- Time cache ----------------------------------------------------------------------------------

TEST_F(SlotTest, TheTimeCacheIsUsedWhenOnAndSet)
{
    gUseTimeCache = 1;
    ShmHead()->timeCache = 1234567;
    time_t t = 0;
    EXPECT_EQ(ShmTime(&t), 1234567);
    EXPECT_EQ(t, 1234567);
}

TEST_F(SlotTest, TheSystemClockIsUsedWhenTheCacheIsOffOrEmpty)
{
    const double now = static_cast<double>(time(nullptr));
    gUseTimeCache = 1;
    ShmHead()->timeCache = 0;
    EXPECT_NEAR(static_cast<double>(ShmTime(nullptr)), now, 5.0);

    gUseTimeCache = 0;
    ShmHead()->timeCache = 1234567;
    EXPECT_NEAR(static_cast<double>(ShmTime(nullptr)), now, 5.0);
    gUseTimeCache = 1;

    gShmAddr = reinterpret_cast<void *>(-1);
    EXPECT_NEAR(static_cast<double>(ShmTime(nullptr)), now, 5.0);
}

// ---- Session identifier ------------------------------------------------------------------------

struct SessionIdCase {
    time_t start;
    int child;
    unsigned count;
    const char *id;
};

TEST(SessionId, EncodesStartChildAndCountInBase64WithoutPadding)
{
    const SessionIdCase cases[] = {
        {1700000000, 3, 7, "ZVPxAAAAAAAAAwAHAAAAAAAA"},
        {0, 0, 0, "AAAAAAAAAAAAAAAAAAAAAAAA"},
        {1234567890, 1, 1, "SZYC0gAAAAAAAQABAAAAAAAA"},
        // Only the low 32 bits of the time and 16 bits of each number count.
        {0x1FFFFFFFFLL, 0x1FFFF, 0x1FFFF, "/////wAAAAD/////AAAAAAAA"},
    };
    for (const SessionIdCase &c : cases) {
        char id[kShmSessionIdSize];
        memset(id, 'x', sizeof(id));
        EncodeSessionId(id, sizeof(id), c.start, c.child, c.count);
        EXPECT_STREQ(id, c.id);
    }
}

TEST(SessionId, ATooSmallBufferGetsAnEmptyText)
{
    char id[24];
    EncodeSessionId(id, sizeof(id), 1700000000, 3, 7);
    EXPECT_STREQ(id, "");
}

}  // namespace
