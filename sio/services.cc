// Service names and port numbers from the system's service table.
#include "sio.h"

#include "Strn.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include <arpa/inet.h>
#include <netdb.h>

static bool IsServiceChar(char c)
{
    return isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
}

// proto 't': tcp only, 'u': udp only, 0: tcp then udp; any other value finds nothing.
int ServiceNameToPortNumber(const char *s, int proto)
{
    char name[64];
    Strncpy(name, s);
    if (isdigit(static_cast<unsigned char>(name[0])))
        return atoi(name);
    char *end = name;
    while (IsServiceChar(*end))
        end++;
    *end = '\0';
    if (name[0] == '\0')
        return 0;

    struct servent *sp = nullptr;
    if (proto == 0 || proto == 't')
        sp = getservbyname(name, "tcp");
    if (sp == nullptr && (proto == 0 || proto == 'u'))
        sp = getservbyname(name, "udp");
    return sp != nullptr ? ntohs(static_cast<unsigned short>(sp->s_port)) : 0;
}

// Returns 1 with the service name in dst, or 0 with the port number written instead.
int ServicePortNumberToName(unsigned short port, char *dst, size_t dsize, int proto)
{
    struct servent *sp = nullptr;
    const int netPort = htons(port);
    if (proto == 0 || proto == 't')
        sp = getservbyport(netPort, "tcp");
    if (sp == nullptr && (proto == 0 || proto == 'u'))
        sp = getservbyport(netPort, "udp");
    if (sp != nullptr) {
        Strncpy(dst, sp->s_name, dsize);
        return 1;
    }
    if (dsize > 0)
        snprintf(dst, dsize, "%u", static_cast<unsigned>(port));
    return 0;
}
