// The admission checks of a login: the account look-up in the domain's
// password sources, the deny-users and valid-shells lists, the concurrent
// session limits, and the options field of a virtual user's record.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "Hpwd.h"
#include "Strn.h"
#include "config/config.h"
#include "config/domain.h"
#include "log/log.h"
#include "session/login.h"
#include "base/exit.h"
#include "base/process.h"
#include "session/shell.h"
#include "status/shm.h"
#include "config/userclass.h"

namespace {

// The other sessions of the server: live slots other than our own.
template <typename Visit>
void ForEachOtherSession(Visit visit)
{
    for (int i = 1; i <= gNumChildren; i++) {
        const ShmSlot *slot = ShmSlotAt(i);
        if (slot == nullptr || slot == gShmSlot || slot->pid == 0 || slot->sessionStart == 0)
            continue;
        visit(*slot);
    }
}

// A password database must still pass, at every look-up, the checks it
// passed at start-up: the file may have been replaced since.
int CheckPasswdDatabase(const char *path)
{
    if (path[0] != '/') {
        Log(kLogMisc, "Password database %s is not a full pathname, not using it.\n", path);
        return -1;
    }
    struct stat st;
    if (stat(path, &st) < 0) {
        Log(kLogMisc, "Password database %s does not exist.\n", path);
        return -1;
    }
    if (getuid() == 0 && (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        Log(kLogMisc, "Password database %s must not be accessible in any way by group or public.  "
                      "\"/bin/chmod go-rwx\" this file if it is a legitimate database file.\n", path);
        return -1;
    }
    char dir[kDomainTextSize];
    Strncpy(dir, path);
    char *slash = strrchr(dir, '/');
    slash[slash == dir ? 1 : 0] = '\0';
    struct stat dst;
    if (stat(dir, &dst) == 0 && (dst.st_mode & S_IWOTH) != 0) {
        Log(kLogMisc, "%s is public-writeable, will not use passwd databases in this directory.\n", dir);
        return -1;
    }
    return 0;
}

// Whoever owns a database can only hand out their own identity: their uid,
// and of the record's groups only those they are in themselves (else any
// local user could give their virtual users the disk or shadow group).
// 0, or -1 when the owner has no account.
int ImposeDatabaseOwner(Hpwd *rec, uid_t owner)
{
    struct passwd pwBuf;
    struct passwd *pw = nullptr;
    std::array<char, 4096> text;
    if (getpwuid_r(owner, &pwBuf, text.data(), text.size(), &pw) != 0 || pw == nullptr)
        return -1;
    std::array<gid_t, 256> own;
    int nOwn = static_cast<int>(own.size());
    if (getgrouplist(pw->pw_name, pw->pw_gid, own.data(), &nOwn) < 0)
        nOwn = 1;                       // more groups than fit: the primary only
    own[0] = pw->pw_gid;
    const auto ownerHas = [&](int32_t gid) {
        return std::find(own.begin(), own.begin() + nOwn, static_cast<gid_t>(gid)) != own.begin() + nOwn;
    };
    rec->uid = static_cast<int32_t>(owner);
    int kept = 0;
    for (int i = 0; i < rec->nGids; i++) {
        int32_t gid = rec->gid[i];
        if (!ownerHas(gid)) {
            if (i != 0)
                continue;
            gid = static_cast<int32_t>(pw->pw_gid);     // the primary group stays first
        }
        if (std::find(rec->gid, rec->gid + kept, gid) == rec->gid + kept)
            rec->gid[kept++] = gid;
    }
    if (kept == 0)
        rec->gid[kept++] = static_cast<int32_t>(pw->pw_gid);
    for (int i = kept; i < kSpwdMaxGids; i++)
        rec->gid[i] = -1;
    rec->nGids = kept;
    return 0;
}

// How long a login waits for a password database that another process has
// locked (a long import, or its owner holding a lock): well inside the login
// time-outs, and a stuck lock cannot gather the sessions of the pool.
constexpr int kDatabaseLockWaitSeconds = 3;

// Looks the name up in one password database.  1 found (gPass filled),
// 0 not there, -1 refused.
int LookUpInDatabase(const char *name, const char *path)
{
    if (CheckPasswdDatabase(path) < 0)
        return 0;
    Hpwd rec;
    struct stat fileSt;
    const int rc = OpenAndGetHpwdByName(&rec, name, path, &fileSt, kDatabaseLockWaitSeconds * 1000);
    if (rc == kOrmelErrLock) {
        // The user may well be in it: no other source may answer instead.
        Log(kLogMisc, "Password database %s stayed locked for %d seconds; could not look up user \"%s\".\n", path,
            kDatabaseLockWaitSeconds, name);
        return -1;
    }
    if (rc == -1) {
        _Trace(kLogMisc, "User \"%s\" not found in %s.\n", name, path);
        return 0;
    }
    if (rc == kOrmelErrNotOrmel) {
        Log(kLogMisc, "File %s is either not a valid database or is an old format (pre 2.5.0).\n", path);
        Log(kLogMisc, "Use the \"dbmigrate\" utility to convert old databases.\n");
        return 0;
    }
    if (rc != 0) {
        Log(kLogMisc, "Could not query user \"%s\" in %s (error #%d).\n", name, path, rc);
        return 0;
    }
    // The checks of the file that was read, not of whatever the name
    // leads to now.
    if (!S_ISREG(fileSt.st_mode)) {
        Log(kLogMisc, "Password database %s is not a plain file, not using it.\n", path);
        return 0;
    }
    if (fileSt.st_uid != 0) {
        _Trace(kLogMisc, "Password database %s is owned by uid %ld; user \"%s\" gets that uid.\n", path,
               static_cast<long>(fileSt.st_uid), name);
        if (ImposeDatabaseOwner(&rec, fileSt.st_uid) < 0) {
            Log(kLogMisc, "Password database %s is owned by uid %ld, which has no account; not using it.\n", path,
                static_cast<long>(fileSt.st_uid));
            return 0;
        }
    }
    if (!ValidEncryptedPassword(rec.passwd)) {
        Log(kLogMisc, "User \"%s\" found in %s with uid=%ld, but encrypted password \"%.31s\" is invalid -- login from %.63s disallowed.\n",
            name, path, static_cast<long>(rec.uid), rec.passwd, gRUserPtr->host);
        return -1;
    }
    gPass = rec;
    gVirtualUser = 1;
    return 1;
}

[[noreturn]] void RefuseAccountOptions(int endCode)
{
    sleep(2);
    if (endCode == kEndBadUmask)
        Reply("530 Login incorrect.\r\n");
    else
        Reply("530 Login failed.  Have the sysadmin check the misc log.\r\n");
    DoneConnection(endCode);
}

void ApplyMiscDataItem(char *item)
{
    char *value = strchr(item, '=');
    if (value != nullptr)
        *value++ = '\0';
    if (strcasecmp(item, "umask") == 0) {
        char *end = nullptr;
        const long mask = (value != nullptr && value[0] != '\0') ? strtol(value, &end, 8) : -1;
        if (value == nullptr || value[0] == '\0') {
            Log(kLogMisc, "Syntax error in password record's field #12 (%.31s).\n", item);
            RefuseAccountOptions(kEndBadPermissions);
        }
        if (end == value || *end != '\0' || mask < 0 || mask > 0777) {
            Log(kLogMisc, "Bad umask (\"%.8s\") in password record's field #12.\n", value);
            RefuseAccountOptions(kEndBadUmask);
        }
        umask(static_cast<mode_t>(mask));
        return;
    }
    if (strncasecmp(item, "crlf", 4) == 0) {
        Strncpy(gPreferredLocalTextEOLN, "\r\n");
        return;
    }
    if (strncasecmp(item, "restr", 5) == 0) {
        if (!gUAlwaysRestrictVirtualUsers)
            gRestrictedUser = StrToBoolOrInt(value != nullptr ? value : "1") != 0;
        return;
    }
    if (strncasecmp(item, "perm", 4) == 0 && value != nullptr) {
        char bad = '\0';
        if (ParseUserPermissions(value, gAllow, &bad) < 0) {
            Log(kLogMisc, "Bad user permissions string \"%.31s\" (stopped at %c) in password record's field #12.\n",
                value, bad);
            RefuseAccountOptions(kEndBadPermissions);
        }
        return;
    }
    Log(kLogMisc, "Syntax error in password record's field #12 (%.31s).\n", item);
    RefuseAccountOptions(kEndBadPermissions);
}

}  // namespace

// ---- Account look-up -----------------------------------------------------------------------------

int GetSpwdOrHpwd(const char *name)
{
    const DomainInfo *d = gCurDomain;
    bool systemSource = false;
    gVirtualUser = 0;
    for (int i = 0; i < d->numPasswdSources; i++) {
        const PasswdSource &src = d->passwdSources[i];
        if (src.kind == kPasswdSystem) {
            systemSource = true;
            if (GetSpwdByName(name, &gPass, 1, 1, 1) == 0)
                return 0;
            continue;
        }
        const int rc = LookUpInDatabase(name, src.path);
        if (rc > 0)
            return 0;
        if (rc < 0)
            break;
    }
    InitSpwdStruct(&gPass);
    Strncpy(gPass.username, name);
    if (!systemSource && getpwnam(name) != nullptr)
        Log(kLogMisc, "User \"%s\" cannot login to domain \"%s\" since passwd file is \"%s\".\n", name,
            d->setName, d->passwd);
    return -1;
}

// ---- Lists ----------------------------------------------------------------------------------------

int UserIsBlacklisted(const char *name)
{
    if (gDenyFTPUsers == nullptr)
        return 0;
    char line[65] = "\n";
    char cut[63];
    Strncpy(cut, name);
    Strncat(line, cut);
    Strncat(line, "\n");
    return strstr(gDenyFTPUsers, line) != nullptr ? 1 : 0;
}

int UserHasIllegalShell(const char *shell)
{
    if (gValidUserShells == nullptr)
        return 0;
    char line[129] = "\n";
    char cut[127];
    Strncpy(cut, shell);
    cut[strcspn(cut, " \t")] = '\0';
    Strncat(line, cut);
    Strncat(line, "\n");
    return strstr(gValidUserShells, line) == nullptr ? 1 : 0;
}

// ---- Session limits ----------------------------------------------------------------------------------

int TooManyAnonUsers()
{
    if (gMaxAnonymousUsers < 0)
        return 0;
    int count = 0;
    ForEachOtherSession([&count](const ShmSlot &s) {
        if (strcmp(s.user, "anonymous") == 0)
            count++;
    });
    return count >= gMaxAnonymousUsers ? 1 : 0;
}

int TooManyDomainUsersByThisUsername(const char *name)
{
    const int limit = gCurDomain->maxDomainUsersPerUsername;
    if (limit < 1 && !gUAllowMultipleLoginsOnlyIfSameIP)
        return 0;       // nothing to count: the scan would read every slot for nothing
    char slotName[sizeof(gRUserPtr->user)];
    Strncpy(slotName, name);
    int count = 0;
    bool otherAddress = false;
    // Only sessions past their password count: a client that merely typed
    // USER with somebody's name must not lock that user out.
    ForEachOtherSession([&](const ShmSlot &s) {
        if (strcmp(s.domain, gCurDomain->setName) != 0 || strcmp(s.user, slotName) != 0 || s.restriction[0] == '\0')
            return;
        count++;
        if (strcmp(s.addr, gRUserPtr->addr) != 0)
            otherAddress = true;
    });

    if (gUAllowMultipleLoginsOnlyIfSameIP && otherAddress) {
        sleep(2);
        Reply("530 Sorry, someone is already logged in to this account.\r\n");
        DoneConnection(kEndTooManyForName);
    }
    if (limit < 1 || count < limit)
        return 0;
    _Trace(kLogMisc, "Too many users (%d) logged in as %.64s on domain %.64s.\n", count, name, gCurDomain->setName);
    sleep(2);
    if (limit == 1)
        Reply("530 Sorry, you are already logged in.\r\n");
    else
        Reply("530 Sorry, %.64s already has %d users logged in as the username %.64s.\r\n",
              gCurDomain->serverName[0] != '\0' ? gCurDomain->serverName : gOurHostName, count, name);
    DoneConnection(kEndTooManyForName);
}

// ---- The options field of a virtual user -------------------------------------------------------------

void ApplyPassMiscDataField(const char *field)
{
    if (gAuthDebug)
        Log(kLogMisc, "AuthDebug: field12=%.200s\n", field);
    // The old numeric form of the field carries nothing the server uses.
    if (isdigit(static_cast<unsigned char>(field[0])))
        return;
    char text[sizeof(gPass.miscData)];
    Strncpy(text, field);
    char *context = nullptr;
    for (char *item = strtokc(text, ",\r\n", &context); item != nullptr; item = strtokc(nullptr, ",\r\n", &context)) {
        if (item[0] != '\0')
            ApplyMiscDataItem(item);
    }
}

