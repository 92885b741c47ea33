// zorvad_eventd_ref: a reference event consumer.  It reads the event messages
// of zorvad from a System V message queue or a UDP port and prints one line per
// message: where it came from, its size, whether its frame is well formed, and
// its exact bytes as a C-style string.
//
//   zorvad_eventd_ref mqueue:KEY          (hexadecimal key; the queue is made
//                                          with mode 0600 when it does not exist)
//   zorvad_eventd_ref HOST:PORT           (numeric IPv4 address; port 0 = any)
//
// The first line says where it listens.  SIGTERM or SIGINT ends it after the
// messages already waiting have been printed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "events/eventframe.h"

namespace {

volatile sig_atomic_t gStop = 0;
int gQueueId = -1;

// A message the daemon never sends (its types are letters, its sizes at least
// 9): the stop handler queues it so that a msgrcv about to wait returns.
constexpr long kWakeType = 1;

void OnStop(int)
{
    const int savedErrno = errno;
    gStop = 1;
    if (gQueueId >= 0) {
        const struct { long type; } wake {kWakeType};
        (void) msgsnd(gQueueId, &wake, 0, IPC_NOWAIT);
    }
    errno = savedErrno;
}

// Without SA_RESTART, so a waiting call returns EINTR.
void CatchStopSignals(sigset_t *stopSignals)
{
    sigemptyset(stopSignals);
    sigaddset(stopSignals, SIGTERM);
    sigaddset(stopSignals, SIGINT);
    struct sigaction sa {};
    sa.sa_handler = OnStop;
    sigfillset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

const char *VerdictText(EventFrameVerdict v)
{
    switch (v) {
    case EventFrameVerdict::kOk: return "ok";
    case EventFrameVerdict::kCut: return "cut";
    case EventFrameVerdict::kShort: return "bad:short";
    case EventFrameVerdict::kMagic: return "bad:magic";
    case EventFrameVerdict::kLength: return "bad:length";
    case EventFrameVerdict::kSize: return "bad:size";
    case EventFrameVerdict::kNul: return "bad:nul";
    case EventFrameVerdict::kEnd: return "bad:end";
    }
    return "bad";
}

// "size=N verdict "bytes"" and the line end: every byte that is not printable
// ASCII is escaped (\n, \\, \", \xNN), so the line shows the message exactly.
void PrintMessage(const char *msg, size_t size)
{
    printf("size=%zu %s \"", size, VerdictText(ParseEventFrame(msg, size).verdict));
    for (size_t i = 0; i < size; i++) {
        const unsigned char c = static_cast<unsigned char>(msg[i]);
        if (c == '\n')
            fputs("\\n", stdout);
        else if (c == '\\' || c == '"')
            printf("\\%c", c);
        else if (c < 0x20 || c >= 0x7f)
            printf("\\x%02x", c);
        else
            putchar(c);
    }
    fputs("\"\n", stdout);
    fflush(stdout);
}

// The queue of key, made now or made earlier by this same user: one that
// someone else made first would let that user read or forge the records.
int OwnQueue(key_t key)
{
    int id = msgget(key, IPC_CREAT | IPC_EXCL | 0600);
    if (id >= 0 || errno != EEXIST) {
        if (id < 0)
            perror("msgget");
        return id;
    }
    id = msgget(key, 0);
    struct msqid_ds ds {};
    if (id < 0 || msgctl(id, IPC_STAT, &ds) < 0) {
        perror("msgget");
        return -1;
    }
    if (ds.msg_perm.cuid != geteuid() || ds.msg_perm.uid != geteuid()) {
        fprintf(stderr, "zorvad_eventd_ref: the queue of key 0x%08lx was made by uid %lu, not by this user.\n",
                static_cast<unsigned long>(key), static_cast<unsigned long>(ds.msg_perm.cuid));
        return -1;
    }
    return id;
}

int ServeQueue(const char *keyText)
{
    char *end;
    const unsigned long key = strtoul(keyText, &end, 16);
    if (key == 0 || *end != '\0') {
        fprintf(stderr, "zorvad_eventd_ref: bad queue key \"%s\".\n", keyText);
        return 2;
    }
    const int id = OwnQueue(static_cast<key_t>(key));
    if (id < 0)
        return 1;
    gQueueId = id;
    printf("listening on mqueue key 0x%08lx id %d\n", key, id);
    fflush(stdout);

    EventQueueMessage m;
    for (;;) {
        // Once asked to stop, only what is waiting is read.
        const ssize_t n = msgrcv(id, &m, sizeof(m.text), 0, MSG_NOERROR | (gStop ? IPC_NOWAIT : 0));
        if (n == 0 && m.type == kWakeType) {
            continue;
        } else if (n >= 0) {
            if (m.type > ' ' && m.type < 0x7f)
                printf("queue type=%c ", static_cast<char>(m.type));
            else
                printf("queue type=%ld ", m.type);
            PrintMessage(m.text, static_cast<size_t>(n));
        } else if (errno == EINTR) {
            continue;
        } else if (gStop && errno == ENOMSG) {
            return 0;
        } else {
            perror("msgrcv");
            return 1;
        }
    }
}

int ServeUdp(const char *addrText, const sigset_t &stopSignals)
{
    char host[64];
    const char *colon = strrchr(addrText, ':');
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    if (colon == nullptr || static_cast<size_t>(colon - addrText) >= sizeof(host)) {
        fprintf(stderr, "zorvad_eventd_ref: \"%s\" is not HOST:PORT.\n", addrText);
        return 2;
    }
    memcpy(host, addrText, static_cast<size_t>(colon - addrText));
    host[colon - addrText] = '\0';
    char *end;
    const unsigned long port = strtoul(colon + 1, &end, 10);
    if (*end != '\0' || port > 65535 || inet_pton(AF_INET, host, &sa.sin_addr) != 1) {
        fprintf(stderr, "zorvad_eventd_ref: \"%s\" is not HOST:PORT.\n", addrText);
        return 2;
    }
    sa.sin_port = htons(static_cast<uint16_t>(port));

    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) < 0) {
        perror("socket/bind");
        return 1;
    }
    socklen_t len = sizeof(sa);
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&sa), &len);
    char text[INET_ADDRSTRLEN];
    printf("listening on udp %s:%u\n", inet_ntop(AF_INET, &sa.sin_addr, text, sizeof(text)), ntohs(sa.sin_port));
    fflush(stdout);

    // The stop signals are let in only while waiting, so none can slip in
    // between the check of gStop and the wait.
    sigset_t waiting;
    sigprocmask(SIG_BLOCK, &stopSignals, &waiting);
    char msg[kEventFrameSize + 1];      // one more: a longer datagram shows as too long
    for (;;) {
        if (!gStop) {
            struct pollfd p {fd, POLLIN, 0};
            if (ppoll(&p, 1, nullptr, &waiting) < 0 && errno != EINTR) {
                perror("ppoll");
                return 1;
            }
        }
        struct sockaddr_in from {};
        socklen_t fromLen = sizeof(from);
        const ssize_t n = recvfrom(fd, msg, sizeof(msg), MSG_DONTWAIT, reinterpret_cast<struct sockaddr *>(&from),
                                   &fromLen);
        if (n >= 0) {
            printf("udp from=%s:%u ", inet_ntop(AF_INET, &from.sin_addr, text, sizeof(text)), ntohs(from.sin_port));
            PrintMessage(msg, static_cast<size_t>(n));
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (gStop)
                return 0;
        } else {
            perror("recvfrom");
            return 1;
        }
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "Usage: zorvad_eventd_ref mqueue:KEY | HOST:PORT\n");
        return 2;
    }
    sigset_t stopSignals;
    CatchStopSignals(&stopSignals);
    constexpr char kQueuePrefix[] = "mqueue:";
    if (strncmp(argv[1], kQueuePrefix, sizeof(kQueuePrefix) - 1) == 0)
        return ServeQueue(argv[1] + sizeof(kQueuePrefix) - 1);
    return ServeUdp(argv[1], stopSignals);
}
