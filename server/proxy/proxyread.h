// Reading a PROXY header off a connection from a trusted balancer: the
// control connection (process/admission.cc) and a passive data connection
// (transfer/data.cc) both begin with one when a listed balancer forwards it.
#pragma once

#include <netinet/in.h>

#include <ctime>

#include "proxy/proxyheader.h"

// True when one of the count ranges holds addr (network order).
[[nodiscard]] bool ProxyNetsHold(const ProxyNet *nets, int count, in_addr_t addr);

// Reads exactly the header, none of the client's own bytes: 0 and *out;
// -1 malformed, -2 not whole by the deadline.
[[nodiscard]] int ReadProxyHeader(int fd, time_t deadline, ProxySource *out);
