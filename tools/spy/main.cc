// zorvad_spy: start-up (CGI detection, environment wipe, options, the root
// check, attaching the segment) and the command dispatch.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "getopt.h"
#include "environ.h"
#include "spy.h"
#include "version.h"

unsigned gPort = 21;
key_t gKey = 0;
int gNoResolve = 0;
int gHtml = 0;
int gCgi = 0;
int gPublic = 0;
const char *gOutFile = nullptr;
size_t gLookupSize = 0;
int gLookupMode = 0400;

namespace {

// The key of the server on a port: each port above 21 moves it by 16.
constexpr key_t kKeyBase = static_cast<key_t>(0x77C0FFEE);
constexpr key_t KeyForPort(unsigned port)
{
    return static_cast<key_t>(static_cast<unsigned>(kKeyBase) + 16u * (port - 21u));
}
static_assert(KeyForPort(21) == kKeyBase);
static_assert(static_cast<unsigned>(KeyForPort(8021)) == 0x77C0FE9Eu + 16u * 8021u);

// The whole answer of a refused CGI request: a status line the web server
// passes on and a short page saying why, never a bare text on standard error.
[[noreturn]] void CgiError(const char *status, const char *why)
{
    printf("Status: %s\nContent-Type: text/plain\n\n%s\n", status, why);
    fflush(stdout);
    exit(1);
}

void Usage(const char *prog)
{
    if (gCgi)
        CgiError("400 Bad Request", "Usage: who, json, pids or metrics, with -p PORT, -n, -h or -P.");
    fprintf(stderr, "Usages:\n  %s [-p port] [-n] [-h] [-P] who\n", prog);
    fprintf(stderr, "  %s [-p port] [-n] watch\n", prog);
    fprintf(stderr, "  %s [-p port] toggle verbose logging [and tail]\n", prog);
    fprintf(stderr, "  %s [-p port] tail\n", prog);
    fprintf(stderr, "  %s [-p port] [-n] pids\n", prog);
    fprintf(stderr, "  %s [-p port] [-n] [-P] json\n", prog);
    fprintf(stderr, "  %s [-p port] metrics\n", prog);
    fprintf(stderr, "\nExamples:\n");
    fprintf(stderr, "  %s watch        (monitor user activity)\n", prog);
    fprintf(stderr, "  %s pids         (get a list of active process IDs)\n", prog);
    fprintf(stderr, "  %s tail         (equivalent to /usr/bin/tail -f on the misc log)\n", prog);
    fprintf(stderr, "  %s toggle verbose logging\n", prog);
    fprintf(stderr, "  %s toggle verbose logging and tail\n", prog);
    fprintf(stderr, "  %s who          (get a list of users logged in)\n", prog);
    fprintf(stderr, "  %s -n who       (same, but not resolving IP addresses)\n", prog);
    fprintf(stderr, "  %s -h who       (same, outputting in HTML)\n", prog);
    fprintf(stderr, "  %s -P -h who    (same, for a public page: no e-mail addresses, passwords or paths)\n", prog);
    fprintf(stderr, "  %s metrics      (sessions, transfers and cache counters for a metrics scraper)\n", prog);
    fprintf(stderr, "  %s -p 8021 who  (use data from the Zorvad running on port 8021)\n", prog);
    fprintf(stderr, "\nRequires:\n  %.12s\n", gVersion);
    exit(1);
}

enum Command { kWho, kWatch, kPids, kTail, kToggle, kToggleAndTail, kCacheStat, kDump, kDumpInfo, kJson, kMetrics };

struct CommandName {
    const char *words;
    Command command;
};
constexpr CommandName kCommands[] = {
    {"who", kWho},
    {"watch", kWatch},
    {"pids", kPids},
    {"tail", kTail},
    {"toggle verbose logging", kToggle},
    {"toggle verbose logging and tail", kToggleAndTail},
    {"cachestat", kCacheStat},
    {"dump", kDump},
    {"dumpinfo", kDumpInfo},
    {"json", kJson},
    {"metrics", kMetrics},
};

// The command words after the options, joined by blanks; -1 when they name none.
int ParseCommand(int argc, char **argv)
{
    char words[128] = "";
    for (int i = gOptInd; i < argc; i++) {
        if (i > gOptInd && strlen(words) + 1 < sizeof(words))
            strcat(words, " ");
        if (strlen(words) + strlen(argv[i]) >= sizeof(words))
            return -1;
        strcat(words, argv[i]);
    }
    for (const CommandName &c : kCommands) {
        if (strcmp(words, c.words) == 0)
            return c.command;
    }
    return -1;
}

// A whole number option value; Usage when it is not one.
long NumberArg(const char *prog, const char *text, int base, long max)
{
    char *end = nullptr;
    const long v = strtol(text, &end, base);
    if (end == text || *end != '\0' || v < 0 || v > max)
        Usage(prog);
    return v;
}

}  // namespace

int main(int argc, char **argv)
{
    const char *prog = argv[0];
    if (RunByWebServer() || getenv("GATEWAY_INTERFACE") != nullptr) {
        gCgi = 1;
        gHtml = 1;
    }
    if (PurgeEnvironment() < 0) {
        fprintf(stderr, "Failed to purge the enviornment variables.\n");
        exit(13);
    }

    int keyGiven = 0;
    int c;
    while ((c = Getopt(argc, argv, "whauk:m:ns:p:o:P")) > 0) {
        switch (c) {
        case 'p':
            gPort = static_cast<unsigned>(NumberArg(prog, gOptArg, 10, 65535));
            break;
        case 'k': {
            char *end = nullptr;
            const unsigned long k = strtoul(gOptArg, &end, 16);    // "0x" is accepted
            if (end == gOptArg || *end != '\0' || k > 0xFFFFFFFFul)
                Usage(prog);
            gKey = static_cast<key_t>(static_cast<unsigned>(k));
            keyGiven = 1;
            break;
        }
        case 'n':
            gNoResolve = 1;
            break;
        case 'P':
            gPublic = 1;
            break;
        case 'h':
        case 'w':
            gHtml = 1;
            break;
        case 'o':
            // A web visitor must not choose a file a set-user-ID tool writes.
            if (gCgi)
                CgiError("403 Forbidden", "Option -o is not available to a web page.");
            gOutFile = gOptArg;
            break;
        case 's':
            if (gCgi)
                CgiError("403 Forbidden", "Option -s is not available to a web page.");
            gLookupSize = static_cast<size_t>(NumberArg(prog, gOptArg, 10, 0x7FFFFFFF));
            break;
        case 'm':
            if (gCgi)
                CgiError("403 Forbidden", "Option -m is not available to a web page.");
            gLookupMode = static_cast<int>(NumberArg(prog, gOptArg, 8, 0777));
            break;
        case 'a':
        case 'u':
            break;
        default:
            Usage(prog);
        }
    }
    if (!keyGiven)
        gKey = KeyForPort(gPort);
    const int command = ParseCommand(argc, argv);
    if (command < 0)
        Usage(prog);
    // Behind a web server only the read-only views run: the others write a
    // file, signal the server or follow it for ever.
    if (gCgi && command != kWho && command != kJson && command != kPids && command != kMetrics)
        CgiError("403 Forbidden", "Only who, json, pids and metrics are available to a web page.");

    if (gCgi) {
        // Set-up errors become the page: the person at the browser sees why.
        if (command == kJson)
            fputs("Content-Type: application/json\n\n", stdout);
        else if (command == kMetrics)
            fputs("Content-Type: text/plain; version=0.0.4; charset=utf-8\n\n", stdout);
        else
            fputs("Content-Type: text/html\n\n", stdout);
        fflush(stdout);
        dup2(STDOUT_FILENO, STDERR_FILENO);
    }
    if (geteuid() != 0) {
        fprintf(stderr, "You need superuser privileges to run this program.\n");
        exit(1);
    }
    AttachSegment();
    InstallInterruptHandler();

    switch (static_cast<Command>(command)) {
    case kWho:
        return Who();
    case kWatch:
        return Watch();
    case kPids:
        return Pids();
    case kTail:
        return Tail(0, 0, nullptr);
    case kToggle:
        return Toggle(0);
    case kToggleAndTail:
        return Toggle(1);
    case kCacheStat:
        return CacheStat();
    case kDump:
        return Dump();
    case kDumpInfo:
        return DumpInfo();
    case kJson:
        return Json();
    case kMetrics:
        return Metrics();
    }
    return 1;
}
