// What the fuzz targets share: a way back from the daemon's exits, a scratch
// tree removed when the fuzzer ends, and small helpers for the input bytes.
#pragma once
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <string>

// Exit() and DoneConnection() are wrapped at link time (-Wl,--wrap): while a
// target has armed the return point they jump back to it instead of ending
// the fuzzer, with the code they were given.  Unarmed, they do what they do.
extern sigjmp_buf gFuzzExitJmp;
extern volatile int gFuzzExitArmed;
extern volatile int gFuzzExitCode;

// Runs body; returns 0 when it returned, 1 when it left through a wrapped exit.
template <typename F>
int FuzzCatchExit(F body)
{
    if (sigsetjmp(gFuzzExitJmp, 0) != 0) {
        gFuzzExitArmed = 0;
        return 1;
    }
    gFuzzExitArmed = 1;
    body();
    gFuzzExitArmed = 0;
    return 0;
}

// A private directory below /dev/shm (memory: the targets write and sync
// files at every run), made at the first call and removed with
// everything in it when the process ends normally.
const char *FuzzScratchDir();

// The scratch tree the path targets resolve against: ROOT/home/user (the
// user's home, also the anonymous root) with files, directories and links
// that loop, climb out, point to absolute places or chain deeply.
const std::string &FuzzScratchTree();

// Replaces the file with the bytes; 0, or -1.
int FuzzWriteFile(const char *path, const uint8_t *data, size_t size);

// The input as text: a copy ending at its first NUL (or its end).
std::string FuzzText(const uint8_t *data, size_t size);

// Cuts the input at the first NUL into two texts (the second empty without one).
void FuzzSplit(const uint8_t *data, size_t size, std::string *first, std::string *second);
