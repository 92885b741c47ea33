// Login accounting: one wtmp record when a user logs in and one when the
// session ends, under "wtmp-log-mode" (1 every login, 2 all but anonymous).
#include <unistd.h>
#include <utmpx.h>

#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "log/log.h"
#include "session/login.h"
#include "session/shell.h"
#include "status/shm.h"
#include "base/exit.h"
#include "base/privchan.h"
#include "base/process.h"

namespace {

// The system's login accounting file (WTMPX_FILE; its macro needs the C
// library's <paths.h>, which the server's own paths.h hides).
constexpr const char *kWtmpFile = "/var/log/wtmp";
constexpr int kWtmpEveryLogin = 1;
constexpr int kWtmpNonAnonymous = 2;

// A login record was written and still waits for its logout record: also
// when the switch to the user's identity failed after it, so the session
// never counted as logged in.
bool gWtmpLoginOpen = false;

bool WtmpWanted()
{
    return gWtmpLogMode == kWtmpEveryLogin || (gWtmpLogMode == kWtmpNonAnonymous && !gIsAnon);
}

// Copies text into a fixed utmpx field (which need not be terminated).
template <size_t N>
void SetField(char (&field)[N], const char *text)
{
    strncpy(field, text, N);
}

// The accounting file belongs to root: a session that already runs as its
// user writes the record with root's effective uid and switches back.
class RootForTheRecord {
  public:
    RootForTheRecord()
    {
        if (getuid() == 0 && saved_ != 0 && seteuid(0) < 0)
            LogPerror("setEuid(0) (eu=%u, ru=%u)", static_cast<unsigned>(saved_), static_cast<unsigned>(getuid()));
    }
    ~RootForTheRecord()
    {
        if (geteuid() != saved_ && seteuid(saved_) < 0) {
            LogPerror("cannot restore euid %u (eu=%u, ru=%u)", static_cast<unsigned>(saved_),
                      static_cast<unsigned>(geteuid()), static_cast<unsigned>(getuid()));
            Exit(1);
        }
    }
    RootForTheRecord(const RootForTheRecord &) = delete;
    RootForTheRecord &operator=(const RootForTheRecord &) = delete;

  private:
    uid_t saved_ = geteuid();
};

void WtmpWrite(const char *user, short type, const char *host)
{
    struct utmpx ut;
    memset(&ut, 0, sizeof(ut));
    char line[sizeof(ut.ut_line) + 1];
    snprintf(line, sizeof(line), "ftp%d", gChild);
    SetField(ut.ut_user, user);
    SetField(ut.ut_line, line);
    SetField(ut.ut_host, host);
    ut.ut_type = type;
    ut.ut_pid = gRUserPtr->pid;
    ut.ut_tv.tv_sec = static_cast<decltype(ut.ut_tv.tv_sec)>(gRUserPtr->lastCommandTime);
    RootForTheRecord root;
    updwtmpx(kWtmpFile, &ut);
}

}  // namespace

void WtmpAddLoginEntry()
{
    if (!WtmpWanted())
        return;
    const char *user = gIsAnon ? "ftp" : gPass.username;
    WtmpWrite(user, user[0] != '\0' ? USER_PROCESS : DEAD_PROCESS, gRUserPtr->host);
    gWtmpLoginOpen = user[0] != '\0';
}

void WtmpAddLogoutEntry()
{
    // A session's own process leaves the record to the pool child.
    if (!gWtmpLoginOpen || gPrivChannel >= 0)
        return;
    gWtmpLoginOpen = false;
    WtmpWrite(gIsAnon ? "ftp" : "", DEAD_PROCESS, "");
}
