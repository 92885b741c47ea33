// Open, look-up, insertion, replacement, deletion and their argument checks.
#include "ormel_test_util.h"

#include <fcntl.h>

#include <cerrno>

using OrmelOpen = OrmelTest;
using OrmelOps = OrmelTest;

TEST_F(OrmelOpen, AMisalignedHandleIsRefused)
{
    alignas(8) unsigned char space[sizeof(OrmelHandle) + 8];
    auto *h = reinterpret_cast<OrmelHandle *>(space + 4);
    EXPECT_EQ(Ormel_Open(h, path_.c_str(), 0x41, 0, 0), kOrmelErrMisaligned);
    EXPECT_EQ(Ormel_Open(nullptr, path_.c_str(), 0x41, 0, 0), kOrmelErrCorrupt);
    EXPECT_EQ(access(path_.c_str(), F_OK), -1);
}

TEST_F(OrmelOpen, AMissingFileFailsUnlessCreateIsAsked)
{
    errno = 0;
    EXPECT_EQ(Ormel_Open(&h_, path_.c_str(), 0, 0, 0), kOrmelErrOpen);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(Ormel_Open(&h_, path_.c_str(), kOrmelReadWrite, 0, 0), kOrmelErrOpen);
    EXPECT_EQ(Ormel_Open(&h_, path_.c_str(), kOrmelCreate, 0, 0), kOrmelErrOpen);   // read-only never creates
    EXPECT_EQ(Ormel_Open(&h_, path_.c_str(), kOrmelReadWrite | kOrmelCreate, 0, 0), 0);
}

TEST_F(OrmelOpen, ReadOnlyWithRemoveIsAMiscError)
{
    Create(3);
    Ormel_Close(&h_);
    EXPECT_EQ(Ormel_Open(&h_, path_.c_str(), kOrmelRemove, 0, 0), kOrmelErrMisc);
    EXPECT_EQ(FileSize(), 36);
}

TEST_F(OrmelOpen, RemoveStartsAFreshDatabase)
{
    Create(3);
    ASSERT_EQ(Insert("k", "v"), 0);
    Ormel_Close(&h_);
    ASSERT_EQ(Ormel_Open(&h_, path_.c_str(), kOrmelWrite | kOrmelCreate | kOrmelRemove, 0, 0), 0);
    EXPECT_EQ(h_.nBuckets, 8191u);
    EXPECT_EQ(Get("k"), "<-8>");
    Ormel_Close(&h_);
    EXPECT_EQ(FileSize(), 32788);
}

TEST_F(OrmelOpen, AnExistingFileKeepsItsBucketCount)
{
    Create(5);
    Ormel_Close(&h_);
    ASSERT_EQ(Ormel_Open(&h_, path_.c_str(), 0, 0, 8191), 0);
    EXPECT_EQ(h_.nBuckets, 5u);
    EXPECT_EQ(h_.tableOffset, 20u);
    EXPECT_EQ(h_.firstRecordOffset, 44u);
}

struct ForeignCase {
    uint32_t firstWord;
    int code;
};

class OrmelForeign : public OrmelTest, public ::testing::WithParamInterface<ForeignCase> {};

TEST_P(OrmelForeign, ForeignFormatsAreNamed)
{
    Bytes b;
    PutWord(b, GetParam().firstWord);
    b.resize(4096, 0x5A);
    WriteFile(b);
    EXPECT_EQ(Ormel_Open(&h_, path_.c_str(), 0, 0, 0), GetParam().code);
    EXPECT_EQ(Ormel_Open(&h_, path_.c_str(), kOrmelReadWrite | kOrmelCreate, 0, 0), GetParam().code);
    EXPECT_EQ(h_.fd, 0);   // closed and cleared
    EXPECT_EQ(FileBytes(), b);
}

INSTANTIATE_TEST_SUITE_P(Magics, OrmelForeign,
                         ::testing::Values(ForeignCase{0x00053162, kOrmelErrBerkeleyDb},
                                           ForeignCase{0x00061561, kOrmelErrBerkeleyDb},
                                           ForeignCase{0x61160600, kOrmelErrBerkeleyDb},
                                           ForeignCase{0x62310500, kOrmelErrBerkeleyDb},
                                           ForeignCase{0x13579ACE, kOrmelErrGdbm},
                                           ForeignCase{0xCE9A5713, kOrmelErrGdbm},
                                           ForeignCase{0x4D424447, kOrmelErrGdbm},   // "GDBM"
                                           ForeignCase{0x12345678, kOrmelErrNotOrmel}));

TEST_F(OrmelOpen, ShortOrDamagedHeadersAreNotDatabases)
{
    WriteFile({});
    EXPECT_EQ(Ormel_Open(&h_, path_.c_str(), kOrmelReadWrite | kOrmelCreate, 0, 0), kOrmelErrNotOrmel);
    Bytes b = EmptyImage(3);
    WriteFile(Bytes(b.begin(), b.begin() + 19));
    EXPECT_EQ(Ormel_Open(&h_, path_.c_str(), 0, 0, 0), kOrmelErrNotOrmel);
    SetWord(b, 16, 0);   // no buckets at all
    WriteFile(b);
    EXPECT_EQ(Ormel_Open(&h_, path_.c_str(), 0, 0, 0), kOrmelErrNotOrmel);
    SetWord(b, 16, 0x7FFFFFFF);   // a table beyond 2 GiB
    WriteFile(b);
    EXPECT_EQ(Ormel_Open(&h_, path_.c_str(), 0, 0, 0), kOrmelErrNotOrmel);
}

TEST_F(OrmelOpen, VerifyRereadsTheHeader)
{
    Create(3);
    EXPECT_EQ(Ormel_VerifyDatabaseHeader(&h_, 1), 0);
    EXPECT_EQ(h_.nBuckets, 3u);
    int fd = open(path_.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "GDBM", 4, 0), 4);
    close(fd);
    EXPECT_EQ(Ormel_VerifyDatabaseHeader(&h_, 1), kOrmelErrGdbm);
    OrmelHandle closed = {};
    EXPECT_EQ(Ormel_VerifyDatabaseHeader(&closed, 1), kOrmelErrCorrupt);
}

TEST_F(OrmelOpen, CloseClearsTheHandleAndEveryCallOnAClosedHandleIsRefused)
{
    Create(3);
    ASSERT_EQ(Insert("k", "v"), 0);
    EXPECT_EQ(Ormel_Close(&h_), 0);
    OrmelHandle zero = {};
    EXPECT_EQ(memcmp(&h_, &zero, sizeof(zero)), 0);
    EXPECT_EQ(Ormel_Close(&h_), kOrmelErrCorrupt);
    OrmelDatum d;
    OrmelCursor c;
    EXPECT_EQ(Ormel_Query(&h_, "k", 1, &d), kOrmelErrCorrupt);
    EXPECT_EQ(Ormel_Exists(&h_, "k", 1), kOrmelErrCorrupt);
    EXPECT_EQ(Ormel_Insert(&h_, "k", 1, "v", 1, 0), kOrmelErrCorrupt);
    EXPECT_EQ(Ormel_Delete(&h_, "k", 1), kOrmelErrCorrupt);
    EXPECT_EQ(Ormel_FirstKey(&h_, nullptr, nullptr, &c), kOrmelErrCorrupt);
    EXPECT_EQ(Ormel_NextKey(&h_, nullptr, nullptr, &c), kOrmelErrCorrupt);
    EXPECT_EQ(Ormel_EmptyDatabase(&h_, 1), kOrmelErrCorrupt);
    EXPECT_EQ(Ormel_ExclusiveLock(&h_, 2), kOrmelErrCorrupt);
    EXPECT_EQ(Ormel_LockInt(&h_, 2, 20), kOrmelErrCorrupt);
    EXPECT_EQ(Ormel_LockFile(&h_, 2), kOrmelErrCorrupt);
    EXPECT_EQ(Ormel_Query(nullptr, nullptr, 0, nullptr), kOrmelErrCorrupt);
    Ormel_SetHashFunction(&h_, OneChainHash);   // ignored
    EXPECT_EQ(h_.hash, nullptr);

    ASSERT_EQ(Ormel_Open(&h_, path_.c_str(), 0, 0, 0), 0);
    EXPECT_EQ(Get("k"), "v");
}

TEST_F(OrmelOps, ArgumentsAreCheckedInOrder)
{
    Create(3);
    OrmelDatum d;
    std::string big(256, 'k');
    EXPECT_EQ(Ormel_Query(&h_, nullptr, 1, &d), kOrmelErrParam);
    EXPECT_EQ(Ormel_Query(&h_, "k", 0, &d), kOrmelErrParam);
    EXPECT_EQ(Ormel_Query(&h_, "k", -1, &d), kOrmelErrParam);
    EXPECT_EQ(Ormel_Query(&h_, "k", 1, nullptr), kOrmelErrParam);
    EXPECT_EQ(Ormel_Query(&h_, big.data(), 256, nullptr), kOrmelErrParam);
    EXPECT_EQ(Ormel_Query(&h_, big.data(), 256, &d), kOrmelErrKeyTooLarge);
    EXPECT_EQ(Ormel_Exists(&h_, big.data(), 256), kOrmelErrKeyTooLarge);
    EXPECT_EQ(Ormel_Delete(&h_, big.data(), 256), kOrmelErrKeyTooLarge);
    EXPECT_EQ(Ormel_Delete(&h_, nullptr, 3), kOrmelErrParam);
    EXPECT_EQ(Ormel_Insert(&h_, "k", 1, nullptr, 1, 0), kOrmelErrParam);
    EXPECT_EQ(Ormel_Insert(&h_, "k", 1, "v", 0, 0), kOrmelErrParam);
    EXPECT_EQ(Ormel_Insert(&h_, big.data(), 256, "v", 0, 0), kOrmelErrParam);
    EXPECT_EQ(Ormel_Insert(&h_, big.data(), 256, "v", 1, 0), kOrmelErrKeyTooLarge);
    std::string huge(32768, 'd');
    EXPECT_EQ(Insert("k", huge), kOrmelErrRecordTooLarge);
    EXPECT_EQ(FileSize(), 36);
}

TEST_F(OrmelOps, TheLargestKeyAndDataGoInAndComeBack)
{
    Create(3);
    std::string key(255, 'K'), data(32767, '\0');
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<char>('a' + i % 26);
    ASSERT_EQ(Insert(key, data), 0);
    EXPECT_EQ(Get(key), data);
    EXPECT_EQ(Ormel_Exists(&h_, key.data(), 255), 0);
    EXPECT_EQ(FileSize(), 36 + 8 + 255 + 32767);
}

TEST_F(OrmelOps, InsertingAnExistingKeyWithoutReplaceIsRefused)
{
    Create(3);
    ASSERT_EQ(Insert("bob", "one"), 0);
    EXPECT_EQ(Insert("bob", "two"), kOrmelErrExists);
    EXPECT_EQ(Insert("bob", "two", 2), kOrmelErrExists);   // only 1 means replace
    EXPECT_EQ(Insert("bob", std::string(40000, 'x')), kOrmelErrExists);
    EXPECT_EQ(Get("bob"), "one");
    EXPECT_EQ(Ormel_Exists(&h_, "bob", 3), 0);
    EXPECT_EQ(Ormel_Exists(&h_, "bo", 2), kOrmelErrNotFound);
}

TEST_F(OrmelOps, APrefixKeyInTheSameChainIsADifferentKey)
{
    for (bool shortFirst : {true, false}) {
        Create(7);
        Ormel_SetHashFunction(&h_, OneChainHash);
        if (shortFirst) {
            ASSERT_EQ(Insert("ab", "short"), 0);
            EXPECT_EQ(Get("abc"), "<-8>");
            ASSERT_EQ(Insert("abc", "long"), 0);
        } else {
            ASSERT_EQ(Insert("abc", "long"), 0);
            EXPECT_EQ(Get("ab"), "<-8>");
            ASSERT_EQ(Insert("ab", "short"), 0);
        }
        EXPECT_EQ(Get("ab"), "short");
        EXPECT_EQ(Get("abc"), "long");
        EXPECT_EQ(Ormel_Delete(&h_, "ab", 2), 0);
        EXPECT_EQ(Get("abc"), "long");
        EXPECT_EQ(Get("ab"), "<-8>");
        Ormel_Close(&h_);
        ASSERT_EQ(unlink(path_.c_str()), 0);
    }
}

TEST_F(OrmelOps, AReplacementIsAppendedAndTakesTheOldRecordsPlaceInItsChain)
{
    Create(3);
    Ormel_SetHashFunction(&h_, OneChainHash);
    ASSERT_EQ(Insert("a", "1"), 0);
    ASSERT_EQ(Insert("b", "2"), 0);
    ASSERT_EQ(Insert("c", "3"), 0);
    const uint32_t a = 36, b = a + 25, c = b + 25, newB = c + 25, newC = newB + 25, newA = newC + 28;
    ASSERT_EQ(Insert("b", "x", 1), 0);      // a middle record, equal length
    ASSERT_EQ(Insert("c", "3333", 1), 0);   // the last one, longer
    ASSERT_EQ(Insert("a", "9", 1), 0);      // the first one
    EXPECT_EQ(Get("a"), "9");
    EXPECT_EQ(Get("b"), "x");
    EXPECT_EQ(Get("c"), "3333");
    Ormel_Close(&h_);

    Bytes want = EmptyImage(3);
    SetWord(want, 20, newA);
    for (const Bytes &r : {RecordImage(newB, "a", "1"), RecordImage(c, "b", "2"), RecordImage(0, "c", "3"),
                           RecordImage(newC, "b", "x"), RecordImage(0, "c", "3333"), RecordImage(newB, "a", "9")})
        want.insert(want.end(), r.begin(), r.end());
    EXPECT_EQ(FileBytes(), want);   // the old records are dead bytes; the chain keeps its order
}

TEST_F(OrmelOps, ReplacingWithTooLargeDataKeepsTheOldRecord)
{
    Create(3);
    ASSERT_EQ(Insert("bob", "one"), 0);
    off_t size = FileSize();
    EXPECT_EQ(Insert("bob", std::string(32768, 'x'), 1), kOrmelErrRecordTooLarge);
    EXPECT_EQ(Get("bob"), "one");
    EXPECT_EQ(FileSize(), size);
}

TEST_F(OrmelOps, DeletingTheFirstRecordOfAChainRewritesTheSlot)
{
    Create(3);
    Ormel_SetHashFunction(&h_, OneChainHash);
    ASSERT_EQ(Insert("a", "1"), 0);
    ASSERT_EQ(Insert("b", "2"), 0);
    off_t size = FileSize();
    ASSERT_EQ(Ormel_Delete(&h_, "a", 1), 0);
    EXPECT_EQ(Word(20), 36u + 25);
    EXPECT_EQ(FileSize(), size);
    EXPECT_EQ(Get("a"), "<-8>");
    EXPECT_EQ(Get("b"), "2");
    EXPECT_EQ(Ormel_Delete(&h_, "a", 1), kOrmelErrNotFound);
    ASSERT_EQ(Ormel_Delete(&h_, "b", 1), 0);
    EXPECT_EQ(Word(20), 0u);
    EXPECT_EQ(Get("b"), "<-8>");
}

TEST_F(OrmelOps, DeletingAMiddleRecordRewritesItsPredecessor)
{
    Create(3);
    Ormel_SetHashFunction(&h_, OneChainHash);
    ASSERT_EQ(Insert("a", "1"), 0);
    ASSERT_EQ(Insert("b", "2"), 0);
    ASSERT_EQ(Insert("c", "3"), 0);
    Bytes before = FileBytes();
    ASSERT_EQ(Ormel_Delete(&h_, "b", 1), 0);
    Bytes after = FileBytes();
    SetWord(before, 36, 36 + 50);   // only a's next changes
    EXPECT_EQ(after, before);
    EXPECT_EQ(Get("c"), "3");
    // A deleted key can be inserted again; it goes to the end of the file.
    ASSERT_EQ(Insert("b", "new"), 0);
    EXPECT_EQ(Get("b"), "new");
    EXPECT_EQ(Word(36 + 50), 36u + 75);
}

TEST_F(OrmelOps, DataLongerThanTheRecordBufferIsReadInFull)
{
    Create(3);
    Ormel_SetHashFunction(&h_, OneChainHash);
    std::string d1(600, 'p'), d2(511, 'q');
    d1[599] = 'E';
    ASSERT_EQ(Insert("first", d1), 0);
    ASSERT_EQ(Insert(std::string(100, 'L'), d2), 0);
    EXPECT_EQ(Get("first"), d1);
    EXPECT_EQ(Get(std::string(100, 'L')), d2);
}

TEST_F(OrmelOps, EmptyDatabaseForgetsEveryRecordButKeepsTheBytes)
{
    Create(3);
    ASSERT_EQ(Insert("a", "1"), 0);
    ASSERT_EQ(Insert("b", "2"), 0);
    off_t size = FileSize();
    ASSERT_EQ(Ormel_EmptyDatabase(&h_, 1), 0);
    EXPECT_EQ(FileSize(), size);
    EXPECT_EQ(Get("a"), "<-8>");
    OrmelCursor c;
    EXPECT_EQ(Ormel_FirstKey(&h_, nullptr, nullptr, &c), kOrmelErrNoMoreRecords);
    ASSERT_EQ(Insert("a", "again"), 0);
    EXPECT_EQ(Get("a"), "again");
    EXPECT_EQ(FileSize(), size + 29);
}

TEST_F(OrmelOps, AReadOnlyHandleCannotWrite)
{
    Create(3);
    ASSERT_EQ(Insert("a", "1"), 0);
    Ormel_Close(&h_);
    Bytes before = FileBytes();
    ASSERT_EQ(Ormel_Open(&h_, path_.c_str(), 0, 0, 0), 0);
    EXPECT_LT(Insert("b", "2"), 0);
    EXPECT_LT(Ormel_Delete(&h_, "a", 1), 0);
    EXPECT_EQ(Get("a"), "1");
    EXPECT_EQ(Ormel_Close(&h_), 0);
    EXPECT_EQ(FileBytes(), before);
}

TEST_F(OrmelOps, AReplacedHashFunctionPicksTheBucket)
{
    Create(5);
    Ormel_SetHashFunction(&h_, FirstByteHash);
    ASSERT_EQ(Insert("b", "x"), 0);   // 98 % 5 = 3
    EXPECT_EQ(Word(20 + 4 * 3), 44u);
    Ormel_SetHashFunction(&h_, nullptr);   // back to the default
    EXPECT_EQ(h_.hash, &Ormel_SpreadHashFunction);
}

TEST(OrmelErrors, TextsAndOutOfRangeCodes)
{
    EXPECT_STREQ(Ormel_Strerror(0), "no error");
    EXPECT_STREQ(Ormel_Strerror(-4), "this is not a Ormel database");
    EXPECT_STREQ(Ormel_Strerror(-8), "Item not found");
    EXPECT_STREQ(Ormel_Strerror(-9), "key field already exists");
    EXPECT_STREQ(Ormel_Strerror(-15), "could not acquire file lock");
    EXPECT_STREQ(Ormel_Strerror(-18), "cannot use GDBM databases");
    EXPECT_STREQ(Ormel_Strerror(-19), "misaligned structure");
    EXPECT_STREQ(Ormel_Strerror(5), "misc error");
    EXPECT_STREQ(Ormel_Strerror(-20), "misc error");
    EXPECT_STREQ(Ormel_Strerror(-2147483647 - 1), "misc error");
    for (int i = 0; i < kOrmelNumErrors; i++)
        EXPECT_EQ(Ormel_Strerror(-i), gOrmelErrors[i]);
}
