// Select sets.
#include "sio_test_util.h"

#include <sys/resource.h>

namespace {

TEST(SelectSet, InitSplitsTheLimitIntoSecondsAndMicroseconds)
{
    SelectSet ss;
    SelectSetInit(&ss, 2.25);
    EXPECT_EQ(ss.timeout.tv_sec, 2);
    EXPECT_EQ(ss.timeout.tv_usec, 250000);
    EXPECT_EQ(ss.maxfd, 0);
    EXPECT_EQ(ss.numfds, 0);
    SelectSetInit(&ss, -1.0);
    EXPECT_EQ(ss.timeout.tv_sec, 0);
    EXPECT_EQ(ss.timeout.tv_usec, 0);
}

TEST(SelectSet, AddCountsEveryAdditionAndRemoveOnlyMembers)
{
    SelectSet ss;
    SelectSetInit(&ss, 0);
    SelectSetAdd(&ss, 5);
    SelectSetAdd(&ss, 3);
    SelectSetAdd(&ss, 5);
    SelectSetAdd(&ss, -1);
    SelectSetAdd(&ss, kSioSelectSetBits);
    EXPECT_EQ(ss.maxfd, 6);
    EXPECT_EQ(ss.numfds, 3);
    EXPECT_TRUE(SelectSetIsSet(&ss, 5));
    EXPECT_TRUE(SelectSetIsSet(&ss, 3));
    EXPECT_FALSE(SelectSetIsSet(&ss, 4));

    SelectSetRemove(&ss, 4);
    SelectSetRemove(&ss, -1);
    EXPECT_EQ(ss.numfds, 3);
    SelectSetRemove(&ss, 5);
    EXPECT_FALSE(SelectSetIsSet(&ss, 5));
    EXPECT_EQ(ss.numfds, 2);
    EXPECT_EQ(ss.maxfd, 6);
    SelectSetRemove(&ss, 5);
    EXPECT_EQ(ss.numfds, 2);
}

TEST(SelectSet, ReadyDescriptorsAreTheBitsLeftInTheCopy)
{
    SocketPair one;
    SocketPair two;
    SelectSet ss;
    SelectSet work;
    SelectSetInit(&ss, 0.2);
    SelectSetAdd(&ss, one.a);
    SelectSetAdd(&ss, two.a);
    EXPECT_EQ(SelectR(&ss, &work), 0);

    ASSERT_EQ(write(two.b, "x", 1), 1);
    EXPECT_EQ(SelectR(&ss, &work), 1);
    EXPECT_FALSE(SelectSetIsSet(&work, one.a));
    EXPECT_TRUE(SelectSetIsSet(&work, two.a));
    EXPECT_TRUE(SelectSetIsSet(&ss, one.a));

    EXPECT_EQ(SelectW(&ss, &work), 2);
    FillUp(one.a);
    EXPECT_EQ(SelectW(&ss, &work), 1);
    EXPECT_TRUE(SelectSetIsSet(&work, two.a));
}

// Beyond the C library's 1,024-bit fd_set.
TEST(SelectSet, WaitsForAHighDescriptor)
{
    struct rlimit rl {};
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur <= 4000)
        GTEST_SKIP() << "descriptor limit too low";
    SocketPair sp;
    Fd high(dup2(sp.a, 4000));
    ASSERT_EQ(high.get(), 4000);
    ASSERT_EQ(write(sp.b, "x", 1), 1);
    SelectSet ss;
    SelectSet work;
    SelectSetInit(&ss, 1);
    SelectSetAdd(&ss, high);
    EXPECT_EQ(SelectR(&ss, &work), 1);
    EXPECT_TRUE(SelectSetIsSet(&work, 4000));
}

}  // namespace
