// zorvad_spy: the status monitor.  It attaches read-only to the running
// server's shared status area (layout in server/status/shm.h, the one
// definition both programs use) and shows who is connected, the process ids,
// the miscellaneous log, and toggles the server's verbose logging.
#pragma once

#include <sys/shm.h>
#include <sys/types.h>

#include <csignal>
#include <cstdio>
#include <cstddef>
#include <ctime>

#include "status/shm.h"

// ---- Settings from the command line -------------------------------------------------
extern unsigned gPort;            // -p; 21 by default
extern key_t gKey;                // -k, or derived from the port
extern int gNoResolve;            // -n: show client addresses as given
extern int gHtml;                 // -h, -w or CGI mode
extern int gCgi;                  // REMOTE_ADDR and REQUEST_METHOD were set
extern int gPublic;               // -P: a page for anybody: no e-mail address, password or path
extern const char *gOutFile;      // -o: dump and dumpinfo
extern size_t gLookupSize;        // -s
extern int gLookupMode;           // -m

// ---- The attached segment ----------------------------------------------------------------
extern const ShmHeader *gHead;
extern struct shmid_ds gShmInfo;  // the segment's system status record
extern int gMaxUsers;
extern time_t *gStamps;           // watch: saved last-activity time per slot

// Finds the segment, attaches it read-only and checks its version tag and size;
// every failure prints its message and exits 1.
void AttachSegment();

// A consistent private copy of slot i with every text field terminated.  Slots
// are written by the server while we read: one copy, then only the copy is used.
// With -P the copy keeps no anonymous user's e-mail address (the login
// identity), no directory, and of the command only its verb: the argument
// may be a password or a path on the host.
void SnapshotSlot(int i, ShmSlot *copy);
// The pid word of slot i, read once.
int32_t SlotPid(int i);
// A private copy of the transfer totals by domain set (kShmDomainTotals
// entries), every name terminated.
void SnapshotDomainTotals(ShmDomainTotals *copy);

// ---- What a session shows ----------------------------------------------------------------
// The client's name: the slot's host field, resolved here when it is an
// address and -n was not given.
void ClientName(const ShmSlot &s, char *dst, size_t size);
// Who: the login identity, else the user name, else empty.  "name@host" whose
// host is the client's name becomes "name@".
void WhoText(const ShmSlot &s, const char *client, char *dst, size_t size);
// Idle seconds since the last activity: the last command, or the last second
// in which a transfer or listing moved data (the server notes each one, and
// the end), so a stalled transfer shows its stall and a finished one the
// time since it ended.
long IdleSeconds(const ShmSlot &s, time_t now);
// Copies text for a terminal: control characters become '?'.
void Printable(char *dst, size_t size, const char *src);
// Writes text as HTML in plain ASCII: the special characters and every
// non-ASCII character as references, bytes that are not UTF-8 as U+FFFD,
// control characters as '?'.
void PutHtml(const char *text);

// The directory-cache counters summed over the children's slots.
void CacheCounters(unsigned long *attempts, unsigned long *hits);

// Length of the well-formed UTF-8 sequence at p, or 0: no overlong forms, no
// surrogates, nothing above U+10FFFF.
int Utf8Length(const unsigned char *p);

// Writes text as a JSON string: quotes, backslashes and control characters
// escaped, bytes that are not UTF-8 replaced by U+FFFD.
void PutJsonString(FILE *out, const char *text);
// Writes text as a quoted label value of the metrics: backslash, quote and
// line feed escaped, other control characters as '?', bytes that are not
// UTF-8 as U+FFFD.
void PutLabelValue(FILE *out, const char *text);

// ---- Commands ------------------------------------------------------------------------------
int Who();
int Watch();
int Pids();
int CacheStat();
int Json();
int Metrics();
int Dump();
int DumpInfo();
int Tail(int fromNotedEnd, long notedEnd, const char *notedName);
int Toggle(int andTail);

// ---- Interrupts ------------------------------------------------------------------------------
extern volatile sig_atomic_t gInterrupted;
extern volatile sig_atomic_t gInDnsLookup;
void InstallInterruptHandler();

// The misc log pattern (log-misc of general.cf), "" when there is none; false
// when general.cf cannot be read (the warning is printed).
bool ReadLogPattern(char *dst, size_t size);
// The current log name: the pattern through strftime at the local time.
void CurrentLogName(const char *pattern, char *dst, size_t size);
