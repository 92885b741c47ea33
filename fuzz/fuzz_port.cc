// PORT arguments: six numbers of at most 255 with anything between them.
// An accepted argument written back as "h1,h2,h3,h4,p1,p2" reads as the
// same address.
#include <arpa/inet.h>

#include <cstdlib>
#include <string>

#include "fuzzenv.h"
#include "transfer/data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string arg = FuzzText(data, size);
    struct sockaddr_in addr {};
    if (ParsePortArgument(arg.c_str(), &addr) != 0)
        return 0;
    if (addr.sin_family != AF_INET)
        abort();
    char text[64];
    PassiveAddressText(text, sizeof(text), addr.sin_addr.s_addr, ntohs(addr.sin_port));
    struct sockaddr_in again {};
    if (ParsePortArgument(text, &again) != 0 || again.sin_addr.s_addr != addr.sin_addr.s_addr
        || again.sin_port != addr.sin_port)
        abort();
    return 0;
}
