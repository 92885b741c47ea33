// Start-up, command line, signals, the PID file and shutdown: everything
// from process entry until the master starts accepting connections, and the
// one shutdown routine every process leaves through (Exit, in exit.h).
#pragma once

#include <csetjmp>
#include <csignal>
#include <cstddef>
#include <ctime>

#include <sys/types.h>

#include "Spwd.h"
#include "base/exit.h"

constexpr int kHostNameSize = 64;
constexpr int kSysInfoSize = 256;
constexpr int kScratchBufSize = 4096;
constexpr int kXferBufSize = 65535;
constexpr int kPIDLineSize = 64;           // every PID-file line, newline included

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
extern unsigned gRandomButPersistent16Bits;
extern char gGeneralCfPath[256], gDomainCfPath[256];

// ---- Settings of the command line (not keys of general.cf) --------------------
extern int gAnonOnlyServer;                // -a / -u
extern int gHidePasswordsInVerboseLog;     // on; -Y shows passwords

// ---- The anonymous account -----------------------------------------------------
extern Spwd gFTPUser;                      // "ftp" or its stand-in account
extern char gDefaultFTPHome[512];          // default anonymous root ("ftp-home")

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

// ---- Start-up --------------------------------------------------------------------
void Init(const char *progname);
[[noreturn]] void Usage();
// First scan (before the files): -J, -b, -e; unknown letters give the usage.
// Returns the index of the first file argument.
int PreScanOptions(int argc, char **argv);
// Second scan, after both files: command-line values override them.
void ScanOptions(int argc, char **argv);
// Puts general.cf first when the two file arguments came the other way round.
void SwapConfigArgs(char **first, char **second);
void PostReadConfigInit();
// Pieces of it: the key base derived from a port other than 21 (unless one
// was given), and the PID-file checks with the port in the standard name.
void DeriveShmKeyBase();
void CheckPIDFile();
int GetOurHostName(char *dst, size_t size);
int HashSelfTests();                       // 0, or the number of failed tests

// ---- PID file --------------------------------------------------------------------
// The PID file's directory as an O_PATH descriptor when only root (or the
// server's own account) can change it and every directory above it; else -1
// with errno and the directory to blame in bad.
[[nodiscard]] int OpenPIDFileDirectory(char *bad, size_t badSize);
void InitPIDFile();                        // master: create it before forking children
void WritePIDFile(int clear);              // a child's or the logger's own line
void RemovePIDFile();                      // master at shutdown
// A child's: the handle on the file's directory is the master's alone (in a
// chroot it would be a way out of it).
void ForgetPIDFileDirectory();

// ---- Shutdown --------------------------------------------------------------------
void ExitStuff();
