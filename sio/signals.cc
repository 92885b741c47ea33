// The library's signal handler, its installation in both signal modes, and the jump
// results shared by the timed calls.
#include "sio.h"
#include "callsignals.h"

#include <cerrno>

sigjmp_buf gSioJmp;
volatile sig_atomic_t gSioCanJmp = 0;
volatile sig_atomic_t gSioGotSig = 0;
int gSioSignalsSet = 0;
struct sigaction gSIOSavedSigALRM;
struct sigaction gSIOSavedSigPIPE;

// Jumps back into the timed call that is blocked, or notes the signal for a call that
// must not be jumped out of; a signal that arrives while no call runs is swallowed.
void SIOHandler(int sig)
{
    if (gSioCanJmp == 1) {
        gSioCanJmp = 0;
        gSioGotSig = sig;
        siglongjmp(gSioJmp, 1);
    }
    if (gSioCanJmp == kSioNoteSignal)
        gSioGotSig = sig;
}

// SIGALRM without SA_RESTART so that it interrupts a blocking call; every other signal
// restarts the calls it interrupts.
static int Install(int signum, SioSigProc handler, struct sigaction *previous)
{
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = signum == SIGALRM ? 0 : SA_RESTART;
    return sigaction(signum, &sa, previous);
}

SioSigProc SSignal(int signum, SioSigProc handler)
{
    struct sigaction previous {};
    if (Install(signum, handler, &previous) < 0)
        return SIG_ERR;
    return previous.sa_handler;
}

void SIOInitSignals()
{
    if (gSioSignalsSet != 0)
        return;
    Install(SIGALRM, SIOHandler, &gSIOSavedSigALRM);
    Install(SIGPIPE, SIOHandler, &gSIOSavedSigPIPE);
    gSioSignalsSet = 1;
    gSioGotSig = 0;
}

// Reinstalls the handlers after other code replaced them; the handlers saved by the first
// installation stay the ones SIORestoreSignals puts back.
void SIOResetSignals()
{
    if (gSioSignalsSet == 0) {
        Install(SIGALRM, SIOHandler, &gSIOSavedSigALRM);
        Install(SIGPIPE, SIOHandler, &gSIOSavedSigPIPE);
    } else {
        Install(SIGALRM, SIOHandler, nullptr);
        Install(SIGPIPE, SIOHandler, nullptr);
    }
    // Written only when they change: a process forked from one that set them
    // (a pool child, for each client) then keeps sharing their page.
    if (gSioSignalsSet != 1)
        gSioSignalsSet = 1;
    if (gSioGotSig != 0)
        gSioGotSig = 0;
}

void SIORestoreSignals()
{
    if (gSioSignalsSet != 1)
        return;
    sigaction(SIGALRM, &gSIOSavedSigALRM, nullptr);
    sigaction(SIGPIPE, &gSIOSavedSigPIPE, nullptr);
    gSioSignalsSet = 0;
    gSioGotSig = 0;
}

SioCallSignals::SioCallSignals(bool catchAlarm, SioPipeRule pipe)
{
    if (gSioSignalsSet != 0)
        return;
    if (catchAlarm)
        alarmInstalled_ = Install(SIGALRM, SIOHandler, &savedAlarm_) == 0;
    SioSigProc pipeHandler = pipe == kSioPipeIgnore ? SIG_IGN : SIOHandler;
    pipeInstalled_ = Install(SIGPIPE, pipeHandler, &savedPipe_) == 0;
}

SioCallSignals::~SioCallSignals()
{
    const int savedErrno = errno;  // the call's errno is its result
    if (alarmInstalled_)
        sigaction(SIGALRM, &savedAlarm_, nullptr);
    if (pipeInstalled_)
        sigaction(SIGPIPE, &savedPipe_, nullptr);
    errno = savedErrno;
}

int SioJumpResult(size_t done, bool countStands)
{
    if (done > 0 && countStands)
        return static_cast<int>(done);
    if (gSioGotSig == SIGPIPE) {
        errno = EPIPE;
        return kSioErrBrokenPipe;
    }
    errno = ETIMEDOUT;
    return kSioErrTimeout;
}

int SioTimeoutResult(size_t done, bool countStands)
{
    if (done > 0 && countStands)
        return static_cast<int>(done);
    errno = ETIMEDOUT;
    return kSioErrTimeout;
}
