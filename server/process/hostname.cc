// Host name detection: the server wants a fully qualified name for this
// host and tries, in order, the system's name, forward and reverse look-ups,
// the addresses of the network interfaces and the resolver's domain; when
// none gives a name with a domain, the node name as it is.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "Strn.h"
#include "process/startup.h"

namespace {

constexpr in_addr_t kLoopback = 0x7F000001;   // 127.0.0.1, host order

bool BeginsWithLocalhostDot(const char *name)
{
    return strncasecmp(name, "localhost.", 10) == 0;
}

// A dot followed by at least one character.
bool HasInnerDot(const char *name)
{
    const char *dot = strchr(name, '.');
    return dot != nullptr && dot[1] != '\0';
}

bool FullyQualified(const char *name)
{
    return name != nullptr && HasInnerDot(name) && !BeginsWithLocalhostDot(name);
}

// Result of one look-up, copied out of the resolver's static storage.
struct Lookup {
    bool ok;
    char name[256];
    char alias[256];      // first fully qualified alias, or empty
    in_addr_t addr;       // first address, network order
};

void FillLookup(const struct hostent *hp, Lookup *lu)
{
    memset(lu, 0, sizeof(*lu));
    if (hp == nullptr || hp->h_name == nullptr)
        return;
    lu->ok = true;
    Strncpy(lu->name, hp->h_name);
    for (char **a = hp->h_aliases; a != nullptr && *a != nullptr; a++) {
        if (FullyQualified(*a)) {
            Strncpy(lu->alias, *a);
            break;
        }
    }
    if (hp->h_addrtype == AF_INET && hp->h_addr_list != nullptr && hp->h_addr_list[0] != nullptr)
        memcpy(&lu->addr, hp->h_addr_list[0], sizeof(lu->addr));
}

void Forward(const char *name, Lookup *lu)
{
    FillLookup(gethostbyname(name), lu);
}

void Reverse(in_addr_t addr, Lookup *lu)
{
    FillLookup(gethostbyaddr(&addr, sizeof(addr), AF_INET), lu);
}

// Interface addresses: the first "inet a.b.c.d" that is neither 127.x nor 0.x
// and whose reverse name (4) or alias (5) is fully qualified. *sawAddress is
// set when some such address existed.
int FromInterfaces(char *name, size_t size, bool *sawAddress)
{
    static constexpr const char *kIfconfig[] = {"/sbin/ifconfig", "/usr/bin/ifconfig", "/usr/sbin/ifconfig"};
    const char *prog = nullptr;
    for (const char *p : kIfconfig) {
        if (access(p, X_OK) == 0) {
            prog = p;
            break;
        }
    }
    if (prog == nullptr)
        return -1;

    char cmd[64];
    snprintf(cmd, sizeof(cmd), "%s -a", prog);
    struct sigaction ign{}, old{};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, &old);
    FILE *fp = popen(cmd, "r");
    int result = -1;
    if (fp != nullptr) {
        char line[256];
        while (fgets(line, sizeof(line), fp) != nullptr) {
            if (result > 0)
                continue;   // read to the end before closing
            const char *p = strstr(line, "inet ");
            if (p == nullptr)
                continue;
            p += 5;
            while (*p == ' ' || *p == '\t')
                p++;
            if (strncmp(p, "addr:", 5) == 0)
                p += 5;
            char text[32];
            size_t n = strspn(p, "0123456789.");
            if (n == 0 || n >= sizeof(text))
                continue;
            memcpy(text, p, n);
            text[n] = '\0';
            if (strncmp(text, "127.", 4) == 0 || strncmp(text, "0.", 2) == 0)
                continue;
            struct in_addr ia;
            if (inet_pton(AF_INET, text, &ia) != 1)
                continue;
            *sawAddress = true;
            Lookup lu;
            Reverse(ia.s_addr, &lu);
            if (lu.ok && FullyQualified(lu.name)) {
                Strncpy(name, lu.name, size);
                result = 4;
            } else if (lu.ok && lu.alias[0] != '\0') {
                Strncpy(name, lu.alias, size);
                result = 5;
            }
        }
        pclose(fp);
    }
    sigaction(SIGPIPE, &old, nullptr);
    return result;
}

// The first word after "domain" (11), else after the last "search" (12),
// appended to the short name.
int FromResolvConf(char *name, size_t size)
{
    FILE *fp = fopen("/etc/resolv.conf", "r");
    if (fp == nullptr)
        return -1;
    char domain[256] = "", search[256] = "", line[512];
    while (fgets(line, sizeof(line), fp) != nullptr) {
        char *ctx = nullptr;
        char *key = strtokc(line, " \t\r\n", &ctx);
        if (key == nullptr)
            continue;
        char *word = strtokc(nullptr, " \t\r\n", &ctx);
        if (word == nullptr)
            continue;
        if (strcmp(key, "domain") == 0 && domain[0] == '\0')
            Strncpy(domain, word);
        else if (strcmp(key, "search") == 0)
            Strncpy(search, word);
    }
    fclose(fp);

    const char *dom = domain[0] != '\0' ? domain : search;
    if (dom[0] == '\0')
        return -1;
    char full[512];
    Strncpy(full, name);
    if (dom[0] != '.')
        Strncat(full, ".");
    Strncat(full, dom);
    size_t len = strlen(full);
    if (len > 0 && full[len - 1] == '.')
        full[len - 1] = '\0';
    Strncpy(name, full, size);
    return domain[0] != '\0' ? 11 : 12;
}

int Finish(char *dst, size_t size, const char *name, int method)
{
    if (strlen(name) >= size) {   // would fill the whole buffer
        memset(dst, 0, size);
        return -3;
    }
    memset(dst, 0, size);
    memcpy(dst, name, strlen(name));
    return method;
}

}  // namespace

int GetOurHostName(char *dst, size_t size)
{
    char name[512];
    memset(dst, 0, size);
    memset(name, 0, sizeof(name));
    if (gethostname(name, sizeof(name) - 1) < 0 || name[0] == '\0')
        return -1;
    if (BeginsWithLocalhostDot(name))
        name[9] = '\0';
    if (strchr(name, '.') != nullptr)
        return Finish(dst, size, name, 2);

    Lookup fwd;
    Forward(name, &fwd);
    in_addr_t remembered = 0;
    if (fwd.ok) {
        remembered = fwd.addr;
        const bool loopback = ntohl(remembered) == kLoopback;
        if (FullyQualified(fwd.name) && !loopback)
            return Finish(dst, size, fwd.name, 3);

        if (loopback) {
            bool sawAddress = false;
            char ifname[256] = "";
            int m = FromInterfaces(ifname, sizeof(ifname), &sawAddress);
            if (m > 0)
                return Finish(dst, size, ifname, m);
            if (sawAddress)
                Forward(name, &fwd);
        }
        if (fwd.ok && fwd.alias[0] != '\0')
            return Finish(dst, size, fwd.alias, 6);
        Lookup rev;
        Reverse(remembered, &rev);
        if (rev.ok && FullyQualified(rev.name))
            return Finish(dst, size, rev.name, 7);
        if (rev.ok && rev.alias[0] != '\0')
            return Finish(dst, size, rev.alias, 8);
    }

    char withDomain[512];
    Strncpy(withDomain, name);
    int m = FromResolvConf(withDomain, size);
    if (m > 0)
        return Finish(dst, size, withDomain, m);

    // Last resorts: any name with an inner dot, "localhost." ones included.
    const in_addr_t h = ntohl(remembered);
    if (h != 0 && h != 0xFFFFFFFF && h != kLoopback) {
        Lookup rev;
        Reverse(remembered, &rev);
        if (rev.ok && HasInnerDot(rev.name))
            return Finish(dst, size, rev.name, 13);
    }
    Lookup lo;
    Reverse(htonl(kLoopback), &lo);
    if (lo.ok && HasInnerDot(lo.name))
        return Finish(dst, size, lo.name, 14);
    Forward(name, &fwd);
    if (fwd.ok && HasInnerDot(fwd.name))
        return Finish(dst, size, fwd.name, 15);
    // No name with a domain anywhere: the node's own name still names the
    // host in the greeting and the log, where an empty one named nothing.
    return Finish(dst, size, name, 16);
}
