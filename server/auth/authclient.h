// The client of the authentication service: the service's address and mode,
// the per-process datagram socket connected to it, and the exchange of the
// one 1404-byte message at each step of a login.  What the login does with
// the answers is the session's (session/authlogin.cc).
#pragma once

#include "sio.h"

#include <netinet/in.h>

#include "authmsg.h"
#include "status/shm.h"

// ---- Client state (per process) ---------------------------------------------------------------
// 0 not used; 1 consulted at PASS; 2 or more also at connection and at USER.
extern int gUseAuthServer;
extern struct sockaddr_in gAuthServerAddr;
extern char gAuthServerAddrStr[64];
extern struct sockaddr_in gAuthClientAddr;     // our end of the connected socket
extern char gAuthClientAddrStr[64];
extern int gAuthSocket;                        // -1 when closed
extern unsigned char gAuthdCookie[kAuthCookieSize];   // from the last successful exchange
extern AuthMsg gAState;                        // the message of the session

// Resets the client state above (once, before the configuration is read).
void InitAuthHandling();

// Parses "zorvad_authd" ("address[;mode]", mode 1 without one).  0, or -1
// after printing the invalid-address message, with the service turned off.
[[nodiscard]] int InitAuthAddr();

// Logs a warning when the service is not on a loopback address: the password
// travels to it only scrambled.
void WarnOfRemoteAuthService();

// Opens the connected socket when the service is in use.  0, or -1 after a
// 2-second pause with the socket closed.
int InitAuthSock();

// Empties the message (session reset).
void ZeroAuthState();

// Fills the message for a new session when the service is in use.  The
// pointers stay in use for the refresh at every exchange: the session's
// control addresses and its status slot.
void InitAuthState(const SioAddr *remote, const SioAddr *local, const ShmSlot *slot);

// Sends gAState and replaces it with the answer.  0, or -1 after logging why
// (gAState is then left as it was sent).
[[nodiscard]] int ExchangeAuthState();

// Logs the message as one line with the label.
void DumpTextualPacketForDebugging(const AuthMsg &m, const char *label);
