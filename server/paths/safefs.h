// The one door to the file system for paths a client named.
//
// CheckPathName hands back a real path with every link resolved, and that is
// what was checked.  Using it by name afterwards would follow a component
// that has since been swapped for a link (a directory replaced by a link
// that leads out), so every call here walks the path with links forbidden:
// openat2 with RESOLVE_NO_SYMLINKS, or one component at a time with
// O_NOFOLLOW where the kernel lacks it.  A link met now means the tree
// changed since the check: the call fails with EACCES, so callers refuse
// with "553 Permission denied." exactly as the check would have, and the
// reason goes to the trace log.
//
// Operations on a last component that may itself be a link (removing or
// renaming a link, lstat of a listing entry) work through an O_PATH handle
// on the parent and the *at calls, so only the parent must be link-free.
//
// Every function returns what the system call it wraps returns (a
// descriptor, 0, or -1 with errno set); none of them blocks on a FIFO unless
// the caller asked for a blocking open of one.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

// ---- Whole paths: no link anywhere ---------------------------------------------------
// open(2) of a link-free absolute (or cwd-relative) path; O_CLOEXEC is added.
[[nodiscard]] int SafeOpen(const char *realPath, int flags, mode_t mode = 0);
// chdir(2), through a descriptor of the directory.
[[nodiscard]] int SafeChdir(const char *realPath);
// opendir(3); nullptr with errno on failure.
[[nodiscard]] DIR *SafeOpendir(const char *realPath);
// stat(2): the path's own status (it holds no link, so nothing is followed).
[[nodiscard]] int SafeStat(const char *realPath, struct stat *st);

// ---- The last component may be a link; everything before it may not -----------------
[[nodiscard]] int SafeLstat(const char *path, struct stat *st);
[[nodiscard]] ssize_t SafeReadlink(const char *path, char *buf, size_t size);
[[nodiscard]] int SafeUnlink(const char *path);
[[nodiscard]] int SafeRmdir(const char *path);
[[nodiscard]] int SafeMkdir(const char *path, mode_t mode);
[[nodiscard]] int SafeSymlink(const char *target, const char *linkPath);
[[nodiscard]] int SafeRename(const char *from, const char *to);
// chmod(2) and utimensat(2) that never act through a link in the last place:
// a link there fails with EACCES.
[[nodiscard]] int SafeChmod(const char *path, mode_t mode);
[[nodiscard]] int SafeUtimens(const char *path, const struct timespec times[2]);

// An O_PATH|O_DIRECTORY descriptor of path's parent (link-free) and its last
// component, for calls the door does not wrap.  -1 with errno on failure,
// also when the last component is empty, "." or "..".
[[nodiscard]] int SafeOpenParent(const char *path, const char **last);
