// The session index: for every child, whether it serves a session and that
// session's domain set and client address, in one compact table shared by
// the master and its children (an anonymous shared mapping inherited across
// fork, not part of the published status area).
//
// The admission limits count the other busy sessions at every connection.
// Counted over the status area, that reads a page of every slot, and a
// process's first touch of a page is costly on some machines: a new child
// paid for all of them before its greeting. The index holds the same facts
// in a few pages.
#pragma once

struct SessionCounts {
    int all;            // busy sessions
    int sameSet;        // of the given domain set
    int sameSetAddr;    // of that set from the given address
    int sameAddr;       // from the given address, any set
};

// Maps the index for children 1..maxUsers (before the first fork). Returns 0,
// or -1 with errno set.
[[nodiscard]] int CreateSessionIndex(int maxUsers);

// Child n's session has started for this domain set and client address.
void IndexSessionStart(int n, const char *domain, const char *addr);

// Child n serves no session (its session ended, or the child was reaped).
void IndexSessionEnd(int n);

// A process that must not touch the index lets it go (every count is 0).
void ForgetSessionIndex();

// Pool child: the processes it forks do not inherit the index.
void KeepSessionIndexFromChildren();

// The busy sessions of every child but n. The address comparison is made only
// when byAddr is set. Without an index every count is 0.
SessionCounts CountOtherSessions(int n, const char *domain, const char *addr, bool byAddr);
