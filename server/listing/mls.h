// MLST and MLSD: the machine-readable fact line of one file (Mls), its Perm
// letters, the user's effective rights from a file's mode, and MLSD's
// listing of a directory (Mlsd is declared in session/shell.h).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

#include "listing/dircache.h"

// Fact bits of the session's selection (gMlsOpts, session/shell.h).
constexpr int kMlsType = 1;
constexpr int kMlsSize = 2;
constexpr int kMlsModify = 4;
constexpr int kMlsUnixMode = 8;
constexpr int kMlsUnixOwner = 16;
constexpr int kMlsUnixGroup = 32;
constexpr int kMlsPerm = 64;
constexpr int kMlsUnixUid = 128;
constexpr int kMlsUnixGid = 256;
constexpr int kMlsUnique = 512;
constexpr int kMlsDefaultFacts = kMlsType | kMlsSize | kMlsModify | kMlsUnixMode;

constexpr int kMlsLineSize = 512;          // an MLSD line and its NUL
constexpr int kMlsMaxLinkLevels = 7;       // links followed when resolving
constexpr int kMlsMaxUniqueText = 128;     // a longer Unique fact is left out

// The facts in the order of the fact line and of FEAT's list.
struct MlsFact {
    const char *name;
    int bit;
};
inline constexpr MlsFact kMlsFacts[] = {
    {"Type", kMlsType},           {"Size", kMlsSize},           {"Modify", kMlsModify},
    {"Perm", kMlsPerm},           {"Unique", kMlsUnique},       {"UNIX.mode", kMlsUnixMode},
    {"UNIX.owner", kMlsUnixOwner}, {"UNIX.group", kMlsUnixGroup}, {"UNIX.uid", kMlsUnixUid},
    {"UNIX.gid", kMlsUnixGid},
};

// Whether this session is offered the fact: owner and group names only
// where the session sees names, the group and the numeric IDs never to
// anonymous users.  FEAT lists, OPTS MLST accepts and Mls writes only these.
[[nodiscard]] bool MlsFactOffered(int bit);

// The effective rights of the session's user on a file (status from lstat
// of path when st is null): the type letter of the directory cache, read,
// write and execute from the owner, group or other bits that apply, and for
// a sticky directory of another owner the sticky-not-owner flag.  Any out
// pointer may be null.  0, or -1 when path cannot be examined.
int GetRWXPermissions(const char *path, char *type, int *read, int *write, int *execute,
                      int *stickyNotOwner, const struct stat *st);

// The Perm letters of a file with status st ("radfwcelmp" order rules of
// RFC 3659 as the session's permission switches allow); parentSt, when
// known, adds 'd' and 'f' for a writable parent.
void GetMlsPermissionString(char *buf, size_t size, const char *path, const struct stat *st,
                            const struct stat *parentSt);

// The fact line of one file: the selected facts, a space, name and "\r\n".
// path is the file's real path (for st == null and for resolving); with
// resolveLinks a symbolic link is described by what it finally names.
// typeOverride ("cdir" or "pdir") replaces the type.  Returns the length of
// the line, or 0 when it does not fit in size or a link cannot be resolved.
int Mls(char *buf, size_t size, const char *path, const struct stat *st, const char *name, int resolveLinks,
        const char *typeOverride, const struct stat *parentSt);

// MLSD's entries of a listing: with the Type fact a "cdir" line (named
// shownPath) and a "pdir" line first, then one line per entry; written
// through the transfer buffer.  0, or the negative result of a failed write.
int MlsDir(const DirList *dl, const char *shownPath, int traceLines);
