// Test helper: runs a piece of code in a child process whose private mount
// namespace has test copies bind-mounted over account files in /etc, so that
// tests can shape passwd, shadow and group without touching the real ones.
// The namespace, and the mounts with it, vanish when the child exits.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

// A temporary directory that is removed with everything in it.
class TempDir {
  public:
    TempDir()
    {
        char tmpl[] = "/tmp/zorvad-accounts-XXXXXX";
        const char *d = mkdtemp(tmpl);
        path_ = d != nullptr ? d : "";
    }
    ~TempDir()
    {
        if (!path_.empty()) {
            std::string cmd = "rm -rf '" + path_ + "'";
            if (system(cmd.c_str()) != 0)
                fprintf(stderr, "could not remove %s\n", path_.c_str());
        }
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    // Writes a file in the directory and returns its path.
    std::string Write(const std::string &name, const std::string &text, mode_t mode = 0644) const
    {
        std::string p = path_ + "/" + name;
        FILE *fp = fopen(p.c_str(), "w");
        if (fp != nullptr) {
            fputs(text.c_str(), fp);
            fclose(fp);
            chmod(p.c_str(), mode);
        }
        return p;
    }

  private:
    std::string path_;
};

// Checks inside the child: a failure prints where and why on standard error
// and makes the child exit non-zero.
inline int gChildFailures = 0;
#define CHILD_CHECK(cond)                                                       \
    do {                                                                        \
        if (!(cond)) {                                                          \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            gChildFailures++;                                                   \
        }                                                                       \
    } while (0)
#define CHILD_CHECK_STREQ(a, b)                                                 \
    do {                                                                        \
        std::string a_ = (a), b_ = (b);                                         \
        if (a_ != b_) {                                                         \
            fprintf(stderr, "%s:%d: \"%s\" != \"%s\" (%s vs %s)\n", __FILE__, __LINE__, \
                    a_.c_str(), b_.c_str(), #a, #b);                            \
            gChildFailures++;                                                   \
        }                                                                       \
    } while (0)

// Runs body in a child with each (test file, /etc file) pair bind-mounted.
// Returns the child's exit code: 0 when every check passed; 90+ when the
// namespace could not be set up.
template <class Body>
int RunWithPrivateEtc(const std::vector<std::pair<std::string, std::string>> &binds, Body body)
{
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0)
        return 99;
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0)
            _exit(90);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            _exit(91);
        for (const auto &[from, to] : binds)
            if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0)
                _exit(92);
        gChildFailures = 0;
        body();
        fflush(stdout);
        fflush(stderr);
        _exit(gChildFailures == 0 ? 0 : 1);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return 98;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}
