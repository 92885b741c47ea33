// Directory downloads: RETR of a directory name followed by an archive
// suffix streams an archive of that directory, made on the fly by the
// configured tar, gzip, compress or zip programs running in child processes.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "config/config.h"
#include "paths/paths.h"

constexpr int kMaxArchivers = 2;            // tar and its compressor
constexpr int kArchiverNice = 7;
// The largest zip archive made (see RetrOpenDir).
constexpr long long kZipSpoolLimit = 1LL << 30;

// The archiver processes of the running directory download (0 = none).
extern pid_t gArchiverPids[kMaxArchivers];

// 1 when path ends in ".tar.gz", ".tar.Z", ".tar", ".zip" (any case) or
// ".tgz": the suffix is cut off path and copied to sfx.  Else 0.
int RetrDirSuffix(char *path, char *sfx, size_t sfxSize);

// 0 when the directory (a real path) may be archived: it holds no ".notar"
// file, it is not a top-level directory of the user's tree unless
// "allow-tar-root-dirs" is on, and it lies in no tree that the path checks
// refuse (RefusedTreesBelow).  Else -1.
int MayRetrDir(const char *dir);

// 1 when an archive of this suffix can be made with the configured programs.
[[nodiscard]] int ArchiverConfigured(const char *sfx);

// Starts the archiver for the directory (a real path) and suffix; returns the
// descriptor the archive is read from, or -1 (logged), also when a program
// cannot be started (known before this returns).  tar (and its compressor)
// stream through a pipe, and the processes are remembered in gArchiverPids.
// zip cannot store a symbolic link on a pipe: it writes into an unnamed
// temporary file (at most kZipSpoolLimit bytes; on disk where a temporary
// directory exists, else in memory) and has ended, successfully,
// when this returns the file, read from its start.
int RetrOpenDir(const char *dir, const char *sfx);

// After the archive was read to its end: reaps the archivers.  0 when each
// of them succeeded, -1 (logged) when one failed or its end is unknown.
[[nodiscard]] int ReapArchivers();
// After a failure or a cancel: SIGTERM, one second, SIGKILL, then reaps them.
void StopArchivers();

// What an archive leaves out, as single downloads would refuse it: for
// anonymous users the incoming directory (its last component, found at any
// depth; nullptr or "" for none); with dotFiles (the session's pathname
// filter) every name starting with '.'; and the refused trees below the
// directory (the path lists, /etc, the anonymous TCP Wrappers tables).
struct ArchiveExclusions {
    const char *incoming = nullptr;
    bool dotFiles = false;
    const RefusedTree *refused = nullptr;
    int numRefused = 0;
};

// The longest command: zip, its options and directory, "-x", the incoming
// and dot-file patterns and two patterns for each refused tree.
constexpr int kMaxArchiverArgs = 8 + 2 * kMaxRefusedTrees + 4;
constexpr size_t kArchiverWordSize = 2 * kConfigPathSize + 16;
// A member name (the directory's last component and a path below it, at most
// one path buffer) with each character escaped, an option and a wildcard.
constexpr size_t kArchiverPatternSize = 2 * kPathBufSize + 16;

// The exclusion words of the argument vectors; they must outlive them.
struct ArchiverWords {
    char tarIncoming[kArchiverWordSize];     // --exclude=NAME
    char zipIncoming[kArchiverWordSize];     // */NAME
    char zipIncomingTree[kArchiverWordSize]; // */NAME/*
    char refused[2 * kMaxRefusedTrees][kArchiverPatternSize];
};

// The exclusions of this session without the refused trees: none for other
// than anonymous users unless their pathname filter is on.  name receives
// the incoming directory's last component.
ArchiveExclusions SessionArchiveExclusions(char *name, size_t size);

// The argument vectors of the archiver processes for a suffix, the
// directory's last component and the exclusions: tar (and its compressor),
// or zip.  Returns the number of processes (1 or 2), 0 when a needed
// program is not configured, or -1 when an exclusion pattern does not fit.
// Each vector ends in nullptr.
int ArchiverCommands(const char *sfx, const char *name, const ArchiveExclusions &ex, ArchiverWords &words,
                     const char *argv[kMaxArchivers][kMaxArchiverArgs]);
