#include "pingstats.h"

#include <cstdio>

void ResetStats(PingStats *s, uint32_t nowMs)
{
    s->window = nowMs / kWindowMs;
    s->sent = 0;
    s->received = 0;
    s->sumMs = 0;
    s->minMs = 9999;
    s->maxMs = 0;
}

void StartStats(PingStats *s, uint32_t nowMs)
{
    ResetStats(s, nowMs);
    s->successes = 0;
    s->failures = 0;
    s->reachable = 1;
    s->previous = 1;
}

void CountRequest(PingStats *s, uint32_t nowMs)
{
    if (nowMs / kWindowMs != s->window)
        ResetStats(s, nowMs);
    s->sent++;
}

bool RecordOutcome(PingStats *s, int rttMs)
{
    s->previous = s->reachable;
    if (rttMs >= 0) {
        s->received++;
        s->sumMs += rttMs;
        if (rttMs < s->minMs)
            s->minMs = rttMs;
        if (rttMs > s->maxMs)
            s->maxMs = rttMs;
        s->successes++;
        s->failures = 0;
        s->reachable = 1;
        return s->successes >= kRunLength;
    }
    s->failures++;
    s->successes = 0;
    s->reachable = 0;
    return s->failures >= kRunLength;
}

void FormatTip(char (&tip)[kTipSize], const PingStats &s, const char *host)
{
    if (host[0] == '\0')
        snprintf(tip, sizeof(tip), "Vantrel");
    else if (s.received == 0)
        snprintf(tip, sizeof(tip), "Vantrel:  No response from %s", host);
    else
        snprintf(tip, sizeof(tip), "%s: min/avg/max =  %d / %.1f / %d ms,  %d%% pl", host,
                 s.minMs, static_cast<double>(s.sumMs) / s.received, s.maxMs,
                 (s.sent - s.received) * 100 / s.sent);
}
