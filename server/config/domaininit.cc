// Finishing the domain configuration sets after domain.cf was read, at
// start-up and after each reload: the real anonymous root, the log patterns of
// general.cf, the server's address text and name, and the warnings about what
// a chrooted anonymous area lacks.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <strings.h>

#include "Strn.h"
#include "config/config.h"
#include "config/domain.h"
#include "base/exit.h"
#include "log/log.h"

namespace {

struct FreeDeleter {
    void operator()(char *p) const { free(p); }
};
using CharBuf = std::unique_ptr<char, FreeDeleter>;

// Root's effective uid for a while (the anonymous root may be closed to the
// uid a process runs with); the previous one is restored on leaving, and a
// process that cannot restore it must not go on with root's rights.
class RootEuidForAWhile {
  public:
    RootEuidForAWhile() : saved_(geteuid())
    {
        if (saved_ != 0 && getuid() == 0 && seteuid(0) < 0)
            LogPerror("cwd: setEuid(0) (eu=%d, ru=%u)", static_cast<int>(geteuid()), static_cast<unsigned>(getuid()));
    }
    ~RootEuidForAWhile()
    {
        if (geteuid() != saved_ && seteuid(saved_) < 0) {
            LogPerror("cwd: cannot restore euid %d (eu=%u, ru=%u)", static_cast<int>(saved_),
                      static_cast<unsigned>(geteuid()), static_cast<unsigned>(getuid()));
            Exit(1);
        }
    }
    RootEuidForAWhile(const RootEuidForAWhile &) = delete;
    RootEuidForAWhile &operator=(const RootEuidForAWhile &) = delete;

  private:
    uid_t saved_;
};

// Replaces the anonymous root by its real path (symbolic links resolved) by
// changing into it; the current directory is restored afterwards. A root that
// cannot be entered is left as configured (the sessions report it).
void ResolveAnonRoot(DomainInfo *d)
{
    RootEuidForAWhile root;

    CharBuf saved(static_cast<char *>(malloc(PATH_MAX)));
    if (saved == nullptr) {
        LogPerror("malloc failed for cwdbuf");
        return;
    }
    if (getcwd(saved.get(), PATH_MAX) == nullptr) {
        LogPerror("could not getcwd");
        return;
    }
    if (chdir(d->ftpHome) < 0)
        return;

    // A real path that does not fit the field is not cut (a shorter root
    // would be a different directory): the configured one stays.
    CharBuf real(static_cast<char *>(malloc(sizeof(d->ftpHome))));
    if (real == nullptr)
        LogPerror("could not allocate cwd buffer");
    else if (getcwd(real.get(), sizeof(d->ftpHome)) == nullptr)
        LogPerror("could not getcwd");
    else
        Strncpy(d->ftpHome, real.get());

    if (chdir(saved.get()) < 0)
        LogPerror("Cannot chdir to %.300s", saved.get());
}

// "/home/ftp/" is the root "/home/ftp": the path checks compare the root with
// what follows it by a slash.
void TrimTrailingSlashes(char *path)
{
    size_t len = strlen(path);
    while (len > 1 && path[len - 1] == '/')
        path[--len] = '\0';
}

// Official name of the set's address, or the first alias beginning with
// "ftp." when the official one does not.
void ResolveServerName(DomainInfo *d)
{
    const SioAddr &a = d->serverAddr;
    const struct hostent *hp = SioAddrIsV6(&a) ? gethostbyaddr(&a.in6.sin6_addr, sizeof(a.in6.sin6_addr), AF_INET6)
                                               : gethostbyaddr(&a.in.sin_addr, sizeof(a.in.sin_addr), AF_INET);
    if (hp == nullptr || hp->h_name == nullptr)
        return;
    Strncpy(d->serverName, hp->h_name);
    if (strncasecmp(hp->h_name, "ftp.", 4) == 0 || hp->h_aliases == nullptr)
        return;
    for (char **alias = hp->h_aliases; *alias != nullptr; alias++) {
        if (strncasecmp(*alias, "ftp.", 4) == 0) {
            Strncpy(d->serverName, *alias);
            return;
        }
    }
}

// path as seen inside the set's anonymous root.
void PathUnderRoot(char *dst, size_t size, const DomainInfo *d, const char *path)
{
    Strncpy(dst, strcmp(d->ftpHome, "/") == 0 ? "" : d->ftpHome, size);
    if (path[0] != '/')
        Strncat(dst, "/", size);
    Strncat(dst, path, size);
}

// Inside a chroot, the archivers and event programs must exist under the root.
void CheckChrootedPrograms(const DomainInfo *d)
{
    const char *const programs[] = {
        gTarPath, gCompressPath, gGzipPath, gZipPath,
        gDownloadEventProcessor, gUploadEventProcessor, gLoginEventProcessor, gLogoutEventProcessor,
    };
    for (const char *program : programs) {
        if (program[0] == '\0')
            continue;
        char path[kDomainTextSize + kConfigPathSize];
        PathUnderRoot(path, sizeof(path), d, program);
        if (access(path, X_OK) < 0) {
            LogPerror("Cannot run %.300s", path);
            Log(kLogMisc, "Either copy it to that path or disable that line in your .cf file.\n");
        }
    }
}

// TCP Wrappers read their tables by the host's paths, which inside a chroot
// are paths under the root.
void CheckChrootedHostsFiles(const DomainInfo *d)
{
    const char *const tables[] = {"/etc/hosts.allow", "/etc/hosts.deny"};
    for (const char *table : tables) {
        struct stat st {};
        if (stat(table, &st) < 0)
            continue;
        char path[kDomainTextSize + 32];
        PathUnderRoot(path, sizeof(path), d, table);
        const bool exists = stat(path, &st) == 0;
        if (exists && (st.st_mode & S_IROTH) != 0)
            continue;
        if (exists)
            errno = EACCES;    // there, but not public-readable
        LogPerror("Cannot find %.300s", path);
        Log(kLogMisc, "For TCP Wrappers to work for %s, the file\n", d->setName);
        Log(kLogMisc, "%s needs to exist and be public-readable.\n", path);
        Log(kLogMisc, "(The server will not allow this file to be downloaded.)\n");
    }
}

void FinishDomain(DomainInfo *d, bool reload)
{
    if (d->ftpHome[0] == '\0')
        Strncpy(d->ftpHome, gDefaultFTPHome);
    if (gStartupLResolve)
        ResolveAnonRoot(d);
    TrimTrailingSlashes(d->ftpHome);
    d->ftpHomeLen = static_cast<int>(strlen(d->ftpHome));

    Strncpy(d->logMiscPath, gLogMiscPath);
    Strncpy(d->logStatPath, gLogStatPath);

    const bool named = d->serverAddr.sa.sa_family != AF_UNSPEC && !SioAddrIsAny(&d->serverAddr);
    if (named)
        SioAddrText(d->serverAddrStr, sizeof(d->serverAddrStr), &d->serverAddr);
    else
        Strncpy(d->serverAddrStr, "0.0.0.0");
    if (d->serverName[0] == '\0' && named)
        ResolveServerName(d);

    // After the chroot the anonymous root is "/" to the process and the
    // configured paths mean nothing more: these checks are for start-up.
    if (gChrootedAtStart && !reload) {
        CheckChrootedPrograms(d);
        if (gUseTCPWrappers != 0)
            CheckChrootedHostsFiles(d);
    }
}

void FinishDomains(bool reload)
{
    for (int i = 0; i < gNumDomains; i++)
        FinishDomain(gDomainInfo[i], reload);
    // Records stay where they are across reloads, so the current one is still
    // the set of the current index.
    gCurDomain = gDomain >= 0 && gDomain < gNumDomains ? gDomainInfo[gDomain] : GetFirstDomain();
}

}  // namespace

void PostReadDomainConfigInit()
{
    FinishDomains(false);
}

int ReloadDomainCf()
{
    if (ReadDomainConfigFile(nullptr) < 0)
        return -1;
    FinishDomains(true);
    if (gChild <= 0 || gTraceLogging != 0)
        Log(kLogMisc, "Successfully reloaded domain configuration file %s.\n", gDomainCf);
    return 0;
}
