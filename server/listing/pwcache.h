// The user and group preload cache: every user and group name held in memory,
// keyed by numeric ID, for the owner and group columns of long listings.  The
// tables are refreshed at most every 12 hours and only when /etc/passwd has
// changed.  Depends on nothing of the server: the program ties it to its
// settings, session flag, clock and log through gPwCacheEnv.
#pragma once

#include <cstdint>
#include <ctime>

inline constexpr int kPwHashSize = 277;
inline constexpr int kPwReloadInterval = 43200;   // seconds between reload attempts
inline constexpr int kPwMaxLoadSeconds = 7;       // a slower load switches reloading off

// One cached name: at most 8 characters and the numeric ID (16 bytes).
struct PwName {
    char name[12];
    int32_t id;
};
static_assert(sizeof(PwName) == 16);

struct PwHashNode {
    PwName *entry;
    PwHashNode *next;
};

// What the cache reads from its program; every member is optional.  The server
// sets them once at start-up.
struct PwCacheEnv {
    const int *anonNames = nullptr;     // "a-ls-names" (&gAnonPwNames); nullptr: off
    const int *userNames = nullptr;     // "u-ls-names" (&gNonAnonPwNames); nullptr: on
    const int *isAnon = nullptr;        // the session's anonymous flag (&gIsAnon); nullptr: no
    time_t (*now)() = nullptr;          // the clock (the shared time cache); nullptr: time()
    void (*log)(const char *text) = nullptr;     // miscellaneous log line
    void (*trace)(const char *text) = nullptr;   // trace line (the hook decides whether tracing is on)
    bool apart = false;                 // list the databases in a child of its own (the master)
};
extern PwCacheEnv gPwCacheEnv;

extern PwName *gPwUsers;
extern int gNumPwUsers;
extern PwName *gPwGroups;
extern int gNumPwGroups;
extern PwHashNode **gPwUserHashTable;    // kPwHashSize chain heads
extern PwHashNode **gPwGroupHashTable;
extern PwHashNode *gPwUserHashEntries;   // one node per entry
extern PwHashNode *gPwGroupHashEntries;
extern int gPwReload;                    // reloading still allowed (initially 1)
extern time_t gNextPwLoadTime;           // earliest time of the next reload attempt
extern time_t gPasswdFileModTime;        // /etc/passwd's time at the last load (0 = never)

// Loads or refreshes both tables.
void PwLoad();
// The cached name, or "ftpuser" / "ftpusers" when the session may not see
// names, there is no table, or the ID is unknown.
const char *PwSearch(int32_t uid);
const char *GrSearch(int32_t gid);
// Drops both tables and resets the reload state (tests, and programs that
// want to force a fresh load).
void PwFree();
