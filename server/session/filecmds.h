// The steps the file-management commands (DELE, MKD, RMD, RNFR/RNTO, SIZE,
// MDTM, MFMT and SITE UTIME) share, and their helpers.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

// The prologue of a path command, in this order: login, a non-empty
// argument, the permission switch perm (negative: none needed, reason
// unused), CheckPathName.  true with the checked real path in real; false
// after the reply was sent.
[[nodiscard]] bool PathPrologue(const char *arg, int perm, const char *reason, char *real, size_t size);

// true when the checked real path holds a tree the path lists or the /etc
// rule refuse (or lies in one): moving or emptying it would move or remove
// what the session may not touch by name, so it is refused the same way.
[[nodiscard]] bool HoldsRefusedTree(const char *real);

// The joined client path with its parent resolved and checked but its last
// component kept as given: the name a link is removed by.  0, or -1 with
// errno (EACCES when the parent is refused).
[[nodiscard]] int UnresolvedPath(char *dst, size_t size, const char *arg);

// The 450 of a files limit that leaves no room, with the figures.
void ReplyFilesQuotaReached();

// The reply to a failed system call: EACCES or EPERM the 553 of standard
// permissions, ENOENT notFound, anything else failFmt with the error text.
void ReplySysError(int err, const char *notFound, const char *failFmt);

// Makes path and every missing parent with mode.  With applyOwner, owner
// and group are applied by setOwner to each level made, once the whole chain
// exists.  Each level counts in the files quota before it is made, and the
// levels made stay when a later one fails.  0, or -1 with errno (EEXIST: a
// directory is there already; ENOTDIR: something else is; EDQUOT: the
// files limit leaves no room for the next level).
int Mkdirs(const char *path, mode_t mode, int applyOwner, uid_t uid, gid_t gid,
           int (*setOwner)(const char *, uid_t, gid_t));

// Empties the directory path (len characters) recursively: every entry is
// removed, each with its "DELETE" record and quota change.  Errors on single
// entries are passed over.  0, or -1 when path cannot be read or memory runs out.
int RRmd(const char *path, size_t len);

// The size of the file in ASCII form: every line feed without a carriage
// return before it counts twice.  -1 when the file cannot be read.
int64_t AsciiSize(const char *path, char *buf, size_t size);

// "YYYYMMDD[hh[mm[ss]]]" in UTC as a time; -1 when it does not read as one.
[[nodiscard]] time_t UnFTPDate(const char *text);

// Who asks UtimeAndReply, and how it answers success.
enum UtimeOrigin { kUtimeMdtm = 0, kUtimeMfmt = 1, kUtimeSite = 2 };

// Sets the access and modification times of the client path and replies:
// "250 Timestamps changed." for MDTM and SITE UTIME, "213 <timeText> <path>"
// for MFMT.
void UtimeAndReply(const char *path, time_t atime, time_t mtime, int origin, const char *timeText);

// The real root of the session's area ("/" when it is the whole tree).
[[nodiscard]] const char *AreaRoot();

// A rename or a link made through the server changes how far a link's text
// reaches; between its check and its change no other session of the area
// may move anything.  The guard holds the area's lock (an exclusive lock on
// its root directory) for its lifetime; held() is false when the lock
// could not be had within ten seconds (the caller answers "450 File in
// use.").  An area that is the whole tree has no lock: no link can climb
// out of it.
class AreaLock {
  public:
    AreaLock();
    ~AreaLock();
    AreaLock(const AreaLock &) = delete;
    AreaLock &operator=(const AreaLock &) = delete;
    [[nodiscard]] bool held() const { return held_; }

  private:
    bool held_ = true;
};

// Gives the area's lock back when the session ends with a jump past the
// guard's end.
void ReleaseAreaLock();

// The pool child, for its session's process (kPrivAreaLock): one try at the
// lock of the area its login decided (take), or the lock given back.  0
// when held or given back, else -1 with errno (EAGAIN: another holds it).
// A session's process holds no description of the table: any range of it
// it locked would hold every other area's renames, and past its end.
[[nodiscard]] int AnswerAreaLock(bool take);
// A process forked by a pool child (a front, a session's process) lets the
// table go.
void ForgetAreaLocks();

// Master, before the first fork and any chroot: the table the areas' locks
// are taken in, which no one outside the server can reach.  0, or -1 (each
// area's lock is then its root directory, which a local user who may read
// it can hold too).
[[nodiscard]] int CreateAreaLocks();
// Master, before forking a child: the child's own open description of the
// table (-1 without one); the master closes its copy after the fork, the
// child keeps it with AdoptAreaLocks.
[[nodiscard]] int OpenAreaLocksForChild();
void AdoptAreaLocks(int own);
