// domain.cf: the table of domain configuration sets, its look-ups and the
// reader (start-up and reload). Finishing the sets after reading is in
// domaininit.cc, the password sources in domainpasswd.cc.
#include "domain.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>
#include <strings.h>

#include "Strn.h"
#include "config.h"
#include "exit.h"

DomainInfo **gDomainInfo = nullptr;
int gNumDomains = 0;
int gDomain = 0;
DomainInfo *gCurDomain = nullptr;
char gDomainCf[1024];

// Set by the master's start-up code when it will chroot anonymous users (see
// domain.h); nothing here changes it.
int gChrootedAtStart = 0;

namespace {

int gDomainTableSize = 0;    // allocated entries of gDomainInfo
bool gReloading = false;     // ReadDomainConfigFile is re-reading the file

// Messages of the reader: at start-up they go to standard error (there is no
// logger yet); a reload happens in a running server whose standard error may
// be closed, so they go to the log there.
void CfMessage(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void CfMessage(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    if (gReloading) {
        char text[1024];
        vsnprintf(text, sizeof(text), fmt, ap);
        Log(kLogMisc, "%s", text);
    } else {
        vfprintf(stderr, fmt, ap);
    }
    va_end(ap);
}

void CloseDomainLogs(DomainInfo *d)
{
    for (int &fd : d->logFds) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}

// ---- The keys --------------------------------------------------------------------------

// Where the line being applied came from, for the messages that name it.
struct DomainLine {
    int line;
    const char *path;
};

// Applies one value to a set. Returns 0, or -1 after printing an error that
// stops the reader.
using DomainKeyFn = int (*)(DomainInfo *d, const char *key, char *value, const DomainLine &where);

struct DomainKey {
    const char *name;
    DomainKeyFn apply;    // nullptr for set-name, which the reader handles
};

int ErrorCausedBy(const DomainLine &where)
{
    CfMessage("Error caused by line %d of %s.\n", where.line, where.path);
    return -1;
}

int ApplyServerAddress(DomainInfo *d, const char *, char *value, const DomainLine &where)
{
    if (ConfigAddress(value, &d->serverAddr) < 0) {
        CfMessage("Invalid server-address \"%s\"; try something\nin the form of 192.168.96.99\n", value);
        return ErrorCausedBy(where);
    }
    return 0;
}

int ApplyPassiveIP(DomainInfo *d, const char *key, char *value, const DomainLine &where)
{
    if (ConfigAddress(value, &d->passiveIP) < 0) {
        CfMessage("Invalid IP address given for the %s option.\n", key);
        return ErrorCausedBy(where);
    }
    return 0;
}

int ApplyServerType(DomainInfo *d, const char *, char *value, const DomainLine &)
{
    if (strcasecmp(value, "all-users") == 0) {
        d->anonOnly = d->nonAnonOnly = 0;
    } else if (strcasecmp(value, "non-anonymous-only") == 0) {
        d->anonOnly = 0;
        d->nonAnonOnly = 1;
    } else if (strcasecmp(value, "disabled") == 0) {
        d->anonOnly = d->nonAnonOnly = -1;    // the set accepts nobody
    } else {
        // "anonymous-only" and anything unrecognised: the safest reading.
        d->anonOnly = 1;
        d->nonAnonOnly = 0;
        DropDomainPasswdSources(d);
    }
    return 0;
}

int ApplyPasswd(DomainInfo *d, const char *, char *value, const DomainLine &)
{
    if (strcasecmp(value, "anonymous-only") == 0) {
        DropDomainPasswdSources(d);
        d->anonOnly = 1;
    } else {
        SetDomainPasswdSources(d, value);
    }
    return 0;
}

// a-file-owner, a-file-group: an unknown name is only a warning (at start-up)
// and leaves the setting unchanged.
int ApplyAFileOwner(DomainInfo *d, const char *, char *value, const DomainLine &where)
{
    const struct passwd *pw = getpwnam(value);
    if (pw != nullptr) {
        d->aFileOwner = pw->pw_uid;
    } else if (!gReloading) {
        fprintf(stderr, "Warning caused by line %d of %s.\n", where.line, where.path);
        fprintf(stderr, "Invalid user name: %s.\n", value);
    }
    return 0;
}

int ApplyAFileGroup(DomainInfo *d, const char *, char *value, const DomainLine &where)
{
    const struct group *gr = getgrnam(value);
    if (gr != nullptr) {
        d->aFileGroup = gr->gr_gid;
    } else if (!gReloading) {
        fprintf(stderr, "Warning caused by line %d of %s.\n", where.line, where.path);
        fprintf(stderr, "Invalid group name: %s.\n", value);
    }
    return 0;
}

// The plain kinds, one setting each.
template <int DomainInfo::*Field>
int SetInt(DomainInfo *d, const char *, char *value, const DomainLine &)
{
    d->*Field = atoi(value);
    return 0;
}

template <int DomainInfo::*Field>
int SetBool(DomainInfo *d, const char *, char *value, const DomainLine &)
{
    d->*Field = StrToBoolOrInt(value);
    return 0;
}

// An octal umask; an invalid one leaves the setting unchanged.
template <int DomainInfo::*Field>
int SetUmask(DomainInfo *d, const char *, char *value, const DomainLine &)
{
    mode_t m;
    if (StrToModeT(value, &m) == 0)
        d->*Field = static_cast<int>(m);
    return 0;
}

// A text field (message file, path, pattern), cut to its size.
template <auto Field>
int SetText(DomainInfo *d, const char *, char *value, const DomainLine &)
{
    Strncpy(d->*Field, value);
    return 0;
}

// The keys of domain.cf, sorted as in the shared key table.
constexpr DomainKey kDomainKeys[] = {
    {"a-download-bandwidth-per-user", SetInt<&DomainInfo::aDownloadBandwidth>},
    {"a-file-group", ApplyAFileGroup},
    {"a-file-owner", ApplyAFileOwner},
    {"a-goodbye-message", SetText<&DomainInfo::aGoodbyeMessage>},
    {"a-login-message", SetText<&DomainInfo::aLoginMessage>},
    {"a-lowercase-pathnames", SetBool<&DomainInfo::aLowercasePathnames>},
    {"a-umask", SetUmask<&DomainInfo::aUmask>},
    {"a-upload-bandwidth-per-user", SetInt<&DomainInfo::aUploadBandwidth>},
    {"ftp-home", SetText<&DomainInfo::ftpHome>},
    {"log-session", SetText<&DomainInfo::logSessionPath>},
    {"log-xfer", SetText<&DomainInfo::logXferPath>},
    {"max-domain-users", SetInt<&DomainInfo::maxDomainUsers>},
    {"max-domain-users-per-ip", SetInt<&DomainInfo::maxDomainUsersPerIP>},
    {"max-domain-users-per-username", SetInt<&DomainInfo::maxDomainUsersPerUsername>},
    {"passive-ip", ApplyPassiveIP},
    {"passwd", ApplyPasswd},
    {"server-address", ApplyServerAddress},
    {"server-name", SetText<&DomainInfo::serverName>},
    {"server-type", ApplyServerType},
    {"set-name", nullptr},
    {"u-download-bandwidth-per-user", SetInt<&DomainInfo::uDownloadBandwidth>},
    {"u-goodbye-message", SetText<&DomainInfo::uGoodbyeMessage>},
    {"u-login-message", SetText<&DomainInfo::uLoginMessage>},
    {"u-lowercase-pathnames", SetBool<&DomainInfo::uLowercasePathnames>},
    {"u-umask", SetUmask<&DomainInfo::uUmask>},
    {"u-upload-bandwidth-per-user", SetInt<&DomainInfo::uUploadBandwidth>},
    {"u-vchroot-restricted-users", SetBool<&DomainInfo::uVChrootRestrictedUsers>},
    {"welcome-message", SetText<&DomainInfo::welcomeMessage>},
};
static_assert(std::size(kDomainKeys) == 28);

const DomainKey *FindDomainKey(const char *key)
{
    for (const DomainKey &k : kDomainKeys) {
        if (strcasecmp(k.name, key) == 0)
            return &k;
    }
    return nullptr;
}

// Copies value into dst with every "@SETNAME@" replaced by name, cut to fit.
void ExpandSetName(char *dst, size_t size, const char *value, const char *name)
{
    constexpr std::string_view kToken = "@SETNAME@";
    size_t n = 0;
    for (const char *p = value; *p != '\0' && n + 1 < size;) {
        if (strncmp(p, kToken.data(), kToken.size()) == 0) {
            for (const char *s = name; *s != '\0' && n + 1 < size;)
                dst[n++] = *s++;
            p += kToken.size();
        } else {
            dst[n++] = *p++;
        }
    }
    dst[n] = '\0';
}

// set-name: the set of that name is reset and becomes current (so a reload
// updates sets in place and keeps their order); otherwise a new set is added.
DomainInfo *SelectSet(const char *value)
{
    char name[kDomainNameSize];
    Strncpy(name, value);
    DomainInfo *d = GetDomainBySetName(name);
    if (d != nullptr) {
        ResetDomain(d, name);
        return d;
    }
    return AddDomain(name);
}

// Every error of the reader ends the process, at start-up and on reload alike.
[[noreturn]] void StopReading(FILE *fp)
{
    fclose(fp);
    Exit(1);
}

}  // namespace

// ---- The table --------------------------------------------------------------------------

void InitDomains()
{
    for (int i = 0; i < gNumDomains; i++) {
        CloseDomainLogs(gDomainInfo[i]);
        free(gDomainInfo[i]);
    }
    free(gDomainInfo);
    gDomainInfo = nullptr;
    gDomainTableSize = 0;
    gNumDomains = 0;
    gDomain = 0;
    gCurDomain = nullptr;
    gDomainCf[0] = '\0';
}

void ResetDomain(DomainInfo *d, const char *name)
{
    CloseDomainLogs(d);
    memset(d, 0, sizeof(*d));
    Strncpy(d->setName, name);
    d->serverAddr = 0;
    for (int &fd : d->logFds)
        fd = -1;
    d->uVChrootRestrictedUsers = 1;
    d->aFileOwner = static_cast<uid_t>(-1);
    d->aFileGroup = static_cast<gid_t>(-1);
    Strncpy(d->passwd, "/etc/passwd");
    d->numPasswdSources = 1;
    d->passwdSources[0].kind = kPasswdSystem;
    Strncpy(d->passwdSources[0].path, "/etc/passwd");
    d->aUmask = d->uUmask = -1;
    d->passiveIP = INADDR_NONE;
}

DomainInfo *AddDomain(const char *name)
{
    if (gNumDomains >= gDomainTableSize) {
        const int size = gDomainTableSize > 0 ? gDomainTableSize * 2 : 8;
        void *p = realloc(gDomainInfo, static_cast<size_t>(size) * sizeof(*gDomainInfo));
        if (p == nullptr)
            return nullptr;
        gDomainInfo = static_cast<DomainInfo **>(p);
        gDomainTableSize = size;
    }
    auto *d = static_cast<DomainInfo *>(calloc(1, sizeof(DomainInfo)));
    if (d == nullptr)
        return nullptr;
    for (int &fd : d->logFds)
        fd = -1;
    ResetDomain(d, name);
    gDomainInfo[gNumDomains++] = d;
    return d;
}

DomainInfo *GetDomainBySetName(const char *name)
{
    for (int i = 0; i < gNumDomains; i++) {
        if (strcmp(gDomainInfo[i]->setName, name) == 0)
            return gDomainInfo[i];
    }
    return nullptr;
}

DomainInfo *GetDomainByLocalAddr(in_addr_t addr, int *index, int remember)
{
    int found = 0;
    for (int i = 0; i < gNumDomains; i++) {
        if (gDomainInfo[i]->serverAddr != 0 && gDomainInfo[i]->serverAddr == addr) {
            found = i;
            break;
        }
    }
    if (index != nullptr)
        *index = found;
    if (gNumDomains == 0)
        return nullptr;
    if (remember) {
        gDomain = found;
        gCurDomain = gDomainInfo[found];
    }
    return gDomainInfo[found];
}

DomainInfo *GetFirstDomain()
{
    return gNumDomains > 0 ? gDomainInfo[0] : nullptr;
}

const char *DomainLogPathPattern(const DomainInfo *d, int type)
{
    switch (type) {
    case kLogMisc:
        return d->logMiscPath;
    case kLogXfer:
        return d->logXferPath;
    case kLogSession:
        return d->logSessionPath;
    case kLogStat:
        return d->logStatPath;
    default:
        return nullptr;
    }
}

// ---- The reader ---------------------------------------------------------------------------

int ReadDomainConfigFile(const char *path)
{
    const bool reload = (path == nullptr);
    FILE *fp = nullptr;
    if (!reload) {
        fp = fopen(path, "r");
        if (fp == nullptr) {
            perror(path);
            Exit(1);
        }
        if (path != gDomainCf)
            Strncpy(gDomainCf, path);
        path = gDomainCf;
    } else {
        path = gDomainCf;
        fp = path[0] != '\0' ? fopen(path, "r") : nullptr;
        if (fp == nullptr) {
            LogPerror("Could not reload domain configuration file %.300s", path);
            if (path[0] != '/')
                Log(kLogMisc, "Try using an absolute pathname to the domain.cf when you launch Zorvad.\n");
            return -1;
        }
    }
    gReloading = reload;

    static char line[65536];
    DomainInfo *cur = nullptr;
    int lineNum = 0;
    while (ReadConfigLine(fp, line, sizeof(line)) != nullptr) {
        lineNum++;

        char *key, *value;
        if (SplitConfigLine(line, &key, &value) == 0)
            continue;
        if (value[0] == '\0') {
            if (reload)
                continue;
            CfMessage("Syntax error on line %d of %s.\n", lineNum, path);
            StopReading(fp);
        }

        const DomainKey *k = FindDomainKey(key);
        if (k == nullptr) {
            if (IsConfigKey(key))
                CfMessage("Variable \"%s\" on line %d of %s needs to be set in\nthe general configuration file.\n",
                          key, lineNum, path);
            else
                CfMessage("Unknown variable \"%s\" on line %d of configuration file.\n", key, lineNum);
            StopReading(fp);
        }

        if (k->apply == nullptr) {
            cur = SelectSet(value);
            if (cur == nullptr) {
                CfMessage("out of memory for new domain\n");
                StopReading(fp);
            }
            continue;
        }
        if (cur == nullptr) {
            CfMessage("You must set the `set-name' variable first.\n");
            StopReading(fp);
        }

        char expanded[kDomainTextSize];
        ExpandSetName(expanded, sizeof(expanded), value, cur->setName);
        if (k->apply(cur, key, expanded, DomainLine{lineNum, path}) < 0)
            StopReading(fp);
    }
    fclose(fp);
    gReloading = false;
    return 0;
}
