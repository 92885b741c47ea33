// The master process and its pool of children: the listening socket, the
// pre-forked children that accept on it, the master loop that reaps, respawns,
// refuses and writes the quarter-hour statistics, the admission of each
// connection and DoneConnection, the end of every session (declared in
// base/exit.h).
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <csetjmp>
#include <csignal>
#include <ctime>

#include "base/exit.h"
#include "base/process.h"

// ---- Session end codes of the admission checks --------------------------------------------
constexpr int kEndDenied = 9;               // TCP Wrappers, overlong host name
constexpr int kEndServerFull = 10;          // refused by the master: every child busy at max-users
constexpr int kEndDomainFull = 11;          // max-domain-users
constexpr int kEndTooManyFromAddr = 13;     // max-domain-users-per-ip, max-users-per-ip

constexpr int kIdleChildSeconds = 15;       // children above min-users exit after this idle time
constexpr int kStatDumpDelay = 15;          // statistics are written this long after the boundary

// ---- The pool ----------------------------------------------------------------------------------
extern pid_t *gChildren;                    // max-users + 2 entries: 0 the master, n child n (0 = free)
extern int gLiveChildren;
extern int gHighestChild;                   // the highest child number ever started
extern time_t gChildExpiration;             // this child's end of life; 0 = unlimited
extern time_t gNextStatDump, gNextStatDumpD; // next quarter-hour boundary, and 15 s after it
extern int gPeriodMaxSimultaneousUsers;     // most busy children seen in this quarter hour
extern time_t gLastDescriptorCheck;         // last sweep for leaked descriptors

// Creates the listening socket, starts the pool and runs the master loop. In a
// child it is the accept-and-serve loop and never returns; in the master it
// returns -1 only when the server cannot start.
int WaitForRequests(int port);

// The master loop. Returns only in a freshly forked child: the connection the
// master accepted for it, or -1 for a respawned idle child.
int MainProcess();

// The child's return point for the next connection, armed by the accept loop
// before each session; DoneConnection jumps back to it.
extern sigjmp_buf gDoneJmp;
extern volatile sig_atomic_t gDoneJmpReady;

// Admission of the connection on gCtrl (peer in gRemoteCtrlAddr): the status
// slot, the domain set, the client's name, host access control and the user
// limits; then the control session. Never returns.
[[noreturn]] void AdmitConnection();

// Tells the master that this child has started a session, so that a master
// pausing while every child is busy goes on to accept at once.
void WakeMaster();

// One-time set-up of the master before the first fork: PID file, limits,
// priority, groups and, for an anonymous-only server, its root and identity.
void ServerInit();

// First thing a new child does.
void ChildInit(int n);

// Logs how child n (negative: the logger) ended.
void LogDeath(pid_t pid, int n, int status);

// Sends sig to every live child; returns how many were signalled.
int SignalChildren(int sig);

// Master loop step: when now has passed the statistics boundary + 15 s, writes
// the quarter hour's statistics and advances the boundaries. Returns 1 when it
// wrote (or skipped an empty quarter hour), 0 when it is not yet time.
int StatisticsCheckPoint(time_t now);
