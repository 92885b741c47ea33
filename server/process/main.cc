// zorvad [flags] <general.cf> <domain.cf>
//
// The start-up order: account library, Init, the first option scan, both
// configuration files, the second scan (the command line overrides the
// files), the signal dispositions, the checks after reading, and the master
// loop. Terminating signals jump back here for the orderly shutdown.
#include <limits.h>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "Spwd.h"
#include "Strn.h"
#include "config/config.h"
#include "log/log.h"
#include "config/domain.h"
#include "process/master.h"
#include "process/notify.h"
#include "status/shm.h"
#include "process/startup.h"

namespace {

const char *BaseName(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// A configuration file's name for the status area: absolute, so that the
// monitor never resolves it through a process that may no longer be the
// master; as given when it cannot be resolved or does not fit.
void RecordedName(char (&dst)[256], const char *given)
{
    char real[PATH_MAX];
    Strncpy(dst, realpath(given, real) != nullptr && strlen(real) < sizeof(dst) ? real : given);
}

// Every pre-forked child copies each heap page it writes and keeps it.  Blocks
// of a page or more get pages of their own that go back when freed (the
// domain sets, stdio buffers of message files, directory readers), so the
// small blocks the children touch share fewer pages, and a freed top of the
// heap goes back at once.
void KeepHeapCompact()
{
    constexpr int kPageSize = 4096;
    (void) mallopt(M_MMAP_THRESHOLD, kPageSize);
    (void) mallopt(M_TRIM_THRESHOLD, kPageSize);
    // A freed block is overwritten: the password databases the C library
    // read for a login leave no lines behind for a process forked later.
    constexpr int kFreedFill = 0xa5;
    (void) mallopt(M_PERTURB, kFreedFill);
}

}  // namespace

int main(int argc, char **argv)
{
    KeepHeapCompact();
    CaptureNotifySocket();
    SpwdLibraryInit(argc, argv);
    gTraceLogging = 0;
    gDaemon = 0;
    Init(BaseName(argv[0]));

    const int first = PreScanOptions(argc, argv);
    char *generalCf = argv[first];
    char *domainCf = argv[first + 1];
    SwapConfigArgs(&generalCf, &domainCf);

    InitDomains();
    ReadConfigFile(generalCf);
    ReadDomainConfigFile(domainCf);
    RecordedName(gGeneralCfPath, generalCf);
    RecordedName(gDomainCfPath, domainCf);
    if (GetFirstDomain() == nullptr) {
        fprintf(stderr, "No domain configuration sets specified in the domain.cf files.\nMake sure you are using the `set-name' variable for each domain configuration set.\n");
        Exit(1);
    }

    ScanOptions(argc, argv);
    InstallSignalHandlers();

    int status = 0;
    if (sigsetjmp(gExitJmp, 1) == 0) {
        gExitJmpReady = 1;
        PostReadConfigInit();
        WaitForRequests(gServerPort);
        status = 1;   // the master loop returns only when it could not start
    }
    gExitJmpReady = 0;

    alarm(0);
    signal(SIGTERM, SIG_IGN);
    signal(SIGALRM, SIG_DFL);
    if (gExitSignal != 0) {
        const char *abbrev = sigabbrev_np(gExitSignal);
        char name[32];
        snprintf(name, sizeof(name), "SIG%s", abbrev != nullptr ? abbrev : "?");
        Log(kLogMisc, "Caught %s, exiting.\n", name);
    }
    Exit(status);
}
