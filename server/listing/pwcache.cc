// The user and group preload cache.
#include "listing/pwcache.h"
#include "Strn.h"
#include "sio.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

PwCacheEnv gPwCacheEnv;

PwName *gPwUsers = nullptr;
int gNumPwUsers = 0;
PwName *gPwGroups = nullptr;
int gNumPwGroups = 0;
PwHashNode **gPwUserHashTable = nullptr;
PwHashNode **gPwGroupHashTable = nullptr;
PwHashNode *gPwUserHashEntries = nullptr;
PwHashNode *gPwGroupHashEntries = nullptr;
int gPwReload = 1;
time_t gNextPwLoadTime = 0;
time_t gPasswdFileModTime = 0;

static constexpr char kPasswdFile[] = "/etc/passwd";

static time_t Now()
{
    return gPwCacheEnv.now != nullptr ? gPwCacheEnv.now() : time(nullptr);
}

static void PwLog(const char *text)
{
    if (gPwCacheEnv.log != nullptr)
        gPwCacheEnv.log(text);
}

static void PwTrace(const char *text)
{
    if (gPwCacheEnv.trace != nullptr)
        gPwCacheEnv.trace(text);
}

static int Bucket(int32_t id)
{
    int64_t v = id;
    return int((v < 0 ? -v : v) % kPwHashSize);
}

// ---- One table --------------------------------------------------------------

// A table and its hash, so that users and groups share the code.
struct PwTable {
    PwName *&entries;
    int &count;
    PwHashNode **&heads;
    PwHashNode *&nodes;
};

static void FreeTable(PwTable t)
{
    free(t.heads);
    free(t.nodes);
    free(t.entries);
    t.heads = nullptr;
    t.nodes = nullptr;
    t.entries = nullptr;
    t.count = 0;
}

// Stores a database name: leading white space skipped, at most 8 characters.
// False for a name that is then empty or a comment.
static bool StoreName(PwName *e, const char *name, int32_t id)
{
    if (name == nullptr)
        return false;
    while (isspace((unsigned char)*name))
        name++;
    if (*name == '\0' || *name == '#')
        return false;
    Strncpy(e->name, name, 9);
    e->id = id;
    return true;
}

// Chains every entry at the end of its bucket, in load order, so that the
// earliest entry of an ID is the one found.
static void BuildHash(PwTable t)
{
    free(t.heads);
    free(t.nodes);
    t.heads = nullptr;
    t.nodes = nullptr;
    t.nodes = static_cast<PwHashNode *>(calloc(size_t(t.count) + 1, sizeof(PwHashNode)));
    t.heads = static_cast<PwHashNode **>(calloc(kPwHashSize, sizeof(PwHashNode *)));
    if (t.nodes == nullptr || t.heads == nullptr) {
        FreeTable(t);
        return;
    }
    PwHashNode *tails[kPwHashSize] = {};
    for (int i = 0; i < t.count; i++) {
        PwHashNode *node = &t.nodes[i];
        node->entry = &t.entries[i];
        node->next = nullptr;
        int b = Bucket(t.entries[i].id);
        if (tails[b] == nullptr)
            t.heads[b] = node;
        else
            tails[b]->next = node;
        tails[b] = node;
    }
}

// Lists one database, users or groups, into a new array of *n entries
// (nullptr when there is no memory for it).
static PwName *ListNames(bool groups, int *n)
{
    *n = 0;
    int total = 0;
    if (groups) {
        setgrent();
        while (getgrent() != nullptr)
            total++;
    } else {
        setpwent();
        while (getpwent() != nullptr)
            total++;
    }
    PwName *entries = static_cast<PwName *>(calloc(size_t(total) + 1, sizeof(PwName)));
    // The file may have grown since counting: never store more than total.
    if (entries != nullptr && groups) {
        setgrent();
        for (struct group *gr; *n < total && (gr = getgrent()) != nullptr;)
            if (StoreName(&entries[*n], gr->gr_name, int32_t(gr->gr_gid)))
                (*n)++;
    } else if (entries != nullptr) {
        setpwent();
        for (struct passwd *pw; *n < total && (pw = getpwent()) != nullptr;)
            if (StoreName(&entries[*n], pw->pw_name, int32_t(pw->pw_uid)))
                (*n)++;
    }
    if (groups)
        endgrent();
    else
        endpwent();
    return entries;
}

static bool ReadWhole(int fd, void *buf, size_t size)
{
    return PRead(fd, buf, size, 1) == static_cast<int>(size);
}

// The same in a child of its own, which sends the entries back: listing a
// database loads every name service the host names, with the libraries it
// pulls in, which every process forked from this one would map and copy.
static PwName *ListNamesApart(bool groups, int *n)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0)
        return ListNames(groups, n);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        int count = 0;
        PwName *entries = ListNames(groups, &count);
        const int32_t sent = entries != nullptr ? count : -1;
        if (PWrite(fds[1], &sent, sizeof(sent)) == static_cast<int>(sizeof(sent)) && sent > 0)
            (void) PWrite(fds[1], entries, size_t(sent) * sizeof(PwName));
        _exit(0);
    }
    close(fds[1]);
    int32_t count = -1;
    PwName *entries = nullptr;
    if (pid > 0 && ReadWhole(fds[0], &count, sizeof(count)) && count >= 0 && count < (1 << 24)) {
        entries = static_cast<PwName *>(calloc(size_t(count) + 1, sizeof(PwName)));
        if (entries != nullptr && !ReadWhole(fds[0], entries, size_t(count) * sizeof(PwName))) {
            free(entries);
            entries = nullptr;
        }
    }
    close(fds[0]);
    while (pid > 0 && waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (pid < 0)
        return ListNames(groups, n);
    *n = entries != nullptr ? count : 0;
    for (int i = 0; i < *n; i++)
        entries[i].name[sizeof(entries[i].name) - 1] = '\0';
    return entries;
}

static void Load(PwTable t, bool groups)
{
    FreeTable(t);
    t.entries = gPwCacheEnv.apart ? ListNamesApart(groups, &t.count) : ListNames(groups, &t.count);
    if (t.entries != nullptr)
        BuildHash(t);
}

static PwTable UserTable()
{
    return {gPwUsers, gNumPwUsers, gPwUserHashTable, gPwUserHashEntries};
}

static PwTable GroupTable()
{
    return {gPwGroups, gNumPwGroups, gPwGroupHashTable, gPwGroupHashEntries};
}

// ---- Loading ------------------------------------------------------------------

static double Seconds(const timespec &a, const timespec &b)
{
    return double(b.tv_sec - a.tv_sec) + double(b.tv_nsec - a.tv_nsec) / 1e9;
}

void PwLoad()
{
    if (!gPwReload)
        return;
    int anonNames = gPwCacheEnv.anonNames != nullptr ? *gPwCacheEnv.anonNames : 0;
    int userNames = gPwCacheEnv.userNames != nullptr ? *gPwCacheEnv.userNames : 1;
    if (!anonNames && !userNames) {
        PwTrace("No users or groups were loaded since a-ls-names=\"no\" and u-ls-names=\"no\".\n");
        return;
    }
    time_t now = Now();
    if (now <= gNextPwLoadTime)
        return;
    gNextPwLoadTime = now + kPwReloadInterval;

    struct stat st;
    bool examined = stat(kPasswdFile, &st) == 0;
    if (gPasswdFileModTime != 0 && examined && st.st_mtime <= gPasswdFileModTime)
        return;

    timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    Load(UserTable(), false);
    Load(GroupTable(), true);
    clock_gettime(CLOCK_MONOTONIC, &t1);

    char line[80];
    snprintf(line, sizeof line, "Loaded %d users, %d groups.\n", gNumPwUsers, gNumPwGroups);
    PwTrace(line);
    if (Seconds(t0, t1) > kPwMaxLoadSeconds) {
        PwLog("It takes too long to load the password file; it will no longer be reloaded.\n");
        PwLog("The only impact that will have will be that the usernames shown by \"ls\" may become outdated.\n");
        gPwReload = 0;
    }
    if (examined)
        gPasswdFileModTime = st.st_mtime;
}

void PwFree()
{
    FreeTable(UserTable());
    FreeTable(GroupTable());
    gPwReload = 1;
    gNextPwLoadTime = 0;
    gPasswdFileModTime = 0;
}

// ---- Look-ups -------------------------------------------------------------------

static bool SessionSeesNames()
{
    bool anon = gPwCacheEnv.isAnon != nullptr && *gPwCacheEnv.isAnon != 0;
    if (anon)
        return gPwCacheEnv.anonNames != nullptr && *gPwCacheEnv.anonNames != 0;
    return gPwCacheEnv.userNames == nullptr || *gPwCacheEnv.userNames != 0;
}

static const char *Search(PwHashNode *const *heads, int32_t id, const char *fallback)
{
    if (heads == nullptr || !SessionSeesNames())
        return fallback;
    for (const PwHashNode *n = heads[Bucket(id)]; n != nullptr; n = n->next)
        if (n->entry->id == id)
            return n->entry->name;
    return fallback;
}

const char *PwSearch(int32_t uid)
{
    return Search(gPwUserHashTable, uid, "ftpuser");
}

const char *GrSearch(int32_t gid)
{
    return Search(gPwGroupHashTable, gid, "ftpusers");
}
