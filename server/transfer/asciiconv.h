// Line-end conversion of TYPE A transfers, by "ascii-mode".  Both directions
// work block by block: a carriage return at the end of a block is held until
// the next block (or the end of the data) shows what follows it.
//
// Downloads (file -> network):
//   0  bytes unchanged;
//   1  LF becomes CR LF; a CR directly before a LF is dropped first, other CRs
//      pass unchanged;
//   2, 3  LF, CR LF and a lone CR each become one CR LF.
// Uploads (network -> file):
//   0, 1  every CR is dropped;
//   2, 3  CR LF and CR CR LF become LF; any other CR becomes LF.
#pragma once

#include <cstddef>

struct AsciiState {
    int pendingCRs;        // carriage returns held back from the previous block
};

// Worst-case output of a download block of n bytes (every byte may double,
// plus the held carriage return).
constexpr size_t AsciiSendBound(size_t n)
{
    return 2 * n + 2;
}
// Worst-case output of an upload block of n bytes (held carriage returns
// may come out as line feeds).
constexpr size_t AsciiRecvBound(size_t n)
{
    return n + 2;
}

// Converts n bytes of a file for sending; dst holds AsciiSendBound(n) bytes.
// Returns the bytes written to dst.
size_t AsciiToNetwork(int mode, AsciiState *st, const char *src, size_t n, char *dst);
// The end of the file: what the held carriage return becomes (at most 2 bytes).
size_t AsciiToNetworkEnd(int mode, AsciiState *st, char *dst);

// Converts n received bytes for the file; dst holds AsciiRecvBound(n) bytes.
size_t AsciiFromNetwork(int mode, AsciiState *st, const char *src, size_t n, char *dst);
// The end of the data: what the held carriage returns become (at most 2 bytes).
size_t AsciiFromNetworkEnd(int mode, AsciiState *st, char *dst);
