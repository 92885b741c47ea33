#include "status/dirgen.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "base/privchan.h"

namespace {

constexpr size_t kGenerations = 4096;      // 16 KiB: four pages
constexpr size_t kTableSize = kGenerations * sizeof(uint32_t);

// Two mappings of one table: a session may only read it (its mapping comes
// from a read-only descriptor, so it cannot be made writable again) and
// asks its pool child to move a generation on.
uint32_t *gGenerations;         // writable; null in a session's process
const uint32_t *gReadable;

size_t IndexOf(uint64_t dev, uint64_t ino)
{
    uint64_t h = ino * 0x9E3779B97F4A7C15ull ^ dev;
    h ^= h >> 29;
    return static_cast<size_t>(h % kGenerations);
}

void Unmap(const void *p)
{
    if (p != nullptr)
        munmap(const_cast<void *>(p), kTableSize);
}

}  // namespace

int CreateDirGenerations()
{
    const int fd = memfd_create("dirgen", MFD_CLOEXEC);
    if (fd < 0)
        return -1;
    char self[32];
    snprintf(self, sizeof(self), "/proc/self/fd/%d", fd);
    const int ro = ftruncate(fd, kTableSize) == 0 ? open(self, O_RDONLY | O_CLOEXEC) : -1;
    void *rw = ro >= 0 ? mmap(nullptr, kTableSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    void *r = rw != MAP_FAILED ? mmap(nullptr, kTableSize, PROT_READ, MAP_SHARED, ro, 0) : MAP_FAILED;
    close(fd);
    if (ro >= 0)
        close(ro);
    if (r == MAP_FAILED) {
        if (rw != MAP_FAILED)
            munmap(rw, kTableSize);
        return -1;
    }
    gGenerations = static_cast<uint32_t *>(rw);
    gReadable = static_cast<const uint32_t *>(r);
    return 0;
}

uint32_t DirGeneration(const struct stat &st)
{
    if (gReadable == nullptr)
        return 0;
    const size_t i = IndexOf(static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino));
    return __atomic_load_n(&gReadable[i], __ATOMIC_ACQUIRE);
}

void BumpDirGenerationOf(uint64_t dev, uint64_t ino)
{
    if (gGenerations != nullptr)
        std::atomic_ref<uint32_t>(gGenerations[IndexOf(dev, ino)]).fetch_add(1, std::memory_order_acq_rel);
}

void BumpDirGeneration(const struct stat &st)
{
    if (gGenerations != nullptr || gReadable == nullptr) {
        BumpDirGenerationOf(static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino));
        return;
    }
    PrivRequest req {};
    req.op = kPrivDirChanged;
    req.uid = static_cast<int64_t>(st.st_dev);
    req.gid = static_cast<int64_t>(st.st_ino);
    (void) PrivCall(req, -1);   // at worst another session's cache lives until the directory's time moves
}

void KeepDirGenerationsFromChildren()
{
    if (gGenerations != nullptr)
        (void) madvise(gGenerations, kTableSize, MADV_DONTFORK);
}

void ReadOnlyDirGenerations()
{
    Unmap(gGenerations);
    gGenerations = nullptr;
}

void ForgetDirGenerations()
{
    Unmap(gGenerations);
    Unmap(gReadable);
    gGenerations = nullptr;
    gReadable = nullptr;
}
