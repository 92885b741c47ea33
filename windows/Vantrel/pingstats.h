// The statistics of the current ten-minute window, the runs of equal
// outcomes that decide when the next ping follows, and the tray tip.
// Plain C++: no Windows headers, so it builds anywhere.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kRunLength = 5;            // equal outcomes that end a run of quick pings
constexpr uint32_t kWindowMs = 600000;   // ten minutes
constexpr size_t kTipSize = 64;

struct PingStats {
    uint32_t window;                     // tick count / kWindowMs when last reset
    int sent;
    int received;
    int sumMs;
    int minMs;
    int maxMs;
    int successes;                       // consecutive
    int failures;                        // consecutive
    int reachable;                       // 1 answering, 0 not
    int previous;                        // reachable before the last ping
};

// Clears the window's figures (not the runs or the reachability).
void ResetStats(PingStats *s, uint32_t nowMs);
// Starts a fresh host: window figures, runs, and the host counts as answering.
void StartStats(PingStats *s, uint32_t nowMs);

// Counts a request about to be sent, first starting a new window if the
// ten-minute window number changed.
void CountRequest(PingStats *s, uint32_t nowMs);

// Records the outcome of the request: rttMs >= 0 is a reply, < 0 no reply.
// Returns true when the run of equal outcomes has reached kRunLength (the
// raw socket is closed and the next ping waits for the period), false when
// the next ping follows at the next tick.
[[nodiscard]] bool RecordOutcome(PingStats *s, int rttMs);

// The tray tip for the host ("" when none is configured).
void FormatTip(char (&tip)[kTipSize], const PingStats &s, const char *host);
