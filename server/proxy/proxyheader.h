// The header a TCP load balancer sends first on a connection it forwards,
// naming the client it came from (PROXY protocol, versions 1 and 2), and the
// address ranges trusted to send it.  Only parsing: reading the header off a
// socket is the admission's work.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "sio.h"

constexpr size_t kProxyV1Max = 107;            // the longest version 1 line, CRLF included
constexpr size_t kProxyV2Fixed = 16;           // signature, version/command, family, length
constexpr size_t kProxyV1Min = 15;             // "PROXY UNKNOWN\r\n"

// What a header says.  haveSource is 0 for a health check of the balancer
// itself (version 2 LOCAL, version 1 UNKNOWN, or an unspecified family): the
// connection's own addresses stand.
// An IPv4-mapped IPv6 address is given as the IPv4 address it maps.
struct ProxySource {
    int haveSource;
    SioAddr source;
    SioAddr destination;
};

// The length of the header that begins buf, as far as the len bytes there
// tell: the whole length (> 0) once known, 0 while more bytes are needed,
// -1 when these bytes cannot begin a header.  A version 1 header is known
// at its CRLF; a version 2 header from its fixed part.
[[nodiscard]] int ProxyHeaderLength(const unsigned char *buf, size_t len);

// Parses one whole header of len bytes (ProxyHeaderLength's answer): 0 and
// *out, or -1 when it is malformed or names what the server cannot serve
// (a UNIX socket, UDP, an address no TCP client can have).
[[nodiscard]] int ParseProxyHeader(const unsigned char *buf, size_t len, ProxySource *out);

// One trusted range: "a.b.c.d" or "a.b.c.d/n" (0 <= n <= 32).
struct ProxyNet {
    uint32_t net;                                // network order, host bits clear
    uint32_t mask;                               // network order
};

[[nodiscard]] int ParseProxyNet(const char *text, ProxyNet *out);
[[nodiscard]] bool ProxyNetHolds(const ProxyNet &n, in_addr_t addr);
