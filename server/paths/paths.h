// Virtual paths: every pathname a client sends becomes one absolute,
// compressed, link-free real path and is checked against the session's
// confinement before any file operation.  Also the current-directory query,
// two directory predicates and the wildcard matcher.
//
// The session values these read (gFTPHome, gHomeDir, gVChroot,
// gVChrootThisUser, gRestrictedUser, gIsAnon, the lowercase switches) are
// session state, declared here and defined and reset with the rest of it
// (session/shell.cc); the settings (allow/deny paths, filters,
// u-restrict-etc, ...) are in config.h.
#pragma once

#include <sys/types.h>

#include <cstddef>

constexpr int kPathBufSize = 512;          // 511 characters and the terminator
constexpr int kMaxSymlinkNesting = 7;      // resolutions nested deeper fail with ELOOP
constexpr int kMaxSymlinksFollowed = 40;   // links one resolution may follow in all
constexpr int kSessionPathSize = 512;

// ---- The session's tree (session state, reset by ResetSessionInfo) -----------
extern int gIsAnon;
extern int gRestrictedUser;
extern int gVChroot, gVChrootThisUser;
extern int gALowercasePathnames, gULowercasePathnames;
// Roots of the virtual trees (set at login): the anonymous area and the
// user's home, real paths.
extern char gFTPHome[kSessionPathSize];
extern int gFTPHomeLen;
extern char gHomeDir[kSessionPathSize];
extern int gHomeDirLen;


// The uid of the logged-in account record; 0 (root) is exempt from the path
// lists and the /etc rule.  Login sets it from the account record; until
// then it is (uid_t) -1, which is never exempt.
extern uid_t gSessionUid;

// The incoming directories' name unless "a-incoming-dir" names another.
extern const char gIncomingSubdir[];       // "/incoming"
constexpr int kIncomingSubdirLen = 9;

// GetCWD becomes root for the getcwd call when the process started as root
// and this is on (1, the default).
extern int gRootForGetCWD;

// ---- Composition (no file-system access) --------------------------------------
// Compresses an absolute path into dst: single slashes, no "." components,
// ".." resolved (never above "/"), no trailing slash.  Cut to dstSize - 1
// characters; always terminated when dstSize > 0.
void CompressPath(char *dst, const char *src, size_t dstSize);

// Joins a client path to the current directory (or to the virtual root for
// an absolute path, or to the home for "~" and "~/...") and compresses it.
// Returns 0, or -1 (errno ENAMETOOLONG) when the join or the result did not
// fit and dst holds a cut text, which may name another place.
int PathCat(char *dst, size_t dstSize, const char *cwd, const char *path);

// ---- Resolution and checks ------------------------------------------------------
// Replaces every symbolic link of the compressed src by its target.  Returns
// 0, or with dst cleared: -1 (links nested too deep or more than 40 followed,
// errno ELOOP; or the path is not absolute), -2 (the path or a link's text
// grows past what the buffers hold, ENAMETOOLONG), -4 (a link could not be
// read).  A component that does not exist is kept.  The result is cut to
// dstSize.
[[nodiscard]] int ResolveSymlinks(char *dst, size_t dstSize, const char *src);

// The access check of every client path: 0 with the resolved real path in
// dst when the session may use it, -1 when it may not (the reason goes to the
// trace log; the caller answers with PermissionDeniedBadPathname).
// A path that does not fit the buffers whole is refused (errno ENAMETOOLONG).
[[nodiscard]] int CheckPathName(char *dst, size_t dstSize, const char *cwd, const char *path);

// The same check for a real, absolute path the server composed itself (no
// virtual root, no client spelling), e.g. a directory met during a listing.
[[nodiscard]] int CheckRealPathName(char *dst, size_t dstSize, const char *realPath);

// The pathname character filter: 0 when path passes, -1 when it holds a
// control character, a backslash, a component that begins with a dot or a
// space or ends with a space, or bytes above 127 that are not valid UTF-8.
[[nodiscard]] int CheckPathNameCharacters(const char *path);

// 1 when the bytes are well-formed UTF-8 (overlong forms refused), else 0.
[[nodiscard]] int utf8_valid(const unsigned char *s, size_t len);

// ---- Archives of directories -----------------------------------------------------------
// A tree below an archived directory that CheckPathName refuses: the path
// rel (relative to the directory, no leading slash) and everything below
// it, or with namePrefix every path that begins with the text rel.
struct RefusedTree {
    char rel[kPathBufSize];
    bool namePrefix;
};
constexpr int kMaxRefusedTrees = 34;       // the deny-paths entries, /etc, the TCP Wrappers tables

// The trees below the real directory dir (a resolved path that passed
// CheckPathName) in which every path is refused by the path lists, the /etc
// rule or the anonymous area's TCP Wrappers tables, so that an archive of dir
// leaves them out.  Returns their number (at most max), or -1 when dir
// itself lies in such a tree, or when more trees than max would be needed:
// then no archive of it may be made.  Conservative: a tree is left out whole
// even when an allow-paths entry opens a part of it.
[[nodiscard]] int RefusedTreesBelow(const char *dir, RefusedTree *trees, int max);

// ---- Queries ------------------------------------------------------------------------
// With an absolute path, a copy of it; otherwise the process's current
// directory.  The text lives in a static buffer that the next call reuses.
// Failures to allocate or to ask the system end the process (status 1).
const char *GetCWD(const char *path);

// 1 when path (for a regular file: its directory) and each of its ancestors
// below "/" is a directory that others may search, else 0.
[[nodiscard]] int IsPublicDir(const char *path);

// Wildcard match ("*", "?", "[set]", "[^set]", ranges; case-sensitive, no
// escape character): 0 match, -1 no match, -2 malformed pattern.
[[nodiscard]] int GlobMatch(const char *string, const char *pattern);
