// The shared status area: one System V shared memory segment that publishes the
// live state of the server.  A 1024-byte header (version, start time, the cached
// clock) is followed by one 3456-byte slot per process: slot 0 the master, slots
// 1..max-users the children, slot max-users + 1 only holds the logger's pid, and
// the room of two spare slots ends the segment: the transfer totals by domain set.
//
// The layout below is the one definition shared by the server and the status
// monitor, so this header uses system headers only.  Every offset is fixed by
// static_asserts: a change here changes the format both programs read.
#pragma once

#include <sys/ipc.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

static_assert(sizeof(time_t) == 8, "the segment stores 64-bit times");
static_assert(sizeof(pid_t) == 4, "the segment stores 32-bit process ids");

// ---- Sizes --------------------------------------------------------------------------
constexpr size_t kShmHeaderSize = 1024;
constexpr size_t kShmSlotSize = 3456;
constexpr size_t kShmLivePartOffset = 32;          // bytes 32..975 of a slot
constexpr size_t kShmLivePartSize = 944;
constexpr int kShmNumBuckets = 10;                 // quarter hours, reused cyclically
constexpr int kShmBucketSeconds = 900;
constexpr int kShmVersionTagSize = 32;
constexpr int kShmConfigPathSize = 256;
constexpr int kShmSessionIdSize = 40;              // 24 characters and a NUL fit
constexpr int kShmSessionIdLen = 24;

// Segment size for max-users: a header and max-users + 4 slots.
constexpr size_t ShmSegmentSize(int maxUsers)
{
    return kShmHeaderSize + kShmSlotSize * (static_cast<size_t>(maxUsers) + 4);
}
static_assert(ShmSegmentSize(10) == 49408);

// Bucket of time t: 10 quarter hours cover 2.5 hours.
constexpr int ShmBucketIndex(time_t t)
{
    return static_cast<int>((t % (kShmNumBuckets * kShmBucketSeconds)) / kShmBucketSeconds);
}

// ---- Header ---------------------------------------------------------------------------
struct ShmHeader {
    int64_t timeCache;                      // written by the logger every tick; 0 until the first
    char version[kShmVersionTagSize];       // "%.12s" of the version text
    uint32_t maxUsers;
    uint32_t reserved1;
    int64_t serverStart;
    char generalCf[kShmConfigPathSize];     // general.cf as given on the command line
    char domainCf[kShmConfigPathSize];      // domain.cf as given on the command line
    char reserved2[456];
};
static_assert(offsetof(ShmHeader, timeCache) == 0);
static_assert(offsetof(ShmHeader, version) == 8);
static_assert(offsetof(ShmHeader, maxUsers) == 40);
static_assert(offsetof(ShmHeader, serverStart) == 48);
static_assert(offsetof(ShmHeader, generalCf) == 56);
static_assert(offsetof(ShmHeader, domainCf) == 312);
static_assert(offsetof(ShmHeader, reserved2) == 568);
static_assert(sizeof(ShmHeader) == kShmHeaderSize);

// ---- Statistics bucket ---------------------------------------------------------------
// 62 words: session counters (words 0-27), the download group (28-43) and the
// upload group (44-59), both ending in a float of seconds, and two spare words.

// Session counters, by word index.
constexpr int kStatConnections = 0;        // connections ended
constexpr int kStatRefused = 1;            // reasons 10-13
constexpr int kStatDenied = 2;             // reasons 9, 25, 28, 30-33
constexpr int kStatLoggedIn = 3;           // sessions with at least one login
constexpr int kStatNotLoggedIn = 4;
constexpr int kStatSessionSeconds = 5;
constexpr int kStatListings = 6;           // directory listings served
constexpr int kStatSessionsWithListing = 7;
constexpr int kStatSessionsWithDownload = 8;
constexpr int kStatSessionsWithUpload = 9;
constexpr int kStatClientType = 10;        // 10-17: client types 0-7
constexpr int kStatNumClientTypes = 8;
constexpr int kStatSpeedClass = 18;        // 18-23: average speed classes
constexpr int kStatNumSpeedClasses = 6;
constexpr int kStatNumSessionCounters = 27;  // 0-26 are printed (24-26 reserved)

// One direction of transfers: 16 words.
constexpr int kStatNumResults = 8;
struct ShmXferStats {
    uint32_t count;                         // transfers
    uint32_t byResult[kStatNumResults];     // by result code (0 = success)
    uint32_t kib;                           // KiB moved, each transfer rounded
    uint32_t reserved[3];
    uint32_t pad;
    double seconds;                         // total transfer seconds
};
static_assert(offsetof(ShmXferStats, byResult) == 4);
static_assert(offsetof(ShmXferStats, kib) == 36);
static_assert(offsetof(ShmXferStats, seconds) == 56);
static_assert(sizeof(ShmXferStats) == 64);
constexpr int kStatNumXferCounters = 13;    // count, 8 results, KiB and 3 reserved are printed

struct ShmStatBucket {
    uint32_t session[28];                   // words 0-27 (27 is unused)
    ShmXferStats download;                  // words 28-43 (seconds at 42)
    ShmXferStats upload;                    // words 44-59 (seconds at 58)
    uint32_t reserved[2];                   // words 60-61
};
static_assert(offsetof(ShmStatBucket, download) == 28 * 4);
static_assert(offsetof(ShmStatBucket, download.seconds) == 42 * 4);
static_assert(offsetof(ShmStatBucket, upload) == 44 * 4);
static_assert(offsetof(ShmStatBucket, upload.kib) == 53 * 4);
static_assert(offsetof(ShmStatBucket, upload.seconds) == 58 * 4);
static_assert(sizeof(ShmStatBucket) == 248);

// ---- Slot -------------------------------------------------------------------------------
// The state word of a busy slot.  A download or upload holds from the moment
// its data connection is open until the transfer is recorded, however it ends.
constexpr uint32_t kShmStateConnected = 0;     // not logged in (yet, or again after REIN)
constexpr uint32_t kShmStateLoggedIn = 1;
constexpr uint32_t kShmStateDownloading = 2;
constexpr uint32_t kShmStateUploading = 3;
constexpr int kShmNumStates = 4;

struct ShmSlot {
    int32_t pid;                            // 0 when the slot is free
    uint32_t reserved1;
    int64_t procStart;                      // process start time
    uint32_t resetCount;                    // sessions started by this process
    uint32_t lsRequests;                    // directory listings asked of the cache
    uint32_t lsCacheHits;                   // ... and answered from it
    char reserved2[4];
    // Live part (cleared at every session end).
    int64_t sessionStart;                   // non-zero: busy
    char sessionId[kShmSessionIdSize];
    uint32_t usersOnServer;                 // when admitted, this one included
    uint32_t usersOnDomain;
    char user[64];                          // "DENIED" / "REFUSED" for refusals
    char loginId[64];                       // shown by the monitor before the user name
    char host[64];                          // client host name, or its address
    char addr[64];                          // client address, dotted text
    char restriction[32];                   // "restricted", "unrestricted" or a class
    char domain[64];                        // domain set serving the connection
    int32_t hostResolved;
    uint32_t state;                         // kShmState...: what the session is doing
    int64_t lastCommandTime;                // last activity: command or transfer progress
    char command[256];                      // verb and argument, "PASS ********"
    int64_t waitStart;                      // when the previous command was received
    char cwd[256];
    // Survives session ends.
    ShmStatBucket stats[kShmNumBuckets];
};
static_assert(offsetof(ShmSlot, pid) == 0);
static_assert(offsetof(ShmSlot, procStart) == 8);
static_assert(offsetof(ShmSlot, resetCount) == 16);
static_assert(offsetof(ShmSlot, lsRequests) == 20);
static_assert(offsetof(ShmSlot, lsCacheHits) == 24);
static_assert(offsetof(ShmSlot, sessionStart) == 32);
static_assert(offsetof(ShmSlot, sessionId) == 40);
static_assert(offsetof(ShmSlot, usersOnServer) == 80);
static_assert(offsetof(ShmSlot, usersOnDomain) == 84);
static_assert(offsetof(ShmSlot, user) == 88);
static_assert(offsetof(ShmSlot, loginId) == 152);
static_assert(offsetof(ShmSlot, host) == 216);
static_assert(offsetof(ShmSlot, addr) == 280);
static_assert(offsetof(ShmSlot, restriction) == 344);
static_assert(offsetof(ShmSlot, domain) == 376);
static_assert(offsetof(ShmSlot, hostResolved) == 440);
static_assert(offsetof(ShmSlot, state) == 444);
static_assert(offsetof(ShmSlot, lastCommandTime) == 448);
static_assert(offsetof(ShmSlot, command) == 456);
static_assert(offsetof(ShmSlot, waitStart) == 712);
static_assert(offsetof(ShmSlot, cwd) == 720);
static_assert(offsetof(ShmSlot, stats) == kShmLivePartOffset + kShmLivePartSize);
static_assert(offsetof(ShmSlot, stats) == 976);
static_assert(sizeof(ShmSlot) == kShmSlotSize);

// =========================================================================================
// ---- Transfer totals by domain set ---------------------------------------------------
// The two spare slots that end the segment hold, for each domain set that
// has served a transfer since the server started, the transfers and bytes
// in each direction: counters that only grow, for a metrics scraper (the
// buckets above are per process, and a process serves any domain set).
// Entries are claimed without a lock; two processes that claim one for the
// same set at once each count in their own, and readers add entries of
// one name together.
constexpr int kShmDomainTotals = 64;
constexpr uint32_t kShmTotalsClaimed = 1;      // being named
constexpr uint32_t kShmTotalsInUse = 2;

struct ShmDomainTotals {
    uint32_t used;                          // 0, kShmTotalsClaimed or kShmTotalsInUse
    uint32_t reserved;
    char domain[64];
    uint64_t transfers[2];                  // downloads, uploads
    uint64_t bytes[2];
};
static_assert(sizeof(ShmDomainTotals) == 104);
static_assert(kShmDomainTotals * sizeof(ShmDomainTotals) <= 2 * kShmSlotSize);

// Where the totals start in a segment for maxUsers: the first spare slot.
constexpr size_t ShmDomainTotalsOffset(int maxUsers)
{
    return kShmHeaderSize + kShmSlotSize * (static_cast<size_t>(maxUsers) + 2);
}

// Server side (shm.cc).  The monitor uses only the layout above.

// Key, segment id and address; gShmAddr is (void *) -1 when not attached.
extern key_t gShmKey;
extern int gShmID;
extern void *gShmAddr;
extern ShmSlot *gShmSlot;                  // this process's slot; nullptr for the logger
// The own slot as the session code uses it: gShmSlot once joined, else a
// private record, so that code running before the segment exists (or in the
// logger) needs no checks.
extern ShmSlot *gRUserPtr;

// Creates the segment under the key base gShmKeyBase (master, before any fork):
// removes a stale one first, creates it exclusively with mode 0600, attaches and
// zeroes it.  Failures print their message and leave through Exit(1).
int InitSharedMemory();

// Points gShmSlot (and gRUserPtr) at the slot of this process and clears it.  The master (0)
// records the header fields and the logger's pid; a child records its start
// time; the logger (negative) has no slot.  Returns -1 when not attached or the
// number is beyond the slots.
int JoinSharedMemory(int child);

// Clears the own slot and detaches (one retry); the master also removes the
// segment (one retry).
void FreeSharedMemory();

// Clears the own slot: own pid in the pid word, live part zero.
void ResetSharedMemory();

// ---- The slot of a process that must not write the status area ------------------------------------------------------------------
// The process that reads a client's commands before its login (the front)
// and the session's process after it see the segment read-only; what they
// record of themselves goes to a page shared with their pool child only
// (the mailbox), which publishes the few fields such a process may set.

// Pool child, once: the processes it forks inherit a read-only attachment
// of the segment instead of the writable one.  0, or -1 (they inherit the
// writable attachment, which ShmUseMailbox replaces).
int ShmKeepFromChildren();

// Pool child, before each client: maps a new mailbox (the earlier one goes),
// which starts as the slot.  0, or -1 (no front can start).
[[nodiscard]] int ShmPrepareMailbox();

// The front or session's process, still root: the own slot copied to the mailbox (but the
// statistics, which stay as the pool child put them), which becomes gRUserPtr; the segment attached again read-only at the same address.
// 0, or -1 when the segment could not be made read-only.
[[nodiscard]] int ShmUseMailbox();

// Pool child: the command, the directory, the times, the state and the
// listing counts into the slot, and what the statistics grew by since they
// were last taken (the user, address, domain set and session id stay the
// pool child's alone).  loggedIn: the page is a session's process's, not a
// front's, whose state stays "connected".
void ShmPublishMailbox(bool loggedIn);

// Pool child, after it changed its slot: the mailbox shows the front the same.
void ShmRefreshMailbox();

// True in a process whose slot is its mailbox.
[[nodiscard]] bool ShmSlotIsMailbox();

// A process that must not see the status area at all (the helper that looks
// a client's name up): the segment detached and the mailbox unmapped,
// nothing written, nothing logged.  Its slot is a private record after.
void ShmLetGo();

// Pool child: a transfer of its session's process into the totals of the
// domain set it admitted the session to.
void ShmAddDomainTotals(bool upload, int64_t bytes);

// The header, or slot i (0 master, 1..max-users children); nullptr when not
// attached or i is beyond the segment.
ShmHeader *ShmHead();
ShmSlot *ShmSlotAt(int i);

// Copies the two configuration file paths into the header.
void ShmRecordConfigPaths(const char *generalCf, const char *domainCf);

// The time cache read, with the contract of time(): the cached word when t-cache
// is on, the segment is attached and the word is non-zero; else the system clock.
time_t ShmTime(time_t *tp);

// A transfer moved, or ended: the own slot's last activity becomes the current
// time.  The slot is written only when the second changed, so a loop may call
// this for every block it moves; the monitor's watch shows each new second,
// and the idle time after a transfer counts from its end.
void ShmNoteActivity();

// The server's Base64: the standard alphabet, four characters for every group
// of three bytes, no "=" padding (missing bytes of the last group count as
// zero).  Returns the length written, or -1 (dst emptied) when the text and
// its NUL do not fit in size.
int Base64Encode(char *dst, size_t size, const unsigned char *src, size_t len);

// The 24-character session identifier (and its NUL) of a session: the start time
// (low 32 bits), the child number and the session count, big-endian, in standard
// Base64 without padding.  dst must hold at least 25 bytes.
void EncodeSessionId(char *dst, size_t size, time_t sessionStart, int child, unsigned sessionCount);

// ---- Statistics ---------------------------------------------------------------------------
// The session's counters that StatSession reads: session state, defined and
// reset with the rest of it (session/shell.cc).
extern int gLogins;
extern int gClientType;
extern int gNumSuccessfulDownloads, gNumSuccessfulUploads, gNumSuccessfulDirListings;
extern int64_t gTotalBytesXferBig;
extern double gTotalSecsXferBig;

// One ended connection into the own slot's bucket of now (0: the current time),
// from the session's counters above.
void StatSession(time_t now, long seconds, int reason);

// One finished transfer into the own slot's current bucket, and into the
// totals of the session's domain set (domain; nullptr or "": none).
void StatTransfer(bool upload, int result, int64_t bytes, double seconds, const char *domain = nullptr);

// Adds bucket from to bucket into, field by field.
void StatAdd(ShmStatBucket *into, const ShmStatBucket *from);

// Master, every quarter hour once boundary + 15 s has passed: sums the bucket of
// the quarter hour that ended at boundary over all slots, writes the statistics
// line (only when there were connections) and zeroes the bucket that comes next.
// Slots above slotsUsed were never joined: their counters are zero and their
// pages are left untouched, so that the master does not make the whole pool
// resident.  The caller closes stray descriptors first.
void StatDump(time_t boundary, int periodMaxUsers, int slotsUsed);

// Test seam: the pauses of InitSharedMemory and FreeSharedMemory.
extern unsigned (*gShmSleep)(unsigned seconds);
