// SITE DF: the size and use of the file system that holds a path.
#include <fcntl.h>
#include <sys/statvfs.h>

#include <cerrno>

#include "paths/safefs.h"
#include "paths/uniquefd.h"
#include "session/filecmds.h"
#include "session/shell.h"
#include "session/site.h"

namespace {

constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;

double Percent(long long part, long long whole)
{
    return whole > 0 ? static_cast<double>(part) * 100.0 / static_cast<double>(whole) : 0.0;
}

}  // namespace

void Df(const char *path)
{
    char real[kPathBufSize];
    if (!PathPrologue(path, -1, nullptr, real, sizeof(real)))
        return;
    // Measured through a descriptor of the checked path, so that a link put
    // in its way since the check cannot make it report another file system.
    struct statvfs vfs;
    UniqueFd fd(SafeOpen(real, O_PATH));
    if (!fd.ok() || fstatvfs(fd.get(), &vfs) < 0) {
        ReplySysError(errno, "550 No such file or directory.\r\n", "550 df failed: %.420s\r\n");
        return;
    }
    const long long frag = static_cast<long long>(vfs.f_frsize);
    const long long total = static_cast<long long>(vfs.f_blocks) * frag;
    const long long used = static_cast<long long>(vfs.f_blocks - vfs.f_bfree) * frag;
    // Root may use the blocks kept back from everyone else.
    const long long free = static_cast<long long>(gSessionUid == 0 ? vfs.f_bfree : vfs.f_bavail) * frag;
    const long long inodes = static_cast<long long>(vfs.f_files);
    const long long inodesFree = static_cast<long long>(vfs.f_ffree);
    const long long inodesUsed = inodes - inodesFree;

    Reply("200-Information for partition containing %.420s:\r\n", path);
    Reply("200-%16lld  bytes total (%.2f GBytes)\r\n", total, static_cast<double>(total) / kGiB);
    Reply("200-%16lld  bytes used  (%.2f GBytes)\r\n", used, static_cast<double>(used) / kGiB);
    Reply("200-%16lld  bytes free  (%.2f GBytes)\r\n", free, static_cast<double>(free) / kGiB);
    Reply("200-%16.2f%% bytes in use\r\n", Percent(used, total));
    Reply("200-%16lld  inodes total\r\n", inodes);
    Reply("200-%16lld  inodes used\r\n", inodesUsed);
    Reply("200-%16lld  inodes free\r\n", inodesFree);
    Reply("200-%16.2f%% inodes in use\r\n", Percent(inodesUsed, inodes));
    Reply("200 Done.\r\n");
}
