// The process globals that the status area and logging code read, defined here so
// that their tests build from those sources alone (the rest of the server is not
// linked).  Tests set them as the server's start-up would.
#include <unistd.h>

#include <csignal>

#include "config/config.h"
#include "session/shell.h"
#include "process/startup.h"

// general.cf
key_t gShmKeyBase = 0x77C0FFEE;
int gNumChildren = 1;
int gUseTimeCache = 1;
int gTraceLogging = 0;
int gAuthDebug = 0;
char gLogMiscPath[kLogPathSize];
char gLogStatPath[kLogPathSize];
int gLogXfers = 1;
int gLogXferTypeMask = 255;
int gLogTimestampFractionalSeconds = 0;
mode_t gLogUmask = 077;
uid_t gLogOwner = static_cast<uid_t>(-1);
gid_t gLogGroup = static_cast<gid_t>(-1);
long LoggerReservedId()
{
    return 0;       // the logger of these tests keeps nobody's ids
}
char gDownloadEventProcessor[kConfigPathSize];
char gUploadEventProcessor[kConfigPathSize];
char gLoginEventProcessor[kConfigPathSize];
char gLogoutEventProcessor[kConfigPathSize];
char gCoreSubDir[kCoreSubDirSize];

// Process identity and signals
int gChild = 0;
pid_t gLoggerPID = -1;
time_t gServerStartTime = 0;
int gLogToTTY = 0;
bool gWasATTY2 = false;
volatile sig_atomic_t gReloadConfiguration = 0;
volatile sig_atomic_t gKillMyselfAtTheEarliestConvenience = 0;

void SigTrace(int)
{
    gTraceLogging = gTraceLogging == 0 ? 9 : 0;
}

// Leaving the process: the tests' forked loggers end here.
void Exit(int code)
{
    _exit(code);
}

// Session counters read by StatSession
int gLogins = 0;
int gClientType = 0;
int64_t gTotalBytesXferBig = 0;
double gTotalSecsXferBig = 0.0;
int gNumSuccessfulDirListings = 0;
int gNumSuccessfulDownloads = 0;
int gNumSuccessfulUploads = 0;

// Item records are also sent as events; no event consumer here.
void EventcLogItem(char, const char *, const char *, const char *, const char *, const char *) {}
