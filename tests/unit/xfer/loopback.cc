#include "loopback.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "session/shell.h"

int MakeLoopbackPair(int *serverEnd, int *clientEnd)
{
    const int lfd = socket(AF_INET, SOCK_STREAM, 0);
    if (lfd < 0)
        return -1;
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    int client = -1;
    int server = -1;
    if (bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0
        && getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &len) == 0 && listen(lfd, 1) == 0
        && (client = socket(AF_INET, SOCK_STREAM, 0)) >= 0
        && connect(client, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0)
        server = accept(lfd, nullptr, nullptr);
    close(lfd);
    if (server < 0) {
        if (client >= 0)
            close(client);
        return -1;
    }
    *serverEnd = server;
    *clientEnd = client;
    return 0;
}

int OpenXferTestEnv(int *client, int *replies, std::string *dir, const char *prefix)
{
    if (MakeLoopbackPair(&gData, client) < 0)
        return -1;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) < 0)
        return -1;
    gCtrl = sv[0];
    *replies = sv[1];
    std::string tmpl = std::string("/tmp/") + prefix + ".XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr)
        return -1;
    *dir = tmpl;
    return 0;
}

void CloseXferTestEnv(int client, int replies, const std::string &dir)
{
    if (gData >= 0)
        close(gData);
    gData = -1;
    close(client);
    close(gCtrl);
    close(replies);
    gCtrl = -1;
    std::filesystem::remove_all(dir);
}
