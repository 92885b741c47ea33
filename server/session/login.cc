// USER and PASS: the order of the admission checks, every refusal with its
// reply, pause and end code, failed attempts, and the steps that complete a
// login (accounting, identity, records, start directory, login message).
#include "session/privsep.h"
#include "session/login.h"
#include "session/prelogin.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "Strn.h"
#include "auth/authclient.h"
#include "auth/pam.h"
#include "config/config.h"
#include "config/domain.h"
#include "events/events.h"
#include "log/log.h"
#include "base/exit.h"
#include "base/pages.h"
#include "base/process.h"
#include "session/messages.h"
#include "paths/paths.h"
#include "quota/quota.h"
#include "session/shell.h"
#include "status/shm.h"
#include "session/tcpwrappers.h"
#include "config/userclass.h"

ON_LOGIN_PAGES Spwd gPass;
ON_LOGIN_PAGES char gUserName[128];

namespace {

bool gAccountPending;   // a name was given and its account not looked up yet
bool gAccountFound;     // the look-up found the account

constexpr int kTruncatedPasswordLen = 8;

void Pause(double seconds)
{
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
    while (nanosleep(&ts, &ts) < 0) {
    }
}

// A pause of random length between lo and hi seconds.
void RandomPause(double lo, double hi)
{
    Pause(lo + (hi - lo) * (static_cast<double>(ChildRandom() % 10000) / 10000.0));
}

bool IsAnonymousName(const char *name)
{
    return strcasecmp(name, "anonymous") == 0 || strcasecmp(name, "ftp") == 0;
}

// The read and write defaults of a user kind; without write permission only
// reading, listing and changing directory remain.
void SetDefaultSwitches(int readPermission, int writePermission)
{
    for (int &a : gAllow)
        a = 1;
    gAllow[kPermRead] = readPermission ? 1 : 0;
    if (writePermission)
        return;
    for (int i = 0; i < kNumAllowSwitches; i++) {
        if (i != kPermRead && i != kPermMlsd && i != kPermChdir)
            gAllow[i] = 0;
    }
}

void ForgetAccount()
{
    InitSpwdStruct(&gPass);
    gVirtualUser = 0;
    gAccountPending = false;
    gAccountFound = false;
}

void CheckTCPWrappersWithName(const char *name)
{
    if (gUseTCPWrappers != 2 || TCPWrappers_ValidateIncomingFTPConnectionWithUsername(name))
        return;
    Log(kLogMisc, "TCP Wrappers denied access to %.63s@%.63s (%.63s).\n", name, gRUserPtr->addr, gRUserPtr->host);
    sleep(2);
    Reply("550 You are not welcome here.\r\n");
    Strncpy(gRUserPtr->user, "DENIED");
    DoneConnection(kEndTCPWrappers);
}

// Anonymous logins refused by the configuration (also in password mode 0,
// where no PASS follows).
void RefuseAnonymousWhenBarred()
{
    if (gFTPUserIsBlacklisted) {
        sleep(2);
        Reply("530 Anonymous logins are not allowed here (\"ftp\" was found in /etc/ftpusers).\r\n");
        DoneConnection(kEndAnonymousRefused);
    }
    if (gCurDomain->nonAnonOnly > 0) {
        sleep(2);
        Reply("530 Anonymous logins are not allowed here.\r\n");
        DoneConnection(kEndAnonymousRefused);
    }
}

// ---- Completing a login ------------------------------------------------------------------------

void SetUserBandwidth()
{
    if (gIsAnon)
        return;   // the anonymous limits came with the session reset
    gRetrBandwidthLimit = gCurDomain->uDownloadBandwidth;
    gStorBandwidthLimit = gCurDomain->uUploadBandwidth;
    if (!gVirtualUser)
        return;
    if (gPass.downloadBandwidth >= 1)
        gRetrBandwidthLimit = gPass.downloadBandwidth;
    if (gPass.uploadBandwidth >= 1)
        gStorBandwidthLimit = gPass.uploadBandwidth;
    if (gPass.downloadBandwidth >= 1 && gPass.uploadBandwidth >= 1)
        Log(kLogMisc, "Bandwidth limits: %d kB/sec download, %d kB/sec upload.\n", gPass.downloadBandwidth,
            gPass.uploadBandwidth);
    else if (gPass.downloadBandwidth >= 1)
        Log(kLogMisc, "Bandwidth limit: %d kB/sec for downloads.\n", gPass.downloadBandwidth);
    else if (gPass.uploadBandwidth >= 1)
        Log(kLogMisc, "Bandwidth limit: %d kB/sec for uploads.\n", gPass.uploadBandwidth);
}

void WriteLoginRecords()
{
    const ShmSlot *s = gRUserPtr;
    const char *domain = gCurDomain->setName;
    if (gSyslog) {
        if (gIsAnon)
            syslog(LOG_INFO, "Anonymous user logged in to \"%.63s\" from %.63s.", domain, s->host);
        else
            syslog(LOG_INFO, "User \"%.63s\" logged in to \"%.63s\" from %.63s.", s->user, domain, s->host);
    }
    if (gLogSessionStarts)
        Log(kLogSession, "%s,%s,%s,%s,%s,%s,\n", s->user, s->loginId, s->host, "LOGIN", s->sessionId, domain);
    if (gLoginEventProcessor[0] != '\0')
        Log(kLogEvent, "LOGIN\t%s\t%s\t%s\t%s\t%s\n", s->user, s->restriction, s->loginId, domain, s->host);
    EventcLogLogin();
}

void CompleteLogin(const char *text)
{
    SessionResetQuota();
    if (gVirtualUser && !gIsAnon) {
        SessionSetQuotaLimits(gPass.hardQuotaKB, gPass.softQuotaKB, gPass.hardQuotaFiles, gPass.softQuotaFiles);
        SessionSetQuotaUser(gUserName);
    }
    WtmpAddLoginEntry();
    gSessionUid = static_cast<uid_t>(gPass.uid);
    SeparateSession();
    gLoggedIn = 1;
    gRUserPtr->state = kShmStateLoggedIn;
    gLogins++;
    SetUserBandwidth();
    if (gPass.uid == 0) {
        for (int &a : gAllow)
            a = 1;
    }
    WriteLoginRecords();
    StartDir();
    LoginMessage(text);
    DidSomethingUseful();
}

// ---- PASS of a user with an account ----------------------------------------------------------

// The passwords typed, wiped as soon as they are no longer needed.
struct TypedPassword {
    char full[256];
    char first8[kTruncatedPasswordLen + 1];
    explicit TypedPassword(char *arg)
    {
        Strncpy(full, arg);
        Strncpy(first8, arg);
        explicit_bzero(arg, strlen(arg));
    }
    ~TypedPassword()
    {
        explicit_bzero(full, sizeof(full));
        explicit_bzero(first8, sizeof(first8));
    }
    TypedPassword(const TypedPassword &) = delete;
    TypedPassword &operator=(const TypedPassword &) = delete;
};

[[nodiscard]] bool PasswordMatches(const TypedPassword &pw)
{
    if (CheckPassword(pw.full, gPass.passwd, 0, 0) == 0)
        return true;
    return gUTryTruncatedPasswords && strlen(pw.full) >= kTruncatedPasswordLen
           && CheckPassword(pw.first8, gPass.passwd, 0, 0) == 0;
}

// The password of a system account goes to PAM under use-pam (which runs its
// account stack as well); any other is checked against its encrypted one.
[[nodiscard]] bool PasswordAccepted(const TypedPassword &pw)
{
    if (gUsePam && !gVirtualUser)
        return PamAuthenticate(gPass.username, pw.full, gRUserPtr->addr) == 0;
    return PasswordMatches(pw);
}

// The internal checks, in order: account, deny-users file, shell, password.
[[nodiscard]] bool AccountAdmits(const TypedPassword &pw)
{
    if (!gAccountFound)
        return false;
    const char *host = gRUserPtr->host;
    if (!gVirtualUser && UserIsBlacklisted(gPass.username)) {
        Log(kLogMisc, "Someone from %s tried to login as \"%s\" user.\n", host, gPass.username);
        syslog(LOG_WARNING, "Someone from %s tried to login as \"%s\" user.", host, gPass.username);
        return false;
    }
    if (!gVirtualUser && UserHasIllegalShell(gPass.shell)) {
        Log(kLogMisc, "Someone from %s tried to login as \"%s\" user, whose shell is illegal (%s).\n", host,
            gPass.username, gPass.shell);
        syslog(LOG_WARNING, "Someone from %s tried to login as \"%s\" user, whose shell is illegal (%s).", host,
               gPass.username, gPass.shell);
        return false;
    }
    if (!PasswordAccepted(pw)) {
        if (gHidePasswordsInVerboseLog)
            Log(kLogMisc, "Password wrong for user %.63s from %.63s.\n", gUserName, host);
        else
            _Trace(kLogMisc, "Password \"%.127s\" wrong for user %.63s from %.63s.\n", pw.full, gUserName, host);
        return false;
    }
    return true;
}

// A wrong password: it costs growing pauses, and too many end the session.
// The reply comes from replyFn, after the pauses.
void FailedAttempt(void (*replyFn)() = [] { Reply("530 Login incorrect.\r\n"); })
{
    gFailedLogins++;
    if (gFailedUserNames[0] != '\0')
        Strncat(gFailedUserNames, ", ");
    Strncat(gFailedUserNames, gUserName);
    sleep(static_cast<unsigned>(gFailedLogins + 1));
    RandomPause(0.1, 1.0);
    RandomPause(0.1, 1.0);
    replyFn();
    if (gFailedLogins >= gMaxLoginFailures) {
        Log(kLogMisc, "Too many login failures from %s; usernames used were: %s.\n", gRUserPtr->host, gFailedUserNames);
        syslog(LOG_WARNING, "Too many login failures from %s; usernames used were: %s.", gRUserPtr->host,
               gFailedUserNames);
        DoneConnection(kEndTooManyFailures);
    }
}

void UserUmask()
{
    const mode_t mask = gCurDomain->uUmask >= 0 ? static_cast<mode_t>(gCurDomain->uUmask) : gUserUmask;
    umask(mask);
}

// The look-up of the account the internal checks need.
void LookUpPendingAccount()
{
    if (gAccountPending) {
        gAccountPending = false;
        gAccountFound = GetSpwdOrHpwd(gUserName) == 0;
    }
}

void AccountPass(char *arg)
{
    (void) TooManyDomainUsersByThisUsername(gUserName);
    // With the service in use it decides; only when it asks for the internal
    // checks do they run.
    AuthVerdict verdict = AuthVerdict::kInternal;
    bool admitted = false;
    {
        TypedPassword pw(arg);
        if (gUseAuthServer > 0)
            verdict = AuthServicePass(gUserName, pw.full);
        if (verdict == AuthVerdict::kInternal) {
            LookUpPendingAccount();
            admitted = AccountAdmits(pw);
        }
    }   // the copies are wiped before anything can end the session
    if (verdict == AuthVerdict::kDenied || verdict == AuthVerdict::kFailed)
        RefuseByAuthService(verdict);
    if (verdict == AuthVerdict::kAccepted) {
        UserUmask();
        TakeAuthServiceAccount(gUserName);
        CompleteLogin(gRestrictedUser ? "Restricted user logged in." : "Logged in.");
        return;
    }
    // A PAM session that cannot be opened refuses the login, as root and
    // before anything of it is done; to the client it is a wrong password.
    if (admitted && gUsePam && !gVirtualUser && PamOpenSession() < 0)
        admitted = false;
    if (!admitted) {
        FailedAttempt();
        return;
    }
    explicit_bzero(gPass.passwd, sizeof(gPass.passwd));   // not needed once admitted
    CheckForRestrictedUser();
    UserUmask();
    if (gVirtualUser)
        ApplyPassMiscDataField(gPass.miscData);
    gVChrootThisUser = gRestrictedUser && gCurDomain->uVChrootRestrictedUsers ? 1 : 0;
    CompleteLogin(gRestrictedUser ? "Restricted user logged in." : "Logged in.");
}

// ---- PASS of an anonymous user ----------------------------------------------------------------

void AnonymousPass(char *arg)
{
    RefuseAnonymousWhenBarred();
    char *password = arg;
    if (password[0] == '-') {
        gDumbClient = 1;
        password++;
    }
    RecogniseClientByPassword(password);
    char email[sizeof(gRUserPtr->loginId)];
    const int accepted = AnonPasswordAccepted(password, email, sizeof(email));
    explicit_bzero(arg, strlen(arg));
    if (!accepted) {
        // A required guest password is a secret like any other: guessing it
        // costs what guessing a user's password costs.
        if (AnonPasswordIsSecret())
            FailedAttempt(InvalidAnonPasswordReply);
        else
            InvalidAnonPasswordReply();
        return;
    }
    Strncpy(gRUserPtr->loginId, email);
    CompleteLogin("Logged in anonymously.");
}

}  // namespace

// ---- The handlers -------------------------------------------------------------------------------

void ResetLoginInfo()
{
    ForgetAccount();
    gUserName[0] = '\0';
    gSessionUserClass = -1;
    gSessionUid = static_cast<uid_t>(-1);
}

void User(char *arg)
{
    if (ForwardedToPoolChild(kLoginUser, arg))
        return;
    if (arg[0] == '\0') {
        BadArgs();
        return;
    }
    if (gLoggedIn) {
        Reply("503 You are already logged in.\r\n");
        return;
    }
    if (gCmdCounts[kCntUser] > 3) {
        _Trace(kLogMisc, "Too many login attempts, disconnecting.\n");
        DoneConnection(kEndTooManyUserCommands);
    }
    if (gCmdCounts[kCntUser] >= 2)
        RandomPause(0.15, 0.5);

    char *name = arg;
    if (name[0] == '-') {
        gDumbClient = 1;
        name++;
    }
    if (gEtcNoLogin && strcmp(name, "root") != 0) {
        Reply("530 Logins are not allowed while the system undergoes maintenance.\r\n");
        _Trace(kLogMisc, "Remove /etc/nologin.ftp and /etc/nologin to re-enable FTP logins.\n");
        DoneConnection(kEndNoLogin);
    }

    if (TlsRequiredForLogin(IsAnonymousName(name))) {
        if (gTlsMode == kTlsRequiredAll)
            Reply("530 Sessions must use encryption: use AUTH TLS first.\r\n");
        else
            Reply("530 Non-anonymous sessions must use encryption.\r\n");
        return;
    }
    ForgetAccount();
    gUserName[0] = '\0';
    if (!IsAnonymousName(name)) {
        if (gAnonOnlyServer || gCurDomain->anonOnly > 0) {
            Reply("530 Only anonymous logins are allowed here.\r\n");
            return;
        }
        gIsAnon = 0;
        SetDefaultSwitches(gUserReadPermission, gUserWritePermission);
        gVChroot = 0;
        Strncpy(gRUserPtr->user, name);
        CheckTCPWrappersWithName(name);
        if (gUseAuthServer >= 2) {
            if (!AuthServiceUser(name))
                return;
        } else {
            Reply("331 User %.420s okay, need password.\r\n", name);
        }
        Strncpy(gUserName, name);
        gAccountPending = true;
        return;
    }

    if (TooManyAnonUsers()) {
        Strncpy(gRUserPtr->user, "REFUSED");
        sleep(3);
        Reply("530 There are too many anonymous users currently logged in.\r\n");
        DoneConnection(kEndTooManyAnonymous);
    }
    Strncpy(gRUserPtr->user, "anonymous");
    CheckTCPWrappersWithName(name);
    gIsAnon = 1;
    SetDefaultSwitches(gAnonReadPermission, gAnonWritePermission);
    gAllow[kPermUmask] = 0;
    gVChroot = gChroot ? 0 : 1;
    gPass = gFTPUser;
    Strncpy(gUserName, name);
    Strncpy(gFTPHome, gChroot ? "/" : gCurDomain->ftpHome);
    gFTPHomeLen = static_cast<int>(strlen(gFTPHome));
    if (gAPasswordMode == 0) {
        RefuseAnonymousWhenBarred();
        CompleteLogin("Logged in anonymously.");
        return;
    }
    Reply("331 Guest login ok, send your complete e-mail address as password.\r\n");
}

void Pass(char *arg)
{
    if (ForwardedToPoolChild(kLoginPass, arg))
        return;
    if (gUserName[0] == '\0' || gLoggedIn) {
        BadSeqOfCommands();
        return;
    }
    if (gIsAnon)
        AnonymousPass(arg);
    else
        AccountPass(arg);
}
