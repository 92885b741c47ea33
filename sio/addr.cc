// Address texts: parsing "host", "host:port", "port@host" and "service://host[:port][/...]"
// (an IPv6 host in brackets: "[::1]:21") into a socket address, and formatting one with a
// small format language.
#include "sio.h"

#include "Strn.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

// Letters, digits and dots make up the host of the scheme form; the hyphen is taken too,
// since host names commonly carry one.
static bool IsHostChar(char c)
{
    return isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-';
}

int SioAddrPort(const SioAddr *a)
{
    return ntohs(SioAddrIsV6(a) ? a->in6.sin6_port : a->in.sin_port);
}

void SioAddrSetPort(SioAddr *a, int port)
{
    const uint16_t p = htons(static_cast<uint16_t>(port));
    if (SioAddrIsV6(a))
        a->in6.sin6_port = p;
    else
        a->in.sin_port = p;
}

bool SioAddrSameHost(const SioAddr *a, const SioAddr *b)
{
    if (a->sa.sa_family != b->sa.sa_family)
        return false;
    if (SioAddrIsV6(a))
        return memcmp(&a->in6.sin6_addr, &b->in6.sin6_addr, sizeof(a->in6.sin6_addr)) == 0;
    return a->in.sin_addr.s_addr == b->in.sin_addr.s_addr;
}

bool SioAddrIsAny(const SioAddr *a)
{
    if (SioAddrIsV6(a))
        return IN6_IS_ADDR_UNSPECIFIED(&a->in6.sin6_addr);
    return a->in.sin_addr.s_addr == htonl(INADDR_ANY);
}

bool SioAddrMappedV4(const SioAddr *a, in_addr_t *v4)
{
    if (!SioAddrIsV6(a) || !IN6_IS_ADDR_V4MAPPED(&a->in6.sin6_addr))
        return false;
    memcpy(v4, &a->in6.sin6_addr.s6_addr[12], sizeof(*v4));
    return true;
}

char *SioAddrText(char *dst, size_t dsize, const SioAddr *a)
{
    if (dsize == 0)
        return dst;
    char text[INET6_ADDRSTRLEN] = "";
    if (SioAddrIsV6(a))
        inet_ntop(AF_INET6, &a->in6.sin6_addr, text, sizeof(text));
    else if (a->sa.sa_family == AF_INET)
        inet_ntop(AF_INET, &a->in.sin_addr, text, sizeof(text));
    return Strncpy(dst, text, dsize);
}

int SioAddrFromText(const char *text, SioAddr *a)
{
    memset(a, 0, sizeof(*a));
    if (inet_pton(AF_INET, text, &a->in.sin_addr) == 1) {
        a->in.sin_family = AF_INET;
        return 0;
    }
    if (inet_pton(AF_INET6, text, &a->in6.sin6_addr) == 1) {
        a->in6.sin6_family = AF_INET6;
        return 0;
    }
    memset(a, 0, sizeof(*a));
    return -1;
}

bool SioNameLeadsBack(const char *name, const SioAddr *a)
{
    struct addrinfo hints {};
    hints.ai_family = a->sa.sa_family;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = nullptr;
    if (name[0] == '\0' || getaddrinfo(name, nullptr, &hints, &res) != 0)
        return false;
    bool found = false;
    for (const struct addrinfo *ai = res; ai != nullptr && !found; ai = ai->ai_next) {
        SioAddr back {};
        memcpy(&back, ai->ai_addr, ai->ai_addrlen < sizeof(back) ? ai->ai_addrlen : sizeof(back));
        found = SioAddrSameHost(&back, a);
    }
    freeaddrinfo(res);
    return found;
}

// Fills the host part of *sa, keeping the port given: an address text, else a name's
// first IPv4 address, else its first IPv6 one.
static int ResolveHost(const char *host, SioAddr *sa, int port)
{
    if (SioAddrFromText(host, sa) == 0) {
        SioAddrSetPort(sa, port);
        return 0;
    }
    errno = 0;
    for (const int family : {AF_INET, AF_INET6}) {
        struct addrinfo hints {};
        hints.ai_family = family;
        hints.ai_socktype = SOCK_STREAM;
        struct addrinfo *res = nullptr;
        if (host[0] == '\0' || getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr)
            continue;
        memcpy(sa, res->ai_addr, family == AF_INET6 ? sizeof(sa->in6) : sizeof(sa->in));
        freeaddrinfo(res);
        SioAddrSetPort(sa, port);
        return 0;
    }
    sa->in.sin_family = AF_INET;
    SioAddrSetPort(sa, port);
    if (errno == 0)
        errno = ENOENT;
    return kSioErrHostLookup;
}

// "[v6]" or "[v6]:port" at the start of text: the host (brackets cut off) and the port
// (defaultPort when none follows, -1 when there is none to use).
static char *BracketedHost(char *text, int defaultPort, int *port)
{
    char *close = strchr(text, ']');
    if (close == nullptr)
        return nullptr;
    *close = '\0';
    *port = close[1] == ':' ? atoi(close + 2) : (defaultPort > 0 ? defaultPort : -1);
    return text + 1;
}

int AddrStrToAddr(const char *s, SioAddr *sa, int defaultPort)
{
    memset(sa, 0, sizeof(*sa));
    char text[128];
    Strncpy(text, s);

    char *host = text;
    int port = 0;
    char *colon = strchr(text, ':');
    char *at = strchr(text, '@');
    struct in6_addr probe;
    if (text[0] == '[') {  // [v6] or [v6]:port
        host = BracketedHost(text, defaultPort, &port);
        if (host == nullptr || port < 0) {
            errno = EADDRNOTAVAIL;
            return kSioErrAddrString;
        }
    } else if (at != nullptr && inet_pton(AF_INET6, at + 1, &probe) == 1) {  // port@v6
        *at = '\0';
        port = atoi(text);
        host = at + 1;
    } else if (colon != nullptr && inet_pton(AF_INET6, text, &probe) == 1) {  // a bare v6 address
        if (defaultPort <= 0) {
            errno = EADDRNOTAVAIL;
            return kSioErrAddrString;
        }
        port = defaultPort;
    } else if (colon == nullptr) {
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
        if (*host == '[' && strchr(host, ']') != nullptr) {
            host++;
            end = strchr(host, ']');
            *end++ = '\0';
        } else {
            while (IsHostChar(*end))
                end++;
        }
        if (end[0] == ':' && isdigit(static_cast<unsigned char>(end[1])))
            port = atoi(end + 1);
        *end = '\0';
        if (port == 0) {
            *colon = '\0';
            port = ServiceNameToPortNumber(text, 0);
        }
    }
    return ResolveHost(host, sa, static_cast<unsigned short>(port));
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
char *AddrToAddrStr(char *dst, size_t dsize, const SioAddr *sa, int dns, const char *fmt)
{
    if (dst == nullptr || dsize == 0)
        return dst;
    char host[128] = "";
    if (dns != 0) {
        char name[NI_MAXHOST] = "";
        if (getnameinfo(&sa->sa, SioAddrLen(sa), name, sizeof(name), nullptr, 0, NI_NAMEREQD) == 0)
            Strncpy(host, name);
    }
    if (host[0] == '\0')
        SioAddrText(host, sizeof(host), sa);
    if (fmt == nullptr)
        fmt = SioAddrIsV6(sa) ? "[%h]:%p" : "%h:%p";

    const unsigned short port = static_cast<unsigned short>(SioAddrPort(sa));
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
