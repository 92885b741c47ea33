// Installing and removing the library's signal handlers, and its clock.
#include "sio_test_util.h"

namespace {

void Custom(int) {}
void Other(int) {}

// Puts SIGALRM and SIGPIPE back to their defaults whatever a test did.
class SioSignals : public ::testing::Test {
  protected:
    void TearDown() override
    {
        SIORestoreSignals();
        signal(SIGALRM, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
    }
};

TEST_F(SioSignals, InitInstallsOnceAndRestoreBringsBackThePrevious)
{
    signal(SIGPIPE, Custom);
    SIOInitSignals();
    EXPECT_EQ(gSioSignalsSet, 1);
    EXPECT_EQ(CurrentHandler(SIGALRM), SIOHandler);
    EXPECT_EQ(CurrentHandler(SIGPIPE), SIOHandler);
    SIOInitSignals();  // must not save the library's own handler as the previous one
    SIORestoreSignals();
    EXPECT_EQ(gSioSignalsSet, 0);
    EXPECT_EQ(CurrentHandler(SIGALRM), SIG_DFL);
    EXPECT_EQ(CurrentHandler(SIGPIPE), Custom);
    SIORestoreSignals();  // a second restore does nothing
    EXPECT_EQ(CurrentHandler(SIGPIPE), Custom);
}

TEST_F(SioSignals, ResetReinstallsAfterOtherCodeReplacedTheHandlers)
{
    signal(SIGPIPE, Custom);
    SIOInitSignals();
    signal(SIGALRM, Other);
    signal(SIGPIPE, Other);
    SIOResetSignals();
    EXPECT_EQ(CurrentHandler(SIGALRM), SIOHandler);
    EXPECT_EQ(CurrentHandler(SIGPIPE), SIOHandler);
    SIORestoreSignals();
    EXPECT_EQ(CurrentHandler(SIGPIPE), Custom);

    SIOResetSignals();  // without Init: saves what is there now
    EXPECT_EQ(gSioSignalsSet, 1);
    SIORestoreSignals();
    EXPECT_EQ(CurrentHandler(SIGPIPE), Custom);
}

TEST_F(SioSignals, ASignalOutsideACallIsSwallowed)
{
    SIOInitSignals();
    raise(SIGALRM);
    raise(SIGPIPE);
    EXPECT_EQ(gSioGotSig, 0);
    EXPECT_EQ(gSioCanJmp, 0);
}

TEST_F(SioSignals, SSignalInterruptsOnlyWithSigalrm)
{
    struct sigaction sa {};
    EXPECT_EQ(SSignal(SIGALRM, Custom), SIG_DFL);
    sigaction(SIGALRM, nullptr, &sa);
    EXPECT_EQ(sa.sa_flags & SA_RESTART, 0);
    EXPECT_EQ(SSignal(SIGPIPE, Custom), SIG_DFL);
    sigaction(SIGPIPE, nullptr, &sa);
    EXPECT_NE(sa.sa_flags & SA_RESTART, 0);
    EXPECT_EQ(SSignal(SIGPIPE, SIG_DFL), Custom);
    EXPECT_EQ(SSignal(-1, Custom), SIG_ERR);
}

time_t FixedClock(time_t *tp)
{
    if (tp != nullptr)
        *tp = 12345;
    return 12345;
}

TEST(SIOTime, UsesTheClockProcWhenSet)
{
    gSIOTimeProc = FixedClock;
    time_t t = 0;
    EXPECT_EQ(SIOTime(&t), 12345);
    EXPECT_EQ(t, 12345);
    gSIOTimeProc = nullptr;
    EXPECT_GT(SIOTime(nullptr), 12345);
}

}  // namespace
