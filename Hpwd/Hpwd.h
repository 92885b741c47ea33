// Virtual-user password records: the 14-field line of a password database
// ("passwd.db"), its misc-data field, and look-ups in a database.
//
// The line: user:password:uid:gids:gecos:home:shell, then optionally
// :hardKB:softKB:hardFiles:softFiles:miscData:download:upload.
// The database key is the user name (no NUL); the data is the line and its NUL.
#pragma once

#include "Spwd.h"
#include "ormel.h"

#include <cstddef>

// The in-memory record is the account record itself: Spwd's reserved space
// holds hardQuotaKB, softQuotaKB, hardQuotaFiles, softQuotaFiles,
// downloadBandwidth, uploadBandwidth and miscData[128] (layout in Spwd.h).
using Hpwd = Spwd;

inline constexpr int kHpwdBuckets = 8191;
inline constexpr int kHpwdLineSize = 256;        // the password tool's line buffer

// Warnings of the lenient misc-data parser go to standard error only when set
// (the password tool's warnings switch).
extern int gHpwdWarnings;

void InitHpwdStruct(Hpwd *p);

// Parses a line in place (NULs are written into it).  0, or -1 when fewer than
// 7 fields were present (record reset).  A null line continues the previous
// one.  With lookupNames the passwd and group databases are closed afterwards
// unless keepOpen is set.
int ParseHpwdLine(Hpwd *p, char *line, int lookupNames, int keepOpen);
// Field 3: 0, or -1 when the text is neither numeric nor a known user (uid -1).
int ParseHpwdUIDStr(const char *text, Hpwd *p, int lookupNames);
// Field 4, in place: returns nGids.
int ParseHpwdGIDsStr(char *text, Hpwd *p, int lookupNames);
// Writes the 7-field line, or all 14 fields when any extension field is set;
// cut to size and always terminated.  Returns dst.
char *UnparseHpwdEntry(char *dst, size_t size, const Hpwd *p);

// The database: OpenHpwd opens read-write when mode begins with "w", else
// read-only: 0; -4 for a GDBM file (the obsolete format); -3 otherwise.
int OpenHpwd(OrmelHandle *h, const char *path, const char *mode);
int CloseHpwd(OrmelHandle *h);
// 0 when found and valid; -1 when not found or invalid (record reset); other
// database error codes as they are.
int GetHpwdByName(Hpwd *p, const char *name, OrmelHandle *h);
// Opens read-only, looks up and closes: 0, -1, -19 (misaligned static handle),
// -4 (GDBM file), -3 (cannot open), or another database error code.  With
// fileSt, the status of the very file the look-up read is stored there (a
// check by path could meet another file put in its place).  With lockWaitMs,
// a database locked for longer than that gives -15 (Ormel_SetLockWait).
int OpenAndGetHpwdByName(Hpwd *p, const char *name, const char *path, struct stat *fileSt = nullptr,
                         int lockWaitMs = 0);

// The misc-data field (field 12), as the password tool reads and writes it.
// Sets umask and restricted to -1 and perm to "" first; returns 1 when any of
// the three was set, else 0.
int ParsePassMiscDataField(const char *field, int *umask, int *restricted, char *perm,
                           size_t permSize);
char *UnparsePassMiscDataField(char *dst, size_t size, int umask, int restricted,
                               const char *perm);

// Checks a permission string: 0, or -1 with the last invalid character in *bad.
int ParseUserPermissions(const char *text, char *bad);
