// Start-up, command line, signals, the PID file and shutdown: everything
// from process entry until the master starts accepting connections, and the
// one shutdown routine every process leaves through (Exit, in exit.h).  The
// process-wide state they set up, which every layer reads, is declared in
// base/process.h.
#pragma once

#include <csetjmp>
#include <csignal>
#include <cstddef>
#include <ctime>

#include <sys/types.h>

#include "Spwd.h"
#include "base/exit.h"
#include "base/process.h"

constexpr int kPIDLineSize = 64;           // every PID-file line, newline included

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
// Runs work in a child of its own and returns what it returned (0-255), or
// runs it here when no child can be had.  For the master's look-ups that
// list every account or group: they load each name service the host names,
// with the libraries it pulls in, which every process the master forks
// would map and copy again.
int RunApart(int (*work)());
// The master's list of its own children, opened before a chroot can hide
// /proc from it: 0, or -1 when the kernel has none.  Its pool children
// close it (CloseChildrenList).
int OpenChildrenList();
void CloseChildrenList();
// Kills each child of the master that spare does not keep, with its
// process group.
void KillListedChildren(bool (*spare)(pid_t));

// ---- PID file --------------------------------------------------------------------
// The PID file's directory as an O_PATH descriptor when only root (or the
// server's own account) can change it and every directory above it; else -1
// with errno and the directory to blame in bad.
[[nodiscard]] int OpenPIDFileDirectory(char *bad, size_t badSize);
void InitPIDFile();                        // master: create it before forking children
void WritePIDFile(int clear);              // the logger's own line
// A child's: writes its line, then lets go of the file and its directory (a
// session must not be able to change what root runs; in a chroot the
// directory would be a way out of it).
void LeavePIDFile();
void ClearChildPIDLine(int child);         // master: the line of a child that ended
void RemovePIDFile();                      // master at shutdown
void ForgetPIDFileDirectory();             // the handle on the directory is the master's alone

// ---- Shutdown --------------------------------------------------------------------
void ExitStuff();
