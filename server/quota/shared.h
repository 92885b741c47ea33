// The usage of every user with a quota, kept in one table that all sessions
// on this host share, so that parallel sessions of one user charge one
// figure instead of a limit each.  The master makes the table before it
// forks; each pool child inherits the mapping and keeps the record of its
// session's user (a session's own process lets the table go and asks).
// Every record is still re-checked against its key on each use.
#pragma once

#include <cstdint>

constexpr int kQuotaKeySize = 64;       // the domain set's name, NUL-ended
constexpr int kQuotaUserSize = 128;     // the user's whole login name, NUL-ended

struct QuotaKey {
    char domain[kQuotaKeySize];
    char user[kQuotaUserSize];
};

struct QuotaUsage {
    int64_t bytes;
    int64_t files;
};

// The master, once before forking: room for records users sessions.  0, or
// -1 with errno (the sessions then count each on their own).
[[nodiscard]] int QuotaTableCreate(int records);

// A process that must not touch the table lets it go.
void QuotaTableForget();

// Pool child: the processes it forks do not inherit the table.
void QuotaTableKeepFromChildren();

// Looks the key up; fresh or absent: none.  The index, or -1.
[[nodiscard]] int QuotaTableFind(const QuotaKey &key, QuotaUsage *now);
// Installs measured as the key's usage unless a record of the key exists
// already and replace is false (then *now is that record).  keep tells
// which other records are still in use.  The index, or -1 when the table is
// absent or full.
[[nodiscard]] int QuotaTableInstall(const QuotaKey &key, const QuotaUsage &measured, bool replace,
                                    bool (*inUse)(const QuotaKey &), QuotaUsage *now);
// Frees the record at index when it holds the key and inUse says that no
// other session uses it, so that the next session measures afresh.
void QuotaTableRelease(int index, const QuotaKey &key, bool (*inUse)(const QuotaKey &));
// What of want fits below the hard limits (a figure of 0: none) above the
// usage u: up to want.bytes, and want.files whole or not at all.
[[nodiscard]] QuotaUsage QuotaReservable(const QuotaUsage &u, const QuotaUsage &want, const QuotaUsage &hard);

// Adds delta to the record at index (never below 0), then reserves up to
// want.bytes more, never past hard.bytes, and want.files all at once or none,
// never past hard.files (a hard figure of 0: no limit); *granted is what was
// reserved.  0, or -1 when the index no longer holds the key.
[[nodiscard]] int QuotaTableUpdate(int index, const QuotaKey &key, const QuotaUsage &delta, const QuotaUsage &want,
                                   const QuotaUsage &hard, QuotaUsage *granted, QuotaUsage *now);
