// The shared harness pieces (fuzzenv.h).
#include "fuzzenv.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

sigjmp_buf gFuzzExitJmp;
volatile int gFuzzExitArmed;
volatile int gFuzzExitCode;

// Mangled names of Exit(int) and DoneConnection(int), wrapped by the linker.
extern "C" {
[[noreturn]] void __real__Z4Exiti(int code);
[[noreturn]] void __real__Z14DoneConnectioni(int reason);

[[noreturn]] void __wrap__Z4Exiti(int code)
{
    if (!gFuzzExitArmed)
        __real__Z4Exiti(code);
    gFuzzExitCode = code;
    siglongjmp(gFuzzExitJmp, 1);
}

[[noreturn]] void __wrap__Z14DoneConnectioni(int reason)
{
    if (!gFuzzExitArmed)
        __real__Z14DoneConnectioni(reason);
    gFuzzExitCode = reason;
    siglongjmp(gFuzzExitJmp, 1);
}
}

// Host names and addresses are looked up in the local files only: a
// target that waited on an unreachable name server for every reverse lookup
// of a domain set's address spent nine tenths of its time asleep.
extern "C" int __nss_configure_lookup(const char *db, const char *service_line);
[[maybe_unused]] const int gLocalHostLookups = __nss_configure_lookup("hosts", "files");

namespace {

char gScratch[64];
pid_t gScratchOwner;

int RemoveOne(const char *path, const struct stat *, int, struct FTW *)
{
    remove(path);
    return 0;
}

void RemoveScratch()
{
    if (gScratch[0] != '\0' && getpid() == gScratchOwner)
        nftw(gScratch, RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
}

void MakeDir(const std::string &path)
{
    if (mkdir(path.c_str(), 0755) < 0)
        abort();
}

void MakeFile(const std::string &path, const char *text)
{
    if (FuzzWriteFile(path.c_str(), reinterpret_cast<const uint8_t *>(text), strlen(text)) < 0
        || chmod(path.c_str(), 0644) < 0)
        abort();
}

void MakeLink(const std::string &path, const char *target)
{
    if (symlink(target, path.c_str()) < 0)
        abort();
}

}  // namespace

const char *FuzzScratchDir()
{
    if (gScratch[0] == '\0') {
        snprintf(gScratch, sizeof(gScratch), "/dev/shm/zorvad-fuzz.XXXXXX");
        if (mkdtemp(gScratch) == nullptr)
            abort();
        gScratchOwner = getpid();
        atexit(RemoveScratch);
    }
    return gScratch;
}

const std::string &FuzzScratchTree()
{
    static std::string home;
    if (!home.empty())
        return home;
    const std::string root = std::string(FuzzScratchDir()) + "/tree";
    MakeDir(root);
    MakeDir(root + "/home");
    home = root + "/home/user";
    MakeDir(home);
    MakeDir(home + "/pub");
    MakeDir(home + "/pub/deep");
    MakeDir(home + "/incoming");
    MakeDir(home + "/etc");
    MakeFile(home + "/file", "text\n");
    MakeFile(home + "/pub/.message", "Welcome to %C, %U.\n");
    MakeFile(root + "/home/outside", "outside\n");
    MakeLink(home + "/up", "..");
    MakeLink(home + "/esc", "../../../..");
    MakeLink(home + "/abs", "/etc");
    MakeLink(home + "/loop", "loop");
    MakeLink(home + "/pingA", "pingB");
    MakeLink(home + "/pingB", "pingA");
    MakeLink(home + "/rel", "pub/deep");
    MakeLink(home + "/dangling", "nothing/here");
    MakeLink(home + "/pub/back", "../file");
    MakeLink(home + "/pub/outside", "../../outside");
    std::string chain = "pub";
    for (int i = 0; i < 9; i++) {
        const std::string name = "chain" + std::to_string(i);
        MakeLink(home + "/" + name, chain.c_str());
        chain = name;
    }
    MakeLink(home + "/long", std::string(400, 'x').append("/").append(200, 'y').c_str());
    return home;
}

int FuzzWriteFile(const char *path, const uint8_t *data, size_t size)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            close(fd);
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return close(fd);
}

std::string FuzzText(const uint8_t *data, size_t size)
{
    const void *nul = memchr(data, 0, size);
    const size_t len = nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t *>(nul) - data) : size;
    return std::string(reinterpret_cast<const char *>(data), len);
}

void FuzzSplit(const uint8_t *data, size_t size, std::string *first, std::string *second)
{
    *first = FuzzText(data, size);
    if (first->size() < size)
        *second = FuzzText(data + first->size() + 1, size - first->size() - 1);
    else
        second->clear();
}
