// Logging interface used by every process: log text goes to the log pipe and
// the logger process writes it to the file of its type.
#pragma once

constexpr int kLogMisc = 0;      // miscellaneous log
constexpr int kLogXfer = 1;      // transfer log
constexpr int kLogSession = 2;   // session log
constexpr int kLogStat = 3;      // statistics log
constexpr int kLogEvent = 4;     // event records

// printf-like; the text should end with a line feed.
void Log(int type, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Like perror(): the formatted text, ": " and the text of errno.
void LogPerror(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
