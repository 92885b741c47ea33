// Change generations of directories, shared by the master and its children
// (a shared mapping inherited across fork; read-only to a session's own
// process, whose changes its pool child records).  Each child caches
// the listings it reads; a change one session makes through the server
// (an upload over a file, APPE, SITE CHMOD) need not change the
// directory's own time, so every change also bumps the directory's
// generation here, and a cached listing is used only while the generation
// it was read under still holds.
//
// Directories share a fixed number of counters by a hash of device and
// inode: a collision costs another child a needless re-read, never a stale
// listing.
#pragma once

#include <sys/stat.h>

#include <cstdint>

// Maps the table (before the first fork).  0, or -1 with errno set; without
// it every generation reads 0 and listings rely on the directories' times.
[[nodiscard]] int CreateDirGenerations();

// The generation of the directory st describes.
[[nodiscard]] uint32_t DirGeneration(const struct stat &st);

// Something in the directory changed: its generation moves on (in a
// session's own process, through its pool child).
void BumpDirGeneration(const struct stat &st);
// The pool child's side of that: the directory's device and inode.
void BumpDirGenerationOf(uint64_t dev, uint64_t ino);

// A session's own process keeps only its read-only mapping.
void ReadOnlyDirGenerations();

// Pool child: the processes it forks do not inherit the writable table.
void KeepDirGenerationsFromChildren();

// A process that must not touch the table lets it go (generations read 0).
void ForgetDirGenerations();
