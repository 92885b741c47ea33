// Library-internal: what every timed call shares besides the jump buffer.
#pragma once

#include <csignal>
#include <cstddef>

// How one call treats SIGPIPE while it installs its own handlers.
enum SioPipeRule { kSioPipeCatch, kSioPipeIgnore };

// Installs SIOHandler (SIGALRM when catchAlarm, SIGPIPE caught or ignored) for one call
// when the process has not installed it for good, and restores the previous handlers when
// the call ends.  Construct it before sigsetjmp so that a jump never crosses its lifetime.
class SioCallSignals {
  public:
    SioCallSignals(bool catchAlarm, SioPipeRule pipe);
    ~SioCallSignals();
    SioCallSignals(const SioCallSignals &) = delete;
    SioCallSignals &operator=(const SioCallSignals &) = delete;

  private:
    bool alarmInstalled_ = false;
    bool pipeInstalled_ = false;
    struct sigaction savedAlarm_ {};
    struct sigaction savedPipe_ {};
};

// Result after SIOHandler jumped back: the count when it stands (countStands), else -3
// with EPIPE after SIGPIPE, else -2 with ETIMEDOUT.
int SioJumpResult(size_t done, bool countStands);

// Result when the time limit runs out between two system calls.
int SioTimeoutResult(size_t done, bool countStands);

// Turns lingering off so that a close cannot block; shuts the socket down if that fails.
void SioLingerOff(int fd);
