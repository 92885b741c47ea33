// TEMPORARY stand-in for the domain configuration sets: domain.cf is read
// with the general.cf line rules, the sets are kept in order and the fields
// the control session needs are filled. Password sources, log paths and the
// per-set limits arrive with the real domain code.
#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <strings.h>

#include "Strn.h"
#include "config.h"
#include "exit.h"
#include "standin.h"
#include "startup.h"

DomainInfo *gCurDomain = nullptr;
int gDomain = 0;
int gNumDomains = 0;

namespace {

constexpr int kMaxDomains = 64;
DomainInfo gDomainTable[kMaxDomains];

constexpr const char *kDomainKeys[] = {
    "a-download-bandwidth-per-user", "a-file-group", "a-file-owner", "a-goodbye-message",
    "a-login-message", "a-lowercase-pathnames", "a-umask", "a-upload-bandwidth-per-user",
    "ftp-home", "log-session", "log-xfer", "max-domain-users", "max-domain-users-per-ip",
    "max-domain-users-per-username", "passive-ip", "passwd", "server-address", "server-name",
    "server-type", "set-name", "u-download-bandwidth-per-user", "u-goodbye-message",
    "u-login-message", "u-lowercase-pathnames", "u-umask", "u-upload-bandwidth-per-user",
    "u-vchroot-restricted-users", "welcome-message",
};
static_assert(std::size(kDomainKeys) == 28);

bool IsDomainKey(const char *key)
{
    for (const char *k : kDomainKeys) {
        if (strcasecmp(k, key) == 0)
            return true;
    }
    return false;
}

void ResetDomain(DomainInfo *d, const char *name)
{
    memset(d, 0, sizeof(*d));
    Strncpy(d->setName, name);
    Strncpy(d->ftpHome, gDefaultFTPHome);
    d->aUmask = d->uUmask = -1;
}

DomainInfo *SetName(const char *name)
{
    for (int i = 0; i < gNumDomains; i++) {
        if (strcmp(gDomainTable[i].setName, name) == 0) {
            ResetDomain(&gDomainTable[i], name);
            return &gDomainTable[i];
        }
    }
    if (gNumDomains >= kMaxDomains) {
        fprintf(stderr, "out of memory for new domain\n");
        Exit(1);
    }
    DomainInfo *d = &gDomainTable[gNumDomains++];
    ResetDomain(d, name);
    return d;
}

// Every "@SETNAME@" becomes the set's name; the result is cut at 511 bytes.
void ExpandSetName(char *dst, size_t size, const char *value, const char *setName)
{
    dst[0] = '\0';
    const char *p = value;
    for (;;) {
        const char *at = strstr(p, "@SETNAME@");
        if (at == nullptr) {
            Strncat(dst, p, size);
            return;
        }
        char piece[512];
        const size_t n = static_cast<size_t>(at - p) < sizeof(piece) - 1 ? static_cast<size_t>(at - p) : sizeof(piece) - 1;
        memcpy(piece, p, n);
        piece[n] = '\0';
        Strncat(dst, piece, size);
        Strncat(dst, setName, size);
        p = at + 9;
    }
}

void Apply(DomainInfo *d, const char *key, const char *value, int lineNum, const char *path)
{
    if (strcasecmp(key, "server-name") == 0) {
        Strncpy(d->serverName, value);
    } else if (strcasecmp(key, "server-address") == 0) {
        if (ConfigAddress(value, &d->serverAddr) < 0) {
            fprintf(stderr, "Invalid server-address \"%s\"; try something\nin the form of 192.168.96.99\n", value);
            fprintf(stderr, "Error caused by line %d of %s.\n", lineNum, path);
            Exit(1);
        }
    } else if (strcasecmp(key, "ftp-home") == 0) {
        Strncpy(d->ftpHome, value);
    } else if (strcasecmp(key, "server-type") == 0) {
        if (strcmp(value, "all-users") == 0) {
            d->anonOnly = d->nonAnonOnly = 0;
        } else if (strcmp(value, "non-anonymous-only") == 0) {
            d->anonOnly = 0;
            d->nonAnonOnly = 1;
        } else if (strcmp(value, "disabled") == 0) {
            d->anonOnly = d->nonAnonOnly = -1;
        } else {
            d->anonOnly = 1;
            d->nonAnonOnly = 0;
        }
    } else if (strcasecmp(key, "passwd") == 0) {
        if (strcmp(value, "anonymous-only") == 0)
            d->anonOnly = 1;
    } else if (strcasecmp(key, "welcome-message") == 0) {
        Strncpy(d->welcomeMessage, value);
    } else if (strcasecmp(key, "a-login-message") == 0) {
        Strncpy(d->aLoginMessage, value);
    } else if (strcasecmp(key, "u-login-message") == 0) {
        Strncpy(d->uLoginMessage, value);
    } else if (strcasecmp(key, "a-goodbye-message") == 0) {
        Strncpy(d->aGoodbyeMessage, value);
    } else if (strcasecmp(key, "u-goodbye-message") == 0) {
        Strncpy(d->uGoodbyeMessage, value);
    } else if (strcasecmp(key, "a-lowercase-pathnames") == 0) {
        d->aLowercasePathnames = StrToBoolOrInt(value);
    } else if (strcasecmp(key, "u-lowercase-pathnames") == 0) {
        d->uLowercasePathnames = StrToBoolOrInt(value);
    } else if (strcasecmp(key, "a-umask") == 0 || strcasecmp(key, "u-umask") == 0) {
        mode_t m;
        if (StrToModeT(value, &m) == 0)
            (tolower(key[0]) == 'a' ? d->aUmask : d->uUmask) = static_cast<int>(m);
    } else if (strcasecmp(key, "a-download-bandwidth-per-user") == 0) {
        d->aDownloadBandwidth = atoi(value);
    } else if (strcasecmp(key, "a-upload-bandwidth-per-user") == 0) {
        d->aUploadBandwidth = atoi(value);
    } else if (strcasecmp(key, "u-download-bandwidth-per-user") == 0) {
        d->uDownloadBandwidth = atoi(value);
    } else if (strcasecmp(key, "u-upload-bandwidth-per-user") == 0) {
        d->uUploadBandwidth = atoi(value);
    } else if (strcasecmp(key, "max-domain-users") == 0) {
        d->maxDomainUsers = atoi(value);
    }
    // The other domain keys are accepted and wait for the real domain code.
}

}  // namespace

void InitDomains()
{
    gNumDomains = 0;
    gDomain = 0;
    gCurDomain = nullptr;
}

void ReadDomainConfigFile(const char *path)
{
    FILE *fp = fopen(path, "r");
    if (fp == nullptr) {
        perror(path);
        Exit(1);
    }
    static char line[65536];
    DomainInfo *cur = nullptr;
    int lineNum = 0;
    while (fgets(line, sizeof(line), fp) != nullptr) {
        lineNum++;
        char *key, *value;
        if (SplitConfigLine(line, &key, &value) == 0)
            continue;
        if (value == nullptr || value[0] == '\0') {
            fprintf(stderr, "Syntax error on line %d of %s.\n", lineNum, path);
            Exit(1);
        }
        if (!IsDomainKey(key)) {
            if (IsConfigKey(key))
                fprintf(stderr, "Variable \"%s\" on line %d of %s needs to be set in\nthe general configuration file.\n", key, lineNum, path);
            else
                fprintf(stderr, "Unknown variable \"%s\" on line %d of configuration file.\n", key, lineNum);
            Exit(1);
        }
        if (strcasecmp(key, "set-name") == 0) {
            cur = SetName(value);
            continue;
        }
        if (cur == nullptr) {
            fprintf(stderr, "You must set the `set-name' variable first.\n");
            Exit(1);
        }
        char expanded[512];
        ExpandSetName(expanded, sizeof(expanded), value, cur->setName);
        Apply(cur, key, expanded, lineNum, path);
    }
    fclose(fp);
}

void PostReadDomainConfigInit()
{
    for (int i = 0; i < gNumDomains; i++) {
        DomainInfo *d = &gDomainTable[i];
        if (gStartupLResolve) {
            char real[PATH_MAX];
            if (realpath(d->ftpHome, real) != nullptr)
                Strncpy(d->ftpHome, real);
        }
        d->ftpHomeLen = static_cast<int>(strlen(d->ftpHome));
        if (d->serverAddr != 0) {
            struct in_addr ia;
            ia.s_addr = d->serverAddr;
            Strncpy(d->serverAddrStr, inet_ntoa(ia));
            if (d->serverName[0] == '\0') {
                struct hostent *hp = gethostbyaddr(&ia, sizeof(ia), AF_INET);
                if (hp != nullptr) {
                    Strncpy(d->serverName, hp->h_name);
                    if (strncmp(hp->h_name, "ftp.", 4) != 0) {
                        for (char **a = hp->h_aliases; *a != nullptr; a++) {
                            if (strncmp(*a, "ftp.", 4) == 0) {
                                Strncpy(d->serverName, *a);
                                break;
                            }
                        }
                    }
                }
            }
        }
    }
    gCurDomain = GetFirstDomain();
}

DomainInfo *GetFirstDomain()
{
    return gNumDomains > 0 ? &gDomainTable[0] : nullptr;
}

DomainInfo *GetDomainByLocalAddr(in_addr_t addr, int *index, int remember)
{
    int found = 0;
    for (int i = 0; i < gNumDomains; i++) {
        if (gDomainTable[i].serverAddr != 0 && gDomainTable[i].serverAddr == addr) {
            found = i;
            break;
        }
    }
    if (index != nullptr)
        *index = found;
    if (remember)
        gDomain = found;
    return gNumDomains > 0 ? &gDomainTable[found] : nullptr;
}
