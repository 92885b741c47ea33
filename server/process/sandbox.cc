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
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "log/log.h"
#include "base/exit.h"

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

// Removes every capability but the session's from the bounding set (so no
// program started later gets one back), then from the process's own sets.
int DropCapabilities()
{
    int rc = 0;
    // The bounding set ends where the kernel's capabilities end (EINVAL).
    for (int cap = 0; prctl(PR_CAPBSET_READ, cap, 0, 0, 0) >= 0; cap++) {
        if (!KeptCapability(cap) && prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) < 0) {
            LogPerror("sandbox: cannot drop capability %d from the bounding set", cap);
            rc = -1;
        }
    }
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

// What a session's own process may no longer do after a login, on top of
// the calls above: change its identity or capabilities, or enter a root.
constexpr int kRefusedAfterLogin[] = {
    SYS_setuid, SYS_setgid, SYS_setreuid, SYS_setregid, SYS_setresuid, SYS_setresgid, SYS_setfsuid,
    SYS_setfsgid, SYS_setgroups, SYS_capset, SYS_chroot, SYS_mknod, SYS_mknodat,
};

// The first instructions check the architecture and the x32 bit; then one
// comparison per refused call, then allow, then refuse.
constexpr size_t kHeadLength = 5;
template <size_t N>
constexpr size_t ProgramLength = kHeadLength + N + 2;
static_assert(std::size(kRefusedCalls) + 1 < 256, "a jump must reach the refusal");

template <size_t N>
void BuildFilter(const int (&refused)[N], struct sock_filter (&program)[ProgramLength<N>])
{
    constexpr uint8_t n = static_cast<uint8_t>(N);
    size_t i = 0;
    program[i++] = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch));
    // Another architecture's calls (a 32-bit entry) are all refused.
    program[i++] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0);
    program[i++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM);
    program[i++] = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr));
    program[i++] = BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, kForeignCallBit, static_cast<uint8_t>(n + 1), 0);
    for (uint8_t k = 0; k < n; k++)
        program[i++] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(refused[k]),
                                static_cast<uint8_t>(n - k), 0);
    program[i++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    program[i++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM);
}

// 0, 1 when the kernel has no system-call filters, -1 on another failure.
template <size_t N>
int InstallFilter(const int (&refused)[N])
{
    static struct sock_filter program[ProgramLength<N>];
    BuildFilter(refused, program);
    struct sock_fprog prog = {static_cast<unsigned short>(ProgramLength<N>), program};
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) == 0)
        return 0;
    if (errno == EINVAL)
        return 1;
    LogPerror("sandbox: cannot install the system call filter");
    return -1;
}
#else
constexpr int kRefusedCalls[] = {0};
constexpr int kRefusedAfterLogin[] = {0};
template <size_t N>
int InstallFilter(const int (&)[N])
{
    return 1;
}
#endif

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
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) < 0) {
        LogPerror("sandbox: cannot set no-new-privileges");
        rc = -1;
    }
    const int filter = InstallFilter(kRefusedCalls);
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

int EmptyBoundingSet()
{
    int rc = 0;
    for (int cap = 0; prctl(PR_CAPBSET_READ, cap, 0, 0, 0) >= 0; cap++) {
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) < 0 && errno != EINVAL) {
            LogPerror("sandbox: cannot drop capability %d from the bounding set", cap);
            rc = -1;
        }
    }
    return rc;
}

int LimitUserProcess()
{
    // The ids are the user's alone now: the kernel has cleared the
    // permitted and effective sets; what is left is checked, not assumed.
    (void) prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
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
    if (InstallFilter(kRefusedAfterLogin) < 0)
        rc = -1;
    return rc;
}
