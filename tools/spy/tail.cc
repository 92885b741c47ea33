// The misc log: tail (following it across date-stamped names) and the verbose
// toggle, which signals the master and then may follow the log.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "Strn.h"
#include "spy.h"

namespace {

constexpr int kPatternSize = 512;
constexpr int kMissingReport = 4;     // failed attempts before the "does not exist" note
constexpr unsigned kMissingRetry = 2; // seconds between attempts

// general.cf as the server recorded it; a relative path (from a server
// that recorded the name as given) is taken from the master's working
// directory, for root only: slot 0 may name a dead master whose pid another
// user's process has taken, and a set-user-ID run would then read that
// user's file and open the log it names as root.  false (printed) when it
// is not followed.
bool GeneralCfPath(char *dst, size_t size)
{
    char given[kShmConfigPathSize + 1] = {};
    memcpy(given, gHead->generalCf, kShmConfigPathSize);
    if (given[0] == '/' || given[0] == '\0') {
        Strncpy(dst, given, size);
        return true;
    }
    if (getuid() != 0) {
        char shown[kShmConfigPathSize + 1];
        Printable(shown, sizeof(shown), given);
        printf("Warning: the server names its general.cf by a relative path (%s); only root may follow it.\n",
               shown);
        return false;
    }
    snprintf(dst, size, "/proc/%d/cwd/%s", SlotPid(0), given);
    return true;
}

// The follower's state across passes.
struct Follower {
    int fd = -1;
    char name[kPatternSize] = "";
    char line[4096];
    size_t lineLen = 0;
    int level = 0;            // from the last "Verbose logging =" line
};

void EmitLine(Follower *f)
{
    f->line[f->lineLen] = '\0';
    if (const char *v = strstr(f->line, "Verbose logging ="); v != nullptr) {
        int level;
        if (sscanf(v, "%*s %*s %*s %d", &level) == 1)
            f->level = level;
    }
    fwrite(f->line, 1, f->lineLen, stdout);
    f->lineLen = 0;
}

// Copies what was added to the open log; false when nothing was.
bool CopyNew(Follower *f)
{
    char buf[8192];
    bool any = false;
    ssize_t n;
    while ((n = read(f->fd, buf, sizeof(buf))) > 0) {
        any = true;
        for (ssize_t i = 0; i < n; i++) {
            f->line[f->lineLen++] = buf[i];
            if (buf[i] == '\n' || f->lineLen == sizeof(f->line) - 1)
                EmitLine(f);
        }
    }
    fflush(stdout);
    return any;
}

}  // namespace

bool ReadLogPattern(char *dst, size_t size)
{
    dst[0] = '\0';
    char path[kShmConfigPathSize + 64];
    if (!GeneralCfPath(path, sizeof(path)))
        return false;
    FILE *fp = fopen(path, "r");
    if (fp == nullptr) {
        printf("Warning: could not open %s: %s\n", path, strerror(errno));
        return false;
    }
    char line[4096];
    while (fgets(line, sizeof(line), fp) != nullptr) {
        if (line[0] == '#')
            continue;
        line[strcspn(line, "#")] = '\0';
        char *key = line + strspn(line, " =\t\r\n");
        char *cp = key + strcspn(key, " =\t\r\n");
        if (*cp != '\0')
            *cp++ = '\0';
        if (strcasecmp(key, "log-misc") != 0)
            continue;
        cp += strspn(cp, " =\t");
        cp[strcspn(cp, "\r\n")] = '\0';
        size_t len = strlen(cp);
        while (len > 0 && (cp[len - 1] == ' ' || cp[len - 1] == '\t'))
            cp[--len] = '\0';
        Strncpy(dst, cp, size);    // a later line wins, as in the server
    }
    fclose(fp);
    return true;
}

void CurrentLogName(const char *pattern, char *dst, size_t size)
{
    const time_t now = time(nullptr);
    struct tm tm {};
    dst[0] = '\0';
    if (pattern[0] != '\0' && localtime_r(&now, &tm) != nullptr && strftime(dst, size, pattern, &tm) == 0)
        dst[0] = '\0';
}

// Follows the misc log.  The log open at the start is followed from its end
// (or from notedEnd when it is notedName); every log that appears later, for
// a new period of a date-stamped name, from its beginning.
int Tail(int fromNotedEnd, long notedEnd, const char *notedName)
{
    char pattern[kPatternSize];
    if (!ReadLogPattern(pattern, sizeof(pattern)))
        return 1;
    if (pattern[0] != '/') {
        printf("There is no misc log to follow (log-misc is not set).\n");
        return 1;
    }
    printf("\nYou may not see any misc log messages unless you have enabled verbose logging mode.\n");
    fflush(stdout);

    Follower f;
    bool firstPass = true;
    int missing = 0;
    while (!gInterrupted) {
        char current[kPatternSize];
        CurrentLogName(pattern, current, sizeof(current));
        if (f.fd < 0 || strcmp(current, f.name) != 0) {
            const int fd = open(current, O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                firstPass = false;
                if (++missing == kMissingReport) {
                    printf("\n*** New log does not exist yet: %s\n", current);
                    fflush(stdout);
                }
                sleep(kMissingRetry);
                continue;
            }
            if (f.fd >= 0) {
                CopyNew(&f);    // the rest of the old period's log
                if (f.lineLen > 0)
                    EmitLine(&f);
                close(f.fd);
            }
            f.fd = fd;
            Strncpy(f.name, current);
            missing = 0;
            if (fromNotedEnd && notedName != nullptr && strcmp(current, notedName) == 0)
                lseek(fd, notedEnd, SEEK_SET);
            else if (firstPass)
                lseek(fd, 0, SEEK_END);
            firstPass = false;
            printf("\n*** Contents of: %s\n", f.name);
            fflush(stdout);
        }
        if (!CopyNew(&f))
            sleep(1);
    }
    if (f.level != 0) {
        printf("\n\n*** Note: Verbose logging appears to be set to %d.\n"
               "*** This program will exit, but Zorvad will still log at this level.\n", f.level);
    }
    fflush(stdout);
    if (f.fd >= 0)
        close(f.fd);
    return 0;
}

namespace {

// The segment is root's (AttachSegment checks); its slot 0 must still name a
// live process of the server's program.  The creator pid is no help: a
// server started with -d made the segment before it detached.
bool IsOurMaster(int master)
{
    char link[64], exe[4096];
    snprintf(link, sizeof(link), "/proc/%d/exe", master);
    const ssize_t n = readlink(link, exe, sizeof(exe) - 1);
    if (n <= 0) {
        fprintf(stderr, "Pid %d is not running; not signalling it.\n", master);
        return false;
    }
    exe[n] = '\0';
    const char *base = strrchr(exe, '/');
    base = base != nullptr ? base + 1 : exe;
    if (strcmp(base, "zorvad") != 0 && strcmp(base, "zorvad (deleted)") != 0) {
        fprintf(stderr, "Pid %d is not a Zorvad main process; not signalling it.\n", master);
        return false;
    }
    return true;
}

}  // namespace

int Toggle(int andTail)
{
    char pattern[kPatternSize];
    ReadLogPattern(pattern, sizeof(pattern));
    const int master = SlotPid(0);
    printf("kill -USR1 %d     # (main process)\n", master);
    fflush(stdout);
    // A pid of 0 or -1 would signal a whole group or every process.
    if (master <= 1) {
        fprintf(stderr, "The shared memory pool holds no main process.\n");
        return 1;
    }
    if (!IsOurMaster(master))
        return 1;

    char name[kPatternSize] = "";
    long end = 0;
    if (pattern[0] == '/') {
        CurrentLogName(pattern, name, sizeof(name));
        const int fd = open(name, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            end = static_cast<long>(lseek(fd, 0, SEEK_END));
            close(fd);
        }
    }
    if (kill(master, SIGUSR1) < 0) {
        perror("kill");
        return 1;
    }
    char when[64] = "";
    const time_t now = time(nullptr);
    struct tm tm {};
    if (localtime_r(&now, &tm) != nullptr)
        strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", &tm);
    if (name[0] != '\0')
        printf("Toggled at %s.\nThere should now be a message in the current misc log,\n%s, that reads "
               "'Verbose logging = N', where N is an integer.\n", when, name);
    else
        printf("Toggled at %s.\nThere should now be a message in the current misc log that reads "
               "'Verbose logging = N', where N is an integer.\n", when);
    fflush(stdout);
    if (andTail)
        return Tail(1, end, name);
    return 0;
}
