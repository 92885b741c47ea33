// Leaving the process: every process (master, child, logger) ends through
// Exit(), which shuts down what the process owns before exiting; every
// session ends through DoneConnection() (process/doneconnection.cc).
#pragma once

[[noreturn]] void Exit(int code);

// Ends the session: restores the identity, closes the connections, writes the
// session-log line and the statistics, clears the slot, then either goes back
// to the accept loop or exits when the child's lifetime is over.
[[noreturn]] void DoneConnection(int reason);

// The pool child's end of a session that ran in its own process (a login
// separates it): status is that process's wait status, orderly whether it
// ended through DoneConnection.  Writes what needs root (the logout record,
// the PAM session), then goes back to accept like DoneConnection; a session
// process that died ends the pool child the same way, and so does a
// shutdown signal (deathSignal, 0 for none) passed on to that process.
[[noreturn]] void MonitorSessionEnded(int status, bool orderly, int deathSignal);
