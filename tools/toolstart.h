// Start-up shared by the password-database tools (zorvad_passwd,
// zorvad_repquota, zorvad_edquota): who the caller is, a clean process, the
// access check of a set-user-ID run against the access file, opening the
// database with its messages, dropping privileges, and who may see or change
// which record.  Every message carries the tool's name where it names one.
//
// A tool's main reads:
//     ToolStart("zorvad_xxx", argc, argv);     // exits 11, 12 or 13
//     ... Getopt loop, setting gPwFileName, gHSize, gWarnings, gVerbose ...
//     CatchExitSignals();                      // exit 3 from now on
//     CheckPwFileName(Usage);                  // exits 5..10 as the access file says
//     if (OpenToolDatabase(kToolOpenRead) != 0) exit(1);
//     DropPrivileges();                        // exits 1 when it cannot
//     ... the operation; CloseToolDatabase() ...
// An operation that writes the database, or holds its read lock over many
// records (an export), calls ActAsCaller() in place of
// DropPrivileges() and takes every lock of the database inside a
// LockHolderGuard.
//
// Exit codes used here: 1 (a switch of ids failed), 3 (signal), 6, 7, 8,
// 9, 10 (access check), 11 (no program name), 12 (descriptors 0-2 not open),
// 13 (environment not purged).  The usage text (exit 5) is the tool's own.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>

#include "Hpwd.h"
#include "ormel.h"

// The file that delegates databases to ordinary users of a set-user-ID tool.
inline constexpr char kPwAccessFile[] = "/etc/ftp.passwd.conf";
inline constexpr int kDefaultHSize = 131071;
// The access-file word naming the directory below which a delegated user's
// run may create home directories: "home-base=/srv/ftp/alice".
inline constexpr char kHomeBaseWord[] = "home-base=";

// ---- Process state ------------------------------------------------------------------

extern const char *gToolName;            // "zorvad_passwd", ...
extern uid_t gRealUid, gEffectiveUid;
extern gid_t gRealGid, gEffectiveGid;
extern bool gReallyRoot;                 // real and effective UID 0: may do everything
extern bool gFakeSuperuser;              // set-user-ID root run by an ordinary user
extern bool gCanModifyAnyRecord;         // set by CheckPwFileName
extern bool gAllowMkdirByFakeSuperuser;  // "allow-mkdir" or "the-fund"
extern bool gRunByWebServer;             // REMOTE_ADDR and REQUEST_METHOD were set
extern char gPwFileName[1024];           // -f; empty when not given
extern char gExtraDirToMake[1024];       // -J; cancelled by the access check unless "the-fund"
extern char gHomeBase[1024];             // "home-base=DIR": where a fake superuser may make directories
extern int gHSize;                       // -C: buckets of a new database
extern int gWarnings;                    // -w toggles; on by default
extern int gVerbose;                     // -v, repeatable
extern OrmelHandle gDb;                  // the one database; all zero while closed

// ---- Start-up -----------------------------------------------------------------------

// Steps before option parsing: cancel alarms, classify the caller, check and
// close descriptors, note a CGI run and purge the environment, default signal
// actions (SIGTSTP ignored), the exit handler that closes the database, the
// account library, umask 077.
void ToolStart(const char *toolName, int argc, char **argv);

// After option parsing: SIGHUP, SIGINT and SIGTERM print "\nCaught signal %d,
// exiting.\n", close the database (and restore the terminal's echo) and exit 3.
void CatchExitSignals();

// "-@": prints the waiting line and returns once SIGUSR1 has arrived.
void WaitForSigusr1();

// "%s version corresponding to %.16s.\n" on standard output.
void PrintToolVersion();

// Pages text through "more" (as the real user, with an empty environment and
// nothing on its command line); writes it to standard output when "more"
// cannot be started.  Does not exit.
void PageText(const char *text);

// ---- Access check -------------------------------------------------------------------

// Without -f: "No password database file specified.\n", a 2-second pause and
// usage() (which must not return).  Sets gCanModifyAnyRecord; for a fake
// superuser reads the access file and exits 6, 7, 8, 9 or 10 when it does not
// grant the database.
void CheckPwFileName(void (*usage)());

// ---- The database -------------------------------------------------------------------

enum ToolOpenMode { kToolOpenRead, kToolOpenReadWrite, kToolOpenCreate };

// Opens gPwFileName into gDb with gHSize buckets.  0, or -1 after printing
// the open message of the mode (the caller exits 1).
[[nodiscard]] int OpenToolDatabase(ToolOpenMode mode);
// Closes gDb quietly; 0 or the library's error code (a failed final write).
int CloseToolDatabase();
// In a child process: closes its copy of the database's descriptor (the
// parent's locks stay) and forgets the handle.
void ForgetToolDatabase();

// "-f path": sets gPwFileName; a path that does not fit is refused with exit 1.
void SetPwFileName(const char *path);

// Parses a stored line (left unchanged) into p; false after printing
// "Corrupt: ..." on standard output.
bool ParseStoredRecord(const char *data, Hpwd *p);

// Whether text (len bytes) holds a byte a terminal takes for a control: C0,
// DEL, or C1, as UTF-8 or as a raw byte outside a UTF-8 sequence.  Records
// hold no such byte: root's export and reports print them as they are.
bool HasTerminalControl(const char *text, size_t len);

// Stores p in place of its record.  The line must fit the record buffer: a
// longer one is refused, never stored cut.  0, or 1 after "Could not update
// record for ..." on standard error.
[[nodiscard]] int ReplaceRecord(const Hpwd *p);

// Reads name's record again under the database's write lock, checks that
// the caller may still modify it, lets change alter it (returning false when
// it refuses; it prints why) and stores it: a change that took a prompt's
// time writes its fields into the record as it is now, and a record deleted
// meanwhile stays deleted ("The record for %s was deleted meanwhile; nothing
// written.\n").  0, or 1 after printing why.
[[nodiscard]] int UpdateStoredRecord(const char *name, bool (*change)(Hpwd *p, const void *arg), const void *arg);

// Opens a file the caller named for reading with the caller's own rights
// (effective ids switched to the real ones for the open only), so that a
// set-user-ID run reads nothing the caller could not.  nullptr with errno.
[[nodiscard]] FILE *OpenAsCaller(const char *path);

// How a walk makes missing directories: with mode (umask cleared), and
// given uid and gid when chown is set.
struct DirectoryMaker {
    mode_t mode;
    bool chown;
    uid_t uid;
    gid_t gid;
};
// Walks path one component at a time below the directory fd (taken over and
// closed; -1 for an absolute path walked from "/"), following no link and
// refusing "..".  With make, missing directories are made on the way.  An
// O_PATH descriptor of the last directory, or -1 with errno (ENOTDIR or
// ELOOP for a link on the way).
[[nodiscard]] int WalkDirectories(int fd, const char *path, const DirectoryMaker *make);

// Gives up a set-user-ID identity for good (real group, then real user);
// "setgid: ..." or "setuid: ..." and exit 1 when the system refuses.
// Harmless to call again.
void DropPrivileges();

// Whether a delegated run holds the open database's locks as root: only a
// database root owns.  One the caller owns is its own file, which no root
// process may parse or write (and whose lock the caller could take itself).
[[nodiscard]] bool RootGuardsLock();

// Goes on with the caller's rights: real and effective ids the caller's.  A
// delegated run that has not given root up keeps it as its saved user ID,
// for LockHolderGuard alone, where RootGuardsLock(); any other run gives
// privileges up as DropPrivileges does.  Harmless to call again.
void ActAsCaller();

// Spans the time in which a delegated run asks for, holds and gives back a
// lock of the database (logins wait for it).  Meanwhile the process is root
// in its real, effective and saved ids, so that the caller can neither stop
// it (signals are allowed by the real and saved ids) nor lower its priority
// (allowed by the real and effective ids); it undoes a slow-down the caller
// chose before (nice value, idle or batch scheduling, idle I/O class),
// ignores the terminal's SIGTTOU and SIGTTIN, and keeps what it prints in
// memory until the guard ends: a caller's pipe left full or a stopped
// terminal must not keep the lock taken.  Afterwards the ids are as they
// were (the priority stays undone) and the kept text is written out.
// Guards nest; only the outermost acts, and only where RootGuardsLock().  A
// failed switch of ids ends the process with "setuid: ..." and exit 1.
class LockHolderGuard {
  public:
    LockHolderGuard();
    ~LockHolderGuard();
    LockHolderGuard(const LockHolderGuard &) = delete;
    LockHolderGuard &operator=(const LockHolderGuard &) = delete;

  private:
    bool outermost_ = false;
    uid_t uids_[3] = {};
    gid_t gids_[3] = {};
    struct sigaction oldTtou_ {}, oldTtin_ {};
};

// ---- Record permissions -------------------------------------------------------------

enum RecordAction { kRecordView, kRecordReplace, kRecordDelete };

// Whether the caller may act on the stored record p (no message).
bool MayActOnRecord(const Hpwd *p, RecordAction action);
// As MayActOnRecord, printing "Record for %s exists, but you don't have
// permission to view it / replace it / delete it.\n" on refusal.
bool CheckRecordPermission(const Hpwd *p, RecordAction action);
// For changing or checking a password: verb is "modify" or "check password";
// prints "Cannot %s record for %s: %s.\n" with "permission denied" on refusal.
bool CheckModifyPermission(const Hpwd *p, const char *verb);

// ---- Terminal -----------------------------------------------------------------------

// Prints prompt on standard error and reads one line from the terminal
// without echo (echo is restored on exit by signal too).  The newline is
// removed.  0, or -1 at end of input or when the line does not fit (buf
// wiped).
[[nodiscard]] int ReadWithoutEcho(const char *prompt, char *buf, size_t size);
// Reads one line of at most size-2 characters from f, newline removed; a
// longer line is consumed and refused.  1 for a line, 0 at end of input, -1
// for a line that did not fit (buf wiped).
[[nodiscard]] int ReadLine(FILE *f, char *buf, size_t size);
