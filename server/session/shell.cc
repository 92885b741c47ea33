// The control session: Shell with its start checks and command cycle, the
// session reset, Reply and the standard error replies.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "Strn.h"
#include "auth/authclient.h"
#include "base/pages.h"
#include "config/config.h"
#include "log/log.h"
#include "paths/lstatcache.h"
#include "session/login.h"
#include "session/prelogin.h"
#include "listing/pwcache.h"
#include "status/shm.h"
#include "session/shell.h"
#include "config/domain.h"
#include "base/exit.h"
#include "base/process.h"
#include "transfer/data.h"
#include "transfer/urgent.h"
#include "transfer/xferlog.h"
#include "tls/tls.h"

// ---- Session state --------------------------------------------------------------
int gLoggedIn, gIsAnon, gVirtualUser, gRestrictedUser;
int gVChroot, gVChrootThisUser;
int gDumbClient, gLogins;
int gAllow[kNumAllowSwitches];
uint32_t gVisitedDirectories[kMaxVisitedDirectories];
ON_SESSION_PAGES char gCwd[kSessionPathSize];    // "/" from the start (startup.cc)
char gRnfr[256];
int64_t gRestartPt;
char gType = 'A', gMode = 'S', gStru = 'F';
int gPassive, gData = -1, gPassiveData = -1, gLocalData = -1;
int gUsingDefaultDataPort = 1;
int gEpsvAll;
char gRemoteDataAddrStr[64];
int gRemoteDataAddrIsLoopback;
char gDataPortType[32];
int64_t gTotalBytesRetr, gTotalBytesStor;
int64_t gTotalBytesXferBig;
double gTotalSecsXferBig;
int gNumSuccessfulDownloads, gNumSuccessfulUploads, gNumSuccessfulDirListings;
int gNumFailedDownloads, gNumFailedUploads, gNumFailedDirListings;
int gFailedDataConnections, gPORTDidntWorkForThisUser;
char gLastXferResult[16] = "NONE";
int64_t gBytesRetr, gBytesStor;
int gTransferStarted;
char gCurXferFile[kSessionPathSize];
char gLastSuccessfulUploadedFile[kSessionPathSize];
char gXNote[64];
int64_t gRestartedAt, gStartingSize = -1;
int gSendfileInProgress;
int64_t gUserBytesUsage = -1, gUserFilesUsage = -1;
int64_t gUserBytesUsageHardLimit, gUserBytesUsageSoftLimit;
int64_t gUserFilesUsageHardLimit, gUserFilesUsageSoftLimit;
double gQuotaDura;
int64_t gQuotaDirCount, gQuotaMaxDepth;
int gRetrBandwidthLimit, gStorBandwidthLimit;
int gVerboseReplies;
int gMlsOpts = 15;
int gPreferredDataRBufSize, gPreferredDataSBufSize;
char gPreferredLocalTextEOLN[4] = "\n";
const char gDefaultLocalTextEOLN[4] = "\n";
ON_LOGIN_PAGES char gFTPHome[kSessionPathSize];
int gFTPHomeLen;
ON_LOGIN_PAGES char gHomeDir[kSessionPathSize];
int gHomeDirLen;

int gFailedLogins;
char gFailedUserNames[32];
long gTotalCmdIdleTime;
int gClientType;
ON_LOGIN_PAGES int gCmdCounts[kNumCmdCounters];

time_t gSessionTimeLimit;
time_t gTimeOfLastUsefulAction;
int gEtcNoLogin;
long gCmdsQuantum, gCmdsPerQuantum;

int gCtrl = -1;
SioAddr gRemoteCtrlAddr, gLocalCtrlAddr;
int gClientIsLocal;
int gClientNameParanoid;
SReadlineInfo gSrl;
int gALowercasePathnames, gULowercasePathnames;
char gTraceSpecIn[16], gTraceSpecOut[16];
volatile int gCancel;
int gCanceled;
int gLastFdProbe = -1;

namespace {

constexpr unsigned char kIAC = 255;
constexpr unsigned char kIP = 244;
constexpr unsigned char kDM = 242;
constexpr int kThrottleOff = 300;
constexpr int kThrottleSleep = 3;

void CloseDataConnection()
{
    TlsDrop(kTlsData);
    if (gData >= 0) {
        if (SClose(gData, 10) < 0)
            LogPerror("Could not close data connection");
        else
            _Trace(kLogMisc, "Data connection closed.\n");
    }
    gData = -1;
    // A prepared passive socket would otherwise outlive the reset.
    DropPassiveListener();
    gUsingDefaultDataPort = 1;
}

void SetUmaskForDomain()
{
    const mode_t wanted = (gCurDomain != nullptr && gCurDomain->aUmask >= 0)
                              ? static_cast<mode_t>(gCurDomain->aUmask)
                              : gAnonUmask;
    const mode_t old = umask(wanted);
    if (gTraceLogging >= 2 && old != wanted)
        Log(kLogMisc, "umask changed from %03o to %03o.\n", static_cast<unsigned>(old), static_cast<unsigned>(wanted));
}

// Reads the urgent data of an interrupt so it does not linger (and
// completes a command whose line feed came as the urgent byte).
void DrainUrgentData()
{
    const int cancel = gCancel;
    if (cancel == 0)
        return;
    gCancel = 0;
    // Under TLS the in-band bytes are records: urgent data has no part in them.
    if (cancel != SIGURG || TlsActive(kTlsControl))
        return;
    ReceiveUrgentData(&gSrl);
}

[[noreturn]] void TimedOut()
{
    if (gLoggedIn) {
        _Trace(kLogMisc, "Disconnecting remote user; idle too long (%d seconds).\n", gIdleTimeout);
        Reply("421 Disconnecting you since you were inactive for %d seconds.\r\n", gIdleTimeout);
        DoneConnection(kEndIdleTimeout);
    }
    _Trace(kLogMisc, "Disconnecting remote user; idle too long (%d seconds).\n", gLoginTimeout);
    Reply("421 Disconnecting you since you didn't login successfully within %d seconds.\r\n", gLoginTimeout);
    DoneConnection(kEndLoginTimeout);
}

[[noreturn]] void ReadFailed(int result)
{
    const char *host = gRUserPtr->host;
    if (result == kSioErrBrokenPipe) {
        _Trace(kLogMisc, "Remote host %.63s hung up.\n", host);
        DoneConnection(kEndBrokenPipe);
    }
    if (result == 0) {
        // A transfer waiting for the client's next command was not confirmed.
        if (TransferRecordPending())
            LogTransfer(kXferIncomplete, 1);
        _Trace(kLogMisc, "Remote host %.63s closed connection (without QUIT).\n", host);
        DoneConnection(kEndClosed);
    }
    if (errno == ECONNRESET) {
        _Trace(kLogMisc, "Remote host %.63s dropped off the network.\n", host);
        DoneConnection(kEndReset);
    }
    if (errno == EPIPE) {
        _Trace(kLogMisc, "Remote host %.63s hung up.\n", host);
        DoneConnection(kEndBrokenPipe);
    }
    LogPerror("Control connection read from %.63s failed", gRUserPtr->addr);
    DoneConnection(kEndIOError);
}

[[noreturn]] void Overflow()
{
    if (!gLoggedIn)
        Log(kLogMisc, "Detected and prevented a Buffer-overflow attempt by user from %.63s.\n", gRUserPtr->host);
    else if (gIsAnon)
        Log(kLogMisc, "Detected and prevented a Buffer-overflow attempt by anonymous user from %.63s.\n", gRUserPtr->host);
    else
        Log(kLogMisc, "Detected and prevented a Buffer-overflow attempt by user logged in as \"%.63s\" from %.63s.\n", gRUserPtr->user, gRUserPtr->host);
    sleep(2);
    Reply("550 Your anti-social behavior has been logged.  You will now be disconnected.\r\n");
    sleep(2);
    DoneConnection(kEndOverflow);
}

// A password is traced and recorded as stars unless the session is an
// anonymous one whose password is just an e-mail address; a required guest
// password is a shared secret like any other.
bool HidePassword(const char *line)
{
    if (!gHidePasswordsInVerboseLog || strncasecmp(line, "pass", 4) != 0)
        return false;
    const bool anonymous = strcmp(gRUserPtr->user, "anonymous") == 0 || strcmp(gRUserPtr->user, "ftp") == 0;
    return !anonymous || AnonPasswordIsSecret();
}

void RecordCommand(const char *line, time_t now)
{
    const char *shown = HidePassword(line) ? "PASS ********" : line;
    if (gTraceLogging)
        _Trace(kLogMisc, gTraceSpecIn, shown);
    Strncpy(gRUserPtr->command, shown);
    gRUserPtr->lastCommandTime = now;
    // Published with its reply or its first request to the pool child, and
    // by the pool child within a second while a long command runs.
}

void Throttle(time_t now)
{
    if (gCmdThrottle >= kThrottleOff || !gLoggedIn || gClientIsLocal)
        return;
    const long quantum = static_cast<long>(now / 4);
    if (quantum != gCmdsQuantum) {
        gCmdsQuantum = quantum;
        gCmdsPerQuantum = 1;
        return;
    }
    if (++gCmdsPerQuantum >= gCmdThrottle) {
        _Trace(kLogMisc, "Throttle: sleep %d\n", kThrottleSleep);
        sleep(kThrottleSleep);
    }
}

// What the session log, the logout record and the statistics report of a
// session; REIN starts these afresh as well.
void ResetSessionTotals()
{
    gLogins = 0;
    gTotalBytesRetr = gTotalBytesStor = 0;
    gTotalBytesXferBig = 0;
    gTotalSecsXferBig = 0.0;
    gNumSuccessfulDownloads = gNumSuccessfulUploads = gNumSuccessfulDirListings = 0;
    gNumFailedDownloads = gNumFailedUploads = gNumFailedDirListings = 0;
    gFailedDataConnections = gPORTDidntWorkForThisUser = 0;
    Strncpy(gLastXferResult, "NONE");
}

// Counted over the whole connection: REIN leaves them alone.
void ResetPerConnectionCounters()
{
    gFailedLogins = 0;
    gFailedUserNames[0] = '\0';
    memset(gCmdCounts, 0, sizeof(gCmdCounts));
    gTotalCmdIdleTime = 0;
    gClientType = 0;
}

// The session start of Shell up to the greeting.
void StartSession()
{
    ResourceCheckPoint("+ShellStart");
    time_t now = ShmTime(nullptr);
    gSessionTimeLimit = now + gLoginTimeout;

    FlushSReadlineInfo(&gSrl);
    gSrl.fd = gCtrl;
    // Every reply is one complete write: holding a reply back until the
    // previous one is acknowledged (the 226 after a 150) only adds the
    // client's delayed-acknowledgement time to each transfer.
    SetSocketNagleAlgorithm(gCtrl, 1);
    gSrl.timeoutLen = gLoginTimeout;
    snprintf(gTraceSpecIn, sizeof(gTraceSpecIn), "<< %%.%us\r\n", static_cast<unsigned>(kTraceCut));
    snprintf(gTraceSpecOut, sizeof(gTraceSpecOut), ">> %%.%us", static_cast<unsigned>(kTraceCut));

    ResetSessionInfo();
    TlsStartSession();
    PwLoad();
    ResetPerConnectionCounters();

    gALowercasePathnames = gCurDomain->aLowercasePathnames;
    gULowercasePathnames = gCurDomain->uLowercasePathnames;

    AuthServiceAtConnection();

    const int remotePort = SioAddrPort(&gRemoteCtrlAddr);
    if (remotePort < 1024 && !gAllowIncomingPortsBelow1024 && (gCurDomain->anonOnly != 0 || gAnonOnlyServer)) {
        Log(kLogMisc, "Port number (%d) on control connection from user at %.63s was below 1024.\n", remotePort, gRUserPtr->host);
        sleep(2);
        Reply("550 Remote port numbers below 1024 are not allowed here.\r\n");
        DoneConnection(kEndLowPort);
    }
    if (gCurDomain->anonOnly == -1) {
        _Trace(kLogMisc, "User at %.63s tried to login to disabled domain %.31s.\n", gRUserPtr->host, gCurDomain->setName);
        sleep(2);
        Reply("550 Sorry, logins are not allowed here.\r\n");
        DoneConnection(kEndDisabledDomain);
    }

    gEtcNoLogin = 0;
    struct stat st;
    if (stat("/etc/nologin.ftp", &st) == 0 || stat("/etc/nologin", &st) == 0) {
        if (st.st_mtime < now)
            gEtcNoLogin = 1;
    }

    gTimeOfLastUsefulAction = now;
    ResourceCheckPoint("-ShellStart");
    // The master greeted a client of a burst at once (GreetAtAccept); a
    // nologin file that appeared since still refuses the login (login.cc).
    if (gGreetedAtAccept)
        gGreetedAtAccept = false;
    else
        WelcomeMessage();
}

}  // namespace

// ---- Control connection I/O -----------------------------------------------------------

int ControlWrite(const char *buf, size_t len, int seconds)
{
    if (TlsActive(kTlsControl))
        return TlsWrite(kTlsControl, buf, len, seconds);
    return SWrite(gCtrl, buf, len, seconds);
}

int ControlRead(char *buf, size_t size, int seconds)
{
    if (TlsActive(kTlsControl))
        return TlsRead(kTlsControl, buf, size, seconds);
    return SRead(gCtrl, buf, size, seconds, kSioReturnAtOnce);
}

// ---- Reply and the standard replies ------------------------------------------------

void QuotedPath(char *dst, size_t size, const char *path)
{
    size_t n = 0;
    for (const char *p = path; *p != '\0' && n + (*p == '"' ? 2 : 1) < size; p++) {
        if (*p == '"')
            dst[n++] = '"';         // a pair is never cut in two
        dst[n++] = *p;
    }
    dst[n] = '\0';
}

void Reply(const char *fmt, ...)
{
    char buf[kReplyBufSize];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    const size_t len = strlen(buf);
    if (gTraceLogging)
        _Trace(kLogMisc, gTraceSpecOut, buf);
    if (CaptureReply(buf, len))
        return;     // a login word run for the front: the front sends it
    PublishOwnSlot();   // the status area is up to date when the client hears

    const int result = ControlWrite(buf, len, kReplyTimeout);
    if (result == static_cast<int>(len))
        return;
    if (result == kSioErrBrokenPipe)
        DoneConnection(kEndBrokenPipe);
    if (result == kSioErrTimeout || result >= 0)   // a short count ran out of time
        DoneConnection(kEndWriteTimeout);
    DoneConnection(kEndIOError);
}

void PermissionDenied(const char *reason)
{
    _Trace(kLogMisc, "Permission denied: %.480s\n",
           reason != nullptr ? reason : "standard UNIX file permissions and ownernships");
    Reply("553 Permission denied.\r\n");
}

void PermissionDeniedBadPathname()
{
    PermissionDenied("illegal pathname");
}

void NoSuchFile()
{
    Reply("550 No such file or directory.\r\n");
}

void NotUnderstood()
{
    sleep(3);
    Reply("500 Syntax error, command unrecognized.\r\n");
}

void BadArgs()
{
    sleep(2);
    Reply("501 Syntax error in parameters.\r\n");
}

void NotImplemented()
{
    Reply("502 Unimplemented command.\r\n");
}

void BadSeqOfCommands()
{
    sleep(2);
    Reply("503 Bad sequence of commands.\r\n");
}

void NotLoggedIn()
{
    sleep(2);
    Reply("550 Login first, then I might let you do that.\r\n");
}

void NotSMTP()
{
    sleep(2);
    Reply("502 This is not an SMTP server.  Goodbye.\r\n");
    DoneConnection(kEndWrongProtocol);
}

void NotHTTP()
{
    sleep(2);
    Reply("502 This is not an HTTP server.  Goodbye.\r\n");
    DoneConnection(kEndWrongProtocol);
}

void Abor(char *)
{
    if (!gLoggedIn) {
        NotLoggedIn();
        return;
    }
    if (gCanceled) {
        gCanceled = 0;
        Reply("226 Aborted successfully.\r\n");
        return;
    }
    if (gData >= 0) {
        gRestartPt = 0;
        TlsDrop(kTlsData);
        if (SClose(gData, 10) < 0)
            LogPerror("Could not close data connection");
        else
            _Trace(kLogMisc, "Data connection closed.\n");
        gData = -1;
        gUsingDefaultDataPort = 1;
        Reply("226 Aborted too late.\r\n");
        return;
    }
    Reply("426 Nothing to abort.\r\n");
}

// ---- Session bookkeeping ------------------------------------------------------------

void DidSomethingUseful()
{
    const time_t now = ShmTime(nullptr);
    gTimeOfLastUsefulAction = now;
    gSessionTimeLimit = now + gIdleTimeout;
}

void ResourceCheckPoint(const char *label)
{
    if (!gTraceLogging || !gFdDebug)
        return;
    if (label == nullptr)
        label = "";
    const int fd = dup(gDevNull);
    if (fd < 0) {
        Log(kLogMisc, "FdDebug%s: Could not dup %d (/dev/null)", label, gDevNull);
        return;
    }
    if (fd != gLastFdProbe + 1) {
        Log(kLogMisc, "FdDebug%s: cur fd = %d\n", label, fd - 1);
        gLastFdProbe = fd - 1;
    }
    close(fd);
}

void ResetSessionInfo()
{
    if (gSioSignalMode == 1)
        SIOResetSignals();

    gRestartPt = 0;
    CloseDataConnection();

    ZeroAuthState();
    gRUserPtr->user[0] = '\0';
    gRUserPtr->loginId[0] = '\0';
    gRUserPtr->restriction[0] = '\0';
    gRUserPtr->state = kShmStateConnected;
    gRUserPtr->resetCount++;
    EncodeSessionId(gRUserPtr->sessionId, sizeof(gRUserPtr->sessionId), gRUserPtr->sessionStart, gChild,
                    gRUserPtr->resetCount);

    gLoggedIn = gIsAnon = gVirtualUser = gRestrictedUser = 0;
    gVChroot = gVChrootThisUser = 0;
    gDumbClient = 0;
    ResetSessionTotals();
    for (int &a : gAllow)
        a = 1;
    // The arrays a session's commands fill lie on pages a pool child does
    // not write otherwise: they are cleared only when a session left
    // something in them (in a pool child, only one that ran without a
    // process of its own).
    if (!AllZero(gVisitedDirectories, sizeof(gVisitedDirectories)))
        memset(gVisitedDirectories, 0, sizeof(gVisitedDirectories));
    SetIfChanged(gRnfr[0], '\0');
    gType = gDefaultTransferType;
    gMode = 'S';
    gStru = 'F';
    gPassive = 0;
    gEpsvAll = 0;
    // REIN keeps TLS on the control connection (there is no way back to
    // clear text) but the protection of data connections starts over.
    gPbszDone = 0;
    gProtPrivate = 0;
    gLocalData = -1;
    gRemoteDataAddrStr[0] = '\0';
    gRemoteDataAddrIsLoopback = 0;
    gDataPortType[0] = '\0';
    gBytesRetr = gBytesStor = 0;
    gTransferStarted = 0;
    SetIfChanged(gCurXferFile[0], '\0');
    SetIfChanged(gLastSuccessfulUploadedFile[0], '\0');
    gXNote[0] = '\0';
    gRestartedAt = 0;
    gStartingSize = -1;
    gSendfileInProgress = 0;
    gUserBytesUsage = gUserFilesUsage = -1;
    gUserBytesUsageHardLimit = gUserBytesUsageSoftLimit = 0;
    gUserFilesUsageHardLimit = gUserFilesUsageSoftLimit = 0;
    gQuotaDura = 0;
    gQuotaDirCount = gQuotaMaxDepth = 0;
    gRetrBandwidthLimit = gCurDomain->aDownloadBandwidth;
    gStorBandwidthLimit = gCurDomain->aUploadBandwidth;
    gVerboseReplies = 0;
    gMlsOpts = 15;
    gFTPHome[0] = '\0';
    gFTPHomeLen = 0;
    gHomeDir[0] = '\0';
    gHomeDirLen = 0;
    // A child serves many sessions: answers cached for one must not decide
    // the confinement of the next.
    ResetStatCache();
    ResetLoginInfo();

    if (chdir("/") < 0)
        LogPerror("chdir /");
    if (strcmp(gCwd, "/") != 0)     // every copy into it zero-fills the rest
        Strncpy(gCwd, "/");
    Strncpy(gRUserPtr->cwd, "/");

    SetUmaskForDomain();

    InitAuthState(&gRemoteCtrlAddr, &gLocalCtrlAddr, gRUserPtr);
    gPreferredDataRBufSize = gPreferredDataSBufSize = 0;
    Strncpy(gPreferredLocalTextEOLN, gDefaultLocalTextEOLN);
}

void ResetConnectionCounters()
{
    ResetSessionTotals();
    ResetPerConnectionCounters();
}

// ---- The command cycle --------------------------------------------------------------

int ParseCommandWord(char *line, char word[5], char **arg)
{
    const unsigned char *u = reinterpret_cast<unsigned char *>(line);
    if (!isalpha(u[0]) || !isalpha(u[1]) || !isalpha(u[2]))
        return -1;
    int n = 3;
    if (isalpha(u[3]))
        n = 4;
    for (int i = 0; i < n; i++)
        word[i] = static_cast<char>(toupper(u[i]));
    word[n] = '\0';
    // One separator only: a name may begin with a blank.
    char *cp = line + n;
    if (*cp == ' ' || *cp == '\t')
        cp++;
    *arg = cp;
    return 0;
}

void CommandCycle()
{
    char line[kLineBufSize];
    memset(line, 0, sizeof(line));
    for (;;) {
        ResourceCheckPoint();
        DrainUrgentData();

        line[kOverflowMark] = '\0';
        time_t now = ShmTime(nullptr);
        gRUserPtr->waitStart = now;

        int limit;
        if (gSessionTimeLimit != 0) {
            if (gSessionTimeLimit <= now)
                TimedOut();
            limit = static_cast<int>(gSessionTimeLimit - now);
        } else {
            limit = gIdleTimeout;
        }
        gSrl.timeoutLen = limit;
        int result = WaitForCommandLine(&gSrl, limit, sizeof(line));
        if (result == kCommandInputEnded)
            result = 0;
        else if (result == 0)
            result = SReadline(&gSrl, line, sizeof(line));
        now = ShmTime(nullptr);
        if (result == kSioErrTimeout)
            TimedOut();
        if (result <= 0)
            ReadFailed(result);

        // The next command confirms a transfer that waited for it.
        if (TransferRecordPending())
            LogTransfer(kXferOK, 1);

        if (line[kOverflowMark] != '\0')
            Overflow();

        gTotalCmdIdleTime += static_cast<long>(now - gRUserPtr->waitStart);
        gRUserPtr->waitStart = now;

        size_t len = strlen(line);
        while (len > 0 && iscntrl(static_cast<unsigned char>(line[len - 1])))
            line[--len] = '\0';

        char *cp = line;
        for (;; cp++) {
            const unsigned char c = static_cast<unsigned char>(*cp);
            if (c == kIAC)
                _Trace(kLogMisc, "(IAC)\n");
            else if (c == kIP)
                _Trace(kLogMisc, "(IP)\n");
            else if (c == kDM)
                _Trace(kLogMisc, "(DM)\n");
            else
                break;
        }
        if (*cp == '\0') {
            _Trace(kLogMisc, "<< \n");
            NotUnderstood();
            continue;
        }
        if (!isalpha(static_cast<unsigned char>(*cp))) {
            _Trace(kLogMisc, "<< (ASCII %d)\n", static_cast<unsigned char>(*cp));
            NotUnderstood();
            continue;
        }

        RecordCommand(cp, now);
        Throttle(now);

        char word[5];
        char *arg = nullptr;
        if (ParseCommandWord(cp, word, &arg) < 0) {
            NotUnderstood();
            continue;
        }
        DispatchCommand(word, arg);
    }
}

void Shell()
{
    StartSession();
    if (gRunningAsRoot)
        StartFront();   // the client's commands are read without any rights
    CommandCycle();
}
