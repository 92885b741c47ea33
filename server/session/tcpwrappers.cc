// Host access control through TCP Wrappers. The request carries what the
// admission already knows (the client's resolved name, both addresses, the
// domain set's host name), so the library makes no look-ups of its own.
#include "session/tcpwrappers.h"

#include <arpa/inet.h>
#include <syslog.h>
#include <tcpd.h>

#include "config/config.h"
#include "config/domain.h"
#include "log/log.h"
#include "session/shell.h"
#include "status/shm.h"

// The library logs its own denials and table errors with these priorities.
int allow_severity = LOG_INFO;
int deny_severity = LOG_WARNING;

namespace {

char *Arg(const char *s)
{
    return const_cast<char *>(s);   // the library copies the strings
}

int HostsAccess(const char *user)
{
    const char *clientName = gRUserPtr->hostResolved ? gRUserPtr->host : "unknown";
    const char *serverName = (gCurDomain != nullptr && gCurDomain->serverName[0] != '\0')
                                 ? gCurDomain->serverName
                                 : "unknown";
    char serverAddr[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &gLocalCtrlAddr.sin_addr, serverAddr, sizeof(serverAddr)) == nullptr)
        serverAddr[0] = '\0';

    struct request_info req;
    request_init(&req, RQ_DAEMON, Arg("Zorvad"), RQ_CLIENT_NAME, Arg(clientName), RQ_CLIENT_ADDR,
                 Arg(gRUserPtr->addr), RQ_CLIENT_SIN, reinterpret_cast<struct sockaddr *>(&gRemoteCtrlAddr),
                 RQ_SERVER_NAME, Arg(serverName), RQ_SERVER_ADDR, Arg(serverAddr), RQ_SERVER_SIN,
                 reinterpret_cast<struct sockaddr *>(&gLocalCtrlAddr), RQ_USER, Arg(user), 0);
    const int result = hosts_access(&req);
    _Trace(kLogMisc, "TCP Wrappers returned: %d.\n", result);
    return result;
}

int NotEnabled()
{
    if (gTraceLogging >= 2)
        Log(kLogMisc, "TCP Wrappers check was not enabled.\n");
    return 1;
}

}  // namespace

int TCPWrappers_ValidateIncomingFTPConnection()
{
    if (gUseTCPWrappers != 1)
        return NotEnabled();
    return HostsAccess("unknown");
}

int TCPWrappers_ValidateIncomingFTPConnectionWithUsername(const char *user)
{
    if (gUseTCPWrappers != 2)
        return NotEnabled();
    return HostsAccess(user);
}
