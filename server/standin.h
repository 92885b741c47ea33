// TEMPORARY stand-ins for parts of the server that arrive with later work:
// the master process and child pool, the shared status area, the domain
// configuration sets and the handlers of the other command groups. Each is the least that lets the start-up code and
// the control session run; the real code replaces the standin_*.cc files
// and this header.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <ctime>

// ---- Status slot (shared status area stand-in: one private slot) -----------
struct StatusSlot {
    pid_t pid;
    time_t procStart;
    unsigned resetCount;         // sessions started by this process
    time_t sessionStart;         // non-zero: busy
    char sessionId[40];
    char user[64];
    char loginId[64];
    char host[64];               // client host name (the address when unresolved)
    char addr[64];               // client address, dotted text
    char restriction[32];
    char domain[64];
    time_t lastCommandTime;
    char command[256];
    time_t waitStart;            // time the current wait for a command began
    char cwd[256];
};
extern StatusSlot *gRUserPtr;

// The clock; the shared time cache replaces the system call later.
time_t CachedTime(time_t *tp);

// ---- Domain configuration sets (one or more read from domain.cf) ----------
struct DomainInfo {
    char setName[64];
    char serverName[64];
    in_addr_t serverAddr;        // network order; 0 = none
    char serverAddrStr[24];
    char ftpHome[512];
    int ftpHomeLen;
    int anonOnly;                // 1 anonymous only, -1 disabled
    int nonAnonOnly;
    char welcomeMessage[256];
    char aLoginMessage[256], uLoginMessage[256];
    char aGoodbyeMessage[256], uGoodbyeMessage[256];
    int aLowercasePathnames, uLowercasePathnames;
    int aUmask, uUmask;          // -1: the general.cf value
    int aDownloadBandwidth, aUploadBandwidth;
    int uDownloadBandwidth, uUploadBandwidth;
    int maxDomainUsers;
};
extern DomainInfo *gCurDomain;
extern int gDomain;
extern int gNumDomains;

void InitDomains();
// Reads domain.cf; errors print their message and leave through Exit(1).
void ReadDomainConfigFile(const char *path);
void PostReadDomainConfigInit();
DomainInfo *GetFirstDomain();
DomainInfo *GetDomainByLocalAddr(in_addr_t addr, int *index, int remember);

// ---- Master process and child pool ------------------------------------------
extern pid_t *gChildren;         // entry n: pid of child n, 0 when free
extern int gLiveChildren;

// Listens on the port and serves connections, each in a forked child.
// Returns only when the server cannot start.
int WaitForRequests(int port);
// Ends the session of this child (never returns).
[[noreturn]] void DoneConnection(int reason);
// Sends sig to every live child; returns how many were signalled.
int SignalChildren(int sig);

