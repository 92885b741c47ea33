// Data connections: PORT and PASV, and their extended forms EPRT and EPSV,
// with the checks that keep the data channel from pointing at a third host
// or at privileged ports, opening the data connection for a transfer (passive accept or active connect) with its
// preliminary reply, and closing it.  The handlers are declared in shell.h
// with the other command handlers; the session state (gData, gPassiveData,
// gPassive, gUsingDefaultDataPort, ...) lives there too.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "sio.h"

// ---- Session end codes of the data-connection checks ----------------------------------
constexpr int kEndPasvNoSocket = 15;        // transfer in passive mode without a listening socket
constexpr int kEndPasvAcceptTimeout = 16;
constexpr int kEndPasvAcceptFailed = 17;
constexpr int kEndPasvLowPort = 18;         // anonymous passive peer below port 1024
constexpr int kEndPasvProxy = 19;           // passive connection from another host
constexpr int kEndPortProxy = 22;           // PORT to another host
constexpr int kEndPortLoopback = 23;        // PORT to loopback from a remote client
constexpr int kEndPortLowPort = 24;         // PORT to a port below 1024
constexpr int kEndDataSocket = 26;          // no socket for an active connection
constexpr int kEndRestoreEuid = 35;         // the user's identity could not be restored
constexpr int kEndPasvPreconnected = 43;    // connection waiting before PASV was answered

constexpr int kDataCloseTimeout = 10;       // seconds to close a data connection
constexpr int kEphemeralPortTries = 10;
constexpr int kReducedSendBufSize = 131070; // "reduce-socket-buffer-memory" ceilings
constexpr int kReducedRecvBufSize = 2048;

// Our and the peer's end of the data connection.
extern SioAddr gLocalDataAddr;
extern SioAddr gRemoteDataAddr;

// Test seam: the pauses of the policy refusals.
extern unsigned (*gDataSleep)(unsigned seconds);

// Opens the data connection for a transfer of name (nullptr for none) with
// size bytes (-1 unknown) and sends the 125/150 reply.  After PROT P the
// TLS handshake follows the 150.  Returns the data socket, or -1 after the
// final reply (550; 521 when TLS is required and PROT P was not given; 425
// or 522 when the TLS handshake failed or did not resume the control
// connection's session) was sent.  Policy failures end the
// session; running out of descriptors ends the process (status 4).  With
// a verb ("Retr", "Stor") the status slot shows the transfer of path with
// the 125/150 reply where the connection is made by then and nothing can
// fail after it (it needs no publishing of its own before the first byte).
int OpenData(const char *name, int64_t size, const char *verb = nullptr, const char *path = nullptr);

// Records the transfer of path as the user's activity in the status slot
// (the verb and path, the state), published with the next reply or request.
void ShowTransferInSlot(const char *verb, const char *path);

// Ends a transfer's data connection; with flag 1 in MODE B it stays open.
// Flag 1 means every byte went: under TLS the close_notify is sent first,
// and -1 says it could not be (else 0).
int CloseData(int flag);

// CloseData(1) before a 226: 0, or -1 after the 426 reply when the TLS
// close_notify could not be sent (the client cannot know it has it all).
[[nodiscard]] int FinishData();

// Closes the passive listening socket and leaves passive mode.
void CancelPassiveMode();

// Closes the passive listening socket and the connections waiting on it,
// without a word (a reset of the session, its end).
void DropPassiveListener();

// While the session waits for a command: the passive socket to watch, or -1.
[[nodiscard]] int PassiveWatchFd();

// The connections that came to the watched passive socket: those of another
// host (or a low port, anonymous) turned away at once, the others kept for
// the transfer command.  -1 when accepting failed: stop watching this time.
[[nodiscard]] int TakeEarlyPassive();

// Binds the passive socket to addr's address and a port of the configured
// ephemeral range (the system's choice without one).  Returns bind's result.
int BindToEphemeralPortNumber(int sockfd, SioAddr *addr);

// At a new PASV: the old listening socket when a connection is already
// waiting on it (taken out of gPassiveData), else -1.
int CheckForPreConnectedPassiveData();

// The host and port of a PORT argument: six numbers of at most 255 with any
// non-digits between them.  Returns 0, or -1 when it is malformed.
int ParsePortArgument(const char *arg, struct sockaddr_in *addr);

// The host and port of an EPRT argument for the family of the control
// connection: "|1|h1.h2.h3.h4|port|" for AF_INET, "|2|IPv6 address|port|"
// for AF_INET6, with any printable delimiter in place of '|'.  Returns 0, -1
// when it is malformed, or kEprtOtherProtocol for a well-formed protocol
// number other than the family's.
constexpr int kEprtOtherProtocol = -2;
int ParseEprtArgument(const char *arg, SioAddr *addr, int family);

// The text of the 227 reply for an address and port: "h1,h2,h3,h4,p1,p2".
void PassiveAddressText(char *dst, size_t size, in_addr_t addr, unsigned port);

// 1 for addresses in 127.0.0.0/8 and 0.0.0.0/8.
[[nodiscard]] int IsLoopbackAddress(in_addr_t addr);
// The same for either family: IPv6's ::1 and ::, and IPv4 addresses mapped
// into IPv6 by the IPv4 rule.
[[nodiscard]] bool AddrIsLoopback(const SioAddr *a);

// Send and receive buffer sizes of a new data socket: the client's SITE
// sizes, else the configured ones, else the reduced ones when asked for.
void SetDataSocketBufferSizes(int fd);
