// Descriptor housekeeping of long-lived processes: the highest descriptor a
// process is expected to keep, the sweep that closes what leaked above it, and
// the report written when a child runs out of descriptors.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <iterator>
#include <ctime>

#include "config/config.h"
#include "log/log.h"
#include "process/master.h"
#include "status/shm.h"

namespace {

int gHighestExpectedFd = 2;
bool gLeakReportDone = false;

struct FdType {
    mode_t type;
    const char *sweepName;     // in the sweep's log line
    const char *reportName;    // in the descriptor report
};
constexpr FdType kFdTypes[] = {
    {S_IFREG, "regular file", "file"},
    {S_IFDIR, "directory", "dir"},
    {S_IFCHR, "character device", "chr"},
    {S_IFBLK, "block device", "blk"},
    {S_IFIFO, "fifo", "fifo"},
    {S_IFLNK, "symlink", "link"},
    {S_IFSOCK, "socket", "socket"},
};

const FdType *TypeOf(const struct stat &st)
{
    for (const FdType &t : kFdTypes) {
        if ((st.st_mode & S_IFMT) == t.type)
            return &t;
    }
    return nullptr;
}

// Calls fn for every open descriptor, in increasing order as the kernel lists
// them; the directory's own descriptor is left out.  The directory is read
// into a buffer on the stack: opendir's would come from the heap, and a pool
// child that notes its descriptors would copy the allocator's pages.
template <typename Fn>
void ForEachOpenFd(Fn fn)
{
    const int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        for (int fd = 0; fd < 1024; fd++) {
            struct stat st;
            if (fstat(fd, &st) == 0)
                fn(fd);
        }
        return;
    }
    alignas(struct dirent64) char buf[2048];
    for (;;) {
        const ssize_t got = getdents64(dir, buf, sizeof(buf));
        if (got <= 0)
            break;
        // Collect first: closing while reading the directory would disturb it.
        int fds[sizeof(buf) / 16];
        size_t n = 0;
        for (ssize_t off = 0; off < got && n < std::size(fds);) {
            const auto *e = reinterpret_cast<const struct dirent64 *>(buf + off);
            off += e->d_reclen;
            if (e->d_name[0] == '.')
                continue;
            const int fd = atoi(e->d_name);
            if (fd != dir)
                fds[n++] = fd;
        }
        for (size_t i = 0; i < n; i++)
            fn(fds[i]);
    }
    close(dir);
}

}  // namespace

int HighestOpenDescriptor()
{
    int highest = -1;
    ForEachOpenFd([&](int fd) {
        if (fd > highest)
            highest = fd;
    });
    return highest;
}

void NoteHighestDescriptor()
{
    gHighestExpectedFd = HighestOpenDescriptor();
}

void CloseStrayDescriptors()
{
    // The system log's socket is opened on first use, after the highest
    // descriptor was noted: close it properly rather than behind its back.
    closelog();
    ForEachOpenFd([](int fd) {
        if (fd <= gHighestExpectedFd)
            return;
        if (gTraceLogging) {
            struct stat st;
            const FdType *t = fstat(fd, &st) == 0 ? TypeOf(st) : nullptr;
            Log(kLogMisc, "Descriptor %d (of type %s) was unexpectedly open and has been closed.\n", fd,
                t != nullptr ? t->sweepName : "unknown");
        }
        close(fd);
    });
    openlog("Zorvad", LOG_PID, LOG_DAEMON);
}

void LeakReport()
{
    if (gLeakReportDone)
        return;
    gLeakReportDone = true;
    struct rlimit rl;
    int limit = 257;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        limit = static_cast<int>(rl.rlim_cur);
    const time_t now = ShmTime(nullptr);
    int used = 0;
    for (int fd = 0; fd < limit; fd++) {
        struct stat st;
        if (fstat(fd, &st) < 0)
            continue;
        used++;
        const FdType *t = TypeOf(st);
        const unsigned long age = now > st.st_mtime ? static_cast<unsigned long>(now - st.st_mtime) : 0;
        Log(kLogMisc, "  fd %2d type=%-8s age=%-5lu size=%llu\n", fd, t != nullptr ? t->reportName : "unknown",
            age, static_cast<unsigned long long>(st.st_size));
    }
    Log(kLogMisc, "%d descriptors used (max %d).\n", used, limit);
}
