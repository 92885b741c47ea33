// The signals that cut a running transfer (SIGALRM: time-out, SIGPIPE: the
// client closed the data connection, SIGURG: the client's interrupt) get the
// transfer's own handlers for the life of a guard; the handlers the socket
// library and the server had are put back, with the alarm off, when it ends.
// A null handler leaves that signal as it is.  Construct the guard before
// the sigsetjmp of a jump point so that a jump never crosses its lifetime.
#pragma once

#include <unistd.h>

#include <csignal>

// The interrupt or time-out handler of a transfer: jumps back to gCancelJmp
// when the jump point is armed (gCancelJmpReady); otherwise leaves the signal
// in gCancel for the transfer loop to see at its next step.
void XferCancel(int sig);

class XferSignals {
  public:
    using Handler = void (*)(int);
    XferSignals(Handler onAlarm, Handler onPipe, Handler onUrgent)
    {
        const Handler handlers[3] = {onAlarm, onPipe, onUrgent};
        for (int i = 0; i < 3; i++) {
            installed_[i] = handlers[i] != nullptr;
            if (installed_[i])
                Install(kSignals[i], handlers[i], &saved_[i]);
        }
    }
    ~XferSignals()
    {
        if (installed_[0])
            alarm(0);
        for (int i = 0; i < 3; i++) {
            if (installed_[i])
                sigaction(kSignals[i], &saved_[i], nullptr);
        }
    }
    XferSignals(const XferSignals &) = delete;
    XferSignals &operator=(const XferSignals &) = delete;

  private:
    // No SA_RESTART: a blocking write or sendfile must return when one of
    // them arrives.
    static void Install(int sig, Handler h, struct sigaction *saved)
    {
        struct sigaction sa {};
        sa.sa_handler = h;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        sigaction(sig, &sa, saved);
    }
    static constexpr int kSignals[3] = {SIGALRM, SIGPIPE, SIGURG};
    struct sigaction saved_[3] {};
    bool installed_[3] {};
};
