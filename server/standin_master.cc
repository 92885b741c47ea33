// TEMPORARY stand-in for the master process and its child pool: a plain
// accept loop that forks one child per connection (at most max-users at a
// time) and reaps them. The child serves one session and exits. Pre-forking,
// statistics, admission limits and host access control arrive with the real
// master code.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Strn.h"
#include "config.h"
#include "log.h"
#include "shell.h"
#include "standin.h"
#include "startup.h"

pid_t *gChildren = nullptr;
int gLiveChildren = 0;

namespace {

void ReapChildren()
{
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        for (int n = 1; n <= gNumChildren; n++) {
            if (gChildren[n] == pid) {
                gChildren[n] = 0;
                gLiveChildren--;
                break;
            }
        }
    }
}

int FreeChildNumber()
{
    for (int n = 1; n <= gNumChildren; n++) {
        if (gChildren[n] == 0)
            return n;
    }
    return 0;
}

// The child's side: who it is, where the connection comes from, then the
// control session.
[[noreturn]] void ServeConnection(int n, int fd, int listenfd, const struct sockaddr_in *peer)
{
    close(listenfd);
    setpgid(0, 0);
    gChild = n;
    snprintf(gCoreSubDir, sizeof(gCoreSubDir), "%d", n);
    if (gTraceLogging)
        Log(kLogMisc, "Started (pid=%d).\n", static_cast<int>(getpid()));
    WritePIDFile(0);

    memset(gRUserPtr, 0, sizeof(*gRUserPtr));
    gRUserPtr->pid = getpid();
    gRUserPtr->procStart = CachedTime(nullptr);
    gRUserPtr->sessionStart = CachedTime(nullptr);

    gCtrl = fd;
    gRemoteCtrlAddr = *peer;
    socklen_t len = sizeof(gLocalCtrlAddr);
    if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&gLocalCtrlAddr), &len) < 0) {
        LogPerror("getsockname(ctrl)");
        Exit(1);
    }
    gCurDomain = GetDomainByLocalAddr(gLocalCtrlAddr.sin_addr.s_addr, nullptr, 1);
    Strncpy(gRUserPtr->domain, gCurDomain->setName);
    Strncpy(gRUserPtr->addr, inet_ntoa(gRemoteCtrlAddr.sin_addr));
    Strncpy(gRUserPtr->host, gRUserPtr->addr);
    gClientIsLocal = strncmp(gRUserPtr->addr, "127.", 4) == 0 || strncmp(gRUserPtr->addr, "0.", 2) == 0
                     || gRemoteCtrlAddr.sin_addr.s_addr == gLocalCtrlAddr.sin_addr.s_addr;
    if (gTraceLogging)
        Log(kLogMisc, "New connection from %s to %s (pid=%d, t=%u).\n", gRUserPtr->addr,
            inet_ntoa(gLocalCtrlAddr.sin_addr), static_cast<int>(getpid()),
            static_cast<unsigned>(CachedTime(nullptr)));

    if (fcntl(fd, F_SETOWN, getpid()) < 0 && gTraceLogging >= 2)
        Log(kLogMisc, "Could not enable SIGURG; F_SETOWN failed");
    if (gSocketKeepAlive)
        SetSocketKeepAlive(fd, 1);
    Shell();
}

}  // namespace

int SignalChildren(int sig)
{
    if (gChildren != nullptr)
        ReapChildren();   // a dead child must not count as one to wait for
    int count = 0;
    for (int n = 1; gChildren != nullptr && n <= gNumChildren; n++) {
        if (gChildren[n] > 1 && kill(gChildren[n], sig) == 0)
            count++;
    }
    return count;
}

int WaitForRequests(int port)
{
    gChildren = static_cast<pid_t *>(calloc(static_cast<size_t>(gNumChildren) + 2, sizeof(pid_t)));
    if (gChildren == nullptr) {
        LogPerror("calloc");
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LogPerror("socket");
        return -1;
    }
    if (gCtrlRBufSize > 0 || gCtrlSBufSize > 0)
        SetSocketBufSize(fd, static_cast<size_t>(gCtrlRBufSize), static_cast<size_t>(gCtrlSBufSize));
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    struct sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = gSingleServerAddress;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) < 0) {
        LogPerror("bind to control port %u failed", static_cast<unsigned>(port));
        gPIDFile[0] = '\0';
        close(fd);
        return -1;
    }
    if (listen(fd, gListenBacklogSize > 0 ? gListenBacklogSize : 3) < 0) {
        LogPerror("listen");
        close(fd);
        return -1;
    }
    gChildren[0] = getpid();
    InitPIDFile();

    Log(kLogMisc, "Ready (pid=%d) on %s, port %u.\n", static_cast<int>(getpid()), gOurHostName, static_cast<unsigned>(port));
    if (strcmp(gFTPUser.username, "ftp") != 0 && strcmp(gFTPUser.username, "_ftp") != 0) {
        Log(kLogMisc, "Warning: The user \"ftp\" was not found on this system.\n");
        Log(kLogMisc, "  The privileges for the user \"%.63s\" will be used for anonymous FTP.\n", gFTPUser.username);
        Log(kLogMisc, "  The default value of \"ftp-home\" is \"%.127s\".\n", gDefaultFTPHome);
    }

    for (;;) {
        ReapChildren();
        struct sockaddr_in peer{};
        int cfd = SAcceptS(fd, &peer, 1);
        if (cfd < 0) {
            if (errno != ETIMEDOUT && errno != EINTR) {
                LogPerror("accept");
                sleep(1);
            }
            continue;
        }
        const int n = FreeChildNumber();
        if (n == 0) {
            (void) SWrite(cfd, gRefuseConnectionsMsg, strlen(gRefuseConnectionsMsg), 2);
            SClose(cfd, 3);
            continue;
        }
        const pid_t pid = fork();
        if (pid == 0)
            ServeConnection(n, cfd, fd, &peer);
        if (pid < 0) {
            LogPerror("Cannot spawn child %d", n);
            sleep(3);
        } else {
            gChildren[n] = pid;
            gLiveChildren++;
        }
        close(cfd);
    }
}

void DoneConnection(int reason)
{
    const char *text;
    switch (reason) {
    case 0:
    case 1:
        text = "Connection closed.";
        break;
    case 3:
    case 4:
    case 5:
    case 37:
        text = "Timed-out, closed connection.";
        break;
    case 6:
        text = "Lost connection.";
        break;
    case 7:
        text = "Connection reset.";
        break;
    case 9:
        text = "Access denied, closed connection.";
        break;
    default:
        text = "Misc error, closed connection.";
        break;
    }
    if (gTraceLogging)
        Log(kLogMisc, "%s\n", text);
    if (gData >= 0)
        SClose(gData, 3);
    if (gCtrl >= 0)
        SClose(gCtrl, 3);
    gCtrl = -1;
    Exit(0);
}
