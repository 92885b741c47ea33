#include "proxy/proxyread.h"

#include "sio.h"

bool ProxyNetsHold(const ProxyNet *nets, int count, in_addr_t addr)
{
    for (int i = 0; i < count; i++) {
        if (ProxyNetHolds(nets[i], addr))
            return true;
    }
    return false;
}

// A version 1 line is read byte by byte past its shortest form, a version 2
// header by the length it gives.
int ReadProxyHeader(int fd, time_t deadline, ProxySource *out)
{
    static unsigned char buf[kProxyV2Fixed + 65535];
    size_t have = 0, want = kProxyV1Min;
    for (;;) {
        const long left = static_cast<long>(deadline - time(nullptr));
        if (left <= 0)
            return -2;
        const int n = SRead(fd, buf + have, want - have, static_cast<int>(left), kSioWholeSize);
        if (n == kSioErrTimeout)
            return -2;
        if (n <= 0 || static_cast<size_t>(n) != want - have)
            return -1;
        have = want;
        const int whole = ProxyHeaderLength(buf, have);
        if (whole < 0)
            return -1;
        if (static_cast<size_t>(whole) == have)
            return ParseProxyHeader(buf, have, out);
        want = whole > 0 ? static_cast<size_t>(whole) : buf[0] == 'P' ? have + 1 : kProxyV2Fixed;
    }
}
