// The PID file: a shell script root runs to stop the server. Every line is
// 64 bytes so that each process can rewrite its own line in place:
//
//   0    "#!/bin/sh\n"
//   10   kill -15 <master>   # main process
//   74   sleep 5
//   138  kill -9 <logger>    (or an error echo when there is no logger)
//   202  one line per child 1..max-users, then one more blank line
//
// The file stays owned by root with mode 0755, because root executes it.
// The master opens it before any privilege is dropped or any chroot is made;
// children and the logger inherit that descriptor and write their lines
// through it, so they never need the right to open the file themselves. A
// child closes it once its line is written (a session must not hold a
// script root runs); the master blanks the line when it reaps the child.
//
// Because root runs it, nobody else may have a hand in it: its directory
// (and every one above) must be one only root can change, and the file is
// always made anew, never reused.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "log/log.h"
#include "process/startup.h"
#include "paths/trusteddir.h"

namespace {

int gPIDFileFd = -1;
bool gPIDFileCreated = false;
int gPIDDirFd = -1;         // the file's directory, still reachable after a chroot

// The directory part of the PID file's path ("." when it has none) and the
// name in it.
void SplitPIDFilePath(char *dir, size_t size, const char **name)
{
    const char *slash = strrchr(gPIDFile, '/');
    if (slash == nullptr) {
        snprintf(dir, size, ".");
        *name = gPIDFile;
        return;
    }
    snprintf(dir, size, "%.*s", slash == gPIDFile ? 1 : static_cast<int>(slash - gPIDFile), gPIDFile);
    *name = slash + 1;
}

// Formats one line: the text cut or padded with blanks to 63 characters and
// a newline.
void FormatLine(char line[kPIDLineSize + 1], const char *text)
{
    snprintf(line, kPIDLineSize + 1, "%-63.63s\n", text);
}

off_t LineOffset(int child)
{
    // The logger (negative) writes the line at 138; child n the one at 138 + 64n.
    return 138 + static_cast<off_t>(kPIDLineSize) * (child < 0 ? 0 : child);
}

// Creates the file anew in the directory: whatever had the name (a file
// someone else planted and may hold open, a link) is removed, not reused.
// Returns the descriptor or -1 (logged).
int CreatePIDFile(int dirFd, const char *name)
{
    if (unlinkat(dirFd, name, 0) < 0 && errno != ENOENT)
        LogPerror("Could not remove old PID file %.200s", gPIDFile);
    const int fd = openat(dirFd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0755);
    if (fd < 0) {
        LogPerror("Could not create PID file %.200s", gPIDFile);
        return -1;
    }
    gPIDFileCreated = true;
    struct stat st;
    if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != geteuid()) {
        Log(kLogMisc, "PID file %.200s is not a file of this server's alone.\n", gPIDFile);
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int OpenPIDFileDirectory(char *bad, size_t badSize)
{
    char dir[kPIDFileSize];
    const char *name;
    SplitPIDFilePath(dir, sizeof(dir), &name);
    char real[PATH_MAX];
    if (realpath(dir, real) == nullptr) {
        snprintf(bad, badSize, "%s", dir);
        return -1;
    }
    size_t len = strlen(real);
    const int fd = OpenTrustedDirectory(real, geteuid(), &len);
    if (fd < 0) {
        const int err = errno;
        snprintf(bad, badSize, "%.*s", static_cast<int>(len), real);
        errno = err;
    }
    return fd;
}

void InitPIDFile()
{
    if (gPIDFile[0] == '\0')
        return;
    // The start-up checks passed; a directory changed since, or a file that
    // cannot be made, still stops the server: root relies on the script.
    char bad[PATH_MAX];
    const int dirFd = OpenPIDFileDirectory(bad, sizeof(bad));
    if (dirFd < 0) {
        LogPerror("Could not create PID file %.200s in %.200s", gPIDFile, bad);
        Exit(1);
    }
    // An anonymous-only master may chroot later and must still remove it.
    gPIDDirFd = dirFd;
    char dir[kPIDFileSize];
    const char *name;
    SplitPIDFilePath(dir, sizeof(dir), &name);
    const int fd = CreatePIDFile(dirFd, name);
    if (fd < 0)
        Exit(1);
    // The creation mask may have cleared bits; root owns and runs the script.
    if (fchmod(fd, 0755) < 0)
        LogPerror("fchmod %.200s", gPIDFile);
    if (geteuid() == 0 && fchown(fd, 0, 0) < 0)
        LogPerror("fchown %.200s", gPIDFile);

    const int n = gNumChildren > 0 ? gNumChildren : 1;
    const size_t size = 10 + static_cast<size_t>(kPIDLineSize) * (n + 4);
    char *buf = new char[size + 1];
    char *p = buf;
    memcpy(p, "#!/bin/sh\n", 10);
    p += 10;
    char text[128];
    snprintf(text, sizeof(text), "kill -15 %6d                # main process", static_cast<int>(gMasterPID));
    FormatLine(p, text);
    p += kPIDLineSize;
    FormatLine(p, "sleep 5");
    p += kPIDLineSize;
    if (gLoggerPID >= 2)
        snprintf(text, sizeof(text), "kill -9  %6d 2>/dev/null    # logger", static_cast<int>(gLoggerPID));
    else
        snprintf(text, sizeof(text), "echo ERROR: logger PID unknown");
    FormatLine(p, text);
    p += kPIDLineSize;
    for (int i = 0; i <= n; i++, p += kPIDLineSize)
        FormatLine(p, "");

    ssize_t w = pwrite(fd, buf, size, 0);
    if (w != static_cast<ssize_t>(size))
        LogPerror("Could not write PID file %.200s", gPIDFile);
    delete[] buf;
    gPIDFileFd = fd;
}

namespace {

void WritePIDLine(int child, const char *text)
{
    char line[kPIDLineSize + 1];
    FormatLine(line, text);
    const int saved = errno;
    if (pwrite(gPIDFileFd, line, kPIDLineSize, LineOffset(child)) != kPIDLineSize)
        LogPerror("Could not update PID file %.200s", gPIDFile);
    errno = saved;
}

}  // namespace

void WritePIDFile(int clear)
{
    if (gPIDFileFd < 0 || gChild == 0)
        return;
    char text[128];
    if (clear)
        text[0] = '\0';
    else if (gChild < 0)
        snprintf(text, sizeof(text), "kill -9  %6d 2>/dev/null    # logd", static_cast<int>(getpid()));
    else
        snprintf(text, sizeof(text), "kill -9  %6d 2>/dev/null    # child %d", static_cast<int>(getpid()), gChild);
    WritePIDLine(gChild, text);
}

void ForgetPIDFileDirectory()
{
    if (gPIDDirFd >= 0)
        close(gPIDDirFd);
    gPIDDirFd = -1;
    gPIDFileCreated = false;
}

void LeavePIDFile()
{
    WritePIDFile(0);
    if (gPIDFileFd >= 0)
        close(gPIDFileFd);
    gPIDFileFd = -1;
    ForgetPIDFileDirectory();
}

void ClearChildPIDLine(int child)
{
    if (gPIDFileFd >= 0 && gChild == 0 && child > 0)
        WritePIDLine(child, "");
}

void RemovePIDFile()
{
    if (gPIDFileFd >= 0) {
        close(gPIDFileFd);
        gPIDFileFd = -1;
    }
    // Only a file this master wrote is removed: a failed start must not
    // delete the script of a server that is still running.
    if (gPIDFileCreated && gPIDFile[0] != '\0') {
        char dir[kPIDFileSize];
        const char *name;
        SplitPIDFilePath(dir, sizeof(dir), &name);
        if (gPIDDirFd >= 0)
            unlinkat(gPIDDirFd, name, 0);
        else
            unlink(gPIDFile);
    }
    if (gPIDDirFd >= 0) {
        close(gPIDDirFd);
        gPIDDirFd = -1;
    }
    gPIDFileCreated = false;
}
