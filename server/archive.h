// Directory downloads: RETR of a directory name followed by an archive
// suffix streams an archive of that directory, made on the fly by the
// configured tar, gzip, compress or zip programs running in child processes.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "config.h"

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

// What the archive of an anonymous user leaves out, as single downloads
// would refuse it: the incoming directory (its last component, found at any
// depth; nullptr or "" for none) and, with dotFiles, every name starting
// with '.'.
struct ArchiveExclusions {
    const char *incoming = nullptr;
    bool dotFiles = false;
};

constexpr int kMaxArchiverArgs = 10;
constexpr size_t kArchiverWordSize = 2 * kConfigPathSize + 16;

// The exclusion words of the argument vectors; they must outlive them.
struct ArchiverWords {
    char tarIncoming[kArchiverWordSize];     // --exclude=NAME
    char zipIncoming[kArchiverWordSize];     // */NAME
    char zipIncomingTree[kArchiverWordSize]; // */NAME/*
};

// The exclusions of this session: none for other than anonymous users.  name
// receives the incoming directory's last component.
ArchiveExclusions SessionArchiveExclusions(char *name, size_t size);

// The argument vectors of the archiver processes for a suffix, the
// directory's last component and the exclusions: tar (and its compressor),
// or zip.  Returns the number of processes (1 or 2), or 0 when a needed
// program is not configured.  Each vector ends in nullptr.
int ArchiverCommands(const char *sfx, const char *name, const ArchiveExclusions &ex, ArchiverWords &words,
                     const char *argv[kMaxArchivers][kMaxArchiverArgs]);
