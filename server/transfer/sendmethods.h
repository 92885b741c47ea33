// The ways a download is sent over the data connection (gData): a plain
// read/write loop, the kernel's sendfile, a memory map, and the TYPE A
// converters that write through the transfer buffer (xbuf.h).  Each adds the
// bytes it sent to gBytesRetr, applies and clears the restart offset
// (noting "Rz") and leaves in gCancel why it stopped early: SIGPIPE (the
// client closed the data connection), SIGALRM (time-out) or SIGURG (ABOR).
// A file that ends before the size it had when the transfer started
// (gStartingSize, when known) fails the transfer with "450 Read error: ..."
// so that a short copy never passes for the whole file.
#pragma once

#include <cstdint>

constexpr int kSendfileUnusable = -22;         // the caller falls back to RegRetrieve
constexpr int kSendfileMinSize = 512;          // smaller files go through the loop
constexpr int64_t kMmapMinSize = 65536;
constexpr int kMaxTransferAlarm = 65535;       // seconds
constexpr int64_t kSendfileHugeFile = 1000000000;
constexpr int64_t kMmapHugeFile = 10000000;

// The plain loop.  0, -1 (error, the reply was sent; or broken pipe) or -2
// (time-out or interrupt).
int RegRetrieve(int fd);
// sendfile from the restart offset.  0, -1, or kSendfileUnusable when the
// kernel cannot send this file (nothing was sent).
int SendfileRetrieve(int fd, int64_t size);
// write from a read-only map of the whole file (the plain loop when it
// cannot be mapped).  0 or -1; a time-out or interrupt returns 0 with the
// reason in gCancel.  A write error other than a broken connection or a
// file cut short ends the session after the transfer's record.
int MmapRetrieve(int fd, int64_t size);
// TYPE A through the transfer buffer: 256-byte reads converted directly
// (modes 0-2), or 2,048-byte reads through a 4,096-byte staging buffer
// (mode 3).  0 or -1.
int RegAsciiRetrieve1_2(int fd);
int RegAsciiRetrieve3(int fd);

// The whole-transfer alarm of the sendfile and map methods: size / divisor
// seconds but at least the transfer time-out, at most 65,535, and 65,535 for
// files above hugeSize.
[[nodiscard]] unsigned TransferAlarmSeconds(int64_t size, int64_t divisor, int64_t hugeSize, int xferTimeout);

// Seconds to wait before sending more so that bytes sent so far keep to
// limitKiB KiB per second after elapsed seconds; 0 when none is due.
[[nodiscard]] double BandwidthDelay(int64_t bytesSent, int limitKiB, double elapsed);
// Sleeps that long; the client's interrupt (gCancel) cuts the sleep short.
void BandwidthSleep(double seconds);
