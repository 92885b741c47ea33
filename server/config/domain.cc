// domain.cf: the table of domain configuration sets, its look-ups and the
// reader (start-up and reload). Finishing the sets after reading is in
// domaininit.cc, the password sources in domainpasswd.cc.
#include "config/domain.h"

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
#include "config/config.h"
#include "base/exit.h"

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

// A reload is reported where its success is: by the master and the logger
// always, by a child only when verbose (each process re-reads the same file).
bool ReloadReported()
{
    return gChild <= 0 || gTraceLogging != 0;
}

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
        if (ReloadReported())
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
    if (ConfigSioAddress(value, &d->serverAddr) < 0) {
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

// The defaults of a set, named; the record's log descriptors are the
// caller's concern.
void SetDomainDefaults(DomainInfo *d, const char *name)
{
    memset(d, 0, sizeof(*d));
    Strncpy(d->setName, name);
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

// ---- The sets one read builds -------------------------------------------------------------
// A read works on copies of the sets in force and replaces them only when the
// whole file was read without an error: a reload that fails leaves the server
// serving with what it had.

struct StagedSet {
    DomainInfo rec;
    bool named;           // this read has met a set-name block for it
};

struct Staging {
    StagedSet *sets = nullptr;
    int count = 0;
    int size = 0;
    int inForce = 0;      // the first inForce entries copy the table's records, in order

    Staging() = default;
    Staging(const Staging &) = delete;
    Staging &operator=(const Staging &) = delete;
    ~Staging() { free(sets); }
};

[[nodiscard]] bool Grow(Staging *st)
{
    if (st->count < st->size)
        return true;
    const int size = st->size > 0 ? st->size * 2 : 8;
    void *p = realloc(st->sets, static_cast<size_t>(size) * sizeof(StagedSet));
    if (p == nullptr)
        return false;
    st->sets = static_cast<StagedSet *>(p);
    st->size = size;
    return true;
}

// Copies of the sets in force; they own no log descriptor.
[[nodiscard]] bool StageSetsInForce(Staging *st)
{
    for (int i = 0; i < gNumDomains; i++) {
        if (!Grow(st))
            return false;
        StagedSet &s = st->sets[st->count++];
        memcpy(&s.rec, gDomainInfo[i], sizeof(s.rec));
        for (int &fd : s.rec.logFds)
            fd = -1;
        s.named = false;
    }
    st->inForce = st->count;
    return true;
}

// set-name: the first block of a name in a read starts that set afresh from
// the defaults (so a reload updates sets in place and keeps their order); a
// later block of the same name goes on with it, its keys overriding the
// earlier ones. An unknown name adds a set. Returns the set's index, or -1
// when memory runs out.
int SelectSet(Staging *st, const char *value)
{
    char name[kDomainNameSize];
    Strncpy(name, value);
    for (int i = 0; i < st->count; i++) {
        StagedSet &s = st->sets[i];
        if (strcmp(s.rec.setName, name) != 0)
            continue;
        if (!s.named)
            SetDomainDefaults(&s.rec, name);
        s.named = true;
        return i;
    }
    if (!Grow(st))
        return -1;
    StagedSet &s = st->sets[st->count];
    SetDomainDefaults(&s.rec, name);
    s.named = true;
    return st->count++;
}

// Puts the staged sets in force: the sets the file named take their new
// values in their own records (which stay where they are), new ones are
// appended, and sets the file no longer names stay as they were. Everything
// that can fail is done before the table is touched.
[[nodiscard]] bool CommitStaging(const Staging &st)
{
    const int added = st.count - st.inForce;
    if (added > 0) {
        if (gNumDomains + added > gDomainTableSize) {
            int size = gDomainTableSize > 0 ? gDomainTableSize : 8;
            while (size < gNumDomains + added)
                size *= 2;
            void *p = realloc(gDomainInfo, static_cast<size_t>(size) * sizeof(*gDomainInfo));
            if (p == nullptr)
                return false;
            gDomainInfo = static_cast<DomainInfo **>(p);
            gDomainTableSize = size;
        }
        for (int i = 0; i < added; i++) {
            gDomainInfo[gNumDomains + i] = static_cast<DomainInfo *>(malloc(sizeof(DomainInfo)));
            if (gDomainInfo[gNumDomains + i] == nullptr) {
                for (int j = 0; j < i; j++)
                    free(gDomainInfo[gNumDomains + j]);
                return false;
            }
        }
    }
    for (int i = 0; i < st.inForce; i++) {
        if (!st.sets[i].named)
            continue;
        CloseDomainLogs(gDomainInfo[i]);
        memcpy(gDomainInfo[i], &st.sets[i].rec, sizeof(DomainInfo));
    }
    for (int i = 0; i < added; i++)
        memcpy(gDomainInfo[gNumDomains + i], &st.sets[st.inForce + i].rec, sizeof(DomainInfo));
    gNumDomains += added;
    return true;
}

// The file's lines into the staged sets. Returns 0, or -1 after printing the
// error that stops the read.
int ParseDomainFile(FILE *fp, const char *path, bool reload, Staging *st)
{
    static char line[65536];
    int cur = -1;
    int lineNum = 0;
    bool hasNul = false;
    while (ReadConfigLine(fp, line, sizeof(line), &hasNul) != nullptr) {
        lineNum++;

        char *key, *value;
        if (SplitConfigLine(line, &key, &value) == 0) {
            if (!hasNul)
                continue;
            CfMessage("Syntax error on line %d of %s.\n", lineNum, path);
            return -1;
        }
        if (value[0] == '\0' && !hasNul) {
            if (reload)
                continue;
            CfMessage("Syntax error on line %d of %s.\n", lineNum, path);
            return -1;
        }

        const DomainKey *k = FindDomainKey(key);
        if (k == nullptr) {
            if (IsConfigKey(key))
                CfMessage("Variable \"%s\" on line %d of %s needs to be set in\nthe general configuration file.\n",
                          key, lineNum, path);
            else
                CfMessage("Unknown variable \"%s\" on line %d of configuration file.\n", key, lineNum);
            return -1;
        }
        if (hasNul) {
            // What follows the NUL cannot be read; the value is not what the file says.
            CfMessage("Unknown value \"%s\" for variable \"%s\" on line %d of configuration file.\n", value, key,
                      lineNum);
            return -1;
        }

        if (k->apply == nullptr) {
            cur = SelectSet(st, value);
            if (cur < 0) {
                CfMessage("out of memory for new domain\n");
                return -1;
            }
            continue;
        }
        if (cur < 0) {
            CfMessage("You must set the `set-name' variable first.\n");
            return -1;
        }

        DomainInfo *d = &st->sets[cur].rec;
        char expanded[kDomainTextSize];
        ExpandSetName(expanded, sizeof(expanded), value, d->setName);
        if (k->apply(d, key, expanded, DomainLine{lineNum, path}) < 0)
            return -1;
    }
    return 0;
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
    SetDomainDefaults(d, name);
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

bool DomainHasAddress(const DomainInfo *d, const SioAddr *addr)
{
    const SioAddr &mine = d->serverAddr;
    return mine.sa.sa_family != AF_UNSPEC && !SioAddrIsAny(&mine) && SioAddrSameHost(&mine, addr);
}

DomainInfo *GetDomainByLocalAddr(const SioAddr *addr, int *index, int remember)
{
    int found = 0;
    for (int i = 0; i < gNumDomains; i++) {
        if (DomainHasAddress(gDomainInfo[i], addr)) {
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
            if (ReloadReported()) {
                LogPerror("Could not reload domain configuration file %.300s", path);
                if (path[0] != '/')
                    Log(kLogMisc, "Try using an absolute pathname to the domain.cf when you launch Zorvad.\n");
            }
            return -1;
        }
    }
    gReloading = reload;

    Staging st;
    int result = -1;
    if (!StageSetsInForce(&st))
        CfMessage("out of memory for new domain\n");
    else
        result = ParseDomainFile(fp, path, reload, &st);
    fclose(fp);
    if (result == 0 && !CommitStaging(st)) {
        CfMessage("out of memory for new domain\n");
        result = -1;
    }
    gReloading = false;
    if (result == 0)
        return 0;
    // At start-up every error ends the process; a reload keeps the sets in force.
    if (!reload)
        Exit(1);
    if (ReloadReported())
        Log(kLogMisc, "Domain configuration file %.300s was not reloaded; the sets in force are kept.\n", path);
    return -1;
}
