// The process-wide state that every layer of the daemon reads: the process's
// identity, the settings of the command line, the anonymous account, the
// scratch buffers, the signal return points and flags, the identity the master
// chose at start-up and descriptor housekeeping.  Declared here, below every
// subsystem, so that no layer needs the start-up or master headers for them;
// they are defined and set by process/ (startup.cc, signals.cc, master.cc,
// descriptors.cc).
#pragma once

#include <csetjmp>
#include <csignal>
#include <cstddef>
#include <ctime>

#include <sys/types.h>

#include "Spwd.h"

constexpr int kHostNameSize = 64;
constexpr int kSysInfoSize = 256;
constexpr int kScratchBufSize = 4096;
constexpr int kXferBufSize = 65535;

// ---- Process identity ---------------------------------------------------------
extern int gChild;                         // 0 master, 1..max-users child, < 0 logger
extern pid_t gMasterPID, gMasterPPID;
extern pid_t gLoggerPID;                   // < 2: no logger
extern time_t gServerStartTime;
extern const char *gProgName;
extern int gDaemon;                        // number of -d flags
extern int gLogToTTY;                      // 0 never, 1 when stderr is a terminal, 2 always
extern bool gWasATTY2;
extern bool gInitialized;
extern int gDevNull;                       // spare descriptor on /dev/null
extern char gOurHostName[kHostNameSize];
extern char gSysInfo[kSysInfoSize];        // " Release: ... Uname: ..." for traces
extern unsigned gRandom32Bits;
// The process's own pseudo-random numbers (passive ports, the pauses after a
// failed login), seeded by each child and inherited by the processes it forks.
extern uint64_t gRandomState;
[[nodiscard]] uint32_t ChildRandom();
extern unsigned gRandomButPersistent16Bits;
extern char gGeneralCfPath[256], gDomainCfPath[256];
extern bool gGreetedAtAccept;              // the master wrote this connection's 220 (a burst)

// ---- Settings of the command line (not keys of general.cf) --------------------
extern int gAnonOnlyServer;                // -a / -u
extern int gHidePasswordsInVerboseLog;     // on; -Y shows passwords

// ---- The anonymous account -----------------------------------------------------
extern Spwd gFTPUser;                      // "ftp" or its stand-in account
extern char gDefaultFTPHome[512];          // default anonymous root ("ftp-home")
// Its supplementary groups, read once at start-up: an anonymous login sets
// them without asking the group databases again (which takes a hundred
// system calls with some name services).  0: unknown, asked at each login.
constexpr int kFTPUserGroupsMax = 256;
extern gid_t gFTPUserGroups[kFTPUserGroupsMax];
extern int gNumFTPUserGroups;

// ---- Scratch buffers ------------------------------------------------------------
extern char *gScratch1, *gScratch2;        // kScratchBufSize each
extern char *gXferBuf;                     // kXferBufSize, shared with Spwd

// ---- Signals ---------------------------------------------------------------------
extern sigjmp_buf gExitJmp;
extern volatile sig_atomic_t gExitJmpReady;
extern volatile sig_atomic_t gExitSignal;      // signal that jumped back to main
extern volatile sig_atomic_t gReloadConfiguration;
extern volatile sig_atomic_t gKillMyselfAtTheEarliestConvenience;
extern sigjmp_buf gCancelJmp;                  // a cancellable transfer's return point
extern volatile sig_atomic_t gCancelJmpReady;
extern volatile sig_atomic_t gSendfileCanceledBy;  // signal that cut a running sendfile
extern volatile sig_atomic_t gSendfileErrno;       // EINTR (time-out) or EPIPE for it
extern volatile sig_atomic_t gExitInProgress;      // Exit has begun
extern volatile sig_atomic_t gExitCode;            // the code it exits with

void InstallSignalHandlers();
void CatchAndDie(int sig);
void CatchAndCore(int sig);
void CatchHup(int sig);
void CatchAndLog(int sig);
void Cancel(int sig);
void SendfileTimeout(int sig);
void SendfileCancel(int sig);
void SigTrace(int sig);
const char *SignalName(int sig, char *buf, size_t size);   // "signal %d (%.40s)"
// Changes to the core directory (and this process's subdirectory) of an
// initialised server when it is absolute, reached without links and only
// root (or the server's account) can change it; false when not entered.
// Async-signal-safe.
[[nodiscard]] bool EnterCoreDirectory();

// ---- Identity decided by the master at start-up -------------------------------------------------
extern int gRunningAsRoot;                  // the master started with effective uid 0
extern int gChroot;                         // the master chrooted into the anonymous root
extern int gSetuidFTP;                      // the master runs with the anonymous account's euid

// ---- A session's own process (process/master.cc, process/sandbox.cc) -----------------------------
// Closes what only the pool may hold: the listening socket and the master's
// wake-up pipe.
void CloseMasterDescriptors();
// Before the switch to the user: the capability bounding set emptied, so
// that nothing the session starts can get a capability back.
int EmptyBoundingSet();
// After the switch: a second system-call filter allows only the calls a
// session and its archivers make (every other answers EPERM).  0, or -1 when
// a step failed (logged).
int LimitUserProcess();
// A filter of the kind above for a list of the caller's: the n listed calls
// allowed, every other one answered err; with busiestOnly, the kernel learns
// only the busiest calls as always allowed, as under the pool child's.  0, 1
// without system-call filters, -1 on a failure (logged).  The search the
// filters make is tested with it.
[[nodiscard]] int InstallCallList(const int *allowed, size_t n, int err, bool busiestOnly = false);

// ---- The front: the process that reads a client's commands before a login ----------------------
// Master, as root, at start-up: the fronts' ids (front-uid-base plus the
// pool child's number; nobody's when an account or group holds the first or
// the last of them, logged) and an empty root (a directory removed at once,
// kept open).  0, or -1 (logged).
[[nodiscard]] int PrepareFrontConfinement();
// In the front, forked by parent, as root still: into the empty root, every
// capability gone, its ids alone, not dumpable, ending with its parent, and
// system-call filters that end it on any call not in its list.  0, or -1
// (logged): such a process must not serve a client.
[[nodiscard]] int EnterFrontConfinement(pid_t parent);

// ---- Descriptors (descriptors.cc) ---------------------------------------------------------------
// Highest open descriptor of the process; -1 when none.
int HighestOpenDescriptor();
// Remembers the highest descriptor the process is expected to keep.
void NoteHighestDescriptor();
// Closes every descriptor above the noted one (logged when verbose).
void CloseStrayDescriptors();
// Logs a report of every open descriptor, once per process (the caller then
// exits with status 4 when it ran out of descriptors).
void LeakReport();
