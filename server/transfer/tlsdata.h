// Data connections under TLS (after PROT P): the handshake that must resume
// the control connection's TLS session, and the reads and writes of the
// transfer loops, which watch the control connection for an ABOR meanwhile.
#pragma once

#include <cstddef>

// After the 150 reply: the server side of the handshake on the data
// connection gData, within conn-timeout.  0, or -1 after the data
// connection was closed and the final reply (425 or 522) sent.
[[nodiscard]] int StartDataTls();

// Writes every byte within xfer-timeout for each wait: n, kTlsInterrupted
// when an ABOR came on the control connection, or a negative result of the
// socket library's kind.
[[nodiscard]] int DataTlsWrite(const char *p, size_t n);

// Reads what has come (at most n bytes) within xfer-timeout: the count, 0 at
// the client's close_notify, kTlsInterrupted, or a negative result; a
// connection closed without close_notify fails with ECONNABORTED.
[[nodiscard]] int DataTlsRead(char *p, size_t n);
