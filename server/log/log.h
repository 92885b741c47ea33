// Logging interface used by every process: log text goes as one record over the
// log pipe to the logger process (logger.h), which writes it to the file of its
// type.  Before the logger exists, or when the pipe fails, text goes to standard
// error.
#pragma once

#include <cstddef>

#include <cstdint>

constexpr int kLogMisc = 0;      // miscellaneous log
constexpr int kLogXfer = 1;      // transfer log
constexpr int kLogSession = 2;   // session log
constexpr int kLogStat = 3;      // statistics log (written without a time stamp)
constexpr int kLogEvent = 4;     // event records, passed to the event-processor programs
constexpr int kLogNumTypes = 5;  // types 5 and above are refused by the logger

// ---- The record on the pipe -----------------------------------------------------------
constexpr uint32_t kLogMagic = 0x77C0FFEE;
constexpr int kLogTagSize = 12;
constexpr int kLogTextMax = 738;              // text bytes after the header, line feed included

// All integers in host order; the text follows the header.
struct LogRecordHeader {
    char tag[kLogTagSize];       // sender tag, NUL-padded: "(main)  | ", "(logd)  | ", "#u3     | "
    int32_t type;
    int32_t length;              // text bytes, at most kLogTextMax
    int32_t domain;              // sender's domain set number (a front's or session's is not believed)
    uint32_t magic;              // kLogMagic
};
static_assert(sizeof(LogRecordHeader) == 28);

// The verbose level: _Trace writes only while it is non-zero.  A key of
// general.cf (defined with the settings in config/config.cc).
extern int gTraceLogging;                  // verbose, verbose-logging, verbose-mode, debug, debuglevel (0)

// Channels lead to the logger, in packet mode (each write is one record,
// each read takes one): the master's own pipe, and each child's socket pair.
// Only the master's records are believed as they stand.
extern int gLogPipe;                          // this process's write end; -1 when none
extern int gLogStopPipe;                      // the logger's stop channel: the master's alone; -1 elsewhere
extern char gLogHeader[kLogTagSize];          // this process's sender tag
// The domain set number put into every record: points at a constant 0 until the
// domain table exists; the domain code points it at gDomain.
extern const int *gLogDomainPtr;

// Inside the logger process records do not go through the pipe: the logger
// sets this to its own writer.
using LogSinkProc = void (*)(const LogRecordHeader *hdr, const char *text);
extern LogSinkProc gLogSink;

// Sets the sender tag of the master, "(main)  | ".  A child sets its own tag
// "#%c%-5d | " in gLogHeader.
void InitLogger();

// A new child: gives up the master's pipe and stop channel and writes into
// its own pipe fd (-1: none, its records go to standard error).
void TakeChildLogPipe(int fd);

// printf-like; the text is cut at 738 characters, a final "\r\n" becomes "\n"
// and a missing final line feed is added.  errno is preserved.
void Log(int type, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Like perror() into the miscellaneous log: "%s: %s.\n" with the formatted text
// and the text of errno.
void LogPerror(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// A log line written only while the verbose level is non-zero.
void _Trace(int type, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// The master's stop for the logger: one byte on its own channel, after its
// last records (sessions hold the log pipe, so a record there cannot stop it).
void CloseLog();

// Installs the verbose toggle (SigTrace) for SIGUSR1 (in logger.cc, which
// links with the signal handlers).
void EnableTraceHandler();

// Writes all n bytes, retrying EINTR; false when a write fails.  Safe in
// signal handlers (a plain write, no timed call).
bool WriteFully(int fd, const char *p, size_t n);
