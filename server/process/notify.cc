// Readiness notification: one datagram "READY=1\nMAINPID=<pid>\n" to the
// service manager's socket. The master sends it after the control socket
// listens and the first children run, so a manager that waits for it (a
// Type=notify unit) starts dependent services only when connections are
// served.
#include "process/notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/log.h"

namespace {

char gNotifySocket[sizeof(sockaddr_un::sun_path) + 1];   // empty: no manager waits

}  // namespace

void CaptureNotifySocket()
{
    const char *name = getenv("NOTIFY_SOCKET");
    gNotifySocket[0] = '\0';
    if (name != nullptr && strlen(name) < sizeof(gNotifySocket))
        memcpy(gNotifySocket, name, strlen(name) + 1);
    unsetenv("NOTIFY_SOCKET");
}

int NotifyReady()
{
    const size_t len = strlen(gNotifySocket);
    if (len == 0)
        return 0;
    // A path must be absolute; '@' stands for the leading NUL of an abstract name.
    if ((gNotifySocket[0] != '/' && gNotifySocket[0] != '@') || len < 2 ||
        len > sizeof(sockaddr_un::sun_path)) {
        Log(kLogMisc, "Ignoring NOTIFY_SOCKET \"%.108s\": not a socket path.\n", gNotifySocket);
        return -1;
    }
    struct sockaddr_un sa {};
    sa.sun_family = AF_UNIX;
    memcpy(sa.sun_path, gNotifySocket, len);
    if (sa.sun_path[0] == '@')
        sa.sun_path[0] = '\0';
    // An abstract name has no terminating NUL: the length says where it ends.
    const socklen_t salen = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len +
                                                   (sa.sun_path[0] == '\0' ? 0 : 1));

    char msg[64];
    const int n = snprintf(msg, sizeof(msg), "READY=1\nMAINPID=%d\n", static_cast<int>(getpid()));
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LogPerror("notify socket");
        return -1;
    }
    const ssize_t sent = sendto(fd, msg, static_cast<size_t>(n), MSG_NOSIGNAL | MSG_DONTWAIT,
                                reinterpret_cast<struct sockaddr *>(&sa), salen);
    const int saved = errno;
    close(fd);
    if (sent != n) {
        errno = saved;
        LogPerror("Cannot notify %.108s", gNotifySocket);
        return -1;
    }
    return 0;
}
