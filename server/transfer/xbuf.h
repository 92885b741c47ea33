// The transfer output buffer: listings and ASCII downloads are written to the
// data connection (gData) through it.  It skips the bytes before the
// session's restart offset (REST), frames blocks in MODE B and keeps the
// download bandwidth limit.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>

constexpr int kXBufSize = 65535;
constexpr int kXBufModeBHeaderSize = 3;
constexpr int kModeBEndOfFile = 64;          // MODE B descriptor of the last block

extern int64_t gXBufTotalHandled;            // bytes handed in (skipped ones included)
extern int64_t gXBufTotalWrote;              // bytes written, MODE B headers included
extern int gXBufLastDescriptor;              // descriptor of the last MODE B block
extern struct timeval gXBufStartTime;        // start of the transfer (bandwidth limit)

// Test seam: how the bandwidth limit sleeps (microseconds).
extern void (*gXBufSleep)(long long usec);

// Before each listing or ASCII download: clears the cancel flags, empties the
// buffer, zeroes the totals and notes the start time.
void ResetXBuf();

// Takes at most kXBufSize bytes of data; returns the count taken, or the
// negative result of a failed write.  Bytes before the restart offset are
// skipped.  Once the transfer was cancelled or a write failed nothing more
// is written.
int XBufWrite(const void *data, size_t len);

// Writes what is buffered, as a MODE B block with the given descriptor in
// MODE B (an empty end-of-file block too, unless the last block already was
// one).  Returns the count written (0 when nothing was due) or a negative
// write result.
int XBufFlush(int descriptor);

// 1 once the client's interrupt (ABOR) cut the transfer.
[[nodiscard]] int XBufCanceled();
// The result of the first failed write (time-out, broken pipe, ...), or 0.
[[nodiscard]] int XBufFailed();
