// Signal dispositions of the server and their handlers. The master installs
// them at start-up; children and the logger inherit them.
//
// Terminating signals jump back to main() for an orderly shutdown; SIGURG
// jumps out of a running transfer; the others only log or set flags that the
// main loops act on at safe points.
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "Strn.h"
#include "config/config.h"
#include "log/log.h"
#include "session/shell.h"
#include "sio.h"
#include "process/master.h"
#include "status/shm.h"
#include "process/startup.h"
#include "paths/trusteddir.h"

sigjmp_buf gExitJmp;
volatile sig_atomic_t gExitJmpReady = 0;
volatile sig_atomic_t gExitSignal = 0;
volatile sig_atomic_t gReloadConfiguration = 0;
volatile sig_atomic_t gKillMyselfAtTheEarliestConvenience = 0;
sigjmp_buf gCancelJmp;
volatile sig_atomic_t gCancelJmpReady = 0;
volatile sig_atomic_t gSendfileCanceledBy = 0;
volatile sig_atomic_t gSendfileErrno = 0;

namespace {

using Handler = void (*)(int);

void Install(int sig, Handler h)
{
    struct sigaction sa{};
    sa.sa_handler = h;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = (sig == SIGALRM) ? 0 : SA_RESTART;
    sigaction(sig, &sa, nullptr);
}

// "SIGTERM" style name of a signal.
const char *ShortName(int sig, char *buf, size_t size)
{
    const char *abbrev = sigabbrev_np(sig);
    if (abbrev != nullptr)
        snprintf(buf, size, "SIG%s", abbrev);
    else
        snprintf(buf, size, "signal %d", sig);
    return buf;
}

// Goes to the core directory of this process (or /tmp) so that a dump
// lands where the administrator looks for it.
void ChangeToCoreDir()
{
    if (EnterCoreDirectory()) {
        unlink("core");
        return;
    }
    unlink("/tmp/core");
    if (chdir("/tmp") < 0 && chdir("/") < 0)
        return;
}

}  // namespace

bool EnterCoreDirectory()
{
    if (!gInitialized || gCoreDir[0] == '\0')
        return false;
    char dir[512];
    Strncpy(dir, gCoreDir);
    if (gCoreSubDir[0] != '\0') {
        Strncat(dir, "/");
        Strncat(dir, gCoreSubDir);
    }
    // Entered as root: a directory others could change, or a link on the
    // way, would let them choose where root writes.
    const int fd = OpenTrustedDirectory(dir, geteuid());
    if (fd < 0)
        return false;
    const bool entered = fchdir(fd) == 0;
    close(fd);
    return entered;
}

const char *SignalName(int sig, char *buf, size_t size)
{
    const char *desc = strsignal(sig);
    snprintf(buf, size, "signal %d (%.40s)", sig, desc != nullptr ? desc : "unknown");
    return buf;
}

void CatchAndDie(int sig)
{
    // A signal during shutdown ends the process at once (Exit knows the code).
    if (gExitInProgress)
        Exit(gExitCode);
    if (!gExitJmpReady)
        return;
    gExitJmpReady = 0;
    if (gTraceLogging)
        Log(kLogMisc, "Caught signal %d, starting server shutdown.\n", sig);
    gExitSignal = sig;
    siglongjmp(gExitJmp, 1);
}

void CatchAndCore(int sig)
{
    char name[64];
    Install(SIGABRT, SIG_DFL);
    if (gChild != 0) {
        if (geteuid() != 0 && seteuid(0) < 0) {
            // Dump as we are.
        }
        umask(077);
        ChangeToCoreDir();
        // Dumpable only for the dump itself: until now no other session
        // could reach this process's memory.
        prctl(PR_SET_DUMPABLE, 1);
        abort();
    }
    alarm(0);
    Install(SIGALRM, SIG_DFL);
    alarm(5);
    Log(kLogMisc, "Caught %s, aborting.\n", ShortName(sig, name, sizeof(name)));
    ExitStuff();
    unlink("core");
    prctl(PR_SET_DUMPABLE, 1);
    abort();
}

void CatchHup(int sig)
{
    static volatile sig_atomic_t busy = 0;
    if (busy)
        return;
    busy = 1;
    if (gChild != 0) {
        gReloadConfiguration = 1;
        busy = 0;
        return;
    }
    char name[64];
    Log(kLogMisc, "Caught %s.\n", SignalName(sig, name, sizeof(name)));
    if (gLoggerPID >= 2) {
        if (gTraceLogging)
            Log(kLogMisc, "Tickling logger (pid %d).\n", static_cast<int>(gLoggerPID));
        kill(gLoggerPID, SIGHUP);
    }
    for (int n = 1; gChildren != nullptr && n <= gNumChildren; n++) {
        if (gChildren[n] > 1) {
            if (gTraceLogging)
                Log(kLogMisc, "Tickling child %d (pid %d).\n", n, static_cast<int>(gChildren[n]));
            kill(gChildren[n], SIGHUP);
        }
    }
    gReloadConfiguration = 1;
    busy = 0;
}

void CatchAndLog(int sig)
{
    static volatile sig_atomic_t busy = 0;
    if (busy)
        return;
    busy = 1;
    char name[64];
    Log(kLogMisc, "Caught %s.\n", SignalName(sig, name, sizeof(name)));
    busy = 0;
}

void Cancel(int sig)
{
    char name[64];
    if (gCancelJmpReady) {
        gCancelJmpReady = 0;
        if (gTraceLogging)
            Log(kLogMisc, "Canceler caught %s, jumping.\n", ShortName(sig, name, sizeof(name)));
        gCancel = sig;
        siglongjmp(gCancelJmp, sig);
    }
    if (gTraceLogging)
        Log(kLogMisc, "Canceler caught spurious %s, ignoring.\n", ShortName(sig, name, sizeof(name)));
}

void SendfileTimeout(int sig)
{
    gCancel = sig;
    gCancelJmpReady = 0;
    if (gSendfileInProgress) {
        gSendfileCanceledBy = sig;
        gSendfileErrno = EINTR;
        if (gTraceLogging)
            Log(kLogMisc, "Canceler caught sendfile timeout, returning.\n");
    } else if (gTraceLogging) {
        Log(kLogMisc, "Caught spurious SIGALRM, ignoring.\n");
    }
}

void SendfileCancel(int sig)
{
    gCancel = sig;
    gCancelJmpReady = 0;
    if (gSendfileInProgress) {
        char name[64];
        gSendfileCanceledBy = sig;
        gSendfileErrno = EPIPE;
        if (gTraceLogging)
            Log(kLogMisc, "Canceler caught %s, returning.\n", ShortName(sig, name, sizeof(name)));
    } else if (gTraceLogging) {
        Log(kLogMisc, "Caught spurious SIGPIPE, ignoring.\n");
    }
}

void SigTrace(int sig)
{
    if (gTraceLogging == 0) {
        gTraceLogging = 9;
        gAuthDebug = 1;
    } else {
        gTraceLogging = 0;
        gAuthDebug = 0;
    }
    if (gChild != 0)
        return;
    for (int n = 1; gChildren != nullptr && n <= gNumChildren; n++) {
        if (gChildren[n] > 1)
            kill(gChildren[n], sig);
    }
    sleep(2);
    Log(kLogMisc, "Verbose logging = %d (%s)\n", gTraceLogging, gTraceLogging ? "on" : "off");
}

void InstallSignalHandlers()
{
    for (int sig : {SIGTERM, SIGALRM, SIGPWR})
        Install(sig, CatchAndDie);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGSYS})
        Install(sig, CatchAndCore);
    Install(SIGURG, Cancel);
    Install(SIGHUP, CatchHup);
    Install(SIGPIPE, SIG_IGN);
    for (int sig : {SIGXCPU, SIGXFSZ, SIGPOLL, SIGUSR2, SIGVTALRM, SIGPROF, SIGWINCH})
        Install(sig, CatchAndLog);
    Install(SIGUSR1, SigTrace);
    const Handler interactive = isatty(0) ? CatchAndDie : CatchAndLog;
    Install(SIGINT, interactive);
    Install(SIGQUIT, interactive);

    if (gSioSignalMode == 1)
        SIOInitSignals();
    gSIOTimeProc = ShmTime;
}
