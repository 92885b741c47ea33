// The metrics command: the sessions, their states, the transfers of the
// statistics buckets and the directory-cache counters, in the text format
// scrapers read (a HELP and a TYPE line per metric, one sample a line).
#include <cstdio>
#include <cstring>

#include "spy.h"

namespace {

constexpr const char *kStateNames[kShmNumStates] = {"connected", "logged_in", "downloading", "uploading"};
// The server's transfer results by code; the codes above are shown as numbers.
constexpr const char *kResultNames[] = {"ok", "abor", "error", "incomplete", "noent", "perm"};
constexpr int kNumResultNames = static_cast<int>(sizeof(kResultNames) / sizeof(kResultNames[0]));

const char *StateName(uint32_t state)
{
    return state < kShmNumStates ? kStateNames[state] : "unknown";
}

// One direction's transfers summed over slots and buckets, wide enough for
// any number of them.
struct TransferSum {
    unsigned long long byResult[kStatNumResults];
    unsigned long long kib;
};

void AddTransfers(TransferSum *into, const ShmXferStats &from)
{
    for (int r = 0; r < kStatNumResults; r++)
        into->byResult[r] += from.byResult[r];
    into->kib += from.kib;
}

void Head(const char *name, const char *type, const char *help)
{
    printf("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// The counters of each domain set, entries of one name added together (two
// processes may have claimed one each).
void DomainTransferTotals()
{
    ShmDomainTotals *t = new ShmDomainTotals[kShmDomainTotals];
    SnapshotDomainTotals(t);
    static const char *const kWhat[2][3] = {
        {"zorvad_transfers_total", "counter", "Transfers ended since the server started, by domain set and direction."},
        {"zorvad_transfer_bytes_total", "counter", "Bytes those transfers moved, by domain set and direction."}};
    for (int bytes = 0; bytes < 2; bytes++) {
        Head(kWhat[bytes][0], kWhat[bytes][1], kWhat[bytes][2]);
        for (int i = 0; i < kShmDomainTotals; i++) {
            if (t[i].used != kShmTotalsInUse)
                continue;
            bool earlier = false;
            for (int j = 0; j < i && !earlier; j++)
                earlier = t[j].used == kShmTotalsInUse && strcmp(t[j].domain, t[i].domain) == 0;
            if (earlier)
                continue;
            for (int up = 0; up < 2; up++) {
                unsigned long long sum = 0;
                for (int j = i; j < kShmDomainTotals; j++)
                    if (t[j].used == kShmTotalsInUse && strcmp(t[j].domain, t[i].domain) == 0)
                        sum += bytes ? t[j].bytes[up] : t[j].transfers[up];
                printf("%s{domain=", kWhat[bytes][0]);
                PutLabelValue(stdout, t[i].domain);
                printf(",direction=\"%s\"} %llu\n", up ? "upload" : "download", sum);
            }
        }
    }
    delete[] t;
}

}  // namespace

void PutLabelValue(FILE *out, const char *text)
{
    // The format escapes only a backslash, a quote and a line feed; the other
    // control characters are shown as '?' (a carriage return could split the
    // line for a careless reader) and bytes that are not UTF-8 as U+FFFD.
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    fputc('"', out);
    while (*p != '\0') {
        const unsigned c = *p;
        if (c == '"' || c == '\\') {
            fputc('\\', out);
            fputc(static_cast<int>(c), out);
            p++;
        } else if (c == '\n') {
            fputs("\\n", out);
            p++;
        } else if (c < 0x20 || c == 0x7F) {
            fputc('?', out);
            p++;
        } else if (c < 0x80) {
            fputc(static_cast<int>(c), out);
            p++;
        } else if (c == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F) {
            fputc('?', out);    // a C1 control
            p += 2;
        } else if (const int n = Utf8Length(p); n > 0) {
            fwrite(p, 1, static_cast<size_t>(n), out);
            p += n;
        } else {
            fputs("\xEF\xBF\xBD", out);
            p++;
        }
    }
    fputc('"', out);
}

int Metrics()
{
    const time_t now = time(nullptr);
    char version[kShmVersionTagSize + 1] = {};
    memcpy(version, gHead->version, kShmVersionTagSize);

    Head("zorvad_info", "gauge", "The server's version and port; always 1.");
    printf("zorvad_info{version=");
    PutLabelValue(stdout, version);
    printf(",port=\"%u\"} 1\n", gPort);
    Head("zorvad_start_time_seconds", "gauge", "When the server started, in seconds since the epoch.");
    printf("zorvad_start_time_seconds %lld\n", static_cast<long long>(gHead->serverStart));
    Head("zorvad_max_users", "gauge", "Sessions the server admits at once (its child slots).");
    printf("zorvad_max_users %d\n", gMaxUsers);

    int children = 0;
    for (int i = 1; i <= gMaxUsers; i++) {
        if (SlotPid(i) != 0)
            children++;
    }
    Head("zorvad_children", "gauge", "Child processes, serving a session or waiting for one.");
    printf("zorvad_children %d\n", children);

    // One snapshot per slot: every metric below comes from the same copy.
    ShmSlot *slots = new ShmSlot[static_cast<size_t>(gMaxUsers) + 1];
    for (int i = 0; i <= gMaxUsers; i++)
        SnapshotSlot(i, &slots[i]);
    auto busy = [&](int i) { return i >= 1 && slots[i].lastCommandTime != 0; };

    // Sessions by domain set and state: every state of each domain set that
    // has a session, so that a state's series drops to 0 instead of vanishing.
    Head("zorvad_sessions", "gauge", "Sessions by domain set and state.");
    for (int i = 1; i <= gMaxUsers; i++) {
        if (!busy(i))
            continue;
        bool seen = false;
        for (int j = 1; j < i && !seen; j++)
            seen = busy(j) && strcmp(slots[j].domain, slots[i].domain) == 0;
        if (seen)
            continue;
        int counts[kShmNumStates + 1] = {};
        for (int j = i; j <= gMaxUsers; j++) {
            if (busy(j) && strcmp(slots[j].domain, slots[i].domain) == 0)
                counts[slots[j].state < kShmNumStates ? slots[j].state : kShmNumStates]++;
        }
        for (int st = 0; st <= kShmNumStates; st++) {
            if (st == kShmNumStates && counts[st] == 0)
                continue;
            printf("zorvad_sessions{domain=");
            PutLabelValue(stdout, slots[i].domain);
            printf(",state=\"%s\"} %d\n", StateName(static_cast<uint32_t>(st)), counts[st]);
        }
    }

    // Each session: the user name (never the e-mail address an anonymous
    // user gave, nor a path), its domain set and state.
    Head("zorvad_session_start_time_seconds", "gauge", "When each session started, in seconds since the epoch.");
    for (int pass = 0; pass < 2; pass++) {
        if (pass == 1)
            Head("zorvad_session_idle_seconds", "gauge",
                 "Seconds since each session's last command or moved data.");
        for (int i = 1; i <= gMaxUsers; i++) {
            if (!busy(i))
                continue;
            printf("%s{child=\"%d\",user=", pass == 0 ? "zorvad_session_start_time_seconds" : "zorvad_session_idle_seconds",
                   i);
            PutLabelValue(stdout, slots[i].user);
            printf(",domain=");
            PutLabelValue(stdout, slots[i].domain);
            printf(",state=\"%s\"} %lld\n", StateName(slots[i].state),
                   pass == 0 ? static_cast<long long>(slots[i].sessionStart)
                             : static_cast<long long>(IdleSeconds(slots[i], now)));
        }
    }

    // Transfers: the statistics buckets of every slot, the master's
    // included.  The server reuses the quarter-hour buckets (2.5 hours in all,
    // the next one emptied ahead), so these are totals over the last two
    // hours or so, not counters.
    TransferSum sums[2] = {};    // download, upload
    for (int i = 0; i <= gMaxUsers; i++) {
        for (int b = 0; b < kShmNumBuckets; b++) {
            AddTransfers(&sums[0], slots[i].stats[b].download);
            AddTransfers(&sums[1], slots[i].stats[b].upload);
        }
    }
    Head("zorvad_recent_transfers", "gauge",
         "Transfers that ended in the server's statistics window (about the last two hours), by direction and result.");
    for (int up = 0; up < 2; up++) {
        const TransferSum &x = sums[up];
        for (int r = 0; r < kStatNumResults; r++) {
            if (r < kNumResultNames)
                printf("zorvad_recent_transfers{direction=\"%s\",result=\"%s\"} %llu\n", up ? "upload" : "download",
                       kResultNames[r], x.byResult[r]);
            else if (x.byResult[r] != 0)
                printf("zorvad_recent_transfers{direction=\"%s\",result=\"%d\"} %llu\n", up ? "upload" : "download", r,
                       x.byResult[r]);
        }
    }
    Head("zorvad_recent_transfer_bytes", "gauge",
         "Bytes those transfers moved, each transfer counted in whole KiB, by direction.");
    printf("zorvad_recent_transfer_bytes{direction=\"download\"} %llu\n", sums[0].kib * 1024ull);
    printf("zorvad_recent_transfer_bytes{direction=\"upload\"} %llu\n", sums[1].kib * 1024ull);

    DomainTransferTotals();

    unsigned long attempts = 0, hits = 0;
    for (int i = 1; i <= gMaxUsers; i++) {
        attempts += slots[i].lsRequests;
        hits += slots[i].lsCacheHits;
    }
    delete[] slots;
    Head("zorvad_directory_cache_requests_total", "counter",
         "Directory listings asked of the children's directory caches (a child that restarts starts at 0).");
    printf("zorvad_directory_cache_requests_total %lu\n", attempts);
    Head("zorvad_directory_cache_hits_total", "counter", "Directory listings answered from the caches.");
    printf("zorvad_directory_cache_hits_total %lu\n", hits);
    return 0;
}
