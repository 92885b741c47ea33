// Event settings, the consumer address and the channel: a System V message
// queue or a UDP socket bound to port 9720 and connected to the consumer.
#include "events/events.h"

#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Strn.h"
#include "config/config.h"
#include "log/log.h"
#include "sio.h"

int gUseEventServer;
SioAddr gEventServerAddr;
int gEventSocket = -1;
key_t gEventMessageQueueKey;
mode_t gEventMessageQueueMode;
uid_t gEventMessageQueueUID;
gid_t gEventMessageQueueGID;
long gEventMessageQueueSize = -1;
int gEventMessageQueueID = -1;
unsigned char gEventdCookie[kEventCookieSize];
const unsigned char gEmptyCookie[kEventCookieSize] = {};
time_t gNextEventErr;

namespace {

constexpr char kQueuePrefix[] = "mqueue:";
constexpr mode_t kDefaultQueueMode = 0600;
constexpr int kSetupFailurePause = 2;          // seconds, before start-up gives up

// "mqueue:" and "%x,%o,%lu,%lu,%ld"; missing values keep their defaults.
int ParseQueueAddr(const char *text)
{
    unsigned key = 0, mode = 0;
    unsigned long uid = 0, gid = 0;
    long size = -1;
    (void) sscanf(text, "%x,%o,%lu,%lu,%ld", &key, &mode, &uid, &gid, &size);
    if (key == 0)                              // IPC_PRIVATE: no one else could find it
        return -1;
    gEventMessageQueueKey = static_cast<key_t>(key);
    gEventMessageQueueMode = mode == 0 ? kDefaultQueueMode : static_cast<mode_t>(mode & 0777);
    gEventMessageQueueUID = static_cast<uid_t>(uid);
    gEventMessageQueueGID = static_cast<gid_t>(gid);
    gEventMessageQueueSize = size;
    return 1;
}

// "HOST:PORT" (any form of the address parser), optionally ";" and the on/off
// value.
int ParseUdpAddr(const char *text)
{
    char addr[kServiceAddrSize];
    Strncpy(addr, text);
    int onOff = 1;
    char *semi = strchr(addr, ';');
    if (semi != nullptr) {
        *semi = '\0';
        onOff = atoi(semi + 1);
    }
    if (AddrStrToAddr(addr, &gEventServerAddr, 0) < 0)
        return -1;
    return onOff;
}

// A queue may be trusted when the server's own user (or the consumer's
// account that the address names) both created and owns it. One that anybody
// else made first would let that user read every event or forge them.
bool TrustedQueue(const struct msqid_ds &ds)
{
    const uid_t self = geteuid();
    const auto ours = [self](uid_t id) { return id == self || (gEventMessageQueueUID != 0 && id == gEventMessageQueueUID); };
    return ours(ds.msg_perm.cuid) && ours(ds.msg_perm.uid);
}

// Attaches to the queue of key when it is trusted, otherwise removes it and
// makes a new one exclusively. Returns the id or -1 (logged).
int OpenTrustedQueue(key_t key)
{
    const int mode = static_cast<int>(gEventMessageQueueMode);
    for (int attempt = 0; attempt < 3; attempt++) {
        int id = msgget(key, IPC_CREAT | IPC_EXCL | mode);
        if (id >= 0)
            return id;
        if (errno != EEXIST)
            break;
        id = msgget(key, 0);
        struct msqid_ds ds {};
        if (id < 0 || msgctl(id, IPC_STAT, &ds) < 0)
            continue;                          // gone meanwhile, or unreadable: try anew
        if (TrustedQueue(ds))
            return id;
        Log(kLogMisc, "message queue (key = 0x%08x) was made by uid %lu and is owned by uid %lu, not by this "
                      "server; removed it and made a new one.\n",
            static_cast<unsigned>(key), static_cast<unsigned long>(ds.msg_perm.cuid),
            static_cast<unsigned long>(ds.msg_perm.uid));
        if (msgctl(id, IPC_RMID, nullptr) < 0 && errno != EINVAL && errno != EIDRM) {
            LogPerror("could not remove the foreign message queue (key = 0x%08x)", static_cast<unsigned>(key));
            return -1;
        }
    }
    Log(kLogMisc, "could not create a message queue of this server's own (key = 0x%08x).\n", static_cast<unsigned>(key));
    return -1;
}

int InitEventQueue()
{
    const key_t key = gEventMessageQueueKey;
    const int id = OpenTrustedQueue(key);
    struct msqid_ds ds {};
    if (id < 0 || msgctl(id, IPC_STAT, &ds) < 0) {
        LogPerror("could not create/attach to message queue (key = 0x%08x)", static_cast<unsigned>(key));
        return -1;
    }
    gEventMessageQueueID = id;
    if (gEventMessageQueueUID != 0)
        ds.msg_perm.uid = gEventMessageQueueUID;
    if (gEventMessageQueueGID != 0)
        ds.msg_perm.gid = gEventMessageQueueGID;
    ds.msg_perm.mode = static_cast<unsigned short>(gEventMessageQueueMode);
    if (msgctl(id, IPC_SET, &ds) < 0) {
        LogPerror("Warning msgctl failed: could not set queue attributes for message queue (key = 0x%08x)",
                  static_cast<unsigned>(key));
    }
    if (gEventMessageQueueSize != -1) {
        if (msgctl(id, IPC_STAT, &ds) == 0) {
            ds.msg_qbytes = static_cast<msglen_t>(gEventMessageQueueSize);
            if (msgctl(id, IPC_SET, &ds) == 0)
                return 0;
        }
        LogPerror("Warning msgctl failed: could not set queue size (%ld) for message queue (key = 0x%08x)",
                  gEventMessageQueueSize, static_cast<unsigned>(key));
    }
    return 0;
}

int InitEventUdp()
{
    if (gEventSocket >= 0)
        close(gEventSocket);
    gEventSocket = socket(gEventServerAddr.sa.sa_family, SOCK_DGRAM, 0);
    if (gEventSocket < 0) {
        LogPerror("could not create event socket");
        sleep(kSetupFailurePause);
        return -1;
    }
    (void) SetCloExec(gEventSocket);

    // Reuse lets several servers of one host send from the same port.
    const int on = 1;
    (void) setsockopt(gEventSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    // From single-server-address when it is of the destination's family.
    SioAddr local {};
    local.sa.sa_family = gEventServerAddr.sa.sa_family;
    if (gSingleServerAddress.sa.sa_family == local.sa.sa_family)
        local = gSingleServerAddress;
    SioAddrSetPort(&local, kEventUdpLocalPort);
    if (bind(gEventSocket, &local.sa, SioAddrLen(&local)) < 0) {
        char text[64];
        AddrToAddrStr(text, sizeof(text), &local, 0, nullptr);
        LogPerror("could not bind event socket to %.63s", text);
    }
    if (connect(gEventSocket, &gEventServerAddr.sa, SioAddrLen(&gEventServerAddr)) < 0) {
        char text[64];
        AddrToAddrStr(text, sizeof(text), &gEventServerAddr, 0, nullptr);
        LogPerror("could not connect event socket to %.63s", text);
        close(gEventSocket);
        gEventSocket = -1;
        sleep(kSetupFailurePause);
        return -1;
    }
    return 0;
}

}  // namespace

namespace {
const unsigned char *gRecordCookie = gEmptyCookie;
}  // namespace

void SetEventRecordCookie(const unsigned char *cookie)
{
    gRecordCookie = cookie != nullptr ? cookie : gEmptyCookie;
}

const unsigned char *EventCookie()
{
    return gRecordCookie;
}

void InitEventHandling()
{
    gZorvadEventdAddrStr[0] = '\0';
    gUseEventServer = 0;
    gEventdTypeMask = 1023;
    memset(&gEventServerAddr, 0, sizeof(gEventServerAddr));
    gEventSocket = -1;
    gEventMessageQueueKey = 0;
    gEventMessageQueueMode = 0;
    gEventMessageQueueUID = 0;
    gEventMessageQueueGID = 0;
    gEventMessageQueueSize = -1;
    gEventMessageQueueID = -1;
    memset(gEventdCookie, 0, sizeof(gEventdCookie));
    gNextEventErr = 0;
}

int InitEventAddr()
{
    gUseEventServer = 0;
    const char *text = gZorvadEventdAddrStr;
    if (text[0] == '\0')
        return 0;
    const int use = strncmp(text, kQueuePrefix, sizeof(kQueuePrefix) - 1) == 0
                        ? ParseQueueAddr(text + sizeof(kQueuePrefix) - 1)
                        : ParseUdpAddr(text);
    if (use < 0) {
        fprintf(stderr, "\"%s\" is not a valid address to zorvad_eventd.\n", text);
        return -1;
    }
    gUseEventServer = use;
    return 0;
}

int InitEventSock()
{
    if (!gUseEventServer)
        return 0;
    return gEventMessageQueueKey != 0 ? InitEventQueue() : InitEventUdp();
}
