// Address texts: parsing "host", "host:port", "port@host" and "service://host[:port][/...]"
// into an IPv4 socket address, and formatting one with a small format language.
#include "sio.h"

#include "Strn.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

// Letters, digits and dots make up the host of the scheme form; the hyphen is taken too,
// since host names commonly carry one.
static bool IsHostChar(char c)
{
    return isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-';
}

// Fills sa->sin_addr and sin_family; the port is already stored.
static int ResolveHost(const char *host, struct sockaddr_in *sa)
{
    if (inet_pton(AF_INET, host, &sa->sin_addr) == 1) {
        sa->sin_family = AF_INET;
        return 0;
    }
    struct addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = nullptr;
    errno = 0;
    if (host[0] == '\0' || getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr) {
        if (errno == 0)
            errno = ENOENT;
        return kSioErrHostLookup;
    }
    const auto *found = reinterpret_cast<const struct sockaddr_in *>(res->ai_addr);
    sa->sin_addr = found->sin_addr;
    sa->sin_family = AF_INET;
    freeaddrinfo(res);
    return 0;
}

int AddrStrToAddr(const char *s, struct sockaddr_in *sa, int defaultPort)
{
    memset(sa, 0, sizeof(*sa));
    char text[128];
    Strncpy(text, s);

    char *host = text;
    int port = 0;
    char *colon = strchr(text, ':');
    if (colon == nullptr) {
        char *at = strchr(text, '@');
        if (at != nullptr) {  // port@host
            *at = '\0';
            port = atoi(text);
            host = at + 1;
        } else if (defaultPort > 0) {
            port = defaultPort;
        } else {
            errno = EADDRNOTAVAIL;
            return kSioErrAddrString;
        }
    } else if (strncmp(colon + 1, "//", 2) != 0) {  // host:port
        *colon = '\0';
        port = atoi(colon + 1);
    } else {  // service://host[:port][/...]
        host = colon + 3;
        char *end = host;
        while (IsHostChar(*end))
            end++;
        if (end[0] == ':' && isdigit(static_cast<unsigned char>(end[1])))
            port = atoi(end + 1);
        *end = '\0';
        if (port == 0) {
            *colon = '\0';
            port = ServiceNameToPortNumber(text, 0);
        }
    }
    sa->sin_port = htons(static_cast<unsigned short>(port));
    return ResolveHost(host, sa);
}

char *InetNtoA(char *dst, const struct in_addr *ia, size_t dsize)
{
    if (dsize == 0)
        return dst;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, ia, text, sizeof(text));
    memset(dst, 0, dsize);
    return Strncpy(dst, text, dsize);
}

namespace {

// Appends to a destination that never receives more than its size - 1 characters.
struct Out {
    char *p;
    char *lim;  // where the terminating zero goes at the latest

    void Put(char c)
    {
        if (p < lim)
            *p++ = c;
    }
    void Put(const char *s)
    {
        while (*s != '\0')
            Put(*s++);
    }
};

}  // namespace

// Format escapes: %h host, %p port number, %s service name (tcp, else udp, else number),
// %t tcp name or number, %u udp name or number, %% a percent sign; a '%' before any other
// character writes that character, and a '%' at the end stops.
char *AddrToAddrStr(char *dst, size_t dsize, const struct sockaddr_in *sa, int dns, const char *fmt)
{
    if (dst == nullptr || dsize == 0)
        return dst;
    char host[128] = "";
    if (dns != 0) {
        char name[NI_MAXHOST] = "";
        if (getnameinfo(reinterpret_cast<const struct sockaddr *>(sa), sizeof(*sa), name,
                        sizeof(name), nullptr, 0, NI_NAMEREQD) == 0)
            Strncpy(host, name);
    }
    if (host[0] == '\0')
        InetNtoA(host, &sa->sin_addr, sizeof(host));
    if (fmt == nullptr)
        fmt = "%h:%p";

    const unsigned short port = ntohs(sa->sin_port);
    char item[64];
    Out out{dst, dst + dsize - 1};
    for (const char *f = fmt; *f != '\0'; f++) {
        if (*f != '%') {
            out.Put(*f);
            continue;
        }
        if (*++f == '\0')
            break;
        switch (*f) {
        case 'h':
            out.Put(host[0] != '\0' ? host : "unknown");
            break;
        case 'p':
            snprintf(item, sizeof(item), "%u", static_cast<unsigned>(port));
            out.Put(item);
            break;
        case 's':
        case 't':
        case 'u':
            ServicePortNumberToName(port, item, sizeof(item), *f == 's' ? 0 : *f);
            out.Put(item);
            break;
        default:
            out.Put(*f);
            break;
        }
    }
    *out.p = '\0';
    return dst;
}
