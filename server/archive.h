// Directory downloads: RETR of a directory name followed by an archive
// suffix streams an archive of that directory, made on the fly by the
// configured tar, gzip, compress or zip programs running in child processes.
#pragma once

#include <sys/types.h>

#include <cstddef>

constexpr int kMaxArchivers = 2;            // tar and its compressor
constexpr int kArchiverNice = 7;

// The archiver processes of the running directory download (0 = none).
extern pid_t gArchiverPids[kMaxArchivers];

// 1 when path ends in ".tar.gz", ".tar.Z", ".tar", ".zip" (any case) or
// ".tgz": the suffix is cut off path and copied to sfx.  Else 0.
int RetrDirSuffix(char *path, char *sfx, size_t sfxSize);

// 0 when the directory (a real path) may be archived: it holds no ".notar"
// file, and it is not a top-level directory of the user's tree unless
// "allow-tar-root-dirs" is on.  Else -1.
int MayRetrDir(const char *dir);

// 1 when an archive of this suffix can be made with the configured programs.
[[nodiscard]] int ArchiverConfigured(const char *sfx);

// Starts the archiver for the directory (a real path) and suffix; returns the
// read end of the pipe the archive comes through, or -1 (logged), also when
// a program cannot be started (known before this returns).  The processes
// are remembered in gArchiverPids.
int RetrOpenDir(const char *dir, const char *sfx);

// After the archive was read to its end: reaps the archivers.
void ReapArchivers();
// After a failure or a cancel: SIGTERM, one second, SIGKILL, then reaps them.
void StopArchivers();

// The argument vectors of the archiver processes for a suffix and the
// directory's last component: tar (and its compressor), or zip.  Returns the
// number of processes (1 or 2), or 0 when a needed program is not configured.
// Each vector holds at most 6 entries and ends in nullptr.
int ArchiverCommands(const char *sfx, const char *name, const char *argv[kMaxArchivers][6]);
