// Record offsets are kept in 31 bits: a database must never grow past 2 GiB,
// and an insertion that would has to leave the file exactly as it was.  The
// files here are sparse: the gap up to the limit is a hole.
#include "ormel_test_util.h"

#include <fcntl.h>
#include <sys/resource.h>

#include <csignal>

using OrmelLimit = OrmelTest;

namespace {

constexpr off_t kLimit = off_t{1} << 31;

void Extend(const std::string &path, off_t size)
{
    ASSERT_EQ(truncate(path.c_str(), size), 0);
}

// The bytes from 0 to the end of the last real record, which is all a
// failed insertion could have touched before the hole.
Bytes Head(const std::string &path, size_t n)
{
    Bytes b(n);
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_EQ(pread(fd, b.data(), n, 0), static_cast<ssize_t>(n));
    close(fd);
    return b;
}

} // namespace

TEST_F(OrmelLimit, ARecordEndingExactlyAt2GiBFitsAndTheNextOneFails)
{
    Create(3);
    Ormel_SetHashFunction(&h_, FirstByteHash);   // "a", "b" and "c" in chains of their own
    ASSERT_EQ(Insert("a", "first"), 0);
    Extend(path_, kLimit - 100);
    std::string fits(100 - 24, 'f');
    ASSERT_EQ(Insert("b", fits), 0);
    EXPECT_EQ(FileSize(), kLimit);
    EXPECT_EQ(Get("b"), fits);
    EXPECT_EQ(Word(20 + 4 * (FirstByteHash("b", 1) % 3)), static_cast<uint32_t>(kLimit - 100));

    Bytes before = Head(path_, 36 + 29);
    EXPECT_EQ(Insert("c", "x"), kOrmelErrWrite);
    EXPECT_EQ(Insert("a", "x"), kOrmelErrExists);
    EXPECT_EQ(FileSize(), kLimit);
    EXPECT_EQ(Head(path_, 36 + 29), before);
    EXPECT_EQ(Get("c"), "<-8>");
    EXPECT_EQ(Get("a"), "first");
    EXPECT_EQ(Get("b"), fits);
}

TEST_F(OrmelLimit, ARecordThatWouldCrossTheLimitIsNotWrittenAtAll)
{
    Create(3);
    Ormel_SetHashFunction(&h_, OneChainHash);
    ASSERT_EQ(Insert("a", "first"), 0);
    Extend(path_, kLimit - 30);
    Bytes before = Head(path_, 36 + 29);
    EXPECT_EQ(Insert("b", std::string(7, 'x')), kOrmelErrWrite);   // 31 bytes
    EXPECT_EQ(FileSize(), kLimit - 30);
    EXPECT_EQ(Head(path_, 36 + 29), before);
    EXPECT_EQ(Get("b"), "<-8>");
    ASSERT_EQ(Insert("b", std::string(6, 'x')), 0);   // 30 bytes still fit
    EXPECT_EQ(Word(36), static_cast<uint32_t>(kLimit - 30));
}

TEST_F(OrmelLimit, AFailedReplacementLeavesTheOldRecordInItsChain)
{
    Create(3);
    Ormel_SetHashFunction(&h_, OneChainHash);
    ASSERT_EQ(Insert("a", "12345"), 0);
    ASSERT_EQ(Insert("b", "12345"), 0);
    Extend(path_, kLimit - 20);
    Bytes before = Head(path_, 36 + 58);
    for (const char *key : {"a", "b"}) {   // a first and a last record, longer and shorter data
        for (size_t len : {10, 3}) {
            EXPECT_EQ(Insert(key, std::string(len, 'L'), 1), kOrmelErrWrite);
            EXPECT_EQ(Get(key), "12345");
        }
    }
    EXPECT_EQ(FileSize(), kLimit - 20);
    EXPECT_EQ(Head(path_, 36 + 58), before);
}

TEST_F(OrmelLimit, AFileAlreadyBeyondTheLimitTakesNoRecords)
{
    Create(3);
    ASSERT_EQ(Insert("a", "first"), 0);
    Extend(path_, kLimit + 10);
    EXPECT_EQ(Insert("b", "x"), kOrmelErrWrite);
    EXPECT_EQ(FileSize(), kLimit + 10);
    EXPECT_EQ(Get("a"), "first");
    EXPECT_EQ(Ormel_Delete(&h_, "a", 1), 0);
}

TEST_F(OrmelLimit, APartialWriteIsTakenBack)
{
    Create(3);
    ASSERT_EQ(Insert("a", "first"), 0);
    off_t size = FileSize();
    // A file-size limit 10 bytes past the end makes the next record's write short.
    pid_t pid = RunInChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl;
        getrlimit(RLIMIT_FSIZE, &rl);
        rl.rlim_cur = static_cast<rlim_t>(size + 10);
        if (setrlimit(RLIMIT_FSIZE, &rl) != 0)
            return 2;
        return Insert("b", std::string(20, 'x')) == kOrmelErrWrite ? 0 : 1;
    });
    EXPECT_EQ(WaitChild(pid), 0);
    EXPECT_EQ(FileSize(), size);
    EXPECT_EQ(Get("b"), "<-8>");
    ASSERT_EQ(Insert("b", "fits now"), 0);
    EXPECT_EQ(Get("b"), "fits now");
}
