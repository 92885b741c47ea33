// The limits of a pool child and of a logged-in session's own process,
// applied by the same calls the daemon makes, in a forked process that then
// tries what a taken-over process would: mount, trace another process, load a
// module, get root back. Each attempt would succeed (or fail differently) for
// the unlimited root running the test.
#include <fcntl.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <functional>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/process.h"
#include "process/sandbox.h"

namespace {

// Runs fn in a forked process (in a private mount namespace, so that nothing
// it mounts could outlive it) and returns what it wrote.
std::string InChild(const std::function<std::string()> &fn)
{
    int out[2];
    if (pipe(out) < 0)
        return "pipe failed";
    const pid_t pid = fork();
    if (pid == 0) {
        close(out[0]);
        std::string text;
        if (unshare(CLONE_NEWNS) < 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
            text = "no private mount namespace";
        else
            text = fn();
        (void) !write(out[1], text.data(), text.size());
        _exit(0);
    }
    close(out[1]);
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof(buf))) > 0)
        text.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        text += " (child died)";
    return text;
}

std::string Outcome(long rc)
{
    if (rc >= 0)
        return "succeeded";
    return strerror(errno);
}

// A process to try to trace: it waits for its end of the pipe to close.
pid_t Sleeper(int *hold)
{
    int p[2];
    if (pipe(p) < 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(p[1]);
        char c;
        (void) !read(p[0], &c, 1);
        _exit(0);
    }
    close(p[0]);
    *hold = p[1];
    return pid;
}

struct Attempt {
    const char *name;
    long (*call)(const char *dir, pid_t other);
};

void PrintTo(const Attempt &a, std::ostream *os)
{
    *os << a.name;
}

const Attempt kAttempts[] = {
    {"mount", [](const char *dir, pid_t) -> long { return mount("none", dir, "tmpfs", 0, nullptr); }},
    {"ptrace attach", [](const char *, pid_t other) -> long { return ptrace(PTRACE_ATTACH, other, nullptr, nullptr); }},
    {"init_module", [](const char *, pid_t) -> long { return syscall(SYS_init_module, nullptr, 0UL, ""); }},
    {"finit_module", [](const char *, pid_t) -> long {
         const int fd = open("/dev/null", O_RDONLY);
         return syscall(SYS_finit_module, fd, "", 0);
     }},
    {"unshare", [](const char *, pid_t) -> long { return unshare(CLONE_NEWNS); }},
};

class SessionLimits : public ::testing::TestWithParam<Attempt> {};

TEST_P(SessionLimits, ALimitedProcessIsRefusedWhatASessionNeverDoes)
{
    ASSERT_EQ(geteuid(), 0u) << "needs root";
    char dir[] = "/tmp/sandbox-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const Attempt attempt = GetParam();
    const std::string result = InChild([&] {
        int hold = -1;
        const pid_t other = Sleeper(&hold);
        if (LimitSessionProcess() != 0)
            return std::string("not limited");
        // As the user of a session and as root again after it.
        std::string text;
        for (uid_t euid : {static_cast<uid_t>(65534), static_cast<uid_t>(0)}) {
            if (seteuid(euid) < 0)
                return std::string("seteuid failed");
            text += Outcome(attempt.call(dir, other)) + ";";
        }
        close(hold);
        waitpid(other, nullptr, 0);
        return text;
    });
    rmdir(dir);
    const std::string refused = std::string(strerror(EPERM)) + ";";
    EXPECT_EQ(result, refused + refused) << attempt.name;
}

INSTANTIATE_TEST_SUITE_P(Calls, SessionLimits, ::testing::ValuesIn(kAttempts),
                         [](const auto &info) {
                             std::string name = info.param.name;
                             for (char &c : name)
                                 if (c == ' ')
                                     c = '_';
                             return name;
                         });

// What a session does keep: it switches its ids both ways, binds a port
// below 1024, and nothing it starts gains more than it has.
TEST(SessionLimitsKeep, ALimitedProcessStillSwitchesIdsAndBindsAPrivilegedPort)
{
    ASSERT_EQ(geteuid(), 0u) << "needs root";
    const std::string result = InChild([] {
        if (LimitSessionProcess() != 0)
            return std::string("not limited");
        std::string text;
        const gid_t groups[] = {65534};
        text += setegid(65534) == 0 && setgroups(1, groups) == 0 ? "groups;" : "no groups;";
        text += seteuid(65534) == 0 && seteuid(0) == 0 ? "euid;" : "no euid;";
        text += prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1 ? "nnp;" : "no nnp;";
        // Back at root, the dropped capabilities have not come back.
        struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
        struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
        syscall(SYS_capget, &header, data);
        const bool admin = data[CAP_TO_INDEX(CAP_SYS_ADMIN)].effective & CAP_TO_MASK(CAP_SYS_ADMIN);
        const bool bind = data[CAP_TO_INDEX(CAP_NET_BIND_SERVICE)].effective & CAP_TO_MASK(CAP_NET_BIND_SERVICE);
        text += admin ? "admin;" : "no admin;";
        text += bind ? "bind;" : "no bind;";
        text += prctl(PR_CAPBSET_READ, CAP_SYS_MODULE, 0, 0, 0) == 0 ? "no module" : "module";
        return text;
    });
    EXPECT_EQ(result, "groups;euid;nnp;no admin;bind;no module");
}

// A session's own process after a login, taken over by its client: it holds
// the user's ids alone, no capability in any set, and asking for root back
// in any of the ways the kernel offers is refused.
TEST(UserProcessLimits, ASessionProcessCannotGetRootBack)
{
    ASSERT_EQ(geteuid(), 0u) << "needs root";
    const std::string result = InChild([] {
        const gid_t group = 65534;
        if (LimitSessionProcess() != 0 || EmptyBoundingSet() != 0 || setgroups(1, &group) < 0 ||
            setresgid(65534, 65534, 65534) < 0 || setresuid(65534, 65534, 65534) < 0 || LimitUserProcess() != 0)
            return std::string("not limited");
        std::string text;
        text += Outcome(setuid(0)) + ";";
        text += Outcome(seteuid(0)) + ";";
        text += Outcome(setresuid(65534, 65534, 65534)) + ";";
        text += Outcome(setgroups(1, &group)) + ";";
        text += Outcome(chroot("/")) + ";";
        struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
        struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
        syscall(SYS_capget, &header, data);
        bool none = true;
        for (const auto &d : data)
            none = none && d.permitted == 0 && d.effective == 0 && d.inheritable == 0;
        text += none ? "no caps;" : "caps;";
        text += prctl(PR_CAPBSET_READ, CAP_SETUID, 0, 0, 0) == 0 ? "empty bounding set" : "bounding set";
        return text;
    });
    // Calls outside the session's list answer as if the kernel lacked them.
    const std::string refused = std::string(strerror(ENOSYS)) + ";";
    EXPECT_EQ(result, refused + refused + refused + refused + refused + "no caps;empty bounding set");
}

#if defined(__x86_64__)
constexpr int kHighestTried = 1100;
// The kernel passes the calls of its user-space probes (uretprobe, uprobe)
// by every filter, and ends a caller outside a probe.
constexpr long kPastFilters[] = {335, 336};
constexpr long kHarmless[] = {SYS_getpid, SYS_getppid, SYS_getuid, SYS_geteuid, SYS_getgid,
                              SYS_getegid, SYS_gettid, SYS_getpgrp, SYS_sched_yield};
constexpr long kNeeded[] = {SYS_write, SYS_exit, SYS_exit_group, SYS_prctl};

template <size_t N>
bool Among(const long (&calls)[N], long nr)
{
    return std::find(std::begin(calls), std::end(calls), nr) != std::end(calls);
}

// The harmless and needed calls, and every call number up to 1,100 that
// listedToo names.
std::vector<int> CallList(bool (*listedToo)(int))
{
    std::vector<int> list;
    for (int nr = 0; nr <= kHighestTried; nr++) {
        if (Among(kHarmless, nr) || Among(kNeeded, nr) || listedToo(nr))
            list.push_back(nr);
    }
    return list;
}

// Installs list (refusing with EDOM) in a child under a guard filter,
// written here as a plain list, that lets nothing but a few harmless calls
// reach the kernel (what the filter under test lets through answers
// ENOTBLK from the guard), tries every call number up to 1,100, and
// returns the numbers decided against the list ("" when none; "x32" when a
// call of the x32 ABI got through).
std::string WronglyDecided(const std::vector<int> &list, bool busiestOnly = false)
{
    std::vector<struct sock_filter> guard = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr))};
    std::vector<long> through(std::begin(kHarmless), std::end(kHarmless));
    through.insert(through.end(), std::begin(kNeeded), std::end(kNeeded));
    for (size_t i = 0; i < through.size(); i++)
        guard.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(through[i]),
                                 static_cast<uint8_t>(through.size() - i), 0));
    guard.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOTBLK));
    guard.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    struct sock_fprog guardProgram = {static_cast<unsigned short>(guard.size()), guard.data()};

    int out[2];
    if (pipe(out) < 0)
        return "pipe";
    const pid_t pid = fork();
    if (pid == 0) {
        // No allocation from here on: the guard refuses brk and mmap.
        static char verdict[kHighestTried + 2];
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) < 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &guardProgram) < 0
            || InstallCallList(list.data(), list.size(), EDOM, busiestOnly) != 0)
            _exit(2);
        for (int nr = 0; nr <= kHighestTried; nr++) {
            if (Among(kNeeded, nr) || Among(kPastFilters, nr)) {
                verdict[nr] = 'n';
                continue;
            }
            errno = 0;
            const long rc = syscall(nr, 0, 0, 0, 0, 0, 0);
            verdict[nr] = rc < 0 && errno == EDOM ? 'r' : 'a';      // refused, or let through
        }
        // A call of the x32 ABI is refused whatever its number.
        errno = 0;
        verdict[kHighestTried + 1] = syscall(SYS_getpid | 0x40000000, 0) < 0 && errno == EPERM ? 'x' : '?';
        (void) !write(out[1], verdict, sizeof(verdict));
        _exit(0);
    }
    close(out[1]);
    std::string verdict;
    char buf[512];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof(buf))) > 0)
        verdict.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || verdict.size() != kHighestTried + 2)
        return "the filters could not be installed: " + std::to_string(status);
    std::string wrong;
    for (int nr = 0; nr <= kHighestTried; nr++) {
        if (verdict[static_cast<size_t>(nr)] == 'n')
            continue;
        const bool listed = std::find(list.begin(), list.end(), nr) != list.end();
        if ((verdict[static_cast<size_t>(nr)] == 'a') != listed)
            wrong += std::to_string(nr) + (listed ? " refused; " : " let through; ");
    }
    return verdict.back() == 'x' ? wrong : wrong + "x32";
}

// The filters find a call by a search of their sorted lists: a mistake in it
// would let a call through that is not listed (code running inside a
// session, or a front taken over by its client, would reach it) or refuse
// one that is.  A list of a few dozen scattered calls makes a program whose
// comparisons all jump to shared returns; one of several hundred, a program
// too long for that, with a return at each leaf.
TEST(CallLists, EveryCallIsFoundOrRefusedAsItsListSays)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the guard filter refuses mmap, which the sanitizer's runtime needs in the child";
#endif
    EXPECT_EQ(WronglyDecided(CallList([](int nr) { return nr % 23 == 5 || nr == 1100; })), "");
    EXPECT_EQ(WronglyDecided(CallList([](int nr) { return nr % 7 == 3 || nr % 11 == 0; })), "");
    // The pool child's form, whose calls above the busiest few the kernel
    // never learns as always allowed, decides each call the same.
    EXPECT_EQ(WronglyDecided(CallList([](int nr) { return nr % 23 == 5 || nr == 1100; }), true), "");
    EXPECT_EQ(WronglyDecided(CallList([](int nr) { return nr % 7 == 3 || nr % 11 == 0; }), true), "");
}

// A list as long as a filter takes, of calls none of which is next to
// another, makes more comparisons than a program has room for: the filter
// is refused as too long, and building it writes nothing past the program
// (the process that builds it would otherwise crash or, worse, go on with
// its memory overwritten).
TEST(CallLists, AListTooLongForTheProgramIsRefusedWithoutHarm)
{
    std::vector<int> list;
    for (int nr = 1; list.size() < 512; nr += 2)
        list.push_back(nr);
    const std::string result = InChild([&] {
        return InstallCallList(list.data(), list.size(), EDOM) < 0 ? std::string("refused") : std::string("installed");
    });
    EXPECT_EQ(result, "refused");
}
#endif

}  // namespace

