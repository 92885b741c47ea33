#include "status/dirgen.h"

#include <sys/mman.h>

#include <atomic>

namespace {

constexpr size_t kGenerations = 4096;      // 16 KiB: four pages
uint32_t *gGenerations;

std::atomic_ref<uint32_t> CounterOf(const struct stat &st)
{
    uint64_t h = static_cast<uint64_t>(st.st_ino) * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(st.st_dev);
    h ^= h >> 29;
    return std::atomic_ref<uint32_t>(gGenerations[h % kGenerations]);
}

}  // namespace

int CreateDirGenerations()
{
    void *p = mmap(nullptr, kGenerations * sizeof(uint32_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                   -1, 0);
    if (p == MAP_FAILED)
        return -1;
    gGenerations = static_cast<uint32_t *>(p);
    return 0;
}

uint32_t DirGeneration(const struct stat &st)
{
    return gGenerations != nullptr ? CounterOf(st).load(std::memory_order_acquire) : 0;
}

void BumpDirGeneration(const struct stat &st)
{
    if (gGenerations != nullptr)
        CounterOf(st).fetch_add(1, std::memory_order_acq_rel);
}

void ForgetDirGenerations()
{
    if (gGenerations != nullptr)
        munmap(gGenerations, kGenerations * sizeof(uint32_t));
    gGenerations = nullptr;
}
