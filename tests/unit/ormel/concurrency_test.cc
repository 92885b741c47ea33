// Several processes on one file: writers and readers at once, and the
// record locks that make them wait for each other.
#include "ormel_test_util.h"

#include <chrono>
#include <map>
#include <random>
#include <sstream>
#include <thread>

using OrmelShared = OrmelTest;

namespace {

constexpr int kWriters = 3;
constexpr int kReaders = 2;
constexpr int kKeysPerWriter = 300;

// Each version of a record has its own length: longer, shorter and longer
// than the record buffer.
constexpr int kFillerLen[] = {20, 200, 5, 700};

std::string Key(int writer, int i) { return "w" + std::to_string(writer) + "-user" + std::to_string(i); }

std::string Payload(const std::string &key, int version)
{
    return key + "|" + std::to_string(version) + "|" + std::string(kFillerLen[version], static_cast<char>('a' + version));
}

// A payload is whole when it is one of its key's versions, byte for byte.
bool PayloadIsWhole(const std::string &key, const std::string &data)
{
    for (int v = 0; v < 4; v++)
        if (data == Payload(key, v))
            return true;
    return false;
}

// One writer's work, in a fixed order; op receives (key, version) for an
// insertion or replacement and (key, -1) for a deletion.
template <typename Op>
bool WriterOps(int w, Op op)
{
    for (int i = 0; i < kKeysPerWriter; i++) {
        if (!op(Key(w, i), 0))
            return false;
        if (i >= 1 && !op(Key(w, i - 1), 1))
            return false;
        if (i >= 2 && !op(Key(w, i - 2), 2))
            return false;
        if (i >= 3 && (i - 3) % 4 == 0 && !op(Key(w, i - 3), 3))
            return false;
        if (i >= 4 && (i - 4) % 10 == 9 && !op(Key(w, i - 4), -1))
            return false;
    }
    return true;
}

int RunWriter(const std::string &path, int w)
{
    OrmelHandle h = {};
    if (Ormel_Open(&h, path.c_str(), kOrmelReadWrite, 0, 0) != 0)
        return 10;
    bool ok = WriterOps(w, [&](const std::string &key, int version) {
        int klen = static_cast<int>(key.size());
        if (version < 0)
            return Ormel_Delete(&h, key.data(), klen) == 0;
        std::string d = Payload(key, version);
        return Ormel_Insert(&h, key.data(), klen, d.data(), static_cast<int>(d.size()), version > 0) == 0;
    });
    return ok && Ormel_Close(&h) == 0 ? 0 : 11;
}

// Looks random keys up, and now and then enumerates everything under a
// shared whole-file lock; every answer must be whole.
int RunReader(const std::string &path, int r)
{
    OrmelHandle h = {};
    if (Ormel_Open(&h, path.c_str(), 0, 0, 0) != 0)
        return 20;
    std::mt19937 rng(r);
    for (int n = 0; n < 4000; n++) {
        std::string key = Key(static_cast<int>(rng() % kWriters), static_cast<int>(rng() % kKeysPerWriter));
        OrmelDatum d;
        int rc = Ormel_Query(&h, key.data(), static_cast<int>(key.size()), &d);
        if (rc == 0) {
            bool whole = PayloadIsWhole(key, std::string(d.data, d.len));
            free(d.data);
            if (!whole)
                return 21;
        } else if (rc != kOrmelErrNotFound) {
            return 22;
        }
        if (n % 500 == 0) {
            if (Ormel_ExclusiveLock(&h, kOrmelReadLock) != 0)
                return 23;
            std::map<std::string, int> seen;
            OrmelCursor c;
            char *k;
            OrmelDatum data;
            for (rc = Ormel_FirstKey(&h, &k, &data, &c); rc == 0; rc = Ormel_NextKey(&h, &k, &data, &c)) {
                bool whole = PayloadIsWhole(k, std::string(data.data, data.len)) && seen[k]++ == 0;
                free(k);
                free(data.data);
                if (!whole)
                    return 24;
            }
            if (rc != kOrmelErrNoMoreRecords || Ormel_ExclusiveLock(&h, kOrmelUnlock) != 0)
                return 25;
        }
    }
    return Ormel_Close(&h) == 0 ? 0 : 26;
}

// Waits (bounded) until the kernel lists a blocked lock request of pid.
bool WaitUntilBlocked(pid_t pid)
{
    std::string want = std::to_string(pid);
    for (int tries = 0; tries < 10000; tries++) {
        std::ifstream locks("/proc/locks");
        std::string line;
        while (std::getline(locks, line)) {
            std::istringstream words(line);
            std::string w, arrow, kind, advisory, type, owner;
            words >> w >> arrow >> kind >> advisory >> type >> owner;
            if (arrow == "->" && owner == want)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

bool Finished(pid_t pid)
{
    int status;
    return waitpid(pid, &status, WNOHANG) != 0;
}

} // namespace

TEST_F(OrmelShared, WritersAndReadersInSeveralProcessesLoseAndCorruptNothing)
{
    Create(7);   // a few long chains, so that every writer works in every chain
    Ormel_Close(&h_);

    std::vector<pid_t> pids;
    for (int w = 0; w < kWriters; w++)
        pids.push_back(RunInChild([&, w] { return RunWriter(path_, w); }));
    for (int r = 0; r < kReaders; r++)
        pids.push_back(RunInChild([&, r] { return RunReader(path_, r + 1); }));
    for (pid_t pid : pids)
        EXPECT_EQ(WaitChild(pid), 0) << pid;

    std::map<std::string, std::string> want;
    for (int w = 0; w < kWriters; w++)
        WriterOps(w, [&](const std::string &key, int version) {
            if (version < 0)
                want.erase(key);
            else
                want[key] = Payload(key, version);
            return true;
        });

    ASSERT_EQ(Ormel_Open(&h_, path_.c_str(), 0, 0, 0), 0);
    std::map<std::string, std::string> got;
    OrmelCursor c;
    char *k;
    OrmelDatum d;
    int rc;
    for (rc = Ormel_FirstKey(&h_, &k, &d, &c); rc == 0; rc = Ormel_NextKey(&h_, &k, &d, &c)) {
        EXPECT_TRUE(got.emplace(k, std::string(d.data, d.len)).second) << "twice: " << k;
        free(k);
        free(d.data);
    }
    EXPECT_EQ(rc, kOrmelErrNoMoreRecords);
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want);
    for (auto &[key, data] : want)
        EXPECT_EQ(Get(key), data);
}

TEST_F(OrmelShared, AWholeFileWriteLockHoldsLookupsOfOtherProcesses)
{
    Create(3);
    ASSERT_EQ(Insert("k", "old"), 0);
    ASSERT_EQ(Ormel_ExclusiveLock(&h_, kOrmelWriteLock), 0);
    EXPECT_EQ(h_.lockingEnabled, 0);
    pid_t pid = RunInChild([&] {
        OrmelHandle h = {};
        OrmelDatum d;
        if (Ormel_Open(&h, path_.c_str(), 0, 0, 0) != 0 || Ormel_Query(&h, "k", 1, &d) != 0)
            return 1;
        return std::string(d.data, d.len) == "new data" ? 0 : 2;
    });
    ASSERT_TRUE(WaitUntilBlocked(pid));
    EXPECT_FALSE(Finished(pid));
    ASSERT_EQ(Insert("k", "new data", 1), 0);   // moves, without per-record locks
    EXPECT_EQ(Ormel_ExclusiveLock(&h_, kOrmelUnlock), 0);
    EXPECT_EQ(h_.lockingEnabled, 1);
    EXPECT_EQ(WaitChild(pid), 0);
}

TEST_F(OrmelShared, ASharedWholeFileLockLetsReadersInAndKeepsWritersOut)
{
    Create(3);
    ASSERT_EQ(Insert("k", "v"), 0);
    ASSERT_EQ(Ormel_ExclusiveLock(&h_, kOrmelReadLock), 0);
    pid_t reader = RunInChild([&] {
        OrmelHandle h = {};
        return Ormel_Open(&h, path_.c_str(), 0, 0, 0) == 0 && Ormel_Exists(&h, "k", 1) == 0 ? 0 : 1;
    });
    EXPECT_EQ(WaitChild(reader), 0);
    pid_t writer = RunInChild([&] {
        OrmelHandle h = {};
        return Ormel_Open(&h, path_.c_str(), kOrmelReadWrite, 0, 0) == 0 && Ormel_Delete(&h, "k", 1) == 0 ? 0 : 1;
    });
    ASSERT_TRUE(WaitUntilBlocked(writer));
    EXPECT_FALSE(Finished(writer));
    EXPECT_EQ(Get("k"), "v");
    // Asking again changes the lock's type; releasing once is enough.
    EXPECT_EQ(Ormel_ExclusiveLock(&h_, kOrmelReadLock), 0);
    EXPECT_EQ(Ormel_ExclusiveLock(&h_, kOrmelUnlock), 0);
    EXPECT_EQ(Ormel_ExclusiveLock(&h_, kOrmelUnlock), 0);
    EXPECT_EQ(WaitChild(writer), 0);
    EXPECT_EQ(Get("k"), "<-8>");
    EXPECT_EQ(Ormel_ExclusiveLock(&h_, 4), kOrmelErrParam);
}

TEST_F(OrmelShared, AnInsertionAppendsButLinksOnlyWhenTheSlotIsFree)
{
    Create(3);
    Ormel_SetHashFunction(&h_, OneChainHash);
    ASSERT_EQ(Ormel_LockInt(&h_, kOrmelReadLock, 20), 0);   // as a reader in the middle of a look-up
    pid_t writer = RunInChild([&] {
        OrmelHandle h = {};
        if (Ormel_Open(&h, path_.c_str(), kOrmelReadWrite, 0, 0) != 0)
            return 1;
        Ormel_SetHashFunction(&h, OneChainHash);
        return Ormel_Insert(&h, "k", 1, "v", 1, 0) == 0 ? 0 : 2;
    });
    ASSERT_TRUE(WaitUntilBlocked(writer));
    EXPECT_FALSE(Finished(writer));
    EXPECT_EQ(FileSize(), 36 + 25);   // appended
    EXPECT_EQ(Word(20), 0u);          // not yet linked
    ASSERT_EQ(Ormel_LockInt(&h_, kOrmelUnlock, 20), 0);
    EXPECT_EQ(WaitChild(writer), 0);
    EXPECT_EQ(Word(20), 36u);
    EXPECT_EQ(Get("k"), "v");
}

TEST_F(OrmelShared, WritersWaitForEachOtherOnTheEndMarker)
{
    Create(3);
    ASSERT_EQ(Insert("k", "v"), 0);
    ASSERT_EQ(Ormel_LockInt(&h_, kOrmelWriteLock, 32), 0);   // the end marker of 3 buckets
    pid_t writer = RunInChild([&] {
        OrmelHandle h = {};
        return Ormel_Open(&h, path_.c_str(), kOrmelReadWrite, 0, 0) == 0 && Ormel_Delete(&h, "k", 1) == 0 ? 0 : 1;
    });
    ASSERT_TRUE(WaitUntilBlocked(writer));
    EXPECT_EQ(Get("k"), "v");
    ASSERT_EQ(Ormel_LockInt(&h_, kOrmelUnlock, 32), 0);
    EXPECT_EQ(WaitChild(writer), 0);
    EXPECT_EQ(Get("k"), "<-8>");
}

TEST_F(OrmelShared, AReplacementWaitsForReadersOfItsChain)
{
    Create(3);
    ASSERT_EQ(Insert("k", "old data"), 0);
    uint32_t slot = 20 + 4 * (Ormel_SpreadHashFunction("k", 1) % 3);
    ASSERT_EQ(Ormel_LockInt(&h_, kOrmelReadLock, slot), 0);
    pid_t writer = RunInChild([&] {
        OrmelHandle h = {};
        return Ormel_Open(&h, path_.c_str(), kOrmelReadWrite, 0, 0) == 0 && Ormel_Insert(&h, "k", 1, "new", 3, 1) == 0
                   ? 0
                   : 1;
    });
    ASSERT_TRUE(WaitUntilBlocked(writer));
    EXPECT_EQ(Get("k"), "old data");
    ASSERT_EQ(Ormel_LockInt(&h_, kOrmelUnlock, slot), 0);
    EXPECT_EQ(WaitChild(writer), 0);
    EXPECT_EQ(Get("k"), "new");
}

TEST_F(OrmelShared, ABoundedLockWaitGivesUpWithALockErrorAndTheDefaultWaits)
{
    Create(3);
    ASSERT_EQ(Insert("k", "v"), 0);
    ASSERT_EQ(Ormel_ExclusiveLock(&h_, kOrmelWriteLock), 0);   // as a long import holds it
    pid_t reader = RunInChild([&] {
        OrmelHandle h = {};
        OrmelDatum d;
        if (Ormel_Open(&h, path_.c_str(), 0, 0, 0) != 0)
            return 1;
        Ormel_SetLockWait(&h, 300);
        auto start = std::chrono::steady_clock::now();
        if (Ormel_Query(&h, "k", 1, &d) != kOrmelErrLock)
            return 2;
        auto waited = std::chrono::steady_clock::now() - start;
        if (waited < std::chrono::milliseconds(300) || waited > std::chrono::seconds(8))
            return 3;
        Ormel_SetLockWait(&h, 0);
        return Ormel_Query(&h, "k", 1, &d) == 0 && std::string(d.data, d.len) == "v" ? 0 : 4;
    });
    ASSERT_TRUE(WaitUntilBlocked(reader));   // the unbounded request is queued in the kernel
    EXPECT_EQ(Ormel_ExclusiveLock(&h_, kOrmelUnlock), 0);
    EXPECT_EQ(WaitChild(reader), 0);
}
