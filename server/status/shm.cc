// The shared status area: creating, joining and leaving the segment, the time
// cache, the session identifier and the quarter-hour statistics (layout in
// shm.h).  No locks: each process writes only its own slot, the logger only the
// time word, and readers take unsynchronised snapshots.
#include "status/shm.h"

#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

#include <climits>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <atomic>
#include <cstring>

#include "Strn.h"
#include "config/config.h"
#include "log/log.h"
#include "status/dirgen.h"
#include "status/sessionindex.h"
#include "base/exit.h"
#include "base/process.h"
#include "version.h"

key_t gShmKey = 0;
int gShmID = -1;
void *gShmAddr = reinterpret_cast<void *>(-1);
ShmSlot *gShmSlot = nullptr;
namespace {
ShmSlot gPrivateSlot;
}
ShmSlot *gRUserPtr = &gPrivateSlot;
unsigned (*gShmSleep)(unsigned seconds) = sleep;

namespace {

bool Attached()
{
    return gShmAddr != reinterpret_cast<void *>(-1) && gShmAddr != nullptr;
}

// Slots in the segment: master, max-users children, the logger's pid word and
// two spare slots.
int NumSlots()
{
    const ShmHeader *h = ShmHead();
    return h != nullptr ? static_cast<int>(h->maxUsers) + 4 : 0;
}

// Systems without System V IPC kill the caller with SIGSYS.
void NoIPCMessage()
{
    fprintf(stderr, "This system does not support System V IPC.\n");
    fprintf(stderr, "Odds are good that this OS can, if you enable it in the kernel.\n");
    fprintf(stderr, "Zorvad requires shared memory to run.\n");
}

void CatchSigSys(int)
{
    static constexpr char kText[] =
        "This system does not support System V IPC.\n"
        "Odds are good that this OS can, if you enable it in the kernel.\n"
        "Zorvad requires shared memory to run.\n";
    ssize_t n = write(2, kText, sizeof(kText) - 1);
    (void) n;
    _exit(1);
}

// Catches SIGSYS while the segment is probed and created.
class SigSysGuard {
  public:
    SigSysGuard()
    {
        struct sigaction sa {};
        sa.sa_handler = CatchSigSys;
        sigemptyset(&sa.sa_mask);
        installed_ = sigaction(SIGSYS, &sa, &saved_) == 0;
    }
    ~SigSysGuard()
    {
        if (installed_)
            sigaction(SIGSYS, &saved_, nullptr);
    }
    SigSysGuard(const SigSysGuard &) = delete;
    SigSysGuard &operator=(const SigSysGuard &) = delete;

  private:
    struct sigaction saved_ {};
    bool installed_ = false;
};

// The master pid recorded in slot 0 of a segment found by key, or 0. The look
// is read-only and taken after the attach count was read.
pid_t MasterPidOf(int id, size_t size)
{
    if (size < kShmHeaderSize + sizeof(int32_t))
        return 0;
    void *addr = shmat(id, nullptr, SHM_RDONLY);
    if (addr == reinterpret_cast<void *>(-1))
        return 0;
    int32_t pid = 0;
    memcpy(&pid, static_cast<const char *>(addr) + kShmHeaderSize + offsetof(ShmSlot, pid), sizeof(pid));
    shmdt(addr);
    return static_cast<pid_t>(pid);
}

bool ProcessAlive(pid_t pid)
{
    return pid > 1 && pid != getpid() && (kill(pid, 0) == 0 || errno == EPERM);
}

constexpr mode_t kSegmentMode = 0600;

// The program a process runs, as the link in /proc names it (an upgraded
// binary still running shows " (deleted)" after its old name).
bool ProgramOf(pid_t pid, char *buf, size_t size)
{
    char link[32];
    snprintf(link, sizeof(link), "/proc/%d/exe", static_cast<int>(pid));
    const ssize_t n = readlink(link, buf, size - 1);
    if (n <= 0)
        return false;
    buf[n] = '\0';
    static constexpr char kDeleted[] = " (deleted)";
    const size_t len = static_cast<size_t>(n);
    if (len > sizeof(kDeleted) - 1 && strcmp(buf + len - (sizeof(kDeleted) - 1), kDeleted) == 0)
        buf[len - (sizeof(kDeleted) - 1)] = '\0';
    return true;
}

// pid is alive and runs this server's program.
bool IsServerProcess(pid_t pid)
{
    if (!ProcessAlive(pid))
        return false;
    char theirs[PATH_MAX], ours[PATH_MAX];
    return ProgramOf(pid, theirs, sizeof(theirs)) && ProgramOf(getpid(), ours, sizeof(ours)) &&
           strcmp(theirs, ours) == 0;
}

// A segment under the server's key is trusted only when this server's user
// (root) both made and owns it with the mode the server gives it, and the
// master recorded in it is a live process of this server's program. Anything
// else (a segment a local user made first, or one a crashed server left) is
// not a running server's, however many processes are attached to it.
bool RunningServersSegment(int id, pid_t *master, uid_t *creator, uid_t *owner)
{
    struct shmid_ds ds {};
    if (shmctl(id, IPC_STAT, &ds) < 0)
        return false;
    *creator = ds.shm_perm.cuid;
    *owner = ds.shm_perm.uid;
    const uid_t self = geteuid();
    if (ds.shm_perm.cuid != self || ds.shm_perm.uid != self || (ds.shm_perm.mode & 0777) != kSegmentMode)
        return false;
    *master = MasterPidOf(id, ds.shm_segsz);
    return IsServerProcess(*master);
}

// A segment left by a crashed server, or made by someone else, is removed;
// one that a running server uses, or that cannot be removed, stops this start.
void RemoveStaleSegment(key_t key)
{
    const int id = shmget(key, 0, 0);
    if (id < 0)
        return;
    pid_t master = 0;
    uid_t creator = 0, owner = 0;
    if (RunningServersSegment(id, &master, &creator, &owner)) {
        struct shmid_ds ds {};
        const unsigned long attached =
            shmctl(id, IPC_STAT, &ds) == 0 ? static_cast<unsigned long>(ds.shm_nattch) : 0;
        Log(kLogMisc, "shared memory pool [key 0x%x] belongs to a running server (master pid %d, %lu processes "
                      "attached); not starting another one with the same key.\n",
            static_cast<unsigned>(key), static_cast<int>(master), attached);
        Exit(1);
    }
    if (creator != geteuid() || owner != geteuid())
        Log(kLogMisc, "shared memory pool [key 0x%x] was made by uid %lu and is owned by uid %lu, not by this "
                      "server.\n",
            static_cast<unsigned>(key), static_cast<unsigned long>(creator), static_cast<unsigned long>(owner));
    if (shmctl(id, IPC_RMID, nullptr) == 0) {
        Log(kLogMisc, "shared memory pool [key 0x%x] already exists!  Removed it.\n", static_cast<unsigned>(key));
        gShmSleep(5);
        return;
    }
    Log(kLogMisc, "shared memory pool [key 0x%x] already exists!  Could not remove it\n", static_cast<unsigned>(key));
    gShmSleep(2);
    Exit(1);
}

[[noreturn]] void CreationFailed(key_t key)
{
    const int err = errno;
    LogPerror("shared memory pool [key 0x%x] creation failed", static_cast<unsigned>(key));
    if (err == ENOSYS) {
        NoIPCMessage();
    } else if (err == EINVAL) {
        Log(kLogMisc, "The reason this failed is most likely because the size\n");
        Log(kLogMisc, "of the shared memory pool is affected by the value you\n");
        Log(kLogMisc, "specified for \"max-users\" in the general.cf file,\n");
        Log(kLogMisc, "and the pool size probably exceeded a system limit.\n");
        Log(kLogMisc, "For Solaris, you can increase the system limit\n");
        Log(kLogMisc, "by adding \"set shmsys:shminfo_shmmax=(number)\" to your\n");
        Log(kLogMisc, "/etc/system file and rebooting the machine.  The default\n");
        Log(kLogMisc, "is \"set shmsys:shminfo_shmmax=1048576\", so you could\n");
        Log(kLogMisc, "try a larger value, such as 4194304 or 10485760.\n");
        Log(kLogMisc, "You could also try using a smaller number for.\n");
        Log(kLogMisc, "\"max-users\" to reduce the size of the pool.\n");
    }
    gShmSleep(2);
    Exit(1);
}

void DetachSegment()
{
    if (shmdt(gShmAddr) == 0)
        return;
    LogPerror("Could not detach from shared memory pool [key 0x%x, id 0x%lx, addr 0x%lx]",
              static_cast<unsigned>(gShmKey), static_cast<unsigned long>(gShmID),
              reinterpret_cast<unsigned long>(gShmAddr));
    gShmSleep(2);
    if (shmdt(gShmAddr) == 0)
        Log(kLogMisc, "Second attempt to detach from shared memory pool succeeded.\n");
}

void RemoveSegment(void *addr)
{
    if (shmctl(gShmID, IPC_RMID, nullptr) == 0)
        return;
    LogPerror("Could not remove shared memory pool [key 0x%x, id 0x%lx, addr 0x%lx]",
              static_cast<unsigned>(gShmKey), static_cast<unsigned long>(gShmID),
              reinterpret_cast<unsigned long>(addr));
    gShmSleep(3);
    if (shmctl(gShmID, IPC_RMID, nullptr) == 0)
        Log(kLogMisc, "Second attempt to remove shared memory pool succeeded.\n");
}

void AddXfer(ShmXferStats *into, const ShmXferStats *from)
{
    into->count += from->count;
    for (int i = 0; i < kStatNumResults; i++)
        into->byResult[i] += from->byResult[i];
    into->kib += from->kib;
    for (int i = 0; i < 3; i++)
        into->reserved[i] += from->reserved[i];
    into->seconds += from->seconds;
}

// Speed class of the session's large transfers (KiB per second), or -1.
int SpeedClass(int64_t bytes, double seconds)
{
    static constexpr double kLimits[kStatNumSpeedClasses] = {33.6 / 9, 56.0 / 9, 256.0 / 9, 1280, 12800, 131072};
    if (bytes <= 0 || seconds <= 0.0)
        return -1;
    const double kibps = static_cast<double>(bytes) / 1024.0 / seconds;
    for (int i = 0; i < kStatNumSpeedClasses; i++) {
        if (kibps < kLimits[i])
            return i;
    }
    return -1;
}

// "c0,c1,..." of n counters.
void JoinCounters(char *dst, size_t size, const uint32_t *counters, int n)
{
    dst[0] = '\0';
    char num[16];
    for (int i = 0; i < n; i++) {
        snprintf(num, sizeof(num), i == 0 ? "%u" : ",%u", counters[i]);
        Strncat(dst, num, size);
    }
}

void JoinXfer(char *dst, size_t size, const ShmXferStats *x)
{
    const uint32_t counters[kStatNumXferCounters] = {
        x->count, x->byResult[0], x->byResult[1], x->byResult[2], x->byResult[3], x->byResult[4],
        x->byResult[5], x->byResult[6], x->byResult[7], x->kib, x->reserved[0], x->reserved[1], x->reserved[2],
    };
    JoinCounters(dst, size, counters, kStatNumXferCounters);
    char secs[32];
    snprintf(secs, sizeof(secs), ",%.2f", x->seconds);
    Strncat(dst, secs, size);
}

void WriteVersionTag(ShmHeader *h)
{
    char tag[kShmVersionTagSize];
    snprintf(tag, sizeof(tag), "%.12s", gVersion);
    Strncpy(h->version, tag, sizeof(h->version));
}

}  // namespace

ShmHeader *ShmHead()
{
    return Attached() ? static_cast<ShmHeader *>(gShmAddr) : nullptr;
}

ShmSlot *ShmSlotAt(int i)
{
    if (!Attached() || i < 0 || i >= NumSlots())
        return nullptr;
    char *base = static_cast<char *>(gShmAddr) + kShmHeaderSize;
    return reinterpret_cast<ShmSlot *>(base + kShmSlotSize * static_cast<size_t>(i));
}

int InitSharedMemory()
{
    const size_t size = ShmSegmentSize(gNumChildren);
    gShmKey = gShmKeyBase;

    SigSysGuard guard;
    // Someone may make the key again between the removal and the creation:
    // that segment is looked at (and removed) like the first.
    for (int attempt = 0; attempt < 3; attempt++) {
        RemoveStaleSegment(gShmKey);
        gShmID = shmget(gShmKey, size, IPC_CREAT | IPC_EXCL | kSegmentMode);
        if (gShmID >= 0 || errno != EEXIST)
            break;
    }
    if (gShmID < 0)
        CreationFailed(gShmKey);
    void *addr = shmat(gShmID, nullptr, 0);
    if (addr == reinterpret_cast<void *>(-1)) {
        LogPerror("Cannot join shared memory pool [key 0x%x, id 0x%lx]", static_cast<unsigned>(gShmKey),
                  static_cast<unsigned long>(gShmID));
        shmctl(gShmID, IPC_RMID, nullptr);
        Exit(1);
    }
    // A new segment is zero-filled by the system; writing it would make
    // every slot's page resident in the master, used or not.
    gShmAddr = addr;
    if (CreateSessionIndex(gNumChildren) < 0) {
        LogPerror("Cannot map the session index");
        Exit(1);
    }
    if (CreateDirGenerations() < 0)
        LogPerror("Cannot map the directory generations; listings rely on directory times");
    // The slot count must be known before any slot is looked up, and the tag
    // from the start: the monitor may read the pool while the master is
    // still making its first children.
    ShmHead()->maxUsers = static_cast<uint32_t>(gNumChildren);
    WriteVersionTag(ShmHead());
    return 0;
}

void ShmRecordConfigPaths(const char *generalCf, const char *domainCf)
{
    ShmHeader *h = ShmHead();
    if (h == nullptr)
        return;
    Strncpy(h->generalCf, generalCf, sizeof(h->generalCf));
    Strncpy(h->domainCf, domainCf, sizeof(h->domainCf));
}

namespace {

ShmSlot *gMailbox = nullptr;

// The mailbox's statistics as the pool child last took them (or put them
// there).  A publication adds what they grew by since: the master clears a
// bucket in the slot ahead of its quarter hour, and the mailbox's older copy
// of it must not come back; nor may a process of the session take any
// figure down, or put in one that is no number.
ShmStatBucket gMailboxStatsTaken[kShmNumBuckets];

uint32_t Growth(uint32_t now, uint32_t *taken)
{
    const uint32_t grown = now >= *taken ? now - *taken : 0;
    *taken = now;
    return grown;
}

double Growth(double now, double *taken)
{
    const double grown = std::isfinite(now) && std::isfinite(*taken) && now > *taken ? now - *taken : 0.0;
    *taken = now;
    return grown;
}

void TakeGrowth(ShmXferStats *into, const ShmXferStats &now, ShmXferStats *taken)
{
    into->count += Growth(now.count, &taken->count);
    for (int i = 0; i < kStatNumResults; i++)
        into->byResult[i] += Growth(now.byResult[i], &taken->byResult[i]);
    into->kib += Growth(now.kib, &taken->kib);
    for (int i = 0; i < 3; i++)
        into->reserved[i] += Growth(now.reserved[i], &taken->reserved[i]);
    into->seconds += Growth(now.seconds, &taken->seconds);
}

void TakeGrowth(ShmStatBucket *into, const ShmStatBucket &now, ShmStatBucket *taken)
{
    for (size_t i = 0; i < std::size(into->session); i++)
        into->session[i] += Growth(now.session[i], &taken->session[i]);
    TakeGrowth(&into->download, now.download, &taken->download);
    TakeGrowth(&into->upload, now.upload, &taken->upload);
}

// The mailbox starts as the slot, and its statistics are taken from there.
void FillMailbox()
{
    memcpy(gMailbox, gShmSlot, sizeof(ShmSlot));
    memcpy(gMailboxStatsTaken, gShmSlot->stats, sizeof(gMailboxStatsTaken));
}

// A pool child's read-only attachment, which the processes it forks inherit
// in place of the writable one.
void *gShmReadOnly = reinterpret_cast<void *>(-1);
size_t gShmLength = 0;

}  // namespace

int ShmKeepFromChildren()
{
    struct shmid_ds ds {};
    if (!Attached() || shmctl(gShmID, IPC_STAT, &ds) < 0)
        return -1;
    void *ro = shmat(gShmID, nullptr, SHM_RDONLY);
    if (ro == reinterpret_cast<void *>(-1))
        return -1;
    if (madvise(gShmAddr, ds.shm_segsz, MADV_DONTFORK) < 0) {
        shmdt(ro);
        return -1;
    }
    gShmReadOnly = ro;
    gShmLength = ds.shm_segsz;
    return 0;
}

int ShmPrepareMailbox()
{
    // A page of its own for each client: a process an earlier session left
    // behind (a session may fork) keeps the old one, where nothing the next
    // client's processes record arrives and nothing it writes is published.
    void *p = mmap(nullptr, sizeof(ShmSlot), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return -1;
    if (gMailbox != nullptr)
        munmap(gMailbox, sizeof(ShmSlot));
    gMailbox = static_cast<ShmSlot *>(p);
    if (gShmSlot != nullptr && gRUserPtr == gShmSlot)
        FillMailbox();
    return 0;
}

namespace {

// The segment read-only at addr, where this process had it: the pool child's
// read-only attachment moved there (the writable one was never forked), or
// else the writable one swapped for a read-only one.  Every pointer into the
// segment stays valid.
[[nodiscard]] bool ReattachReadOnly(void *addr)
{
    if (gShmReadOnly != reinterpret_cast<void *>(-1)) {
        void *ro = gShmReadOnly;
        gShmReadOnly = reinterpret_cast<void *>(-1);
        return mremap(ro, gShmLength, gShmLength, MREMAP_MAYMOVE | MREMAP_FIXED, addr) == addr;
    }
    return shmdt(addr) == 0 && shmat(gShmID, addr, SHM_RDONLY) == addr;
}

}  // namespace

int ShmUseMailbox()
{
    if (gMailbox == nullptr || gShmSlot == nullptr || !Attached())
        return -1;
    if (!ReattachReadOnly(gShmAddr)) {
        gShmAddr = reinterpret_cast<void *>(-1);
        gShmSlot = nullptr;
        return -1;
    }
    // The statistics as the pool child put them: it takes what they grow by.
    memcpy(gMailbox, gShmSlot, offsetof(ShmSlot, stats));
    gRUserPtr = gMailbox;
    return 0;
}

void ShmPublishMailbox(bool loggedIn)
{
    if (gMailbox == nullptr || gShmSlot == nullptr || gRUserPtr != gShmSlot)
        return;
    const ShmSlot &m = *gMailbox;
    ShmSlot &s = *gShmSlot;
    memcpy(s.command, m.command, sizeof(s.command));
    s.command[sizeof(s.command) - 1] = '\0';
    memcpy(s.cwd, m.cwd, sizeof(s.cwd));
    s.cwd[sizeof(s.cwd) - 1] = '\0';
    // The last activity only moves on, and never past now: a process that
    // wrote "never" would vanish from the monitor, the far future would
    // never show it idle.
    const int64_t now = ShmTime(nullptr);
    if (m.lastCommandTime > s.lastCommandTime)
        s.lastCommandTime = m.lastCommandTime < now ? m.lastCommandTime : now;
    s.waitStart = m.waitStart;
    // Before the login the page is the front's: no state of a login shows.
    if (m.state < static_cast<uint32_t>(kShmNumStates) && (loggedIn || m.state == kShmStateConnected))
        s.state = m.state;
    s.lsRequests = m.lsRequests;
    s.lsCacheHits = m.lsCacheHits;
    for (int i = 0; i < kShmNumBuckets; i++)
        TakeGrowth(&s.stats[i], m.stats[i], &gMailboxStatsTaken[i]);
}

void ShmRefreshMailbox()
{
    if (gMailbox != nullptr && gShmSlot != nullptr && gRUserPtr == gShmSlot)
        FillMailbox();
}

void ResetSharedMemory()
{
    // gRUserPtr is gShmSlot once joined, else the private record.
    gRUserPtr->pid = static_cast<int32_t>(getpid());
    memset(reinterpret_cast<char *>(gRUserPtr) + kShmLivePartOffset, 0, kShmLivePartSize);
    IndexSessionEnd(gChild);
}

int JoinSharedMemory(int child)
{
    ShmHeader *h = ShmHead();
    if (h == nullptr)
        return -1;
    if (child < 0) {
        gShmSlot = nullptr;
        gRUserPtr = &gPrivateSlot;
        return 0;
    }
    if (child > static_cast<int>(h->maxUsers))
        return -1;
    gShmSlot = ShmSlotAt(child);
    gRUserPtr = gShmSlot;
    ResetSharedMemory();
    if (child == 0) {
        WriteVersionTag(h);
        h->maxUsers = static_cast<uint32_t>(gNumChildren);
        h->serverStart = gServerStartTime;
        ShmSlot *logger = ShmSlotAt(static_cast<int>(h->maxUsers) + 1);
        if (logger != nullptr)
            logger->pid = gLoggerPID >= 2 ? static_cast<int32_t>(gLoggerPID) : 0;
    } else {
        gShmSlot->procStart = time(nullptr);
    }
    return 0;
}

void FreeSharedMemory()
{
    if (!Attached())
        return;
    if (gChild >= 0)
        ResetSharedMemory();
    void *addr = gShmAddr;
    DetachSegment();
    gShmAddr = reinterpret_cast<void *>(-1);
    gShmSlot = nullptr;
    gRUserPtr = &gPrivateSlot;
    if (gChild == 0)
        RemoveSegment(addr);
}

time_t ShmTime(time_t *tp)
{
    time_t now = 0;
    const ShmHeader *h = ShmHead();
    if (gUseTimeCache && h != nullptr)
        now = static_cast<time_t>(__atomic_load_n(&h->timeCache, __ATOMIC_RELAXED));
    if (now == 0)
        now = time(nullptr);
    if (tp != nullptr)
        *tp = now;
    return now;
}

void ShmNoteActivity()
{
    const int64_t now = ShmTime(nullptr);
    if (gRUserPtr->lastCommandTime != now)
        gRUserPtr->lastCommandTime = now;
}

int Base64Encode(char *dst, size_t size, const unsigned char *src, size_t len)
{
    static constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const size_t out = (len + 2) / 3 * 4;
    if (out >= size) {
        if (size > 0)
            dst[0] = '\0';
        return -1;
    }
    char *p = dst;
    for (size_t i = 0; i < len; i += 3) {
        unsigned v = static_cast<unsigned>(src[i]) << 16;
        if (i + 1 < len)
            v |= static_cast<unsigned>(src[i + 1]) << 8;
        if (i + 2 < len)
            v |= src[i + 2];
        *p++ = kBase64[(v >> 18) & 63];
        *p++ = kBase64[(v >> 12) & 63];
        *p++ = kBase64[(v >> 6) & 63];
        *p++ = kBase64[v & 63];
    }
    *p = '\0';
    return static_cast<int>(out);
}

void EncodeSessionId(char *dst, size_t size, time_t sessionStart, int child, unsigned sessionCount)
{
    if (size < kShmSessionIdLen + 1) {
        if (size > 0)
            dst[0] = '\0';
        return;
    }
    // 16 bytes; the last group is filled with zero bits.
    unsigned char b[16] = {};
    const auto t = static_cast<uint32_t>(sessionStart);
    b[0] = static_cast<unsigned char>(t >> 24);
    b[1] = static_cast<unsigned char>(t >> 16);
    b[2] = static_cast<unsigned char>(t >> 8);
    b[3] = static_cast<unsigned char>(t);
    b[8] = static_cast<unsigned char>(child >> 8);
    b[9] = static_cast<unsigned char>(child);
    b[10] = static_cast<unsigned char>(sessionCount >> 8);
    b[11] = static_cast<unsigned char>(sessionCount);
    Base64Encode(dst, size, b, sizeof(b));
}

void StatSession(time_t now, long seconds, int reason)
{
    if (gShmSlot == nullptr)
        return;
    if (now == 0)
        now = ShmTime(nullptr);
    // The own slot as this process may write it (a front's is its mailbox).
    uint32_t *c = gRUserPtr->stats[ShmBucketIndex(now)].session;

    c[kStatConnections]++;
    if (reason >= 10 && reason <= 13)
        c[kStatRefused]++;
    else if (reason == 9 || reason == 25 || reason == 28 || (reason >= 30 && reason <= 33))
        c[kStatDenied]++;
    c[gLogins > 0 ? kStatLoggedIn : kStatNotLoggedIn]++;
    const int speed = SpeedClass(gTotalBytesXferBig, gTotalSecsXferBig);
    if (speed >= 0)
        c[kStatSpeedClass + speed]++;
    if (gClientType >= 0 && gClientType < kStatNumClientTypes)
        c[kStatClientType + gClientType]++;
    if (gNumSuccessfulDirListings > 0) {
        c[kStatListings] += static_cast<uint32_t>(gNumSuccessfulDirListings);
        c[kStatSessionsWithListing]++;
    }
    if (gNumSuccessfulDownloads > 0)
        c[kStatSessionsWithDownload]++;
    if (gNumSuccessfulUploads > 0)
        c[kStatSessionsWithUpload]++;
    if (seconds > 0)
        c[kStatSessionSeconds] += static_cast<uint32_t>(seconds);
}

namespace {

// The domain set's entry of the totals: found, or claimed when the set has
// none yet; nullptr when the table is full.
ShmDomainTotals *DomainTotals(const char *domain)
{
    const ShmHeader *head = ShmHead();
    if (head == nullptr)
        return nullptr;
    auto *table = reinterpret_cast<ShmDomainTotals *>(static_cast<char *>(gShmAddr)
                                                       + ShmDomainTotalsOffset(static_cast<int>(head->maxUsers)));
    for (int i = 0; i < kShmDomainTotals; i++) {
        std::atomic_ref<uint32_t> used(table[i].used);
        if (used.load(std::memory_order_acquire) == kShmTotalsInUse
            && strncmp(table[i].domain, domain, sizeof(table[i].domain) - 1) == 0)
            return &table[i];
    }
    for (int i = 0; i < kShmDomainTotals; i++) {
        std::atomic_ref<uint32_t> used(table[i].used);
        uint32_t expected = 0;
        if (used.compare_exchange_strong(expected, kShmTotalsClaimed, std::memory_order_acq_rel)) {
            Strncpy(table[i].domain, domain, sizeof(table[i].domain));
            used.store(kShmTotalsInUse, std::memory_order_release);
            return &table[i];
        }
    }
    return nullptr;
}

// One transfer in the totals of a domain set.
void CountInDomainTotals(const char *domain, bool upload, int64_t bytes)
{
    if (ShmDomainTotals *t = DomainTotals(domain)) {
        std::atomic_ref<uint64_t>(t->transfers[upload ? 1 : 0]).fetch_add(1, std::memory_order_relaxed);
        if (bytes > 0)
            std::atomic_ref<uint64_t>(t->bytes[upload ? 1 : 0])
                .fetch_add(static_cast<uint64_t>(bytes), std::memory_order_relaxed);
    }
}

}  // namespace

void StatTransfer(bool upload, int result, int64_t bytes, double seconds, const char *domain)
{
    if (gShmSlot == nullptr)
        return;
    // Where the segment is read-only the pool child counts the totals.
    if (gRUserPtr == gShmSlot && domain != nullptr && domain[0] != '\0') {
        CountInDomainTotals(domain, upload, bytes);
    }
    ShmStatBucket &b = gRUserPtr->stats[ShmBucketIndex(ShmTime(nullptr))];
    ShmXferStats &x = upload ? b.upload : b.download;
    x.count++;
    if (result >= 0 && result < kStatNumResults)
        x.byResult[result]++;
    if (bytes > 0)
        x.kib += static_cast<uint32_t>((bytes + 512) / 1024);
    if (seconds > 0.0)
        x.seconds += seconds;
}

void StatAdd(ShmStatBucket *into, const ShmStatBucket *from)
{
    for (int i = 0; i < kStatNumSessionCounters; i++)
        into->session[i] += from->session[i];
    AddXfer(&into->download, &from->download);
    AddXfer(&into->upload, &from->upload);
}

void StatDump(time_t boundary, int periodMaxUsers, int slotsUsed)
{
    const ShmSlot *master = ShmSlotAt(0);
    if (master == nullptr)
        return;
    const int b = ShmBucketIndex(boundary - 3);
    const int children = std::min(slotsUsed, static_cast<int>(ShmHead()->maxUsers));

    ShmStatBucket sum = master->stats[b];
    for (int i = 1; i <= children; i++)
        StatAdd(&sum, &ShmSlotAt(i)->stats[b]);

    if (sum.session[kStatConnections] > 0) {
        const time_t start = boundary - kShmBucketSeconds;
        const time_t end = boundary - 1;
        char startText[32], endText[32];
        struct tm tm {};
        strftime(startText, sizeof(startText), "%Y-%m-%d %H:%M:%S", localtime_r(&start, &tm));
        strftime(endText, sizeof(endText), "%Y-%m-%d %H:%M:%S", localtime_r(&end, &tm));
        char sessions[kStatNumSessionCounters * 11 + 1];
        char downloads[kStatNumXferCounters * 11 + 32], uploads[kStatNumXferCounters * 11 + 32];
        char maxUsers[16];
        JoinCounters(sessions, sizeof(sessions), sum.session, kStatNumSessionCounters);
        JoinXfer(downloads, sizeof(downloads), &sum.download);
        JoinXfer(uploads, sizeof(uploads), &sum.upload);
        snprintf(maxUsers, sizeof(maxUsers), "%d", periodMaxUsers);
        Log(kLogStat, "%s,%lu,%s,%lu,%s,%s,%s,%s\n", startText, static_cast<unsigned long>(start), endText,
            static_cast<unsigned long>(end), sessions, downloads, uploads, maxUsers);
    }

    const int next = (b + 2) % kShmNumBuckets;
    for (int i = 0; i <= children; i++)
        memset(&ShmSlotAt(i)->stats[next], 0, sizeof(ShmStatBucket));
}

void ShmAddDomainTotals(bool upload, int64_t bytes)
{
    if (gShmSlot == nullptr || gRUserPtr != gShmSlot || gShmSlot->domain[0] == '\0')
        return;
    // The domain set is the one this process admitted the session to.
    char domain[sizeof(gShmSlot->domain)];
    Strncpy(domain, gShmSlot->domain, sizeof(domain));
    CountInDomainTotals(domain, upload, bytes);
}

bool ShmSlotIsMailbox()
{
    return gMailbox != nullptr && gRUserPtr == gMailbox;
}

void ShmLetGo()
{
    if (Attached())
        (void) shmdt(gShmAddr);
    if (gShmReadOnly != reinterpret_cast<void *>(-1))
        (void) shmdt(gShmReadOnly);
    gShmReadOnly = reinterpret_cast<void *>(-1);
    gShmAddr = reinterpret_cast<void *>(-1);
    gShmSlot = nullptr;
    if (gMailbox != nullptr)
        munmap(gMailbox, sizeof(ShmSlot));
    gMailbox = nullptr;
    gRUserPtr = &gPrivateSlot;
}
