// The limits a child puts on itself before it serves anyone (LimitSessionProcess).
//
// A child keeps real and saved uid 0: it switches only its effective ids to
// serve a user and back to root to serve the next one. Root's power is cut
// down to what the sessions were measured to use, no program it starts can
// gain more than it has, and system calls a session never makes are refused.
#include "process/sandbox.h"

#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <iterator>

#include "config/config.h"
#include "log/log.h"
#include "quota/shared.h"
#include "status/dirgen.h"
#include "status/sessionindex.h"
#include "status/shm.h"
#include "base/exit.h"
#include "base/pages.h"
#include "base/process.h"
#include "process/startup.h"

namespace {

// The capabilities a session uses, each for a reason; every other one goes.
constexpr int kSessionCapabilities[] = {
    CAP_SETUID,             // the effective user: a user's session, back to root at its end
    CAP_SETGID,             // the effective group and supplementary groups of a login
    CAP_NET_BIND_SERVICE,   // active data connections from the port below the control port (20)
    CAP_CHOWN,              // anonymous uploads and directories given to their configured owner
    CAP_FOWNER,             // time stamps of the session's own upload after that change of owner
    CAP_DAC_READ_SEARCH,    // a user database owned by another account; an anonymous root
                            // closed to the anonymous account, resolved again on reload
    CAP_SETPCAP,            // the bounding set emptied in the session's own process after a login
    CAP_KILL,               // the master's signals passed on to that process, which runs as its user
    CAP_SYS_CHROOT,         // the empty root of the process that reads a client's commands
};

bool KeptCapability(int cap)
{
    for (int kept : kSessionCapabilities) {
        if (kept == cap)
            return true;
    }
    return false;
}

// Root's effective uid while the limits are set (an anonymous-only child may
// already run as the anonymous account); the previous one comes back after.
class RootWhileLimiting {
  public:
    RootWhileLimiting() : saved_(geteuid())
    {
        if (saved_ != 0 && getuid() == 0 && seteuid(0) < 0)
            LogPerror("sandbox: setEuid(0) (eu=%u, ru=%u)", static_cast<unsigned>(saved_),
                      static_cast<unsigned>(getuid()));
    }
    ~RootWhileLimiting()
    {
        if (geteuid() != saved_ && seteuid(saved_) < 0) {
            LogPerror("sandbox: cannot restore euid %u (eu=%u, ru=%u)", static_cast<unsigned>(saved_),
                      static_cast<unsigned>(geteuid()), static_cast<unsigned>(getuid()));
            Exit(1);
        }
    }
    RootWhileLimiting(const RootWhileLimiting &) = delete;
    RootWhileLimiting &operator=(const RootWhileLimiting &) = delete;

  private:
    uid_t saved_;
};

// The capabilities still in this process's bounding set, noted once the
// pool child has limited itself (-1: not noted).  The set only ever shrinks,
// so a process forked later empties it with a call for each of these alone,
// not with two for every capability the kernel has.
constexpr int kMostCapabilities = 64;
ON_LOGIN_PAGES int gBoundingLeft[kMostCapabilities];
int gBoundingLeftCount = -1;

void NoteBoundingSet()
{
    int n = 0;
    for (int cap = 0; cap < kMostCapabilities; cap++) {
        const int held = prctl(PR_CAPBSET_READ, cap, 0, 0, 0);
        if (held < 0)
            break;      // the kernel's capabilities end here (EINVAL)
        if (held == 1)
            gBoundingLeft[n++] = cap;
    }
    gBoundingLeftCount = n;
}

// Drops from the bounding set every capability but, when keepSession,
// the session's.  0, or -1 when one could not be dropped (logged).
int DropFromBoundingSet(bool keepSession)
{
    int rc = 0;
    if (!keepSession && gBoundingLeftCount >= 0) {
        for (int i = 0; i < gBoundingLeftCount; i++) {
            if (prctl(PR_CAPBSET_DROP, gBoundingLeft[i], 0, 0, 0) < 0) {
                LogPerror("sandbox: cannot drop capability %d from the bounding set", gBoundingLeft[i]);
                rc = -1;
            }
        }
        return rc;
    }
    // The bounding set ends where the kernel's capabilities end (EINVAL).
    for (int cap = 0;; cap++) {
        const int held = prctl(PR_CAPBSET_READ, cap, 0, 0, 0);
        if (held < 0)
            break;
        if (held == 1 && (!keepSession || !KeptCapability(cap)) && prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) < 0) {
            LogPerror("sandbox: cannot drop capability %d from the bounding set", cap);
            rc = -1;
        }
    }
    return rc;
}

int DropCapabilities()
{
    int rc = DropFromBoundingSet(true);
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) < 0 && errno != EINVAL) {
        LogPerror("sandbox: cannot clear the ambient capabilities");
        rc = -1;
    }

    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) < 0) {
        LogPerror("sandbox: capget");
        return -1;
    }
    uint32_t keep[_LINUX_CAPABILITY_U32S_3] = {};
    for (int cap : kSessionCapabilities)
        keep[CAP_TO_INDEX(cap)] |= CAP_TO_MASK(cap);
    for (int i = 0; i < _LINUX_CAPABILITY_U32S_3; i++) {
        data[i].permitted &= keep[i];
        data[i].effective &= data[i].permitted;
        data[i].inheritable = 0;
    }
    if (syscall(SYS_capset, &header, data) < 0) {
        LogPerror("sandbox: capset");
        return -1;
    }
    return rc;
}

#if defined(__x86_64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_X86_64;
constexpr uint32_t kForeignCallBit = 0x40000000;     // the x32 calls of this architecture

// The system calls a session never makes. A deny list rather than an allow
// list: a call missing here is allowed, where a call missing from an allow
// list would end a session on some rare path. The TLS library's calls
// (getrandom, poll, clock_gettime, reads and writes) are never refused; its
// context is built before the filter is installed.
constexpr int kRefusedCalls[] = {
    // Reading or steering other processes.
    SYS_ptrace, SYS_process_vm_readv, SYS_process_vm_writev, SYS_kcmp, SYS_pidfd_getfd,
    // Mounts and namespaces.
    SYS_mount, SYS_umount2, SYS_pivot_root, SYS_fsopen, SYS_fsconfig, SYS_fsmount, SYS_fspick,
    SYS_move_mount, SYS_open_tree, SYS_mount_setattr, SYS_unshare, SYS_setns,
    // The kernel itself.
    SYS_init_module, SYS_finit_module, SYS_delete_module, SYS_create_module, SYS_query_module,
    SYS_get_kernel_syms, SYS_kexec_load, SYS_kexec_file_load, SYS_reboot, SYS_bpf, SYS_perf_event_open,
    SYS_userfaultfd, SYS_iopl, SYS_ioperm, SYS_syslog, SYS_uselib, SYS_lookup_dcookie,
    SYS_io_uring_setup, SYS_io_uring_enter, SYS_io_uring_register,
    // Keys, swap, accounting, quotas, clocks and names of the machine.
    SYS_keyctl, SYS_add_key, SYS_request_key, SYS_swapon, SYS_swapoff, SYS_acct, SYS_quotactl,
    SYS_settimeofday, SYS_clock_settime, SYS_clock_adjtime, SYS_adjtimex, SYS_sethostname,
    SYS_setdomainname, SYS_vhangup,
    // Files by handle, around the path checks.
    SYS_open_by_handle_at, SYS_name_to_handle_at,
};

// Everything a session's own process (and an archiver it starts) may call
// after a login, the busiest first: every other call answers ENOSYS, as if
// the kernel did not have it, so that a caller probing a newer call falls
// back to an older one.  No identity, capability or process-group change
// (what a session starts ends with it), no tracing, mounts, namespaces,
// roots, device nodes, modules, keys or kernel interfaces.  A call missing
// here fails on its path; it does not end the session.
constexpr int kFchmodat2 = 452;     // not yet in this C library's list
constexpr int kAllowedAfterLogin[] = {
    // Transfers, listings and the command loop.
    SYS_read, SYS_write, SYS_sendfile, SYS_splice, SYS_poll, SYS_ppoll, SYS_pread64, SYS_pwrite64, SYS_readv,
    SYS_writev, SYS_recvfrom, SYS_sendto, SYS_recvmsg, SYS_sendmsg, SYS_newfstatat, SYS_fstat, SYS_statx,
    SYS_lstat, SYS_stat, SYS_getdents64, SYS_getdents, SYS_openat, SYS_openat2, SYS_open, SYS_close, SYS_lseek, SYS_fcntl,
    SYS_clock_gettime, SYS_gettimeofday, SYS_time, SYS_getrandom, SYS_futex, SYS_select, SYS_pselect6,
    SYS_epoll_wait, SYS_epoll_pwait, SYS_epoll_pwait2, SYS_epoll_ctl, SYS_epoll_create, SYS_epoll_create1,
    SYS_tee, SYS_copy_file_range, SYS_readahead, SYS_fadvise64, SYS_sync_file_range, SYS_fsync,
    SYS_fdatasync, SYS_syncfs, SYS_sync, SYS_fallocate, SYS_ftruncate, SYS_truncate, SYS_flock,
    // Memory.
    SYS_mmap, SYS_munmap, SYS_mprotect, SYS_mremap, SYS_madvise, SYS_brk, SYS_msync, SYS_mincore,
    SYS_membarrier, SYS_memfd_create, SYS_shmat, SYS_shmdt, SYS_shmget, SYS_shmctl,
    // Files and directories, as the user.
    SYS_access, SYS_faccessat, SYS_faccessat2, SYS_readlink, SYS_readlinkat, SYS_getcwd, SYS_chdir,
    SYS_fchdir, SYS_mkdir, SYS_mkdirat, SYS_rmdir, SYS_unlink, SYS_unlinkat, SYS_rename, SYS_renameat,
    SYS_renameat2, SYS_link, SYS_linkat, SYS_symlink, SYS_symlinkat, SYS_creat, SYS_chmod, SYS_fchmod,
    SYS_fchmodat, kFchmodat2, SYS_chown, SYS_fchown, SYS_lchown, SYS_fchownat, SYS_utime, SYS_utimes, SYS_utimensat,
    SYS_futimesat, SYS_umask, SYS_statfs, SYS_fstatfs, SYS_getxattr, SYS_lgetxattr, SYS_fgetxattr,
    SYS_listxattr, SYS_llistxattr, SYS_flistxattr, SYS_dup, SYS_dup2, SYS_dup3, SYS_pipe, SYS_pipe2,
    SYS_close_range, SYS_ioctl,
    // Sockets: the data connections and the local channels.
    SYS_socket, SYS_connect, SYS_accept, SYS_accept4, SYS_bind, SYS_listen, SYS_getsockname,
    SYS_getpeername, SYS_setsockopt, SYS_getsockopt, SYS_shutdown, SYS_socketpair,
    // Time, signals and timers.
    SYS_nanosleep, SYS_clock_nanosleep, SYS_clock_getres, SYS_alarm, SYS_setitimer, SYS_getitimer,
    SYS_timer_create, SYS_timer_settime, SYS_timer_gettime, SYS_timer_getoverrun, SYS_timer_delete,
    SYS_timerfd_create, SYS_timerfd_settime, SYS_timerfd_gettime, SYS_eventfd, SYS_eventfd2,
    SYS_rt_sigaction, SYS_rt_sigprocmask, SYS_rt_sigreturn, SYS_rt_sigpending, SYS_rt_sigtimedwait,
    SYS_rt_sigsuspend, SYS_sigaltstack, SYS_pause, SYS_kill, SYS_tgkill, SYS_tkill,
    // The process itself and the archivers it starts.
    SYS_getpid, SYS_getppid, SYS_gettid, SYS_getuid, SYS_geteuid, SYS_getgid, SYS_getegid, SYS_getgroups,
    SYS_getresuid, SYS_getresgid, SYS_getpgrp, SYS_getpgid, SYS_getsid,
    SYS_getrlimit, SYS_setrlimit, SYS_prlimit64, SYS_getrusage, SYS_times, SYS_sysinfo, SYS_uname,
    SYS_getpriority, SYS_setpriority, SYS_sched_yield, SYS_sched_getaffinity, SYS_getcpu, SYS_capget,
    SYS_prctl, SYS_arch_prctl, SYS_set_tid_address, SYS_set_robust_list, SYS_get_robust_list, SYS_rseq,
    SYS_clone, SYS_fork, SYS_vfork, SYS_execve, SYS_wait4, SYS_waitid, SYS_exit,
    SYS_exit_group, SYS_seccomp, SYS_restart_syscall,
};

// What a session's clone may not ask for: namespaces of its own, or a
// child given to its parent, the pool child, outside what the session
// started.  clone3, whose flags a filter cannot read, answers ENOSYS, and
// the C library falls back to clone.
constexpr uint32_t kSessionCloneRefused = CLONE_PARENT | CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS |
                                          CLONE_NEWIPC | CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET;

// Nor may it set SO_REUSEPORT, on or off, on any socket: the data sockets
// the pool child binds below the control port share it, and one of them
// that stopped sharing and listened would keep every other session off the
// port (session/privsep.cc, BindDataPort).  Nothing a session does needs it.
constexpr bool kSessionReusePortRefused = true;

// Everything the front (the process that reads a client's commands before a
// login, and relays its TLS after) may call.  Any other call ends it: a
// front has no business outside this list, and whatever asks is not the
// server's code any more.  Files may be asked for (the C library looks for
// a few), but its root is empty and closed to it.
constexpr int kAllowedInFront[] = {
    SYS_read, SYS_write, SYS_readv, SYS_writev, SYS_recvfrom, SYS_sendto, SYS_recvmsg, SYS_sendmsg,
    SYS_poll, SYS_ppoll, SYS_select, SYS_pselect6, SYS_close, SYS_fcntl, SYS_ioctl, SYS_lseek,
    SYS_dup, SYS_dup2, SYS_dup3, SYS_shutdown, SYS_socketpair, SYS_setsockopt, SYS_getsockopt,
    SYS_getsockname, SYS_getpeername, SYS_fstat, SYS_newfstatat, SYS_stat, SYS_lstat, SYS_statx,
    SYS_openat, SYS_open, SYS_access, SYS_faccessat, SYS_readlink, SYS_getcwd, SYS_chdir, SYS_umask,
    SYS_clock_gettime, SYS_gettimeofday, SYS_time, SYS_nanosleep, SYS_clock_nanosleep, SYS_alarm,
    SYS_setitimer, SYS_getitimer, SYS_getrandom, SYS_futex, SYS_mmap, SYS_munmap, SYS_mprotect,
    SYS_mremap, SYS_madvise, SYS_brk, SYS_rt_sigaction, SYS_rt_sigprocmask, SYS_rt_sigreturn,
    SYS_rt_sigsuspend, SYS_sigaltstack, SYS_restart_syscall, SYS_getpid, SYS_gettid, SYS_getppid,
    SYS_getuid, SYS_geteuid, SYS_getgid, SYS_getegid, SYS_getrlimit, SYS_prlimit64, SYS_getrusage,
    SYS_times, SYS_uname, SYS_sysinfo, SYS_sched_yield, SYS_wait4, SYS_exit, SYS_exit_group,
    SYS_socket, SYS_connect,
};

// Listed above only so that the C library's logging, which tries them, does
// not end the front: they fail.
constexpr int kRefusedInFront[] = {SYS_socket, SYS_connect};

// Everything the helper that looks a client's name up may call: the C
// library's resolver (its files under /etc, the name servers over UDP and
// TCP, the name service modules it may load, the addresses it sorts), then
// one write of its record and its end.  Any other call ends it; its parent
// then shows the address and says so once.
constexpr int kAllowedInLookup[] = {
    SYS_read, SYS_write, SYS_pread64, SYS_readv, SYS_writev, SYS_close, SYS_fstat, SYS_newfstatat, SYS_stat,
    SYS_lstat, SYS_statx, SYS_openat, SYS_open, SYS_access, SYS_faccessat, SYS_lseek, SYS_fcntl, SYS_ioctl,
    SYS_socket, SYS_connect, SYS_bind, SYS_getsockname, SYS_getpeername, SYS_setsockopt, SYS_getsockopt,
    SYS_sendto, SYS_sendmsg, SYS_sendmmsg, SYS_recvfrom, SYS_recvmsg, SYS_recvmmsg, SYS_poll, SYS_ppoll,
    SYS_select, SYS_pselect6, SYS_mmap, SYS_munmap, SYS_mprotect, SYS_mremap, SYS_madvise, SYS_brk, SYS_futex,
    SYS_getrandom, SYS_clock_gettime, SYS_gettimeofday, SYS_time, SYS_nanosleep, SYS_clock_nanosleep,
    SYS_uname, SYS_getpid, SYS_gettid, SYS_getuid, SYS_geteuid, SYS_getgid, SYS_getegid,
    SYS_rt_sigaction, SYS_rt_sigprocmask, SYS_rt_sigreturn, SYS_restart_syscall, SYS_exit, SYS_exit_group,
};

// A filter program: the architecture and the x32 bit first (another
// architecture's or ABI's calls are refused), then a search among the runs
// of call numbers that share an action (a run of listed calls, the gap to
// the next run).  The kernel runs a filter for every call, and when it
// installs one it runs it once for every call number to learn which are
// always allowed, and compiles it: a search is a few instructions deep where
// a list of 200 comparisons was 200.  Its comparisons jump straight to one
// shared return per action, so the program is about one instruction per
// run: compiling costs the kernel some 0.4 µs an instruction, and every
// front and session's process installs one.  A search too long for a
// comparison's jump (255 instructions) has a return at each leaf instead.
constexpr size_t kFilterRoom = 1024;

constexpr size_t kMostCalls = 512;

// The calls the kernel may learn as always allowed under the pool child's
// filter (they then skip the filters): those below kLearntBelow (reads,
// writes, poll, sendfile, signals, the socket calls up to getsockopt) and the
// few busy ones above it that listings and path look-ups make.  Every other
// call runs the filters each time, a few tens of nanoseconds, and a filter
// installed below the pool child is tried on these numbers alone.
constexpr uint32_t kLearntBelow = SYS_clone;
constexpr int kLearntAbove[] = {SYS_fcntl, SYS_getdents64, SYS_openat, SYS_newfstatat, SYS_accept4, SYS_openat2};
static_assert(std::size(kLearntAbove) + 2 < 256, "a comparison's jump past the others holds one byte");

struct Run {
    uint32_t first;         // the run's lowest call number (the first run starts at 0)
    uint32_t action;
};

struct FilterProgram {
    struct sock_filter insns[kFilterRoom];
    size_t length = 0;
    bool failed = false;
};

void Emit(FilterProgram *p, struct sock_filter insn)
{
    if (p->length == kFilterRoom) {
        p->failed = true;
        return;
    }
    p->insns[p->length++] = insn;
}

// Decides among runs[lo, hi) (at least one): each half tells by the first
// number of its upper runs.
void EmitSearch(FilterProgram *p, const Run *runs, size_t lo, size_t hi)
{
    if (hi - lo == 1) {
        Emit(p, BPF_STMT(BPF_RET | BPF_K, runs[lo].action));
        return;
    }
    const size_t mid = lo + (hi - lo) / 2;
    const size_t branch = p->length;
    Emit(p, BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, runs[mid].first, 0, 0));
    EmitSearch(p, runs, lo, mid);
    const size_t lower = p->length - branch - 1;
    if (p->failed)
        return;
    if (lower <= 255) {
        p->insns[branch].jt = static_cast<uint8_t>(lower);
    } else {
        // Too far for a comparison's own jump: the lower half moves on by
        // one, behind an unconditional jump over it.
        Emit(p, BPF_STMT(BPF_JMP | BPF_JA, 0));
        if (p->failed)
            return;
        std::copy_backward(p->insns + branch + 1, p->insns + p->length - 1, p->insns + p->length);
        p->insns[branch].jf = 1;
        p->insns[branch + 1] = BPF_STMT(BPF_JMP | BPF_JA, static_cast<uint32_t>(lower));
    }
    EmitSearch(p, runs, mid, hi);
}

// A comparison's jump still to be pointed at its action's return.
struct Leaf {
    size_t insn;
    bool taken;             // the jump when the comparison holds, else the other
    uint32_t action;
};

// The search among runs[lo, hi) (at least two) with its leaves left open:
// each comparison's jump to a single run is noted in leaves (count in
// *nleaves) for JoinLeaves.  It stops at the first failure: a comparison
// that found no room has no instruction to point anywhere.
void EmitSharedSearch(FilterProgram *p, const Run *runs, size_t lo, size_t hi, Leaf *leaves, size_t *nleaves)
{
    const size_t mid = lo + (hi - lo) / 2;
    const size_t branch = p->length;
    Emit(p, BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, runs[mid].first, 0, 0));
    if (p->failed)
        return;
    if (mid - lo == 1)
        leaves[(*nleaves)++] = {branch, false, runs[lo].action};
    else
        EmitSharedSearch(p, runs, lo, mid, leaves, nleaves);    // right after: jf stays 0
    if (p->failed)
        return;
    if (hi - mid == 1) {
        leaves[(*nleaves)++] = {branch, true, runs[mid].action};
    } else {
        const size_t upper = p->length - branch - 1;
        if (upper > 255) {
            p->failed = true;
            return;
        }
        p->insns[branch].jt = static_cast<uint8_t>(upper);
        EmitSharedSearch(p, runs, mid, hi, leaves, nleaves);
    }
}

// Appends one return per action the leaves name and points each leaf's jump
// at it.  False when one is too far for a jump.
bool JoinLeaves(FilterProgram *p, const Leaf *leaves, size_t nleaves)
{
    const size_t first = p->length;
    for (size_t i = 0; i < nleaves; i++) {
        size_t ret = first;
        while (ret < p->length && p->insns[ret].k != leaves[i].action)
            ret++;
        if (ret == p->length)
            Emit(p, BPF_STMT(BPF_RET | BPF_K, leaves[i].action));
        const size_t offset = ret - leaves[i].insn - 1;
        if (p->failed || offset > 255)
            return false;
        if (leaves[i].taken)
            p->insns[leaves[i].insn].jt = static_cast<uint8_t>(offset);
        else
            p->insns[leaves[i].insn].jf = static_cast<uint8_t>(offset);
    }
    return !p->failed;
}

// The search among runs[0, nruns): with shared returns when it fits the
// jumps, else with a return at each leaf.
void EmitRuns(FilterProgram *p, const Run *runs, size_t nruns)
{
    if (nruns > 1) {
        const size_t start = p->length;
        static Leaf leaves[2 * kMostCalls + 1];
        size_t nleaves = 0;
        EmitSharedSearch(p, runs, 0, nruns, leaves, &nleaves);
        if (!p->failed && JoinLeaves(p, leaves, nleaves))
            return;
        p->length = start;
        p->failed = false;
    }
    EmitSearch(p, runs, 0, nruns);
}

// Builds the program: the n calls of listed get onListed, the ns of
// special (which may repeat listed ones) specialAction, every other call
// otherwise; a clone with one of refusedCloneFlags, and with refuseReusePort
// a setsockopt of SO_REUSEPORT, fail with EPERM.  False when the program
// does not fit (nothing is installed).
[[nodiscard]] bool BuildFilter(const int *listed, size_t n, uint32_t onListed, const int *special, size_t ns,
                               uint32_t specialAction, uint32_t otherwise, FilterProgram *p,
                               uint32_t refusedCloneFlags = 0, bool refuseReusePort = false,
                               bool learntOnly = false)
{
    p->length = 0;
    p->failed = n + ns > kMostCalls;
    if (p->failed)
        return false;
    Run calls[kMostCalls];
    size_t count = 0;
    for (size_t i = 0; i < ns; i++)
        calls[count++] = {static_cast<uint32_t>(special[i]), specialAction};
    for (size_t i = 0; i < n; i++)
        calls[count++] = {static_cast<uint32_t>(listed[i]), onListed};
    // Sorted by number; of a number given twice the first (special) stays.
    std::stable_sort(calls, calls + count, [](const Run &a, const Run &b) { return a.first < b.first; });
    count = static_cast<size_t>(
        std::unique(calls, calls + count, [](const Run &a, const Run &b) { return a.first == b.first; }) - calls);
    // The runs: each call, and the gap after it, where they change the action.
    static Run runs[2 * kMostCalls + 1];
    size_t nruns = 0;
    auto add = [&](uint32_t first, uint32_t action) {
        if (nruns > 0 && runs[nruns - 1].first == first)
            nruns--;        // a run left empty (the gap before call 0)
        if (nruns == 0 || runs[nruns - 1].action != action)
            runs[nruns++] = {first, action};
    };
    add(0, otherwise);
    for (size_t i = 0; i < count; i++) {
        add(calls[i].first, calls[i].action);
        if (i + 1 == count || calls[i + 1].first != calls[i].first + 1)
            add(calls[i].first + 1, otherwise);
    }
    Emit(p, BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)));
    Emit(p, BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0));
    Emit(p, BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM));
    Emit(p, BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)));
    Emit(p, BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, kForeignCallBit, 0, 1));
    Emit(p, BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM));
    if (learntOnly) {
        // A load the kernel's install-time trial cannot follow, skipped by
        // the learnt calls: no other call is ever learnt as always allowed,
        // in this process or below it.
        const size_t n = std::size(kLearntAbove);
        for (size_t i = 0; i < n; i++)
            Emit(p, BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(kLearntAbove[i]),
                             static_cast<uint8_t>(n - i + 2), 0));
        Emit(p, BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, kLearntBelow, 0, 2));
        Emit(p, BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, instruction_pointer)));
        Emit(p, BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)));
    }
    if (refusedCloneFlags != 0) {
        // A clone asking for one of these fails as an unprivileged one
        // would (the flags are the low half of the first argument).
        Emit(p, BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 0, 3));
        Emit(p, BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])));
        Emit(p, BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, refusedCloneFlags, 0, 1));
        Emit(p, BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM));
        Emit(p, BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)));
    }
    if (refuseReusePort) {
        // The level and the option are ints: the low halves of the second
        // and third arguments.
        Emit(p, BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_setsockopt, 0, 5));
        Emit(p, BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[1])));
        Emit(p, BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SOL_SOCKET, 0, 3));
        Emit(p, BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[2])));
        Emit(p, BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SO_REUSEPORT, 0, 1));
        Emit(p, BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM));
        Emit(p, BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)));
    }
    EmitRuns(p, runs, nruns);
    return !p->failed;
}

// 0, 1 when the kernel has no system-call filters, -1 (errno set) on
// another failure; logs nothing.
int InstallQuietly(const FilterProgram *p)
{
    struct sock_fprog prog = {static_cast<unsigned short>(p->length), const_cast<struct sock_filter *>(p->insns)};
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) == 0)
        return 0;
    return errno == EINVAL ? 1 : -1;
}

// The same, logged.
int Install(FilterProgram *p, bool built)
{
    if (!built) {
        Log(kLogMisc, "sandbox: a system call filter does not fit its program.\n");
        return -1;
    }
    const int rc = InstallQuietly(p);
    if (rc < 0)
        LogPerror("sandbox: cannot install the system call filter");
    return rc;
}

// The programs of the pool child, the front and a session's own process,
// built once by the master (PrepareFilters) and inherited: a process about
// to be confined only reads them, and no copy of their pages is made for it.
FilterProgram gChildFilter, gFrontFilter, gUserFilter, gLookupFilter;
bool gChildFilterBuilt, gFrontFilterBuilt, gUserFilterBuilt, gLookupFilterBuilt;

// The pool child's: the listed calls refused with EPERM, every other one allowed.
void PrepareChildFilter()
{
    gChildFilterBuilt = BuildFilter(kRefusedCalls, std::size(kRefusedCalls), SECCOMP_RET_ERRNO | EPERM, nullptr, 0,
                                    0, SECCOMP_RET_ALLOW, &gChildFilter, 0, false, true);
}

void PrepareFilters()
{
    PrepareChildFilter();
    // The refused few fail with EACCES; any call not allowed ends the front.
    gFrontFilterBuilt = BuildFilter(kAllowedInFront, std::size(kAllowedInFront), SECCOMP_RET_ALLOW,
                                    kRefusedInFront, std::size(kRefusedInFront), SECCOMP_RET_ERRNO | EACCES,
                                    SECCOMP_RET_KILL_PROCESS, &gFrontFilter);
    gUserFilterBuilt = BuildFilter(kAllowedAfterLogin, std::size(kAllowedAfterLogin), SECCOMP_RET_ALLOW,
                                   nullptr, 0, 0, SECCOMP_RET_ERRNO | ENOSYS, &gUserFilter, kSessionCloneRefused,
                                   kSessionReusePortRefused);
    gLookupFilterBuilt = BuildFilter(kAllowedInLookup, std::size(kAllowedInLookup), SECCOMP_RET_ALLOW, nullptr,
                                     0, 0, SECCOMP_RET_KILL_PROCESS, &gLookupFilter);
}

// The pool child's filter.
int InstallChildFilter()
{
    if (gChildFilter.length == 0)
        PrepareChildFilter();     // a server not started as root builds it here
    return Install(&gChildFilter, gChildFilterBuilt);
}

// The session's list allowed, every other call answered ENOSYS.
int InstallUserFilter()
{
    if (gUserFilter.length == 0)
        PrepareFilters();
    return Install(&gUserFilter, gUserFilterBuilt);
}

// The front's filter: the refused few fail with EACCES, any call not
// allowed ends the process.
int InstallFrontFilters()
{
    if (gFrontFilter.length == 0)
        PrepareFilters();
    return Install(&gFrontFilter, gFrontFilterBuilt);
}

// The look-up helper's filter: any call not in its list ends it.  Quiet:
// the helper has no log (its parent tells what became of it).
int InstallLookupFilter()
{
    if (gLookupFilter.length == 0)
        PrepareFilters();
    return gLookupFilterBuilt ? InstallQuietly(&gLookupFilter) : -1;
}
#else
void PrepareFilters()
{
}
int InstallFrontFilters()
{
    return 1;
}
int InstallChildFilter()
{
    return 1;
}
int InstallUserFilter()
{
    return 1;
}
int InstallLookupFilter()
{
    return 1;
}
#endif

// A server echoing its log keeps the terminal it was started from as its
// standard error; a process that reads a client's bytes writes nothing
// there (its log goes through the pipe, and the logger echoes it).
void LeaveTheTerminal()
{
    if ((gLogToTTY == 2 || gWasATTY2) && gDevNull >= 0)
        (void) dup2(gDevNull, STDERR_FILENO);
}

}  // namespace

int LimitSessionProcess()
{
    int rc = 0;
    {
        RootWhileLimiting root;
        // A server started by another user has no capabilities to drop.
        if (geteuid() == 0 && DropCapabilities() < 0)
            rc = -1;
    }
    NoteBoundingSet();
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) < 0) {
        LogPerror("sandbox: cannot set no-new-privileges");
        rc = -1;
    }
    const int filter = InstallChildFilter();
    if (filter > 0) {
        static bool sNoted;
        if (!sNoted)
            Log(kLogMisc, "No system call filter on this system; sessions run without one.\n");
        sNoted = true;
    } else if (filter < 0) {
        rc = -1;
    }
    return rc;
}

int InstallCallList(const int *allowed, size_t n, int err, bool busiestOnly)
{
#if defined(__x86_64__)
    static FilterProgram program;
    const bool built = BuildFilter(allowed, n, SECCOMP_RET_ALLOW, nullptr, 0, 0,
                                   SECCOMP_RET_ERRNO | (static_cast<uint32_t>(err) & SECCOMP_RET_DATA), &program,
                                   0, false, busiestOnly);
    return Install(&program, built);
#else
    (void) allowed;
    (void) n;
    (void) err;
    (void) busiestOnly;
    return 1;
#endif
}

int EmptyBoundingSet()
{
    return DropFromBoundingSet(false);
}

int LimitUserProcess()
{
    // The ids are the user's alone now: the kernel has cleared the
    // permitted and effective sets; what is left is checked, not assumed.
    (void) prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    LeaveTheTerminal();
    int rc = 0;
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) == 0 && (data[0].permitted | data[1].permitted) != 0) {
        for (auto &d : data)
            d.permitted = d.effective = d.inheritable = 0;
        if (syscall(SYS_capset, &header, data) < 0) {
            LogPerror("sandbox: capset");
            rc = -1;
        }
    }
    if (InstallUserFilter() < 0)
        rc = -1;
    return rc;
}

// ---- The front ------------------------------------------------------------------------------

namespace {

int gEmptyRootFd = -1;
uid_t gNobodyUid = 65534;     // the fronts' ids when their own range is taken
gid_t gNobodyGid = 65534;

[[nodiscard]] int FrontFailed(const char *what)
{
    LogPerror("front: %s", what);
    return -1;
}

// True when no capability is left in any set.
bool NoCapabilities()
{
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) < 0)
        return false;
    for (const auto &d : data) {
        if ((d.permitted | d.effective | d.inheritable) != 0)
            return false;
    }
    return true;
}

enum class Holder { kAccount, kGroup };

// An account or a group that holds one of the range's ids: logged; true.
bool Claimed(long id, Holder holder, const char *name)
{
    if (holder == Holder::kAccount)
        Log(kLogMisc, "front-uid-base: id %ld belongs to the account %.63s; every front runs as nobody.\n", id, name);
    else
        Log(kLogMisc, "front-uid-base: id %ld belongs to the group %.63s; every front runs as nobody.\n", id, name);
    return true;
}

// Every id of the range, from the base (the look-up helper's id) through
// the fronts' to the logger's, must belong to no account and no group: a
// process of theirs could signal the process that runs under it.  The
// base, the first and last fronts' and the logger's ids are looked up one
// by one (a source may not list its entries), then every listed account
// and group is checked, so that one in the middle of the range is found
// too.  Logs the first one taken.
bool FrontIdsUnclaimed()
{
    const long first = gFrontUidBase, last = LoggerReservedId();
    for (const long id : {first, first + 1, gFrontUidBase + static_cast<long>(gNumChildren), last}) {
        if (const struct passwd *pw = getpwuid(static_cast<uid_t>(id)); pw != nullptr)
            return !Claimed(id, Holder::kAccount, pw->pw_name);
        if (const struct group *gr = getgrgid(static_cast<gid_t>(id)); gr != nullptr)
            return !Claimed(id, Holder::kGroup, gr->gr_name);
    }
    bool taken = false;
    setpwent();
    for (const struct passwd *pw; !taken && (pw = getpwent()) != nullptr;) {
        if (pw->pw_uid >= static_cast<uid_t>(first) && pw->pw_uid <= static_cast<uid_t>(last))
            taken = Claimed(static_cast<long>(pw->pw_uid), Holder::kAccount, pw->pw_name);
    }
    endpwent();
    setgrent();
    for (const struct group *gr; !taken && (gr = getgrent()) != nullptr;) {
        if (gr->gr_gid >= static_cast<gid_t>(first) && gr->gr_gid <= static_cast<gid_t>(last))
            taken = Claimed(static_cast<long>(gr->gr_gid), Holder::kGroup, gr->gr_name);
    }
    endgrent();
    return !taken;
}

int FrontIdsUnclaimedStatus()
{
    return FrontIdsUnclaimed() ? 0 : 1;
}

}  // namespace

int PrepareFrontConfinement()
{
    PrepareFilters();
    if (RunApart(FrontIdsUnclaimedStatus) != 0)
        gFrontUidBase = 0;      // inherited by every child: IsFrontId is false from now on
    const struct passwd *pw = getpwnam("nobody");
    if (pw != nullptr && pw->pw_uid != 0 && pw->pw_gid != 0) {
        gNobodyUid = pw->pw_uid;
        gNobodyGid = pw->pw_gid;
    }
    // A directory that no longer exists: nothing can be made in it, and
    // nothing is left behind.
    char path[] = "/tmp/zorvad-empty.XXXXXX";
    if (mkdtemp(path) == nullptr)
        return FrontFailed("mkdtemp");
    gEmptyRootFd = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int err = errno;
    (void) rmdir(path);
    errno = err;
    return gEmptyRootFd < 0 ? FrontFailed("open of the empty root") : 0;
}

int EnterFrontConfinement(pid_t parent)
{
    if (geteuid() != 0 && seteuid(0) < 0)
        return FrontFailed("seteuid");
    // The shared tables are the pool's: the status area is read-only here
    // (the front's own slot is its mailbox), the others are let go.
    if (ShmUseMailbox() < 0)
        return FrontFailed("the status area");
    LeaveTheTerminal();
    ForgetSessionIndex();
    ForgetDirGenerations();
    QuotaTableForget();
    if (gEmptyRootFd < 0 || fchdir(gEmptyRootFd) < 0 || chroot(".") < 0 || chdir("/") < 0)
        return FrontFailed("chroot into the empty root");
    close(gEmptyRootFd);
    gEmptyRootFd = -1;
    if (DropFromBoundingSet(false) < 0)
        return -1;
    // Ids of its own, its pool child's number above the base: no other
    // process, not even another front, may signal it.  No two live fronts
    // share a number: a pool child reaps its front (the relaying one too)
    // before it forks the next, and the front of a pool child that died is
    // sent SIGKILL before the master can reap that child and reuse its
    // number (or, before the signal is asked for below, fails the check of
    // its parent).
    if (gFrontUidBase != 0 && !IsFrontId(gFrontUidBase + static_cast<long>(gChild))) {
        errno = ERANGE;
        return FrontFailed("identity");
    }
    const uid_t uid = gFrontUidBase != 0 ? static_cast<uid_t>(gFrontUidBase + gChild) : gNobodyUid;
    const gid_t gid = gFrontUidBase != 0 ? static_cast<gid_t>(gFrontUidBase + gChild) : gNobodyGid;
    if (setgroups(0, nullptr) < 0 || setresgid(gid, gid, gid) < 0 || setresuid(uid, uid, uid) < 0)
        return FrontFailed("identity");
    // It ends with its pool child; set after the switch, which clears it.
    (void) prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        return -1;
    (void) prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    (void) prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    if (!NoCapabilities()) {
        errno = EPERM;
        return FrontFailed("capabilities left");
    }
    return InstallFrontFilters() < 0 ? -1 : 0;
}

// ---- The helper that looks a client's name up -----------------------------------------------

namespace {

// Its limits on its own resources: it starts nothing, and the resolver
// keeps a few descriptors open at a time.
constexpr rlim_t kLookupMostDescriptors = 32;

}  // namespace

int EnterLookupConfinement(pid_t parent)
{
    // A server started by another user has no ids to change.
    if (getuid() == 0 || geteuid() == 0) {
        if (geteuid() != 0 && seteuid(0) < 0)
            return -1;
        if (DropFromBoundingSet(false) < 0)
            return -1;
        // The fronts' base id, which no front has (theirs are above it).
        const uid_t uid = gFrontUidBase != 0 ? static_cast<uid_t>(gFrontUidBase) : gNobodyUid;
        const gid_t gid = gFrontUidBase != 0 ? static_cast<gid_t>(gFrontUidBase) : gNobodyGid;
        if (setgroups(0, nullptr) < 0 || setresgid(gid, gid, gid) < 0 || setresuid(uid, uid, uid) < 0)
            return -1;
    }
    // It ends with its parent; set after the switch, which clears it.
    (void) prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        return -1;
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) < 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) < 0)
        return -1;
    // Whatever the ids left (a server started with capabilities of its own)
    // goes too: dropping is always allowed.
    (void) prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    if (!NoCapabilities() && (syscall(SYS_capset, &header, none) < 0 || !NoCapabilities()))
        return -1;
    const struct rlimit noProcesses = {0, 0};
    const struct rlimit fewDescriptors = {kLookupMostDescriptors, kLookupMostDescriptors};
    if (setrlimit(RLIMIT_NPROC, &noProcesses) < 0 || setrlimit(RLIMIT_NOFILE, &fewDescriptors) < 0)
        return -1;
    return InstallLookupFilter() < 0 ? -1 : 0;
}
