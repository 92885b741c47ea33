// Stand-ins for what the start-up code and the logger define in the server,
// and the helpers of the domain set tests.
#include "domain_test_util.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Strn.h"
#include "config/config.h"
#include "config/domain.h"
#include "base/exit.h"
#include "log/log.h"

// ---- Stand-ins -----------------------------------------------------------------------------
int gChild = 0;
char gDefaultFTPHome[512] = "/home/ftp";

// Log text goes to standard error, where the tests capture it.
void Log(int /*type*/, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

void LogPerror(const char *fmt, ...)
{
    const int err = errno;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fprintf(stderr, ": %s.\n", strerror(err));
}

void _Trace(int /*type*/, const char *fmt, ...)
{
    if (gTraceLogging == 0)
        return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

void Exit(int code)
{
    fflush(stderr);
    exit(code);
}

// ---- TempDir --------------------------------------------------------------------------------
TempDir::TempDir()
{
    char tmpl[] = "/tmp/zorvad-domain-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        abort();
    path_ = tmpl;
}

TempDir::~TempDir()
{
    nftw(
        path_.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) {
            remove(p);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

std::string TempDir::Write(const std::string &name, const std::string &contents, mode_t mode) const
{
    const std::string p = *this / name;
    FILE *fp = fopen(p.c_str(), "w");
    if (fp == nullptr)
        abort();
    fwrite(contents.data(), 1, contents.size(), fp);
    fclose(fp);
    chmod(p.c_str(), mode);
    return p;
}

std::string TempDir::Mkdir(const std::string &name, mode_t mode) const
{
    const std::string p = *this / name;
    if (mkdir(p.c_str(), mode) < 0)
        abort();
    chmod(p.c_str(), mode);    // past the umask
    return p;
}

std::string TempDir::Symlink(const std::string &target, const std::string &name) const
{
    const std::string p = *this / name;
    if (symlink(target.c_str(), p.c_str()) < 0)
        abort();
    return p;
}

std::string RealPath(const std::string &path)
{
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) != nullptr ? buf : "";
}

// ---- DomainTest -----------------------------------------------------------------------------
void DomainTest::SetUp()
{
    SetConfigDefaults();
    InitDomains();
    gChild = 0;
    gChrootedAtStart = 0;
    Strncpy(gDefaultFTPHome, "/home/ftp");
}

void DomainTest::TearDown()
{
    InitDomains();
    SetConfigDefaults();
}

std::string DomainTest::ReadDomainCf(const std::string &contents)
{
    const std::string path = dir_.Write("domain.cf", contents);
    EXPECT_EQ(ReadDomainConfigFile(path.c_str()), 0);
    return path;
}
