// Uploads: STOR, APPE and STOU (the handler Stor is declared in shell.h with
// the other command handlers), the receivers that write the data into the
// file, and the helpers that MKD shares.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

constexpr int kEndXferTimeout = 37;          // a transfer's read or write timed out
constexpr int kMaxUniqueSuffix = 999;        // STOU tries name.2 .. name.999

// Set by the receivers when the first block of the upload looks like a
// program (LooksLikeProgram).
extern int gStoringExecutable;
// The bytes the receivers have written to the upload's file so far.
extern int64_t gUploadWritten;
// The temporary name of an upload written first under another name: set
// once this session has created that file, empty when there is none.
extern char gTmpUploadPath[512];

// Removes the temporary file of an upload, when there is one.
void DropTmpUpload();

// The receivers: read the data connection until its end and write the file.
// 0 on success; -1 after a failure (the reply was sent) or a cancel (gCancel
// tells why).  A read failure other than a time-out or a dropped client
// ends the session.
int RegStore(int fd);
int RegAsciiStore1_2(int fd);
int RegAsciiStore3(int fd);

// The first free name of base, base.2, ..., base.999 into result; an empty
// base means "f" and the UTC date ("%Y%m%d").  0, or -1 when none is free.
int GetUniqueFileName(const char *base, char *result, size_t size);

// 0777 for programs a non-anonymous user uploads with "u-auto-chmod-uploads"
// on (by extension: .cgi .php .pl .py .exe .sh .tcl, or upper case), else
// 0666; the umask applies to both.
[[nodiscard]] mode_t GetFileCreationModeByFileType(const char *name);

// chown as root (when the server started as root and either id is set),
// then drops the listing of the path from the directory cache.  Returns
// chown's result, or -1 when nothing was done.  A symbolic link is never
// followed: the link itself changes owner.
int SetOwnerAndGroup(const char *path, uid_t uid, gid_t gid);
// The same for the open file fd (named path): the file that was written,
// whatever the name points to by now.
int SetOwnerAndGroupOfFile(int fd, const char *path, uid_t uid, gid_t gid);

// The refusal of a restart point whose gap the bytes limit has no room for.
void RestartOverQuota();
// 1 when a restart point would take the byte usage to the hard limit or
// beyond (never when there is no limit); safe for any offset.
[[nodiscard]] int RestartExceedsQuota(int64_t usage, int64_t restartPt, int64_t hardLimit);

// 1 when an upload's first bytes look like a program (ELF, "#!/", an applet
// page, a Java class).
[[nodiscard]] int LooksLikeProgram(const char *data, size_t len);

// The incoming-directory rule of anonymous users: 1 when the real path lies
// inside the configured incoming directory (its name followed by '/' or the
// end of the path), and 1 in *configured when one is configured at all.
[[nodiscard]] int InIncomingDir(const char *realPath, int *configured);
// The length of realPath's part that names the first incoming directory it
// lies in (by the same rule), or 0 when it lies in none.
[[nodiscard]] size_t IncomingDirEnd(const char *realPath);
