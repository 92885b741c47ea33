// The SITE sub-commands that do more than set a session value: each worker
// answers with its own reply.  Site (site.cc) checks the login, the allowed
// SITE commands and the arguments' count before it calls them.
#pragma once

#include <sys/types.h>

// Bits of the allowed-SITE-command set (allowed-site-commands).
constexpr int kSiteChmod = 1;
constexpr int kSiteUmask = 2;
constexpr int kSiteSymlink = 4;
constexpr int kSiteUtime = 8;
constexpr int kSiteQuota = 16;
constexpr int kSiteBufSize = 32;
constexpr int kSiteDf = 64;
constexpr int kSiteDate = 128;

// An octal file mode of at most 0777 (digits 0-7 only); false for any
// other text.
[[nodiscard]] bool ReadOctalMode(const char *text, mode_t *mode);

// SITE CHMOD: sets the permission bits (octal mode, at most 0777) of path.
void Chmod(const char *mode, const char *path);
// SITE SYMLINK: makes link a symbolic link holding the text source.
void DoSymlink(const char *source, const char *link);
// SITE DATE: the time now in UTC and local time; arg "", "UTC"/"GMT" or "LOCAL".
void Date(const char *arg);
// SITE DF: the size and use of the file system holding path.
void Df(const char *path);
