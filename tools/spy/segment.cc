// Finding and attaching the server's segment, and reading its slots.
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <strings.h>

#include "Strn.h"
#include "sio.h"
#include "spy.h"
#include "version.h"

const ShmHeader *gHead = nullptr;
struct shmid_ds gShmInfo;
int gMaxUsers = 0;
time_t *gStamps = nullptr;
volatile sig_atomic_t gInterrupted = 0;
volatile sig_atomic_t gInDnsLookup = 0;

namespace {

const char *gBase = nullptr;

[[noreturn]] void NotFound()
{
    fprintf(stderr, "Could not get shared memory pool for key = 0x%08lx (Zorvad port %u).\n",
            static_cast<unsigned long>(static_cast<unsigned>(gKey)), gPort);
    if (errno != ENOENT) {
        perror("Reason");
        exit(1);
    }
    fprintf(stderr, "Reason: No shared memory pool by that key was found.\n");
    if (gPort == 21) {
        fprintf(stderr, "\nIf you're running Zorvad on a non-standard port number, you need to add\n");
        fprintf(stderr, "\"-p XX\" to your command line since that is tied to the key number.\n");
        fprintf(stderr, "\nThis could also mean that Zorvad is not currently running.\n");
    } else {
        fprintf(stderr, "Is Zorvad currently running on port %u?\n", gPort);
    }
    exit(1);
}

// The header's tag must be this build's "%.12s" of the version text.
void CheckVersion()
{
    char mine[kShmVersionTagSize] = {};
    snprintf(mine, sizeof(mine), "%.12s", gVersion);
    if (memcmp(gHead->version, mine, sizeof(mine)) == 0)
        return;
    char theirs[kShmVersionTagSize + 1] = {};
    memcpy(theirs, gHead->version, kShmVersionTagSize);
    theirs[kShmVersionTagSize] = '\0';
    char shown[kShmVersionTagSize + 1];
    Printable(shown, sizeof(shown), theirs);
    if (strncmp(theirs, "Zorvad", 6) != 0)
        fprintf(stderr, "This is not a Zorvad shared memory pool.\n");
    else
        fprintf(stderr, "This is zorvad_spy for %s, but the shared memory pool requires zorvad_spy for %s.\n",
                mine, shown);
    exit(1);
}

void OnInterrupt(int)
{
    if (gInDnsLookup) {
        static const char note[] =
            "Note:  You interrupted during a DNS lookup.\n"
            "If name lookups are taking too long, use the \"-n\" flag to turn them off.\n";
        ssize_t rc = write(STDERR_FILENO, note, sizeof(note) - 1);
        (void) rc;
        _exit(1);
    }
    gInterrupted = 1;
}

void TerminateText(char *field, size_t size)
{
    field[size - 1] = '\0';
}

}  // namespace

void AttachSegment()
{
    const int id = shmget(gKey, gLookupSize, gLookupMode);
    if (id < 0)
        NotFound();
    void *addr = shmat(id, nullptr, SHM_RDONLY);
    if (addr == reinterpret_cast<void *>(-1)) {
        perror("Cannot join shared memory pool");
        exit(1);
    }
    gBase = static_cast<const char *>(addr);
    gHead = static_cast<const ShmHeader *>(addr);
    if (shmctl(id, IPC_STAT, &gShmInfo) < 0) {
        perror("shmctl: cannot get stats about shared memory pool");
        exit(1);
    }
    // Only root's server makes the segment; one that anybody else made first
    // names files and processes of that user's choosing, which a set-user-ID
    // run would open and signal as root.
    if (gShmInfo.shm_perm.uid != 0 || gShmInfo.shm_perm.cuid != 0) {
        fprintf(stderr, "The shared memory pool for key = 0x%08lx is not owned by root; not reading it.\n",
                static_cast<unsigned long>(static_cast<unsigned>(gKey)));
        exit(1);
    }
    // A segment too small for its header would make us read past its end.
    if (gShmInfo.shm_segsz < kShmHeaderSize) {
        fprintf(stderr, "This is not a Zorvad shared memory pool.\n");
        exit(1);
    }
    CheckVersion();
    gMaxUsers = static_cast<int>(gHead->maxUsers);
    if (gHead->maxUsers > 0x7FFFFFF0u || gShmInfo.shm_segsz < ShmSegmentSize(gMaxUsers)) {
        fprintf(stderr, "The shared memory pool (%lu bytes) is smaller than its %u users need.\n",
                static_cast<unsigned long>(gShmInfo.shm_segsz), gHead->maxUsers);
        exit(1);
    }
    gStamps = static_cast<time_t *>(calloc(gMaxUsers + 2, sizeof(time_t)));
    if (gStamps == nullptr) {
        fprintf(stderr, "calloc(%d,%u) failed!\n", gMaxUsers + 2, static_cast<unsigned>(sizeof(time_t)));
        exit(1);
    }
}

void SnapshotSlot(int i, ShmSlot *copy)
{
    memcpy(copy, gBase + kShmHeaderSize + kShmSlotSize * i, sizeof(*copy));
    TerminateText(copy->sessionId, sizeof(copy->sessionId));
    TerminateText(copy->user, sizeof(copy->user));
    TerminateText(copy->loginId, sizeof(copy->loginId));
    TerminateText(copy->host, sizeof(copy->host));
    TerminateText(copy->addr, sizeof(copy->addr));
    TerminateText(copy->restriction, sizeof(copy->restriction));
    TerminateText(copy->domain, sizeof(copy->domain));
    TerminateText(copy->command, sizeof(copy->command));
    TerminateText(copy->cwd, sizeof(copy->cwd));
    if (gPublic) {
        copy->loginId[0] = '\0';
        copy->cwd[0] = '\0';
        copy->command[strcspn(copy->command, " ")] = '\0';
    }
}

void SnapshotDomainTotals(ShmDomainTotals *copy)
{
    memcpy(copy, gBase + ShmDomainTotalsOffset(gMaxUsers), kShmDomainTotals * sizeof(*copy));
    for (int i = 0; i < kShmDomainTotals; i++)
        TerminateText(copy[i].domain, sizeof(copy[i].domain));
}

int32_t SlotPid(int i)
{
    int32_t pid;
    memcpy(&pid, gBase + kShmHeaderSize + kShmSlotSize * i + offsetof(ShmSlot, pid), sizeof(pid));
    return pid;
}

void InstallInterruptHandler()
{
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;    // no restart: a sleep or read returns to look at the flag
    sigaction(SIGINT, &sa, nullptr);
}

void ClientName(const ShmSlot &s, char *dst, size_t size)
{
    Strncpy(dst, s.host, size);
    if (gNoResolve)
        return;
    SioAddr sa;
    if (SioAddrFromText(s.host, &sa) < 0)
        return;    // the server resolved it already
    // A name that does not lead back to the address is its holder's claim only.
    char name[NI_MAXHOST];
    gInDnsLookup = 1;
    const bool named = getnameinfo(&sa.sa, SioAddrLen(&sa), name, sizeof(name), nullptr, 0, NI_NAMEREQD) == 0 &&
                       SioNameLeadsBack(name, &sa);
    gInDnsLookup = 0;
    if (named)
        Strncpy(dst, name, size);
}

void WhoText(const ShmSlot &s, const char *client, char *dst, size_t size)
{
    Strncpy(dst, s.loginId[0] != '\0' ? s.loginId : s.user, size);
    char *at = strchr(dst, '@');
    if (at != nullptr && at[1] != '\0' && strcasecmp(at + 1, client) == 0)
        at[1] = '\0';
}

long IdleSeconds(const ShmSlot &s, time_t now)
{
    const long idle = static_cast<long>(now - s.lastCommandTime);
    return idle > 0 ? idle : 0;
}

void Printable(char *dst, size_t size, const char *src)
{
    // C1 controls, raw or as UTF-8 (0xC2 0x80-0x9F), start escape sequences
    // on 8-bit terminals just as the C0 ones do.
    size_t n = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(src); *p != '\0' && n + 1 < size; p++) {
        const unsigned char c = *p;
        if (c == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F) {
            dst[n++] = '?';
            p++;
        } else {
            dst[n++] = (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F)) ? '?' : static_cast<char>(c);
        }
    }
    if (size > 0)
        dst[n] = '\0';
}

void PutHtml(const char *text)
{
    for (const char *cp = text; *cp != '\0'; cp++) {
        const unsigned char c = static_cast<unsigned char>(*cp);
        switch (c) {
        case '<':
            fputs("&lt;", stdout);
            break;
        case '>':
            fputs("&gt;", stdout);
            break;
        case '&':
            fputs("&amp;", stdout);
            break;
        case '"':
            fputs("&quot;", stdout);
            break;
        case '\'':
            fputs("&#39;", stdout);
            break;
        default:
            if (c < 0x80) {
                putchar(c < 0x20 || c == 0x7F ? '?' : c);
            } else if (const int n = Utf8Length(reinterpret_cast<const unsigned char *>(cp)); n > 0) {
                unsigned code = c & (0x7F >> n);
                for (int i = 1; i < n; i++)
                    code = (code << 6) | (static_cast<unsigned char>(cp[i]) & 0x3F);
                if (code <= 0x9F)
                    putchar('?');    // a C1 control
                else
                    printf("&#x%X;", code);
                cp += n - 1;
            } else {
                fputs("&#xFFFD;", stdout);
            }
        }
    }
}
