// The record every download and upload ends in: the per-transfer state, the
// transfer-log line, the event record, the syslog line and the statistics of
// the shared status area.  Downloads (retr.cc) and uploads (stor.cc) fill the
// state; the control session writes a record still pending when the next
// command or the end of the connection arrives.
//
// The per-transfer values that the session reset also knows (gCurXferFile,
// gBytesRetr, gBytesStor, gTransferStarted, gXNote, gRestartedAt,
// gStartingSize) live in shell.h.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

// ---- Transfer results ---------------------------------------------------------------------
constexpr int kXferOK = 0;
constexpr int kXferAbor = 1;
constexpr int kXferError = 2;
constexpr int kXferIncomplete = 3;
constexpr int kXferNoEnt = 4;
constexpr int kXferPerm = 5;

// ---- Note bits (gXNoteBits) ---------------------------------------------------------------
constexpr int kXNoteMmap = 1;
constexpr int kXNoteModeB = 2;
constexpr int kXNoteSendfile = 4;
constexpr int kXNoteAppend = 8;
constexpr int kXNoteRestarted = 16;
constexpr int kXferNotesSize = 15;            // at most 14 characters

constexpr int kXferSfxSize = 16;
constexpr int kXferBigBytes = 102400;         // larger transfers count for the speed class
constexpr double kXferMinDuration = 0.1;

// ---- Per-transfer state (reset at the start of each RETR/STOR) ----------------------------
extern int gUploading;                        // 0 download, 1 upload
extern int gXNoteBits;
extern char gSfx[kXferSfxSize];               // archive suffix of a directory download
extern double gDura;                          // seconds, from CalculateTransferDuration
extern struct timeval gXferStart;             // when the transfer began

// Clears the per-transfer state for a new transfer in the given direction.
void ResetXferState(int uploading);
// Notes now as the start of the transfer.
void NoteXferStart();
// gDura = seconds since the start.
void CalculateTransferDuration();

// "OK", "ABOR", "ERROR", "INCOMPLETE", "NOENT", "PERM"; "ERROR" for others.
const char *XferResultName(int result);

// The notes field: "Ap", "Bl", "Mm", the data port kind, "Rz", "Sf", each
// when it applies, in this order.
void FormatXferNotes(char *dst, size_t size, int bits, const char *portType);

// The facts of one transfer-log line.
struct XferLogFields {
    char letter;                              // 'R'/'S', 'r'/'s' for start records
    const char *path;
    long long bytes;
    double duration;
    double rate;                              // KiB per second
    const char *user, *loginId, *host;
    const char *sfx;
    const char *result;
    char type;                                // 'A' or 'I'
    const char *notes;
    long long startTime;                      // seconds since the epoch
    const char *sessionId;
    long long startingSize;
    long long restartedAt;
};
// The transfer-log line of the fields; returns snprintf's count.
int FormatXferLogLine(char *dst, size_t size, const XferLogFields &f);

// The start of the transfer in gCurXferFile: its transfer-log record (with
// "log-xfer-starts") and its event message.
void LogTransferStart();

// The record of the transfer in gCurXferFile (nothing when it is empty):
// session totals and counters, statistics, transfer log, event record and
// syslog line and event message; then the per-transfer state is cleared.  started tells whether
// data began to move.  errno is preserved.
void LogTransfer(int result, int started);

// 1 when a transfer's record has not been written yet.
[[nodiscard]] int TransferRecordPending();

// ---- Item records (logitem.cc) ----------------------------------------------------------
// A transfer-log record of an item that is not a transfer (and its event record
// when event processors are configured, and its event message).  letter is the transaction letter
// (T listing, D delete, M mkdir, C chmod, L symlink, N rename); the session's
// user fields come from the own status slot.
void LogItem(const char *path, const char *result, const char *text2, const char *text3, char letter,
             const char *eventName);
void LogDelete(const char *path);

// The bit of a transaction letter in "log-xfer-transaction-types"; 0 for others.
[[nodiscard]] int LogXferTypeBit(char letter);
