// The sending side of logging: what one Log call puts on the log pipe, and
// where the text goes when there is no logger.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "../shm/log_capture.h"
#include "config/config.h"
#include "log/log.h"

namespace {

TEST(Log, ARecordCarriesTagTypeLengthDomainAndMagic)
{
    LogCapture log;
    const int domain = 3;
    gLogDomainPtr = &domain;
    Log(kLogSession, "user %s\n", "alice");
    static const int kZero = 0;
    gLogDomainPtr = &kZero;

    const std::vector<CapturedRecord> r = log.Take();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(std::string(r[0].hdr.tag, sizeof(r[0].hdr.tag)), std::string("(main)  | \0\0", 12));
    EXPECT_EQ(r[0].hdr.type, kLogSession);
    EXPECT_EQ(r[0].hdr.length, 11);
    EXPECT_EQ(r[0].hdr.domain, 3);
    EXPECT_EQ(r[0].hdr.magic, 0x77C0FFEEu);
    EXPECT_EQ(r[0].text, "user alice\n");
}

TEST(Log, TextsEndInExactlyOneLineFeed)
{
    LogCapture log;
    Log(kLogMisc, "dos line\r\n");
    Log(kLogMisc, "no line end");
    Log(kLogMisc, "%s", "");
    Log(kLogMisc, "inner\rreturn\n");
    EXPECT_EQ(log.Texts(), (std::vector<std::string>{"dos line\n", "no line end\n", "\n", "inner\rreturn\n"}));
}

TEST(Log, ALongTextIsCutAt738CharactersWithItsLineFeed)
{
    LogCapture log;
    const std::string longText(1000, 'x');
    Log(kLogMisc, "%s\n", longText.c_str());
    const std::vector<std::string> t = log.Texts();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0], std::string(737, 'x') + "\n");
}

TEST(Log, ErrnoSurvivesLogging)
{
    LogCapture log;
    errno = ENOSPC;
    Log(kLogMisc, "x\n");
    EXPECT_EQ(errno, ENOSPC);
}

TEST(Log, PerrorAddsTheSystemErrorText)
{
    LogCapture log;
    errno = ENOENT;
    LogPerror("Could not open %s", "/x");
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"Could not open /x: No such file or directory.\n"});
}

TEST(Log, TraceLinesAppearOnlyWhenVerbose)
{
    LogCapture log;
    gTraceLogging = 0;
    _Trace(kLogMisc, "quiet\n");
    gTraceLogging = 1;
    _Trace(kLogMisc, "loud\n");
    gTraceLogging = 0;
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"loud\n"});
}

// Runs f with standard error going into a pipe and returns what it wrote.
template <typename F>
std::string CaptureStderr(F f)
{
    int fds[2];
    if (pipe2(fds, O_NONBLOCK) != 0)
        return "pipe failed";
    const int saved = dup(2);
    dup2(fds[1], 2);
    f();
    dup2(saved, 2);
    close(saved);
    close(fds[1]);
    std::string out;
    char buf[1024];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    return out;
}

TEST(Log, WithoutALoggerTheTextGoesToStandardError)
{
    gLogPipe = -1;
    EXPECT_EQ(CaptureStderr([] { Log(kLogMisc, "before the logger\r\n"); }), "before the logger\n");
}

TEST(Log, WhenTheLoggerIsGoneTheTextGoesToStandardError)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    gLogPipe = fds[1];
    // Without a reader the write raises SIGPIPE, which must not end the process.
    EXPECT_EQ(CaptureStderr([] { Log(kLogMisc, "logger gone\n"); }), "logger gone\n");
    gLogPipe = -1;
    close(fds[1]);
}

}  // namespace
