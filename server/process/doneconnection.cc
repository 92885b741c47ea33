// The end of every session (DoneConnection): the process's identity is put
// back, the connections are closed, a PAM session is closed as root, the
// session-log line, the logout records and the statistics are written, leaked
// descriptors are swept, the slot is cleared, and the child goes back to
// accept (or ends when its time is up).
#include <grp.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <csetjmp>
#include <ctime>

#include "auth/pam.h"
#include "base/privchan.h"
#include "config/config.h"
#include "events/events.h"
#include "log/log.h"
#include "listing/dircache.h"
#include "session/filecmds.h"
#include "session/login.h"
#include "session/messages.h"
#include "session/prelogin.h"
#include "process/master.h"
#include "transfer/data.h"
#include "transfer/retr.h"
#include "session/shell.h"
#include "status/shm.h"
#include "sio.h"
#include "process/startup.h"
#include "quota/quota.h"
#include "tls/tls.h"

namespace {

constexpr int kCloseSeconds = 3;
constexpr int kTlsCloseSeconds = 1;
constexpr int kLeakCheckSeconds = 180;
constexpr int kExpiredChildDelay = 15;

struct EndText {
    int reason;
    const char *text;
};
constexpr EndText kEndTexts[] = {
    {0, "Connection closed."},
    {1, "Connection closed."},
    {3, "Timed-out, closed connection."},
    {4, "Timed-out, closed connection."},
    {5, "Timed-out, closed connection."},
    {37, "Timed-out, closed connection."},
    {6, "Lost connection."},
    {7, "Connection reset."},
    {9, "Access denied, closed connection."},
};

const char *EndTextOf(int reason)
{
    for (const EndText &e : kEndTexts) {
        if (e.reason == reason)
            return e.text;
    }
    return "Misc error, closed connection.";
}

// The identity the process had before the session: root, or the anonymous
// account when the master took it on for an anonymous-only server. A process
// that cannot get it back must not serve anyone else.
void RestoreIdentity()
{
    if (!gRunningAsRoot || gPrivChannel >= 0)
        return;
    const uid_t uid = gSetuidFTP ? gFTPUser.uid : 0;
    const gid_t gid = gSetuidFTP ? gFTPUser.gid[0] : 0;
    if (geteuid() != 0 && seteuid(0) < 0) {
        LogPerror("setEuid(%u) (eu=%u, ru=%u)", 0u, static_cast<unsigned>(geteuid()), static_cast<unsigned>(getuid()));
        Exit(1);
    }
    const gid_t root = 0;
    (void) setgroups(1, &root);
    if (getegid() != gid && setegid(gid) < 0) {
        LogPerror("setEgid(%u) (eg=%u, rg=%u)", static_cast<unsigned>(gid), static_cast<unsigned>(getegid()),
                  static_cast<unsigned>(getgid()));
        Exit(1);
    }
    if (uid != 0 && seteuid(uid) < 0) {
        LogPerror("setEuid(%u) (eu=%u, ru=%u)", static_cast<unsigned>(uid), static_cast<unsigned>(geteuid()),
                  static_cast<unsigned>(getuid()));
        Exit(1);
    }
}

bool EventRecordsOn()
{
    return gDownloadEventProcessor[0] != '\0' || gUploadEventProcessor[0] != '\0' ||
           gLoginEventProcessor[0] != '\0' || gLogoutEventProcessor[0] != '\0';
}

// Average seconds the client took between commands.
double AverageIdleTime()
{
    long commands = 0;
    for (int n : gCmdCounts)
        commands += n;
    return commands > 0 ? static_cast<double>(gTotalCmdIdleTime) / static_cast<double>(commands) : 0.0;
}

// The session log's line for the end of a session.
void LogSessionEnd(const ShmSlot *s, long seconds, int reason)
{
    Log(kLogSession, "%s,%s,%s,%d,%.1f,%s,%s,%d,%d,%s,%d,%d,%d,%d,%d,%d,%d,%s,%s,\n", s->user, s->loginId, s->host,
        static_cast<int>(seconds), AverageIdleTime(), s->restriction, gFailedUserNames, gLogins, reason,
        gLastXferResult, gNumSuccessfulDownloads, gNumFailedDownloads, gNumSuccessfulUploads, gNumFailedUploads,
        gNumSuccessfulDirListings, gNumFailedDirListings, gFailedDataConnections, s->sessionId, s->domain);
}

void LogLogoutEvent(const ShmSlot *s, long seconds, int reason)
{
    Log(kLogEvent, "LOGOUT\t%s\t%s\t%s\t%s\t%s\t%d\t%d\t%s\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%s\t\n", s->user,
        s->restriction, s->loginId, s->domain, s->host, static_cast<int>(seconds), gLogins, gLastXferResult,
        gNumSuccessfulDownloads, gNumFailedDownloads, gNumSuccessfulUploads, gNumFailedUploads,
        gNumSuccessfulDirListings, gNumFailedDirListings, reason, s->sessionId);
}

void CloseConnections()
{
    TlsDrop(kTlsData);
    // A session that ends in order says so under TLS as well (close_notify);
    // one whose connection failed costs a second at most.
    if (TlsShutdown(kTlsControl, kTlsCloseSeconds) < 0)
        _Trace(kLogMisc, "TLS close_notify on the control connection not sent: %s.\n", TlsLastError());
    if (gData >= 0)
        SClose(gData, kCloseSeconds);
    gData = -1;
    DropPassiveListener();
    ReleaseAreaLock();
    if (gCtrl >= 0)
        SClose(gCtrl, kCloseSeconds);
    gCtrl = -1;
}

// The pool child after a session: the leak check, the end of its lifetime,
// then back to accept.
[[noreturn]] void BackToAccept(time_t now)
{
    if (gAggressiveLeakDetection && now - gLastDescriptorCheck >= kLeakCheckSeconds) {
        CloseStrayDescriptors();
        gLastDescriptorCheck = now;
    }
    if (gChildExpiration != 0 && now >= gChildExpiration) {
        _Trace(kLogMisc, "Maximum child process time reached; dying in %d seconds.\n", kExpiredChildDelay);
        sleep(kExpiredChildDelay);
        Exit(0);
    }

    // Nothing of this session may fire into the next one.
    alarm(0);
    gSioCanJmp = 0;
    gCancelJmpReady = 0;
    if (!gDoneJmpReady)
        Exit(0);
    siglongjmp(gDoneJmp, 1);
}

}  // namespace

void DoneConnection(int reason)
{
    if (RunningLoginWord())
        EndLoginWord(reason);   // the front closes; the end is logged once it has
    AbandonTransfer();
    RestoreIdentity();
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
        // helpers of the session (archivers) are gone now
    }
    CloseConnections();
    CloseReplyFile();   // a message file left open by a failed reply must not outlive the session
    LsAbandonAll();     // listings held by the frames the jump leaves behind
    PamEndSession();    // as root again: the session stack of a PAM login is closed

    const time_t now = ShmTime(nullptr);
    const ShmSlot *s = gRUserPtr;
    const long seconds = s->sessionStart != 0 && now > s->sessionStart ? static_cast<long>(now - s->sessionStart) : 0;
    if (gLogSessions)
        LogSessionEnd(s, seconds, reason);
    if (gLogins > 0 && EventRecordsOn())
        LogLogoutEvent(s, seconds, reason);
    if (gLogins > 0) {
        EventcLogLogout(static_cast<int>(seconds), gLogins, gLastXferResult, gNumSuccessfulDownloads,
                        gNumFailedDownloads, gNumSuccessfulUploads, gNumFailedUploads, gNumSuccessfulDirListings,
                        gNumFailedDirListings, reason);
    }
    WtmpAddLogoutEntry();
    StatSession(now, seconds, reason);

    const char *text = EndTextOf(reason);
    _Trace(kLogMisc, "%s\n", text);
    if (gSyslog)
        syslog(LOG_INFO, "%s", text);

    PurgeDirsIfTooFat();
    QuotaSessionEnd();

    // A session's own process is done; the pool child clears the slot (with
    // its own pid) and goes on.
    if (gPrivChannel >= 0) {
        PrivSessionDone();
        _exit(0);
    }
    ResetSharedMemory();
    BackToAccept(now);
}

void MonitorSessionEnded(int status, bool orderly, int deathSignal)
{
    WtmpAddLogoutEntry();
    PamEndSession();
    QuotaSessionEnd();      // the record the pool child kept for the session
    ResetSharedMemory();
    // A shutdown signal passed on to the session's process is this
    // process's too, however that process ended.
    if (deathSignal != 0)
        raise(deathSignal);
    if (!orderly) {
        // The session's process died on the way: the pool child ends as
        // that process did.
        if (WIFSIGNALED(status)) {
            signal(WTERMSIG(status), SIG_DFL);
            raise(WTERMSIG(status));
        }
        Exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    }
    BackToAccept(ShmTime(nullptr));
}
