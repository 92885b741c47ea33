// The PROXY header a balancer sends first.
#include <cstdlib>

#include "fuzzenv.h"
#include "proxy/proxyheader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Byte by byte, as the server reads: the first length known holds for
    // every longer prefix, and a header parsed whole names an IPv4 or IPv6 client.
    int known = 0;
    for (size_t len = 0; len <= size; len++) {
        const int whole = ProxyHeaderLength(data, len);
        if (known != 0 && whole != known)
            abort();
        known = whole;
        if (whole < 0)
            break;
        if (whole > 0 && static_cast<size_t>(whole) == len) {
            ProxySource src;
            if (ParseProxyHeader(data, len, &src) == 0 && src.haveSource && !(src.source.sa.sa_family == AF_INET || src.source.sa.sa_family == AF_INET6))
                abort();
            break;
        }
    }
    return 0;
}
