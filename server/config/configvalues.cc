// Value parsers of the configuration keys and the connect greeting.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "Strn.h"
#include "config/config.h"

int StrToBoolOrInt(const char *s)
{
    while (*s == ' ' || *s == '\t')
        s++;
    switch (tolower(static_cast<unsigned char>(*s))) {
    case 'y':
    case 't':
        return 1;
    case 'n':
    case 'f':
        return 0;
    case 'o':
        return tolower(static_cast<unsigned char>(s[1])) == 'f' ? 0 : 1;
    default:
        return atoi(s);    // an empty value is 0
    }
}

int StrToModeT(const char *s, mode_t *mode)
{
    char *end = nullptr;
    const long m = strtol(s, &end, 8);
    if (end == s || *end != '\0' || m < 0 || m > 0777)
        return -1;
    *mode = static_cast<mode_t>(m);
    return 0;
}

int ConfigAddress(const char *text, in_addr_t *addr)
{
    struct in_addr ia {};
    if (inet_pton(AF_INET, text, &ia) == 1) {
        *addr = ia.s_addr;
        return 0;
    }
    if (text[0] == '\0')
        return -1;

    struct addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = nullptr;
    if (getaddrinfo(text, nullptr, &hints, &res) != 0 || res == nullptr)
        return -1;
    *addr = reinterpret_cast<const struct sockaddr_in *>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return 0;
}

// An IPv4-mapped IPv6 address names an IPv4 one: IPv4 clients reach the IPv4
// socket and its IPv4 local address, which the mapped form would never match.
static void UnmapIPv4(SioAddr *addr)
{
    in_addr_t v4;
    if (!SioAddrMappedV4(addr, &v4))
        return;
    memset(addr, 0, sizeof(*addr));
    addr->in.sin_family = AF_INET;
    addr->in.sin_addr.s_addr = v4;
}

int ConfigSioAddress(const char *text, SioAddr *addr)
{
    char bare[kSioAddrTextSize + 2];
    const size_t n = strlen(text);
    if (n >= 2 && n < sizeof(bare) && text[0] == '[' && text[n - 1] == ']') {
        memcpy(bare, text + 1, n - 2);      // "[2001:db8::1]" as written in URLs
        bare[n - 2] = '\0';
        text = bare;
    }
    if (SioAddrFromText(text, addr) == 0) {
        UnmapIPv4(addr);
        return 0;
    }
    in_addr_t v4;
    if (ConfigAddress(text, &v4) == 0) {
        memset(addr, 0, sizeof(*addr));
        addr->in.sin_family = AF_INET;
        addr->in.sin_addr.s_addr = v4;
        return 0;
    }
    struct addrinfo hints {};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = nullptr;
    if (text[0] == '\0' || getaddrinfo(text, nullptr, &hints, &res) != 0 || res == nullptr)
        return -1;
    memset(addr, 0, sizeof(*addr));
    memcpy(&addr->in6, res->ai_addr, sizeof(addr->in6));
    addr->in6.sin6_port = 0;
    freeaddrinfo(res);
    UnmapIPv4(addr);
    return 0;
}

// Adds the path prefixes of list to a path table. A prefix that does not fit
// could never match a path (path buffers have the same size) and is skipped.
// A list that overflows the table is refused rather than cut: a dropped
// deny-paths prefix would silently open what the administrator closed.
static int AddPathPrefixes(const char *list, char (*paths)[kPathListEntrySize], int *lens, int *count)
{
    const char *const kSeparators = "|\t\r\n";
    for (const char *cp = list + strspn(list, kSeparators); *cp != '\0';
         cp += strspn(cp, kSeparators)) {
        const size_t len = strcspn(cp, kSeparators);
        const char *const entry = cp;
        cp += len;
        if (len >= kPathListEntrySize)
            continue;
        if (*count >= kMaxPathListEntries) {
            fprintf(stderr, "Too many path prefixes (at most %d).\n", kMaxPathListEntries);
            return -1;
        }
        memcpy(paths[*count], entry, len);
        paths[*count][len] = '\0';
        lens[*count] = static_cast<int>(len);
        (*count)++;
    }
    return 0;
}

int SetAllowedPaths(const char *list)
{
    return AddPathPrefixes(list, gAllowPathsArray, gAllowPathLensArray, &gNumAllowPaths);
}

int SetRestrictedPaths(const char *list)
{
    return AddPathPrefixes(list, gDenyPathsArray, gDenyPathLensArray, &gNumDenyPaths);
}

namespace {

struct SiteCommandBit {
    const char *word;
    int bits;
};

constexpr SiteCommandBit kSiteCommandBits[] = {
    {"all", 255},         {"none", 0},         {"chmod", 1},   {"date", 128},
    {"df", 64},           {"quota", 16},       {"retrbufsize", 32}, {"rbuf", 32},
    {"storbufsize", 32},  {"sbuf", 32},        {"symlink", 4}, {"umask", 2},
    {"utime", 8},
};

}  // namespace

int SetAllowedSiteCommands(const char *list)
{
    const char *const kSeparators = ", \t\r\n";
    int allowed = 0;
    for (const char *cp = list + strspn(list, kSeparators); *cp != '\0';
         cp += strspn(cp, kSeparators)) {
        const size_t len = strcspn(cp, kSeparators);
        char word[256];
        Strncpy(word, cp, len + 1 < sizeof(word) ? len + 1 : sizeof(word));
        cp += len;

        const SiteCommandBit *found = nullptr;
        for (const SiteCommandBit &b : kSiteCommandBits) {
            if (strcasecmp(word, b.word) == 0)
                found = &b;
        }
        if (found == nullptr) {
            fprintf(stderr, "Unknown SITE command (%s) used with allowed-site-commands.\n", word);
            return -1;
        }
        // "none" clears what came before it on the line.
        allowed = found->bits == 0 ? 0 : (allowed | found->bits);
    }
    gAllowedSITECommands = allowed;
    return 0;
}

void SetLogXferTransactionTypes(const char *letters, int *mask)
{
    *mask = 0;
    for (const char *cp = letters; *cp != '\0'; cp++) {
        switch (toupper(static_cast<unsigned char>(*cp))) {
        case 'R': *mask |= 1; break;
        case 'S': *mask |= 2; break;
        case 'T': *mask |= 4; break;
        case 'D': *mask |= 8; break;
        case 'M': *mask |= 16; break;
        case 'C': *mask |= 32; break;
        case 'L': *mask |= 64; break;
        case 'N': *mask |= 128; break;
        case 'I': *mask |= 256; break;
        case 'O': *mask |= 512; break;
        default: break;
        }
    }
}

void InitConnectHeader()
{
    if (gCustomConnectHeader == 0)
        Strncpy(gConnectHeader, "Zorvad Server ready.");
}
