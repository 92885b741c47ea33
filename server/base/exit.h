// Leaving the process: every process (master, child, logger) ends through
// Exit(), which shuts down what the process owns before exiting; every
// session ends through DoneConnection() (process/doneconnection.cc).
#pragma once

[[noreturn]] void Exit(int code);

// Ends the session: restores the identity, closes the connections, writes the
// session-log line and the statistics, clears the slot, then either goes back
// to the accept loop or exits when the child's lifetime is over.
[[noreturn]] void DoneConnection(int reason);
