// System accounts: initialisation and the policy file, the account record,
// passwd/shadow look-ups, supplementary groups and the probe that tells
// whether encrypted passwords can be read at all.
#include "Spwd.h"
#include "SpwdTrace.h"
#include "Strn.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <grp.h>
#include <pwd.h>
#include <shadow.h>
#include <unistd.h>

int gGetUserGroupsMethod = 2;
int gSpwdUseSystemCryptForMD5 = 0;
int gSpwdUseSystemCryptForBlowfish = 0;
int gSpwdUseSunMD5 = 0;
FILE *gSpwdDebugStream = nullptr;
char *gSpwdGroupBuf = nullptr;
size_t gSpwdGroupBufSize = 0;
const char *gSpwdGroupFile = "/etc/group";
const char *gSpwdPolicyFile = "/etc/security/policy.conf";

void SpwdTracef(const char *fmt, ...)
{
    if (gSpwdDebugStream == nullptr)
        return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(gSpwdDebugStream, fmt, ap);
    va_end(ap);
    fflush(gSpwdDebugStream);
}

// ---- Initialisation ---------------------------------------------------------

void SpwdLibraryInit(int, char **)
{
    gSpwdDebugStream = stderr;
    FILE *fp = fopen(gSpwdPolicyFile, "r");
    if (fp != nullptr) {
        SPWD_TRACEF("Opened %s:\n", gSpwdPolicyFile);
        gSpwdUseSystemCryptForBlowfish = 1;
        gSpwdUseSystemCryptForMD5 = 0;
        char line[256];
        static constexpr char kKey[] = "CRYPT_DEFAULT=";
        while (fgets(line, sizeof line, fp) != nullptr) {
            if (strncmp(line, kKey, sizeof kKey - 1) != 0)
                continue;
            const char *value = line + sizeof kKey - 1;
            SPWD_TRACEF("CRYPT_DEFAULT from policy.conf is %s", value);
            if (strncmp(value, "md5", 3) == 0)
                gSpwdUseSunMD5 = 1;
        }
        fclose(fp);
    }
    SPWD_TRACEF("Spwd Library initialized.\n");
}

void SpwdEnsureInit()
{
    if (gSpwdDebugStream == nullptr)
        SpwdLibraryInit(0, nullptr);
}

// ---- The record ---------------------------------------------------------------

void InitSpwdStruct(Spwd *p)
{
    SpwdEnsureInit();
    SPWD_TRACEF("InitSpwdStruct\n");
    memset(p, 0, sizeof *p);
    p->uid = -1;
    for (int32_t &g : p->gid)
        g = -1;
    p->nGids = 0;
}

static void TraceRecord(const Spwd *p)
{
    SPWD_TRACEF("\tPp->username = [%s]\n", p->username);
    SPWD_TRACEF("\tPp->passwd = [%s], alg = %d\n", p->passwd, p->alg);
    SPWD_TRACEF("\tPp->uid = %d\n", p->uid);
    for (int i = 0; i < p->nGids && i < kSpwdMaxGids; i++)
        SPWD_TRACEF("\tPp->gid #%u = %d\n", unsigned(i), p->gid[i]);
    SPWD_TRACEF("\tPp->homedir = [%s]\n", p->homedir);
    SPWD_TRACEF("\tPp->shell = [%s]\n", p->shell);
}

// An account past its expiry day (days since 1970; 0 and -1 mean none).
static bool ShadowAccountExpired(const struct spwd *sp)
{
    return sp->sp_expire > 0 && time(nullptr) / 86400 >= sp->sp_expire;
}

// Replaces the record's password with the shadow one when there is one; an
// expired account gets a locked one, so no password opens it.
static void TakeShadowPassword(Spwd *p)
{
    SPWD_TRACEF("Trying to use Getspnam to get encrypted password.\n");
    struct spwd *sp = Getspnam(p->username, &p->alg);
    if (sp == nullptr) {
        SPWD_TRACEF("Getspnam returned NULL\n");
    } else if (ShadowAccountExpired(sp)) {
        SPWD_TRACEF("Account expired on day %ld\n", static_cast<long>(sp->sp_expire));
        Strncpy(p->passwd, "*");
    } else if (sp->sp_pwdp == nullptr) {
        SPWD_TRACEF("Getspnam's spwptr->sp_pwdp was NULL\n");
    } else {
        SPWD_TRACEF("Getspnam's spwptr->sp_pwdp was [%s], alg=%d\n", sp->sp_pwdp, p->alg);
        Strncpy(p->passwd, sp->sp_pwdp);
    }
    SpwdWipeShadowEntry();
}

void PwdToSpwd(const struct passwd *pw, Spwd *p, int wantC, int wantSupp)
{
    SpwdEnsureInit();
    SPWD_TRACEF("PwdToSpwd: pw->u=%s wantC=%d wantSupp=%d\n", pw->pw_name, wantC, wantSupp);
    Strncpy(p->username, pw->pw_name != nullptr ? pw->pw_name : "");
    Strncpy(p->gecos, pw->pw_gecos != nullptr ? pw->pw_gecos : "");
    if (wantC) {
        if (pw->pw_passwd == nullptr) {
            SPWD_TRACEF("struct passwd->pw_passwd was NULL\n");
            TakeShadowPassword(p);
        } else {
            SPWD_TRACEF("struct passwd->pw_passwd = [%s] len=%lu\n", pw->pw_passwd,
                        (unsigned long)strlen(pw->pw_passwd));
            Strncpy(p->passwd, pw->pw_passwd);
            if (!ValidEncryptedPassword(p->passwd)) {
                SPWD_TRACEF("Encrypted password was invalid.\n");
                TakeShadowPassword(p);
            }
        }
    }
    p->uid = int32_t(pw->pw_uid);
    p->gid[0] = int32_t(pw->pw_gid);
    int n = wantSupp ? GetUserGroups(&p->gid[1], kSpwdMaxGids - 1, p->username) : 0;
    p->nGids = n >= 1 ? n + 1 : 1;
    Strncpy(p->homedir, pw->pw_dir != nullptr ? pw->pw_dir : "");
    Strncpy(p->shell, pw->pw_shell != nullptr ? pw->pw_shell : "");
    TraceRecord(p);
}

// ---- Look-ups ----------------------------------------------------------------

namespace {

// The one copy of a shadow entry this library keeps, until SpwdWipe.
struct spwd gShadowEntry;
char gShadowName[128];
char gShadowPassword[256];

}  // namespace

struct spwd *Getspnam(const char *name, int32_t *alg)
{
    SpwdEnsureInit();
    SPWD_TRACEF("getspnam\n");
    if (alg != nullptr)
        *alg = 0;
    // The reentrant call: the C library keeps no copy of the entry of its own.
    struct spwd found;
    struct spwd *sp = nullptr;
    char buf[4096];
    const int rc = getspnam_r(name, &found, buf, sizeof buf, &sp);
    if (rc != 0 || sp == nullptr) {
        explicit_bzero(buf, sizeof buf);
        return nullptr;
    }
    gShadowEntry = *sp;
    Strncpy(gShadowName, sp->sp_namp != nullptr ? sp->sp_namp : "");
    gShadowEntry.sp_namp = gShadowName;
    gShadowEntry.sp_pwdp = nullptr;
    if (sp->sp_pwdp != nullptr) {
        Strncpy(gShadowPassword, sp->sp_pwdp);
        gShadowEntry.sp_pwdp = gShadowPassword;
    }
    explicit_bzero(buf, sizeof buf);
    explicit_bzero(&found, sizeof found);
    return &gShadowEntry;
}

void SpwdWipeShadowEntry()
{
    explicit_bzero(gShadowPassword, sizeof gShadowPassword);
    explicit_bzero(&gShadowEntry, sizeof gShadowEntry);
}

void Endspent()
{
    SpwdEnsureInit();
    SPWD_TRACEF("\tEndspent\n");
    SPWD_TRACEF("\t\tendspent\n");
    endspent();
}

void EndSpwd()
{
    SpwdEnsureInit();
    SPWD_TRACEF("EndSpwd\n");
    SPWD_TRACEF("\tendpwent\n");
    endpwent();
    Endspent();
}

// Closes the databases after a look-up without losing the look-up's errno.
static void CloseKeepingErrno()
{
    int saved = errno;
    EndSpwd();
    errno = saved;
}

// The common end of the look-ups: the record from the entry found, or -1.
static int FillFromPasswd(struct passwd *pw, Spwd *p, int wantC, int wantSupp, int wantClose)
{
    if (pw == nullptr) {
        if (wantClose)
            CloseKeepingErrno();
        return -1;
    }
    PwdToSpwd(pw, p, wantC, wantSupp);
    if (wantClose)
        EndSpwd();
    return 0;
}

int GetSpwdByName(const char *name, Spwd *p, int wantC, int wantSupp, int wantClose)
{
    SpwdEnsureInit();
    SPWD_TRACEF("GetSpwdName name=%s wantC=%d wantSupp=%d wantClose=%d\n",
                name != nullptr ? name : "", wantC, wantSupp, wantClose);
    InitSpwdStruct(p);
    errno = 0;
    struct passwd *pw = name != nullptr ? getpwnam(name) : nullptr;
    return FillFromPasswd(pw, p, wantC, wantSupp, wantClose);
}

int GetSpwdByUID(uid_t uid, Spwd *p, int wantC, int wantSupp, int wantClose)
{
    SpwdEnsureInit();
    SPWD_TRACEF("GetSpwdUID uid=%lu wantC=%d wantSupp=%d wantClose=%d\n", (unsigned long)uid,
                wantC, wantSupp, wantClose);
    InitSpwdStruct(p);
    errno = 0;
    struct passwd *pw = getpwuid(uid);
    return FillFromPasswd(pw, p, wantC, wantSupp, wantClose);
}

int GetSpwdEnt(int first, Spwd *p, int wantC, int wantSupp, int wantClose)
{
    SpwdEnsureInit();
    SPWD_TRACEF("GetSpwdEnt\n");
    InitSpwdStruct(p);
    if (first == 1)
        setpwent();
    struct passwd *pw = getpwent();
    return FillFromPasswd(pw, p, wantC, wantSupp, wantClose);
}

// ---- Supplementary groups -------------------------------------------------------

void SpwdSetScratchBuffer(char *buf, size_t size)
{
    SpwdEnsureInit();
    gSpwdGroupBuf = buf;
    gSpwdGroupBufSize = buf != nullptr ? size : 0;
}

static int GroupsOfProcess(int32_t *list, int maxg)
{
    gid_t groups[32];
    int n = getgroups(32, groups);
    if (n <= 0) {
        list[0] = -1;
        errno = EINVAL;
        return -1;
    }
    int copied = 0;
    for (; copied < n && copied < maxg; copied++)
        list[copied] = int32_t(groups[copied]);
    return copied;
}

// Skips the rest of a line that did not fit into the buffer.
static void SkipRestOfLine(FILE *fp, char *buf, size_t size)
{
    while (fgets(buf, int(size), fp) != nullptr)
        if (strchr(buf, '\n') != nullptr)
            return;
}

// One group-file line ("name:pw:gid:a,b,c\n", len characters, one spare byte
// after it) in place: the group ID when the key (",user,") is among the
// members, else -1.
static int MemberGroupID(char *line, size_t len, const char *key)
{
    // The line end becomes "," so that the last member is delimited too; a last
    // line without newline (end of file) gets one in the spare byte.
    if (line[len - 1] == '\n') {
        line[len - 1] = ',';
    } else {
        line[len] = ',';
        line[len + 1] = '\0';
    }
    char *colon2 = nullptr;
    char *s = line;
    for (int colons = 0;; s++) {
        if (*s == '\0')
            return -1;
        if (*s != ':')
            continue;
        if (++colons == 2)
            colon2 = s;
        if (colons == 3)
            break;
    }
    int gid = atoi(colon2 + 1);
    *s = ',';   // the member list now starts with a delimiter as well
    return strstr(s, key) != nullptr ? gid : -1;
}

static int GroupsFromFile(int32_t *list, int maxg, const char *user)
{
    list[0] = -1;
    // Room for the whole name: a cut key would match another, longer name.
    char key[sizeof(Spwd::username) + 2];
    if (strlen(user) >= sizeof(Spwd::username))
        return 0;
    Strncpy(key, ",");
    Strncat(key, user);
    Strncat(key, ",");
    FILE *fp = fopen(gSpwdGroupFile, "r");
    if (fp == nullptr)
        return -1;
    char local[512 + 1];   // a 512-byte line buffer plus the spare byte
    char *buf = local;
    size_t size = sizeof local;
    bool scratch = gSpwdGroupBuf != nullptr && gSpwdGroupBufSize > 512;
    if (scratch) {
        buf = gSpwdGroupBuf;
        size = gSpwdGroupBufSize;
    }
    // One extra byte stays free so that a last line without newline can take its ",".
    int count = 0;
    while (fgets(buf, int(size - 1), fp) != nullptr) {
        size_t len = strlen(buf);
        if (len == 0)
            continue;
        if (buf[len - 1] != '\n' && !feof(fp)) {
            SkipRestOfLine(fp, buf, size - 1);
            continue;
        }
        if (buf[0] == '#' || buf[0] == '\n')
            continue;
        int gid = MemberGroupID(buf, len, key);
        if (gid >= 0 && count < maxg)
            list[count++] = gid;
    }
    fclose(fp);
    if (scratch)
        memset(gSpwdGroupBuf, 0, gSpwdGroupBufSize);
    return count;
}

int GetUserGroups(int32_t *list, int maxg, const char *user)
{
    SpwdEnsureInit();
    if (maxg <= 0) {
        errno = EINVAL;
        return -1;
    }
    switch (gGetUserGroupsMethod) {
    case 1:
        SPWD_TRACEF("GetUserGroups maxg=%lu u=%s method=getgroups()\n", (unsigned long)maxg, user);
        return GroupsOfProcess(list, maxg);
    case 2:
        SPWD_TRACEF("GetUserGroups maxg=%lu u=%s method=/etc/group\n", (unsigned long)maxg, user);
        return GroupsFromFile(list, maxg, user);
    default:
        SPWD_TRACEF("GetUserGroups maxg=%lu u=%s method=%d (invalid!)\n", (unsigned long)maxg,
                    user, gGetUserGroupsMethod);
        list[0] = -1;
        errno = EINVAL;
        return -1;
    }
}

int SetGroups(int n, const int32_t *list)
{
    SpwdEnsureInit();
    gid_t groups[256];
    if (n < 0 || n > int(std::size(groups)) || (n > 0 && list == nullptr)) {
        errno = EINVAL;
        return -1;
    }
    for (int i = 0; i < n; i++)
        groups[i] = gid_t(list[i]);
    int rc = setgroups(size_t(n), groups);
    SPWD_TRACEF("setgroups rc=%d\n", rc);
    return rc;
}

// ---- Output and probes ----------------------------------------------------------

char *UnparseSpwdEntry(char *dst, size_t size, const Spwd *p)
{
    SpwdEnsureInit();
    if (size == 0)
        return dst;
    char line[1536];
    char num[24];
    Strncpy(line, p->username);
    Strncat(line, ":");
    Strncat(line, p->passwd);
    snprintf(num, sizeof num, ":%ld:", long(p->uid));
    Strncat(line, num);
    snprintf(num, sizeof num, "%ld", long(p->gid[0]));
    Strncat(line, num);
    for (int i = 1; i < p->nGids && i < kSpwdMaxGids; i++) {
        snprintf(num, sizeof num, ",%ld", long(p->gid[i]));
        Strncat(line, num);
    }
    Strncat(line, ":");
    Strncat(line, p->gecos);
    Strncat(line, ":");
    Strncat(line, p->homedir);
    Strncat(line, ":");
    Strncat(line, p->shell);
    Strncpy(dst, line, size);
    return dst;
}

int CanGetEncryptedPasswords2(int limitSeconds, unsigned *nChecked, int *timedOut)
{
    SpwdEnsureInit();
    Spwd rec;
    unsigned n = 1;
    int tx = 0;
    int answer = 0;
    char lastUser[sizeof rec.username];
    GetSpwdByUID(0, &rec, 1, 0, 1);
    Strncpy(lastUser, rec.username);
    if (ValidEncryptedPassword(rec.passwd)) {
        answer = 1;
    } else {
        time_t deadline = time(nullptr) + limitSeconds;
        for (int first = 1; GetSpwdEnt(first, &rec, 1, 0, 0) == 0; first = 0) {
            n++;
            Strncpy(lastUser, rec.username);
            if (ValidEncryptedPassword(rec.passwd)) {
                answer = 1;
                break;
            }
            if (limitSeconds != 0 && time(nullptr) > deadline) {
                SPWD_TRACEF("CanGetEncryptedPasswords2: time up\n");
                tx = 1;
                break;
            }
        }
        EndSpwd();
    }
    SPWD_TRACEF("CanGetEncryptedPasswords2: %s (rc = %d, n = %u, tx = %u, u = \"%s\")\n",
                answer ? "yes" : "no", answer, n, unsigned(tx), lastUser);
    if (nChecked != nullptr)
        *nChecked = n;
    if (timedOut != nullptr)
        *timedOut = tx;
    InitSpwdStruct(&rec);
    return answer;
}

int CanGetEncryptedPasswords()
{
    return CanGetEncryptedPasswords2(0, nullptr, nullptr);
}

int HaveSpwd()
{
    return 1;
}
