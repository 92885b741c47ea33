// The logger process: the only process that writes log files.  It reads the
// records of every other process from the log pipe (log.h), stamps them, picks
// the file by log type and domain set, switches files when the date in their
// name changes, keeps the shared time cache up to date and runs the
// event-processor programs.
#pragma once

#include <sys/time.h>

#include <ctime>

// ---- The domain sets' log path patterns -------------------------------------------------
// The logger asks the domain table through these hooks (set them before
// OpenLogger).  pathPattern returns the strftime pattern of a domain set's log
// of one type (0 misc, 1 transfer, 2 session, 3 statistics), or nullptr / ""
// for none; only patterns beginning with '/' are written.  reload re-reads
// domain.cf in the logger process (after SIGHUP, and when a record names a set
// beyond the table) and returns 0 on success.  The defaults know one set whose
// misc and statistics patterns are "log-misc" and "log-stat" of general.cf.
struct LoggerDomainHooks {
    int (*numDomains)();
    const char *(*pathPattern)(int domain, int type);
    int (*reload)();
};
extern LoggerDomainHooks gLoggerDomains;

// The logger's clock, gettimeofday() unless a test replaces it.
extern int (*gLoggerClock)(struct timeval *tv);

// Master: creates its log pipe, the channel for the children's pipes and the
// stop channel and forks the logger; keeps the write ends in gLogPipe,
// gLogChildChannel and gLogStopPipe and the logger's pid in gLoggerPID.
// Failures print "pipe" or "fork" with perror and leave through Exit(1).
void OpenLogger();

// A pipe records travel on, in packet mode (a write is one record, a read
// takes one).  0, or -1 with errno.
[[nodiscard]] int MakeLogPipe(int fds[2]);

// What the logger reads: the master's own pipe, whose records are believed
// as they stand, and the channel on which the master hands it each child's
// channel with the child's number (-1: none).  A child's records keep their
// tag only when it names that child, and get no line breaks of their own.
struct LogInputs {
    int master;
    int childPipes;
};

// Master: the channel each child's pipe is handed to the logger on.
extern int gLogChildChannel;

// Master, before forking child n: a new channel for it (a socket pair in
// packet mode that tells the logger each record's sender and carries no
// descriptor), whose logger's end is handed to the logger with n; returns
// the end the child keeps (the master closes it after the fork), or -1.  A
// new channel's transfer and session records are filed under set 0.
// *handOver: the child's end of a second socket pair, the only way to the
// logger that carries a descriptor (UseLogChannelOf), which the child keeps
// to itself (gLogHandOver); -1 when there is none.
[[nodiscard]] int NewChildLogChannel(int n, int *handOver);

// A pool child's end of its hand-over socket (NewChildLogChannel); -1
// elsewhere.  ForgetLogHandOver closes it in a process the pool child forks.
extern int gLogHandOver;
void ForgetLogHandOver();

// Pool child (root), before any record of a client of domain set `domain`:
// when its channel is another set's, it hands the logger a new one for
// this set on its hand-over socket and writes into that from now on.  Its front and session's
// process write into the channel too, and on a separated server the
// logger files their transfer and session records under the channel's set
// whatever they name; a descriptor of the old channel that an earlier
// client's process kept reaches nothing any more.  Only root's hand-over
// is taken.  0 (nothing to do with the set unchanged, the usual case), or
// -1 with errno.
[[nodiscard]] int UseLogChannelOf(int domain);

// A writer that shuts a child's channel down leaves it of no use to the
// others; the logger then closes its end, which shows on the pool child's
// end as a hang-up.  The pool child watches for it in the polls it makes
// anyway (waiting for a client, for its front and session's process) and
// leaves before its next client: its successor gets a new channel from the
// master.  LogChannelToWatch: the descriptor to add to such a poll, with no
// events (-1: none; outside a pool child, or once the end is seen).
// NoteLogChannel: that entry's revents; true when the channel is lost.
int LogChannelToWatch();
bool NoteLogChannel(short revents);

// The logger's main loop on the read ends of the log pipes.  Ends at a byte
// on stopFd (the master's alone) or when every writer of every pipe is gone,
// through Exit().
[[noreturn]] void LogServer(LogInputs in, int stopFd);

// The logger's clock: the time of the last tick, or the system time before it.
time_t LogTime();

// Log files of the logger, one per domain set and type.
int OpenLog(int domain, int type, time_t now);   // the descriptor, or -1
int OpenMiscLog(time_t now);
void CloseDomainLog(int domain);
void CloseOldestLog();
void CloseAllLogs();

// Runs the event-processor program that an event record (type 4) selects, with
// the record's fields as arguments.  A program that cannot be started is logged
// and forgotten.  Returns 0 when a program was started, -1 otherwise.
int EventProcessor(const char *record);
