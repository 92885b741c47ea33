// zorvad_forkcost: what a process costs on this machine, which decides how
// servers that fork per session compare with ones that reuse processes.
// Prints "fork_exit_us N" (fork, _exit and wait of a process with a few MiB
// of touched heap, median of 200) and "fault_us N" (one first touch of an
// anonymous page, median of 5 runs over 64 MiB).
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Micros(Clock::time_point since)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - since).count();
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double ForkExitMicros()
{
    constexpr size_t kHeap = 4 << 20;           // about a small daemon's touched heap
    char *heap = static_cast<char *>(malloc(kHeap));
    if (heap == nullptr)
        return -1;
    memset(heap, 1, kHeap);
    std::vector<double> runs;
    for (int i = 0; i < 200; i++) {
        const Clock::time_point start = Clock::now();
        const pid_t pid = fork();
        if (pid == 0)
            _exit(0);
        if (pid < 0 || waitpid(pid, nullptr, 0) != pid)
            return -1;
        runs.push_back(Micros(start));
    }
    free(heap);
    return Median(runs);
}

double FaultMicros()
{
    constexpr size_t kSize = 64 << 20;
    const long page = sysconf(_SC_PAGESIZE);
    std::vector<double> runs;
    for (int i = 0; i < 5; i++) {
        void *m = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED)
            return -1;
        volatile char *p = static_cast<char *>(m);
        const Clock::time_point start = Clock::now();
        for (size_t off = 0; off < kSize; off += static_cast<size_t>(page))
            p[off] = 1;
        runs.push_back(Micros(start) / static_cast<double>(kSize / static_cast<size_t>(page)));
        munmap(m, kSize);
    }
    return Median(runs);
}

}  // namespace

int main()
{
    const double forkExit = ForkExitMicros();
    const double fault = FaultMicros();
    if (forkExit < 0 || fault < 0) {
        perror("zorvad_forkcost");
        return 1;
    }
    printf("fork_exit_us %.0f\nfault_us %.2f\n", forkExit, fault);
    return 0;
}
