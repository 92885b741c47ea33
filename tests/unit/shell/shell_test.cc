// The control session pieces that a client cannot reach before a login
// exists: the command counters, the logged-in time-out, NOOP's report after
// login, the throttle and ABOR. Replies are read from the other end of a
// socket pair; the command cycle runs in a forked child.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "config/config.h"
#include "config/domain.h"
#include "session/shell.h"
#include "status/shm.h"
#include "process/master.h"
#include "process/startup.h"

namespace {

// Everything the peer has to say within the time limit (until it closes, or
// until nothing more arrives for a moment once something came).
std::string ReadAll(int fd, int seconds, bool untilClose = false)
{
    std::string out;
    const time_t end = time(nullptr) + seconds;
    while (time(nullptr) <= end) {
        struct pollfd p = {fd, POLLIN, 0};
        const int wait = (!untilClose && !out.empty()) ? 100 : 1000;
        if (poll(&p, 1, wait) <= 0) {
            if (!untilClose && !out.empty())
                break;
            continue;
        }
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

void Send(int fd, const char *text)
{
    ASSERT_EQ(write(fd, text, strlen(text)), static_cast<ssize_t>(strlen(text)));
}

class ShellSession : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv_), 0);
        gCtrl = sv_[1];
        // A session always has its domain set (message files unset).
        static DomainInfo domain {};
        gCurDomain = &domain;
        gLoggedIn = 1;
        gNoopDelay = 0;
        gTraceLogging = 0;
        gData = -1;
        gCanceled = 0;
        memset(gCmdCounts, 0, sizeof(gCmdCounts));
    }
    void TearDown() override
    {
        close(sv_[0]);
        if (sv_[1] >= 0)
            close(sv_[1]);
        gCtrl = -1;
    }

    // Runs the command cycle in a child with the state set up by the test;
    // stderr of the child goes to the returned descriptor.
    pid_t RunCycle(int *errFd)
    {
        int pipefd[2];
        EXPECT_EQ(pipe(pipefd), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            close(sv_[0]);
            dup2(pipefd[1], 2);
            close(pipefd[0]);
            gChild = 1;
            if (InitSReadlineInfo(&gSrl, gCtrl, nullptr, 1024, 10) < 0)
                _exit(9);
            CommandCycle();
        }
        close(pipefd[1]);
        close(sv_[1]);
        sv_[1] = -1;
        *errFd = pipefd[0];
        return pid;
    }

    void Reap(pid_t pid)
    {
        int status;
        waitpid(pid, &status, 0);
    }

    int sv_[2] = {-1, -1};
};

}  // namespace

TEST(ShellSessionId, PacksStartChildAndResetCountInto24Base64Characters)
{
    char id[kSessionIdSize];
    EncodeSessionId(id, sizeof(id), 1600000000, 1, 1);
    EXPECT_STREQ(id, "X14QAAAAAAAAAQABAAAAAAAA");
    EncodeSessionId(id, sizeof(id), 0xFFFFFFFF, 0xFFFF, 0xABCD);
    EXPECT_STREQ(id, "/////wAAAAD//6vNAAAAAAAA");
}

TEST(ShellCommandWord, FoldsThreeOrFourLettersAndSkipsTheBlanksAfterThem)
{
    struct Case {
        const char *line, *word, *arg;
    };
    const Case cases[] = {
        {"retr file.txt", "RETR", "file.txt"},
        {"RETRX more", "RETR", "X more"},
        {"OPTIONS", "OPTI", "ONS"},    // the O group takes any word: OPTS
        {"pwd", "PWD", ""},
        {"Noo1", "NOO", "1"},
        {"noop \t  x y", "NOOP", "\t  x y"},
        {"CWD  lead", "CWD", " lead"},    // one separator: a name may begin with a blank
    };
    for (const Case &c : cases) {
        char line[64], word[5];
        char *arg = nullptr;
        snprintf(line, sizeof(line), "%s", c.line);
        ASSERT_EQ(ParseCommandWord(line, word, &arg), 0) << c.line;
        EXPECT_STREQ(word, c.word) << c.line;
        EXPECT_STREQ(arg, c.arg) << c.line;
    }
}

TEST(ShellCommandWord, RefusesADigitInPlaceTwoOrThree)
{
    for (const char *text : {"N0OP", "NO0P", "A1", "AB"}) {
        char line[16], word[5];
        char *arg = nullptr;
        snprintf(line, sizeof(line), "%s", text);
        EXPECT_EQ(ParseCommandWord(line, word, &arg), -1) << text;
    }
}

TEST_F(ShellSession, EachRecognisedCommandCountsInItsOwnCounter)
{
    struct Case {
        const char *word, *arg;
        int counter;
    };
    const Case cases[] = {
        {"ABOR", "", kCntAbor}, {"ACCT", "x", kCntAcct}, {"ALLO", "", kCntAllo}, {"APPE", "f", kCntAppe},
        {"CDUP", "", kCntCdup}, {"CWD", "/", kCntCwd}, {"XCWD", "/", kCntCwd}, {"DELE", "f", kCntDele},
        {"HELP", "", kCntHelp}, {"LIST", "", kCntList}, {"MDTM", "f", kCntMdtm}, {"MKD", "d", kCntMkd},
        {"XMKD", "d", kCntMkd}, {"MODE", "S", kCntMode}, {"NLST", "", kCntNlst}, {"NOOP", "", kCntNoop},
        {"PASS", "p", kCntPass}, {"PASV", "", kCntPasv}, {"PORT", "1", kCntPort}, {"PWD", "", kCntPwd},
        {"XPWD", "", kCntPwd}, {"REST", "0", kCntRest}, {"RETR", "f", kCntRetr}, {"RMD", "d", kCntRmd},
        {"XRMD", "d", kCntRmd}, {"RNFR", "a", kCntRnfr}, {"RNTO", "b", kCntRnto}, {"SITE", "", kCntSite},
        {"SIZE", "f", kCntSize}, {"SMNT", "", kCntSmnt}, {"STAT", "", kCntStat}, {"STOR", "f", kCntStor},
        {"STOU", "", kCntStou}, {"STRU", "F", kCntStru}, {"SYST", "", kCntSyst}, {"TYPE", "I", kCntType},
        {"USER", "u", kCntUser}, {"FEAT", "", kCntFeat}, {"OPTS", "", kCntOpts}, {"MLST", "", kCntMlst},
        {"MLSD", "", kCntMlsd}, {"HOST", "h", kCntHost}, {"LANG", "", kCntLang}, {"EPRT", "", kCntEprt},
        {"EPSV", "", kCntEpsv}, {"CLNT", "c", kCntClnt}, {"MFMT", "", kCntMfmt}, {"MFF", "", kCntMff},
    };
    for (const Case &c : cases) {
        int before[kNumCmdCounters];
        memcpy(before, gCmdCounts, sizeof(before));
        char arg[16];
        snprintf(arg, sizeof(arg), "%s", c.arg);
        DispatchCommand(c.word, arg);
        for (int i = 0; i < kNumCmdCounters; i++)
            EXPECT_EQ(gCmdCounts[i], before[i] + (i == c.counter ? 1 : 0)) << c.word << " counter " << i;
        EXPECT_FALSE(ReadAll(sv_[0], 2).empty()) << c.word;
    }
}

TEST_F(ShellSession, UncountedAndUnrecognisedWords)
{
    char arg[] = "";
    DispatchCommand("AUTH", arg);   // answered, not counted
    DispatchCommand("MIC", arg);
    for (int i = 0; i < kNumCmdCounters; i++)
        EXPECT_EQ(gCmdCounts[i], 0);
    DispatchCommand("IDLE", arg);   // unrecognised: counter 7
    EXPECT_EQ(gCmdCounts[kCntUnknown], 1);
    EXPECT_EQ(ReadAll(sv_[0], 5),
              "502 Unimplemented command.\r\n502 Unimplemented command.\r\n"
              "500 Syntax error, command unrecognized.\r\n");
}

TEST_F(ShellSession, AborAnswersForWhatThereIsToAbort)
{
    char arg[] = "";
    Abor(arg);
    EXPECT_EQ(ReadAll(sv_[0], 2), "426 Nothing to abort.\r\n");
    gCanceled = 1;
    Abor(arg);
    EXPECT_EQ(ReadAll(sv_[0], 2), "226 Aborted successfully.\r\n");
    EXPECT_EQ(gCanceled, 0);
    int data[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, data), 0);
    gData = data[1];
    gRestartPt = 100;
    Abor(arg);
    EXPECT_EQ(ReadAll(sv_[0], 2), "226 Aborted too late.\r\n");
    EXPECT_EQ(gData, -1);
    EXPECT_EQ(gRestartPt, 0);
    close(data[0]);
}

TEST_F(ShellSession, TypeModeAndStructureAfterLogin)
{
    struct Case {
        void (*handler)(char *);
        const char *arg, *reply;
    };
    const Case cases[] = {
        {Type, "A", "200 Type okay.\r\n"},          {Type, "L 8", "200 Type okay.\r\n"},
        {Type, "e", "504 Unimplemented type.\r\n"}, {Mode, "s", "200 Mode okay.\r\n"},
        {Mode, "B", "504 Unimplemented mode.\r\n"}, {Stru, "f", "200 Structure okay.\r\n"},
        {Stru, "R", "504 Unimplemented structure.\r\n"},
        {Allo, "9", "202 No storage allocation necessary.\r\n"},
        {Smnt, "/x", "502 Unimplemented command.\r\n"},
    };
    for (const Case &c : cases) {
        char arg[16];
        snprintf(arg, sizeof(arg), "%s", c.arg);
        c.handler(arg);
        EXPECT_EQ(ReadAll(sv_[0], 2), c.reply) << c.arg;
    }
    EXPECT_EQ(gType, 'I');
    char bad[] = "X";
    const time_t start = time(nullptr);
    Type(bad);
    EXPECT_EQ(ReadAll(sv_[0], 4), "501 Syntax error in parameters.\r\n");
    EXPECT_GE(time(nullptr) - start, 1);
    EXPECT_EQ(gType, 'I');
}

TEST_F(ShellSession, AnIdleLoggedInUserIsDisconnectedWithTheIdleTimeout)
{
    gIdleTimeout = 2;
    DidSomethingUseful();
    int err;
    const pid_t pid = RunCycle(&err);
    EXPECT_EQ(ReadAll(sv_[0], 10, true), "421 Disconnecting you since you were inactive for 2 seconds.\r\n");
    Reap(pid);
    close(err);
}

TEST_F(ShellSession, NoopAfterLoginReportsTheTimeToTheDeadlineAndKeepsIt)
{
    gIdleTimeout = 300;
    gSessionTimeLimit = time(nullptr) + 210;   // 90 seconds after the login
    int err;
    const pid_t pid = RunCycle(&err);
    const std::regex report("200 No-op okay\\. Your session will timeout in 3 minutes and (29|30) seconds\\.\r\n");
    Send(sv_[0], "NOOP\r\n");
    EXPECT_TRUE(std::regex_match(ReadAll(sv_[0], 5), report));
    Send(sv_[0], "noop\r\n");
    EXPECT_TRUE(std::regex_match(ReadAll(sv_[0], 5), report));
    Send(sv_[0], "QUIT\r\n");
    EXPECT_EQ(ReadAll(sv_[0], 5, true), "221 Goodbye.\r\n");
    Reap(pid);
    close(err);
}

TEST_F(ShellSession, ARemoteLoggedInClientIsThrottled)
{
    gCmdThrottle = 2;
    gClientIsLocal = 0;
    gTraceLogging = 1;
    gSessionTimeLimit = time(nullptr) + 120;
    int err;
    const pid_t pid = RunCycle(&err);
    // Three commands at once: at least two of them share a 4-second window.
    Send(sv_[0], "SYST\r\nSYST\r\nSYST\r\nQUIT\r\n");
    const std::string replies = ReadAll(sv_[0], 15, true);
    EXPECT_NE(replies.find("221 Goodbye.\r\n"), std::string::npos);
    const std::string log = ReadAll(err, 5, true);
    EXPECT_NE(log.find("Throttle: sleep 3\n"), std::string::npos) << log;
    Reap(pid);
    close(err);
}

TEST_F(ShellSession, AClientOnThisMachineIsNeverThrottled)
{
    gCmdThrottle = 2;
    gClientIsLocal = 1;
    gTraceLogging = 1;
    gSessionTimeLimit = time(nullptr) + 120;
    int err;
    const pid_t pid = RunCycle(&err);
    Send(sv_[0], "SYST\r\nSYST\r\nSYST\r\nQUIT\r\n");
    EXPECT_NE(ReadAll(sv_[0], 15, true).find("221 Goodbye.\r\n"), std::string::npos);
    const std::string log = ReadAll(err, 5, true);
    EXPECT_EQ(log.find("Throttle:"), std::string::npos) << log;
    Reap(pid);
    close(err);
}

TEST_F(ShellSession, AnOverflowByALoggedInUserNamesTheUser)
{
    snprintf(gRUserPtr->user, sizeof(gRUserPtr->user), "%s", "alice");
    int err;
    gSessionTimeLimit = time(nullptr) + 120;
    const pid_t pid = RunCycle(&err);
    std::string line = "NOOP " + std::string(728, 'x') + "\n";
    Send(sv_[0], line.c_str());
    EXPECT_EQ(ReadAll(sv_[0], 10, true),
              "550 Your anti-social behavior has been logged.  You will now be disconnected.\r\n");
    EXPECT_NE(ReadAll(err, 5, true).find("Buffer-overflow attempt by user logged in as \"alice\""), std::string::npos);
    Reap(pid);
    close(err);
}
