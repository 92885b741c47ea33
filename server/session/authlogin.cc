// The authentication service's part of a login: the exchanges at connection,
// USER and PASS, their refusals, and the account an accepting answer gives
// the session.  Until the service has answered nothing is admitted: a
// service that does not answer refuses, it never hands over to the local
// checks.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "Strn.h"
#include "auth/authclient.h"
#include "base/exit.h"
#include "config/config.h"
#include "config/domain.h"
#include "config/userclass.h"
#include "log/log.h"
#include "session/login.h"
#include "session/shell.h"
#include "status/shm.h"

namespace {

constexpr unsigned kRefusalPause = 2;

[[noreturn]] void Refuse(const char *reply, int endCode)
{
    sleep(kRefusalPause);
    Reply("%s", reply);
    DoneConnection(endCode);
}

// The umask text of the answer: octal digits only, at most 0777.
// 1 set, 0 none given, -1 unusable.
int ParseServiceUmask(const char *text, mode_t *mask)
{
    if (text[0] == '\0')
        return 0;
    long value = 0;
    for (const char *p = text; *p != '\0'; p++) {
        if (*p < '0' || *p > '7')
            return -1;
        value = value * 8 + (*p - '0');
    }
    if (value > 0777)
        return -1;
    *mask = static_cast<mode_t>(value);
    return 1;
}

// The home must end in the user name as a path component ("/home/alice",
// not "/home/malice").
bool HomeEndsInUserName(const char *home, const char *name)
{
    size_t len = strlen(home);
    while (len > 1 && home[len - 1] == '/')
        len--;
    const size_t nameLen = strlen(name);
    return nameLen > 0 && len > nameLen && home[len - nameLen - 1] == '/'
           && strncmp(home + len - nameLen, name, nameLen) == 0;
}

// The groups of the answer, up to the first unset one.
int ServiceGroups(int32_t *gids)
{
    int n = gAState.numGids;
    if (n > kAuthMaxGids)
        n = kAuthMaxGids;
    int kept = 0;
    for (; kept < n && gAState.gid[kept] >= 0; kept++)
        gids[kept] = gAState.gid[kept];
    for (int i = kept; i < kSpwdMaxGids; i++)
        gids[i] = -1;
    return kept;
}

}  // namespace

void AuthServiceAtConnection()
{
    if (gUseAuthServer < 2)
        return;
    gAState.state = kAuthStateConnect;
    // No answer is no permission: an anonymous login, which the service is
    // not asked about again, must not slip past a service that is down.
    if (ExchangeAuthState() < 0 || gAState.result != 0)
        Refuse("530 Access denied.\r\n", kEndAuthDenied);
}

int AuthServiceUser(const char *name)
{
    if (gUseAuthServer < 2)
        return 1;
    Strncpy(gAState.user, name);
    gAState.state = kAuthStateUser;
    if (ExchangeAuthState() < 0) {
        Reply("451 Could not negotiate authd login.\r\n");
        return 0;
    }
    if (gAState.result != 0)
        Refuse("530 Access denied.\r\n", kEndAuthDenied);
    if (gAState.reply[0] == '\0') {
        Reply("331 User %.420s okay, need password.\r\n", name);
        return 1;
    }
    // The service's own reply, as a complete line even when it left the
    // line end out.
    char text[sizeof(gAState.reply) + 2];
    Strncpy(text, gAState.reply);
    const size_t len = strlen(text);
    if (len < 2 || strcmp(text + len - 2, "\r\n") != 0)
        Strncat(text, "\r\n");
    Reply("%.420s", text);
    return 1;
}

AuthVerdict AuthServicePass(const char *name, const char *password)
{
    Strncpy(gAState.user, name);
    Strncpy(gAState.password, password);
    gAState.state = kAuthStatePass;
    const int rc = ExchangeAuthState();
    explicit_bzero(gAState.password, sizeof(gAState.password));
    if (rc < 0)
        return AuthVerdict::kFailed;
    const bool internalResult = gAState.result == kAuthInternal;
    const bool internalFlag = gAState.internal == kAuthInternal;
    if (internalResult && internalFlag) {
        _Trace(kLogMisc, "Auth server requested internal auth for user \"%.63s\".\n", name);
        return AuthVerdict::kInternal;
    }
    if (internalResult || internalFlag) {
        Log(kLogMisc, "Auth server protocol error for user \"%.63s\": InternalSystemAuth not specified correctly.\n",
            name);
        return AuthVerdict::kDenied;
    }
    if (gAState.result != 0 || gAState.internal == 0)
        return AuthVerdict::kDenied;
    return AuthVerdict::kAccepted;
}

void RefuseByAuthService(AuthVerdict verdict)
{
    if (verdict == AuthVerdict::kFailed) {
        Reply("451 Could not process authd login.\r\n");
        DoneConnection(kEndAuthFailed);
    }
    Refuse("530 Access denied.\r\n", kEndAuthDenied);
}

void TakeAuthServiceAccount(const char *name)
{
    const AuthMsg &a = gAState;
    InitSpwdStruct(&gPass);
    Strncpy(gPass.username, a.user[0] != '\0' ? a.user : name);
    gPass.uid = a.uid;
    gPass.nGids = ServiceGroups(gPass.gid);
    Strncpy(gPass.homedir, a.home);
    gPass.hardQuotaKB = a.hardQuotaKB;
    gPass.softQuotaKB = a.softQuotaKB;
    gPass.hardQuotaFiles = a.hardQuotaFiles;
    gPass.softQuotaFiles = a.softQuotaFiles;
    gPass.downloadBandwidth = a.downloadKBps;
    gPass.uploadBandwidth = a.uploadKBps;
    gVirtualUser = 1;
    gRestrictedUser = a.restricted != 0 ? 1 : 0;
    Strncpy(gRUserPtr->restriction, "restrictedvirtual");

    if (a.perm[0] == '-' || a.perm[0] == '+') {
        char bad = '\0';
        if (ParseUserPermissions(a.perm, gAllow, &bad) < 0) {
            Log(kLogMisc, "Bad user permissions string \"%.31s\" (stopped at %c) received from auth server.\n", a.perm,
                bad);
            Refuse("530 Login failed.  Have the sysadmin check the misc log.\r\n", kEndBadPermissions);
        }
    }
    mode_t mask = 0;
    const int umaskGiven = ParseServiceUmask(a.umask, &mask);
    if (umaskGiven < 0) {
        Log(kLogMisc, "Bad umask (\"%.8s\") received from auth server.\n", a.umask);
        Refuse("530 Login incorrect.\r\n", kEndBadUmask);
    }
    if (umaskGiven > 0)
        umask(mask);
    if (gPass.uid == 0 && !gAuthdAllowRootLogins) {
        Log(kLogMisc, "Auth server admitted user \"%.63s\" as root, but authd-allow-root-logins is off.\n",
            gPass.username);
        Refuse("530 Login incorrect.\r\n", kEndAuthDenied);
    }
    if (gAuthParanoia && !HomeEndsInUserName(gPass.homedir, gPass.username)) {
        Log(kLogMisc, "Auth server gave user \"%.63s\" the home directory \"%.127s\", which does not end in the "
                      "user name.\n", gPass.username, gPass.homedir);
        Refuse("530 Login incorrect.\r\n", kEndAuthHome);
    }
    if (gPass.nGids < 1) {
        Log(kLogMisc, "No groups defined for user \"%.63s\"\n", gPass.username);
        Reply("451 Login failed.\r\n");
        DoneConnection(kEndIdentity);
    }
    gVChrootThisUser = gRestrictedUser && gCurDomain->uVChrootRestrictedUsers ? 1 : 0;
}
