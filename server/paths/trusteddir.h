// Directories that root writes or enters for itself (the PID file's
// directory, the core directory): no one but root, or the server's own
// account, may be able to change what they hold.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Opens the absolute directory path component by component without
// following any link.  Every directory on the way must be owned by root or
// by owner and writable by no one else; a sticky directory above the last
// one is allowed (nobody else can rename or remove what root owns in it),
// the last one may not be sticky either.  Returns an O_PATH descriptor of
// the directory, or -1 with errno: ELOOP for a link on the way, EPERM for a
// directory others can change, EINVAL for a path that is not absolute or
// holds "..".  With badLen, *badLen is the length of the path prefix that
// names the directory found wanting.  Only async-signal-safe calls: a fatal
// signal's handler uses it.
[[nodiscard]] int OpenTrustedDirectory(const char *path, uid_t owner, size_t *badLen = nullptr);
