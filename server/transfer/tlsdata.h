// Data connections under TLS (after PROT P): the handshake that must resume
// the control connection's TLS session, and the reads and writes of the
// transfer loops, which watch the control connection for an ABOR meanwhile.
#pragma once

#include <cstddef>

// Why a data connection's handshake was refused.
constexpr int kDataTlsFailed = -1;          // no handshake (425)
constexpr int kDataTlsNotResumed = -2;      // not the control connection's session (522)

// After the 150 reply: the server side of the handshake on the data
// connection gData within seconds.  0, or kDataTlsFailed /
// kDataTlsNotResumed after logging why and closing gData; no reply yet.
[[nodiscard]] int StartDataTls(int seconds);

// After a handshake on gData that made the data channel: 0 when it resumed
// the control connection's session, else kDataTlsNotResumed after logging
// why and closing gData.
[[nodiscard]] int CheckDataTlsResumed();

// Logs why the handshake with gRemoteDataAddrStr failed ("timed out").
void NoteDataTlsFailed(const char *why);

// Logs that the connection from gRemoteDataAddrStr did not resume the
// control connection's session.
void NoteDataTlsNotResumed();

// The final reply for a refused handshake; counts a failed data connection.
void ReplyDataTlsRefused(int why);

// Writes every byte within xfer-timeout for each wait: n, kTlsInterrupted
// when an ABOR came on the control connection, or a negative result of the
// socket library's kind.
[[nodiscard]] int DataTlsWrite(const char *p, size_t n);

// Reads what has come (at most n bytes) within xfer-timeout: the count, 0 at
// the client's close_notify, kTlsInterrupted, or a negative result; a
// connection closed without close_notify fails with ECONNABORTED.
[[nodiscard]] int DataTlsRead(char *p, size_t n);
