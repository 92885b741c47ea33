// Privilege separation of a login: the pool child forks; the new process
// becomes the user for good (real, effective and saved ids, no capabilities)
// and serves the rest of the session, and the pool child, still privileged,
// waits for it and answers the few requests of the privileged channel
// (base/privchan.h).  The pool child never reads the client's bytes again in
// that session; the session's process has no way back to root.
#pragma once

#include <sys/types.h>

#include <csignal>

// In a server started as root: returns in the session's own process, which
// now holds only the user's rights; the pool child itself returns only
// through the end of the session (MonitorSessionEnded).  Elsewhere switches
// nothing.  Replies and ends the session when the fork or the switch fails.
void SeparateSession();

// The pool child's part while a session runs in its own process: answers
// the channel until the session's process is gone.  What the answers keep
// for one session (the anonymous root, the files given away) is set up and
// let go by these two; AnswerPrivRequest is the answer to one request that
// arrived with fd (used by the wait, and by tests of the request checks),
// with *answerFd the descriptor that goes back with it (-1: none; the
// caller's to close).
struct PrivRequest;
struct PrivAnswer;
void PrepareRequestAnswers();
void EndRequestAnswers();
[[nodiscard]] PrivAnswer AnswerPrivRequest(const PrivRequest &req, int fd, int *answerFd);

// Closes a descriptor that a front or a session's process handed over.  A
// socket's last copy goes with a child that exits at once (an exiting
// process never waits for a lingering socket's peer), so that no socket told
// to linger for an hour holds the pool child in its close.
void CloseHandedOver(int fd);

// Forks a process with a privileged channel to this one: 0 in the child,
// whose end is gPrivChannel, with the forwarded signals still blocked (the
// caller restores oldMask); the child's pid in this process, with its end
// of the channel.  -1 with errno when the fork failed.
[[nodiscard]] pid_t ForkWithChannel(int *channel, sigset_t *oldMask);

// The pool child's part while another process (the front, then the user's
// process) serves the client: answers the channel until that process is
// gone, then ends the session on this side.  The process records itself in
// the status area through the pool child, which publishes what it wrote
// while it waits.  A front that has not handed the session over when
// loginDeadline (a ShmTime; 0: none) has passed by a few seconds is ended
// here: it may be stopped, or no longer the server's.
// front: pid is a front, whose requests are only login words and its slot.
[[noreturn]] void WaitForSessionProcess(pid_t pid, int channel, const sigset_t &oldMask, time_t loginDeadline,
                                        bool front);
