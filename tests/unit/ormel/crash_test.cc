// A writer killed at any point.  Every kill must leave a database that opens,
// in which each key answers with its data from before or after the operation
// under way, that lists each key once, and that takes further writes.
//
// This test program interposes the C library's calls that change files: a
// forked writer counts them and kills itself (SIGKILL) just before the N-th,
// for every N from the first to the last.
#include "ormel_test_util.h"

#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <optional>
#include <set>

namespace {

int gKillAt;        // the call to die before; 0 counts only
int gChanges;       // calls that change files, so far

void BeforeChange()
{
    if (++gChanges == gKillAt)
        kill(getpid(), SIGKILL);
}

} // namespace

extern "C" {
ssize_t write(int fd, const void *buf, size_t n)
{
    BeforeChange();
    return syscall(SYS_write, fd, buf, n);
}
ssize_t pwrite(int fd, const void *buf, size_t n, off_t off)
{
    BeforeChange();
    return syscall(SYS_pwrite64, fd, buf, n, off);
}
ssize_t pwritev(int fd, const iovec *iov, int n, off_t off)
{
    BeforeChange();
    return syscall(SYS_pwritev, fd, iov, n, off, 0);
}
int ftruncate(int fd, off_t len) noexcept
{
    BeforeChange();
    return static_cast<int>(syscall(SYS_ftruncate, fd, len));
}
int rename(const char *from, const char *to) noexcept
{
    BeforeChange();
    return static_cast<int>(syscall(SYS_rename, from, to));
}
int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned flags) noexcept
{
    BeforeChange();
    return static_cast<int>(syscall(SYS_renameat2, fromDir, from, toDir, to, flags));
}
int link(const char *from, const char *to) noexcept
{
    BeforeChange();
    return static_cast<int>(syscall(SYS_link, from, to));
}
int unlink(const char *path) noexcept
{
    BeforeChange();
    return static_cast<int>(syscall(SYS_unlink, path));
}
}

namespace {

using State = std::map<std::string, std::string>;

struct Op {
    std::string key;
    std::optional<std::string> data;   // none: delete
};

// Shared with the writer: the operation under way (-1 while opening) and the
// number of changing calls it made.
struct Progress {
    int op;
    int changes;
};

std::string Data(const std::string &key, int version, size_t len)
{
    std::string d = key + "#" + std::to_string(version) + ":";
    d.resize(std::max(len, d.size()), static_cast<char>('a' + version));
    return d;
}

// Eighteen keys in three chains (one key beyond 16 bytes): insertion into an
// empty and a non-empty chain, replacement by longer, shorter and equal data
// of first, middle and last records, deletion of each, insertion again with
// data beyond the record buffer, and records replaced twice.
std::vector<Op> Script()
{
    std::vector<std::string> keys;
    for (int i = 0; i < 17; i++)
        keys.push_back("user" + std::to_string(i));
    keys.push_back("a-user-name-longer-than-sixteen-bytes");
    std::vector<Op> ops;
    for (const auto &k : keys)
        ops.push_back({k, Data(k, 0, 16)});
    for (const auto &k : keys)
        ops.push_back({k, Data(k, 1, 40)});
    for (size_t i = 0; i < keys.size(); i++)
        ops.push_back({keys[i], Data(keys[i], 2, i % 2 ? 12 : 40)});
    for (size_t i = 0; i < keys.size(); i += 3)
        ops.push_back({keys[i], std::nullopt});
    for (size_t i = 0; i < keys.size(); i += 3)
        ops.push_back({keys[i], Data(keys[i], 3, 700)});
    for (size_t i = 1; i < keys.size(); i += 2)
        ops.push_back({keys[i], Data(keys[i], 4, 20)});
    return ops;
}

void Apply(State &s, const Op &op)
{
    if (op.data)
        s[op.key] = *op.data;
    else
        s.erase(op.key);
}

int RunOp(OrmelHandle *h, const Op &op)
{
    int klen = static_cast<int>(op.key.size());
    if (!op.data)
        return Ormel_Delete(h, op.key.data(), klen);
    return Ormel_Insert(h, op.key.data(), klen, op.data->data(), static_cast<int>(op.data->size()), 1);
}

class OrmelCrash : public OrmelTest {
  protected:
    void SetUp() override
    {
        OrmelTest::SetUp();
        void *p = mmap(nullptr, sizeof(Progress), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(p, MAP_FAILED);
        progress_ = static_cast<Progress *>(p);
    }
    void TearDown() override
    {
        munmap(progress_, sizeof(Progress));
        OrmelTest::TearDown();
    }

    // Runs fn in a child that dies before its killAt-th changing call (never
    // with 0); true when it was killed.
    bool RunKilledAt(int killAt, const std::function<int()> &fn)
    {
        *progress_ = {-1, 0};
        pid_t pid = RunInChild([&] {
            gKillAt = killAt;
            gChanges = 0;
            int rc = fn();
            progress_->changes = gChanges;
            return rc;
        });
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            return true;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        return false;
    }

    // Removes the database and whatever temporary files were left.
    void Clear()
    {
        for (const auto &e : std::filesystem::directory_iterator(dir_))
            std::filesystem::remove(e.path());
    }

    // The content by look-ups of every key and by enumeration, which must
    // agree and list each key once.
    State Content(const std::set<std::string> &keys)
    {
        OrmelHandle h = {};
        State byQuery, byEnum;
        int rc = Ormel_Open(&h, path_.c_str(), 0, 0, 0);
        EXPECT_EQ(rc, 0);
        if (rc != 0)
            return {{"<open>", std::to_string(rc)}};
        for (const auto &k : keys) {
            OrmelDatum d;
            rc = Ormel_Query(&h, k.data(), static_cast<int>(k.size()), &d);
            if (rc == 0) {
                byQuery[k].assign(d.data, d.len);
                free(d.data);
            } else {
                EXPECT_EQ(rc, kOrmelErrNotFound) << k;
            }
        }
        OrmelCursor c;
        char *k;
        OrmelDatum d;
        for (rc = Ormel_FirstKey(&h, &k, &d, &c); rc == 0; rc = Ormel_NextKey(&h, &k, &d, &c)) {
            EXPECT_TRUE(byEnum.emplace(k, std::string(d.data, d.len)).second) << "listed twice: " << k;
            free(k);
            free(d.data);
        }
        EXPECT_EQ(rc, kOrmelErrNoMoreRecords);
        EXPECT_EQ(byEnum, byQuery);
        EXPECT_EQ(Ormel_Close(&h), 0);
        return byQuery;
    }

    Progress *progress_ = nullptr;
};

// The writer creates a database of 3 buckets and runs the script.
int WriteScript(const std::string &path, const std::vector<Op> &ops, Progress *progress)
{
    OrmelHandle h = {};
    if (Ormel_Open(&h, path.c_str(), kOrmelReadWrite | kOrmelCreate, 0, 3) != 0)
        return 1;
    for (size_t i = 0; i < ops.size(); i++) {
        progress->op = static_cast<int>(i);
        if (RunOp(&h, ops[i]) != 0)
            return 2;
    }
    progress->op = static_cast<int>(ops.size());
    return Ormel_Close(&h) == 0 ? 0 : 3;
}

} // namespace

TEST_F(OrmelCrash, AWriterKilledAtAnyChangeLeavesEachKeyOldOrNewAndListedOnce)
{
    const std::vector<Op> ops = Script();
    std::vector<State> after(1);   // after[i]: the content once i operations are done
    std::set<std::string> keys;
    for (const auto &op : ops) {
        after.push_back(after.back());
        Apply(after.back(), op);
        keys.insert(op.key);
    }
    ASSERT_FALSE(RunKilledAt(0, [&] { return WriteScript(path_, ops, progress_); }));
    const int changes = progress_->changes;
    ASSERT_EQ(Content(keys), after.back());
    ASSERT_GT(changes, static_cast<int>(ops.size()));   // the calls are seen

    for (int n = 1; n <= changes && !HasFailure(); n++) {
        SCOPED_TRACE("killed before change " + std::to_string(n));
        Clear();
        ASSERT_TRUE(RunKilledAt(n, [&] { return WriteScript(path_, ops, progress_); }));
        const int op = progress_->op;
        SCOPED_TRACE("during operation " + std::to_string(op));
        if (op < 0 && access(path_.c_str(), F_OK) != 0)
            continue;   // killed while creating: no database yet, which is fine
        State got = Content(keys);
        EXPECT_TRUE(got == after[std::max(op, 0)] || got == after[op + 1]);

        // The survivor takes the rest of the work.
        OrmelHandle h = {};
        ASSERT_EQ(Ormel_Open(&h, path_.c_str(), kOrmelReadWrite, 0, 0), 0);
        for (size_t i = std::max(op, 0); i < ops.size(); i++) {
            int rc = RunOp(&h, ops[i]);
            bool deletedAlready = rc == kOrmelErrNotFound && !ops[i].data && static_cast<int>(i) == op;
            EXPECT_TRUE(rc == 0 || deletedAlready) << "operation " << i << ": " << rc;
        }
        EXPECT_EQ(Ormel_Close(&h), 0);
        EXPECT_EQ(Content(keys), after.back());
    }
}

// Creating a database, and replacing one (remove first), killed at each step:
// the name leads to no database or to a whole one, never to half of one.
class OrmelCreationCrash : public OrmelCrash, public ::testing::WithParamInterface<int> {};

TEST_P(OrmelCreationCrash, TheNameIsAbsentOrTheOldOrTheNewDatabase)
{
    const int flags = kOrmelWrite | kOrmelCreate | GetParam();
    const bool replacing = (GetParam() & kOrmelRemove) != 0;
    const std::set<std::string> keys = {"old"};
    const auto prepare = [&] {
        Clear();
        if (replacing) {
            Create(3);
            ASSERT_EQ(Insert("old", "record"), 0);
            ASSERT_EQ(Ormel_Close(&h_), 0);
        }
    };
    const auto create = [&] {
        OrmelHandle h = {};
        return Ormel_Open(&h, path_.c_str(), flags, 0, 0) == 0 && Ormel_Close(&h) == 0 ? 0 : 1;
    };
    prepare();
    ASSERT_FALSE(RunKilledAt(0, create));
    const int changes = progress_->changes;
    ASSERT_GE(changes, 3);   // header, table and end marker, naming

    for (int n = 1; n <= changes && !HasFailure(); n++) {
        SCOPED_TRACE("killed before change " + std::to_string(n));
        prepare();
        ASSERT_TRUE(RunKilledAt(n, create));
        if (!replacing && access(path_.c_str(), F_OK) != 0)
            continue;
        State got = Content(keys);
        EXPECT_TRUE(got.empty() || (replacing && got == State{{"old", "record"}}));
        EXPECT_EQ(FileSize(), replacing && !got.empty() ? 36 + 30 : 32788);
        // The database takes records.
        ASSERT_EQ(Ormel_Open(&h_, path_.c_str(), kOrmelReadWrite | kOrmelCreate, 0, 0), 0);
        EXPECT_EQ(Insert("new", "x"), 0);
        EXPECT_EQ(Get("new"), "x");
        Ormel_Close(&h_);
    }
}

INSTANTIATE_TEST_SUITE_P(Flags, OrmelCreationCrash, ::testing::Values(0, kOrmelRemove));
