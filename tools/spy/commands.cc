// The commands that read the slots: who, watch, pids, cachestat, dump, dumpinfo.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "Strn.h"
#include "spy.h"

namespace {

struct SessionView {
    int child;
    ShmSlot slot;
    char client[256];
    char who[256];
};

// Slot i as who shows it; false when it serves no session.
bool ViewSession(int i, SessionView *v)
{
    SnapshotSlot(i, &v->slot);
    if (v->slot.lastCommandTime == 0)
        return false;
    v->child = i;
    ClientName(v->slot, v->client, sizeof(v->client));
    WhoText(v->slot, v->client, v->who, sizeof(v->who));
    return true;
}

void PrintHtmlHead(const char *what)
{
    char host[256] = "";
    printf("<html>\n");
    printf("<head>\n");
    if (gethostname(host, sizeof(host) - 1) == 0 && host[0] != '\0') {
        printf("<title>%s for ", what);
        PutHtml(host);
        printf("</title>\n");
    } else {
        printf("<title>%s</title>\n", what);
    }
    printf("</head>\n");
    printf("<body BGCOLOR=#FFFFFF>\n");
}

void PrintHtmlTail()
{
    printf("</body>\n");
    printf("</html>\n");
}

void Cell(const char *text, const char *before = "", const char *after = "", const char *attrs = "")
{
    printf("\t\t<td%s>%s", attrs, before);
    PutHtml(text);
    printf("%s</td>\n", after);
}

int WhoText()
{
    const time_t now = time(nullptr);
    int n = 0;
    for (int i = 1; i <= gMaxUsers; i++) {
        SessionView v;
        if (!ViewSession(i, &v))
            continue;
        if (n++ == 0)
            printf("Who                           From                         Num   PID       Idle\n");
        char who[64], from[64];
        Printable(who, sizeof(who), v.who[0] != '\0' ? v.who : "<newuser>");
        Printable(from, sizeof(from), v.client);
        const long idle = IdleSeconds(v.slot, now);
        printf("%-29.29s %-27.27s #%03d %06d %4d:%02d:%02d\n", who, from, v.child, v.slot.pid,
               static_cast<int>(idle / 3600), static_cast<int>(idle / 60 % 60), static_cast<int>(idle % 60));
    }
    if (n == 0)
        printf("No FTP users logged on.\n");
    return 0;
}

int WhoHtml()
{
    const time_t now = time(nullptr);
    PrintHtmlHead("Zorvad User Status");
    int n = 0;
    for (int i = 1; i <= gMaxUsers; i++) {
        SessionView v;
        if (!ViewSession(i, &v))
            continue;
        if (n++ == 0) {
            printf("<table BORDER BGCOLOR=\"#CCCCCC\" cellpadding=5>\n");
            printf("\t<tr BGCOLOR=\"#A2D0FF\">\n");
            for (const char *h : {"Who", "From", "To", "Start Time", "Idle Time", "Child#", "PID",
                                  "Current Directory", "What"}) {
                if (!gPublic || strcmp(h, "Current Directory") != 0)    // a public page shows no paths
                    printf("\t\t<th>%s</th>\n", h);
            }
            printf("\t</tr>\n");
        }
        char start[64] = "";
        const time_t started = static_cast<time_t>(v.slot.sessionStart);
        struct tm tm {};
        if (localtime_r(&started, &tm) != nullptr)
            strftime(start, sizeof(start), "%X", &tm);
        const long idle = IdleSeconds(v.slot, now);
        char idleText[32], child[16], pid[16];
        snprintf(idleText, sizeof(idleText), "%d:%02d:%02d", static_cast<int>(idle / 3600),
                 static_cast<int>(idle / 60 % 60), static_cast<int>(idle % 60));
        snprintf(child, sizeof(child), "%d", v.child);
        snprintf(pid, sizeof(pid), "%d", v.slot.pid);
        printf("\t<tr>\n");
        Cell(v.who[0] != '\0' ? v.who : "(new user)");
        Cell(v.client);
        Cell(v.slot.domain);
        Cell(start);
        Cell(idleText);
        Cell(child, "", "", " align=center");
        Cell(pid);
        if (!gPublic)
            Cell(v.slot.cwd, "<small><tt>", "</tt></small>");
        Cell(v.slot.command);
        printf("\t</tr>\n");
        fflush(stdout);
    }
    if (n == 0)
        printf("<P>No FTP users logged on.\n");
    else
        printf("</table>\n");
    PrintHtmlTail();
    return 0;
}

// Opens name with the real user's rights: a set-user-ID monitor must not
// create or truncate a file its caller could not.
int OpenAsCaller(const char *name)
{
    const uid_t euid = geteuid();
    const gid_t egid = getegid();
    if (setegid(getgid()) < 0 || seteuid(getuid()) < 0) {
        perror("seteuid");
        return -1;
    }
    const int fd = open(name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    const int saved = errno;
    if (seteuid(euid) < 0 || setegid(egid) < 0) {
        perror("seteuid");
        if (fd >= 0)
            close(fd);
        exit(1);
    }
    errno = saved;
    return fd;
}

// The output of dump and dumpinfo: -o names a new or existing regular file,
// truncated only once it is known to be one.
int OpenOutput()
{
    if (gOutFile == nullptr)
        return STDOUT_FILENO;
    const int fd = OpenAsCaller(gOutFile);
    if (fd < 0) {
        perror(gOutFile);
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode)) {
        fprintf(stderr, "%s: not a regular file.\n", gOutFile);
        close(fd);
        return -1;
    }
    if (ftruncate(fd, 0) < 0) {
        perror(gOutFile);
        close(fd);
        return -1;
    }
    return fd;
}

int WriteOut(const void *data, size_t size)
{
    const int fd = OpenOutput();
    if (fd < 0)
        return 1;
    const char *p = static_cast<const char *>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, p + done, size - done);
        if (n <= 0) {
            perror(gOutFile != nullptr ? gOutFile : "write");
            if (fd != STDOUT_FILENO)
                close(fd);
            return 1;
        }
        done += static_cast<size_t>(n);
    }
    if (fd != STDOUT_FILENO && close(fd) < 0) {
        perror(gOutFile);
        return 1;
    }
    return 0;
}

}  // namespace

int Who()
{
    return gHtml ? WhoHtml() : WhoText();
}

int Watch()
{
    while (!gInterrupted) {
        for (int i = 1; i <= gMaxUsers; i++) {
            ShmSlot s;
            SnapshotSlot(i, &s);
            if (s.lastCommandTime == gStamps[i])
                continue;
            gStamps[i] = s.lastCommandTime;
            if (s.lastCommandTime == 0) {
                printf("#%03d <closed>\n", i);
            } else {
                char client[256], who[256], shownWho[256], command[256];
                ClientName(s, client, sizeof(client));
                WhoText(s, client, who, sizeof(who));
                Printable(shownWho, sizeof(shownWho), who[0] != '\0' ? who : "<newuser>");
                Printable(command, sizeof(command), s.command);
                printf("#%03d %-24s %s\n", i, shownWho, command);
            }
            fflush(stdout);
        }
        sleep(1);
    }
    return 0;
}

int Pids()
{
    const int master = SlotPid(0);
    const int logger = SlotPid(gMaxUsers + 1);
    if (!gHtml) {
        printf("%-6d (main process)\n", master);
        printf("%-6d (logger process)\n", logger);
        for (int i = 1; i <= gMaxUsers; i++) {
            const int pid = SlotPid(i);
            if (pid != 0)
                printf("%-6d (child process #%d)\n", pid, i);
        }
        return 0;
    }
    PrintHtmlHead("Zorvad Process Status");
    printf("<table BORDER BGCOLOR=\"#CCCCCC\" cellpadding=5>\n");
    printf("\t<tr BGCOLOR=\"#A2D0FF\">\n\t\t<th>Process</th>\n\t\t<th>PID</th>\n\t</tr>\n");
    printf("\t<tr>\n\t\t<td>Main</td>\n\t\t<td>%d</td>\n\t</tr>\n", master);
    printf("\t<tr>\n\t\t<td>Logger</td>\n\t\t<td>%d</td>\n\t</tr>\n", logger);
    for (int i = 1; i <= gMaxUsers; i++) {
        const int pid = SlotPid(i);
        if (pid == 0)
            continue;
        printf("\t<tr>\n\t\t<td>Child #%d</td>\n\t\t<td>%d</td>\n\t</tr>\n", i, pid);
    }
    printf("</table>\n");
    PrintHtmlTail();
    return 0;
}

void CacheCounters(unsigned long *attempts, unsigned long *hits)
{
    *attempts = *hits = 0;
    for (int i = 1; i <= gMaxUsers; i++) {
        ShmSlot s;
        SnapshotSlot(i, &s);
        *attempts += s.lsRequests;
        *hits += s.lsCacheHits;
    }
}

int CacheStat()
{
    unsigned long attempts, hits;
    CacheCounters(&attempts, &hits);
    printf("Attempts: %-10d Hits: %-10d Hit rate: %.2f%%.\n", static_cast<int>(attempts), static_cast<int>(hits),
           attempts != 0 ? 100.0 * static_cast<double>(hits) / static_cast<double>(attempts) : 0.0);
    return 0;
}

int Dump()
{
    return WriteOut(gHead, gShmInfo.shm_segsz);
}

int DumpInfo()
{
    return WriteOut(&gShmInfo, sizeof(gShmInfo));
}
