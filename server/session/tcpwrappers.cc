// Host access control through TCP Wrappers. The request carries what the
// admission already knows (the client's resolved name, both addresses, the
// domain set's host name), so the library makes no look-ups of its own.
#include "session/tcpwrappers.h"

#include <arpa/inet.h>
#include <syslog.h>
#include <tcpd.h>

#include "base/dynlib.h"
#include "config/config.h"
#include "config/domain.h"
#include "log/log.h"
#include "session/shell.h"
#include "status/shm.h"

namespace {

// The library's calls, bound by TCPWrappers_Load.
decltype(&request_init) gRequestInit;
decltype(&hosts_access) gHostsAccess;

char *Arg(const char *s)
{
    return const_cast<char *>(s);   // the library copies the strings
}

int HostsAccess(const char *user)
{
    const char *clientName = gRUserPtr->hostResolved ? gRUserPtr->host
                             : gClientNameParanoid ? STRING_PARANOID : STRING_UNKNOWN;
    const char *serverName = (gCurDomain != nullptr && gCurDomain->serverName[0] != '\0')
                                 ? gCurDomain->serverName
                                 : "unknown";
    char serverAddr[kSioAddrTextSize];
    SioAddrText(serverAddr, sizeof(serverAddr), &gLocalCtrlAddr);

    struct request_info req;
    gRequestInit(&req, RQ_DAEMON, Arg("Zorvad"), RQ_CLIENT_NAME, Arg(clientName), RQ_CLIENT_ADDR,
                 Arg(gRUserPtr->addr), RQ_CLIENT_SIN, &gRemoteCtrlAddr.sa,
                 RQ_SERVER_NAME, Arg(serverName), RQ_SERVER_ADDR, Arg(serverAddr), RQ_SERVER_SIN,
                 &gLocalCtrlAddr.sa, RQ_USER, Arg(user), 0);
    const int result = gHostsAccess(&req);
    _Trace(kLogMisc, "TCP Wrappers returned: %d.\n", result);
    return result;
}

int NotEnabled()
{
    if (gTraceLogging >= 2)
        Log(kLogMisc, "TCP Wrappers check was not enabled.\n");
    return 1;
}

// A library that cannot be had denies: the host tables are not consulted.
int LoadedOrDenied()
{
    char why[256];
    if (TCPWrappers_Load(why, sizeof(why)) == 0)
        return 1;
    Log(kLogMisc, "TCP Wrappers: cannot load %s: %s.\n", kTcpWrappersLibrary, why);
    return 0;
}

}  // namespace

int TCPWrappers_Load(char *why, size_t whyLen)
{
    if (gHostsAccess != nullptr)
        return 0;
    void *lib = OpenLibrary(kTcpWrappersLibrary, why, whyLen);
    if (lib == nullptr)
        return -1;
    decltype(gRequestInit) requestInit = nullptr;
    decltype(gHostsAccess) hostsAccess = nullptr;
    int *allowSeverity = nullptr;
    int *denySeverity = nullptr;
    if (!LibrarySymbol(lib, "request_init", requestInit, why, whyLen)
        || !LibrarySymbol(lib, "hosts_access", hostsAccess, why, whyLen)
        || !LibrarySymbol(lib, "allow_severity", allowSeverity, why, whyLen)
        || !LibrarySymbol(lib, "deny_severity", denySeverity, why, whyLen)) {
        dlclose(lib);
        return -1;
    }
    // The library logs its own denials and table errors with these priorities.
    *allowSeverity = LOG_INFO;
    *denySeverity = LOG_WARNING;
    gRequestInit = requestInit;
    gHostsAccess = hostsAccess;
    return 0;
}

int TCPWrappers_ValidateIncomingFTPConnection()
{
    if (gUseTCPWrappers != 1)
        return NotEnabled();
    if (!LoadedOrDenied())
        return 0;
    return HostsAccess("unknown");
}

int TCPWrappers_ValidateIncomingFTPConnectionWithUsername(const char *user)
{
    if (gUseTCPWrappers != 2)
        return NotEnabled();
    if (!LoadedOrDenied())
        return 0;
    return HostsAccess(user);
}
