// The json command: who and pids as one JSON document, for programs.
#include <cstdio>
#include <cstring>

#include "spy.h"

int Utf8Length(const unsigned char *p)
{
    const unsigned c = p[0];
    auto cont = [&](int i) { return (p[i] & 0xC0) == 0x80; };
    if (c >= 0xC2 && c <= 0xDF)
        return cont(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (!cont(1) || !cont(2))
            return 0;
        if ((c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] > 0x9F))
            return 0;
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3))
            return 0;
        if ((c == 0xF0 && p[1] < 0x90) || (c == 0xF4 && p[1] > 0x8F))
            return 0;
        return 4;
    }
    return 0;
}

namespace {

void Field(const char *name, const char *text, bool comma = true)
{
    printf("\"%s\": ", name);
    PutJsonString(stdout, text);
    if (comma)
        printf(", ");
}

}  // namespace

void PutJsonString(FILE *out, const char *text)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    fputc('"', out);
    while (*p != '\0') {
        const unsigned c = *p;
        if (c == '"' || c == '\\') {
            fputc('\\', out);
            fputc(static_cast<int>(c), out);
            p++;
        } else if (c < 0x20 || c == 0x7F) {
            fprintf(out, "\\u%04x", c);
            p++;
        } else if (c < 0x80) {
            fputc(static_cast<int>(c), out);
            p++;
        } else if (c == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F) {
            fprintf(out, "\\u%04x", p[1]);    // a C1 control, escaped as C0 ones are
            p += 2;
        } else if (const int n = Utf8Length(p); n > 0) {
            fwrite(p, 1, static_cast<size_t>(n), out);
            p += n;
        } else {
            fputs("\\ufffd", out);
            p++;
        }
    }
    fputc('"', out);
}

int Json()
{
    const time_t now = time(nullptr);
    char version[kShmVersionTagSize + 1] = {};
    memcpy(version, gHead->version, kShmVersionTagSize);
    printf("{");
    Field("version", version);
    printf("\"port\": %u, \"key\": %u, \"max_users\": %d, \"server_start\": %lld, \"now\": %lld,\n",
           gPort, static_cast<unsigned>(gKey), gMaxUsers, static_cast<long long>(gHead->serverStart),
           static_cast<long long>(now));
    printf(" \"master_pid\": %d, \"logger_pid\": %d,\n", SlotPid(0), SlotPid(gMaxUsers + 1));

    printf(" \"children\": [");
    int n = 0;
    for (int i = 1; i <= gMaxUsers; i++) {
        const int pid = SlotPid(i);
        if (pid != 0)
            printf("%s{\"child\": %d, \"pid\": %d}", n++ ? ", " : "", i, pid);
    }
    printf("],\n");

    printf(" \"sessions\": [");
    n = 0;
    for (int i = 1; i <= gMaxUsers; i++) {
        ShmSlot s;
        SnapshotSlot(i, &s);
        if (s.lastCommandTime == 0)
            continue;
        char client[256], who[256];
        ClientName(s, client, sizeof(client));
        WhoText(s, client, who, sizeof(who));
        printf("%s\n  {\"child\": %d, \"pid\": %d, ", n++ ? "," : "", i, s.pid);
        Field("user", s.user);
        Field("who", who);
        Field("client", client);
        Field("address", s.addr);
        Field("domain", s.domain);
        Field("class", s.restriction);
        printf("\"start_time\": %lld, \"idle_seconds\": %ld, ", static_cast<long long>(s.sessionStart),
               IdleSeconds(s, now));
        if (!gPublic)
            Field("directory", s.cwd);
        Field("command", s.command);
        Field("session_id", s.sessionId, false);
        printf("}");
    }
    printf("%s],\n", n ? "\n " : "");

    unsigned long attempts, hits;
    CacheCounters(&attempts, &hits);
    printf(" \"cache\": {\"attempts\": %lu, \"hits\": %lu}}\n", attempts, hits);
    return 0;
}
