// Urgent data on the control connection.  Clients interrupt a transfer in
// one of two ways: Telnet IP, then DM as the urgent byte, then "ABOR\r\n" in
// band; or the whole "ABOR\r\n" sent as urgent data, so that the urgent byte
// is the line feed and only "ABOR\r" stays in band.  The second kind would
// leave the command line without its end, so the line is completed here and
// answered at once; the command cycle waits for input with these routines in
// front of its line reader.
#pragma once

#include <cstddef>

#include "sio.h"

// Reads the out-of-band data waiting on the line reader's descriptor (traced
// at the verbose levels).  When the urgent byte is a line feed, the in-band
// bytes up to the urgent mark are taken into srl and the line feed is added
// after them.  Returns the count of out-of-band bytes, or a negative result.
int ReceiveUrgentData(SReadlineInfo *srl);

// Waits until SReadline can return a line from srl without waiting for more
// input (a whole line, an overlong piece of lineSize - 1 bytes, stray bytes,
// or the end or failure of the connection), handling urgent data meanwhile.
// Returns 0 when SReadline may be called, kSioErrTimeout when seconds passed
// without a line, or kSioErrSystem with errno set when the connection failed.
// Under TLS (after AUTH) the records are read instead and no urgent data is
// looked for; the end of the TLS session returns kCommandInputEnded.
constexpr int kCommandInputEnded = 1;
int WaitForCommandLine(SReadlineInfo *srl, int seconds, size_t lineSize);

// The watch of a transfer under TLS: takes what came on the control
// connection into the command reader's buffer without waiting; 1 when it
// holds an ABOR line (the transfer stops as after an urgent interrupt, and
// the command cycle answers the line), 0 to go on, -1 to stop looking.
int TlsControlCheck();

// 1 when srl holds what SReadline needs to return without reading.
[[nodiscard]] int SReadlineReady(const SReadlineInfo *srl, size_t lineSize);
