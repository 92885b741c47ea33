// Preloaded into the debugger the privilege tests drive (they stand in for
// code running inside a server process by calling functions in it).  On a
// processor whose extended register state is larger than the debugger
// knows (matrix tiles), the kernel takes that state back only whole: the
// debugger's shorter write after every call it makes fails, and the call's
// result is lost.  Here a write is completed with the rest of the state as
// the kernel has it, and a read is cut to the size the debugger asked for.
#include <dlfcn.h>
#include <elf.h>
#include <sys/ptrace.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace {

using PtraceProc = long (*)(int, pid_t, void *, void *);

constexpr size_t kMaxState = 64 * 1024;
alignas(64) unsigned char gState[kMaxState];

PtraceProc Real()
{
    static PtraceProc real = reinterpret_cast<PtraceProc>(dlsym(RTLD_NEXT, "ptrace"));
    return real;
}

// The whole state of pid into gState; its size, or -1.
long ReadWhole(pid_t pid)
{
    iovec whole = {gState, sizeof gState};
    if (Real()(PTRACE_GETREGSET, pid, reinterpret_cast<void *>(NT_X86_XSTATE), &whole) != 0)
        return -1;
    return static_cast<long>(whole.iov_len);
}

long ExtendedState(int request, pid_t pid, iovec *iov)
{
    const long size = ReadWhole(pid);
    if (size < 0)
        return -1;
    const size_t part = iov->iov_len < static_cast<size_t>(size) ? iov->iov_len : static_cast<size_t>(size);
    if (request == PTRACE_GETREGSET) {
        memcpy(iov->iov_base, gState, part);
        iov->iov_len = part;
        return 0;
    }
    memcpy(gState, iov->iov_base, part);
    iovec whole = {gState, static_cast<size_t>(size)};
    return Real()(PTRACE_SETREGSET, pid, reinterpret_cast<void *>(NT_X86_XSTATE), &whole);
}

}  // namespace

extern "C" long ptrace(enum __ptrace_request request, ...)
{
    va_list ap;
    va_start(ap, request);
    const pid_t pid = va_arg(ap, pid_t);
    void *addr = va_arg(ap, void *);
    void *data = va_arg(ap, void *);
    va_end(ap);
    const int req = static_cast<int>(request);
    if ((req == PTRACE_GETREGSET || req == PTRACE_SETREGSET) && reinterpret_cast<long>(addr) == NT_X86_XSTATE &&
        data != nullptr)
        return ExtendedState(req, pid, static_cast<iovec *>(data));
    return Real()(req, pid, addr, data);
}
