// The file format, byte for byte.
#include "ormel_test_util.h"

using OrmelFormat = OrmelTest;

TEST_F(OrmelFormat, BucketCountsBelowTwoGiveTheDefaultTableOf32788Bytes)
{
    for (int n : {0, 1, -5}) {
        Create(n);
        EXPECT_EQ(h_.nBuckets, 8191u);
        EXPECT_EQ(Ormel_Close(&h_), 0);
        EXPECT_EQ(FileSize(), 32788);
        EXPECT_EQ(FileBytes(), EmptyImage(8191)) << n;
        ASSERT_EQ(unlink(path_.c_str()), 0);
    }
}

TEST_F(OrmelFormat, ANewDatabaseIsHeaderZeroSlotsAndEndMarker)
{
    Create(3);
    EXPECT_EQ(Ormel_Close(&h_), 0);
    Bytes b = FileBytes();
    ASSERT_EQ(b.size(), 36u);
    EXPECT_EQ(memcmp(b.data(), "_Ormel_\0\0\0\0\0\0\0\0\0", 16), 0);
    EXPECT_EQ(Word(16), 3u);
    EXPECT_EQ(Word(20), 0u);
    EXPECT_EQ(Word(28), 0u);
    EXPECT_EQ(Word(32), 0xFFFFFFFFu);
}

TEST_F(OrmelFormat, RecordsAreAppendedInOrderAndChainedFromTheirSlot)
{
    Create(3);
    Ormel_SetHashFunction(&h_, FirstByteHash);   // 'a' = 97 -> bucket 1, 'c' = 99 -> bucket 0
    ASSERT_EQ(Insert("alice", std::string("pw-alice\0", 9)), 0);
    ASSERT_EQ(Insert("carol", "pw-carol"), 0);
    ASSERT_EQ(Insert("anna", "x"), 0);
    EXPECT_EQ(Ormel_Close(&h_), 0);

    Bytes want = EmptyImage(3);
    uint32_t alice = 36, carol = alice + 24 + 9, anna = carol + 24 + 8;
    SetWord(want, 20 + 4 * 1, alice);
    SetWord(want, 20 + 4 * 0, carol);
    Bytes r = RecordImage(anna, "alice", std::string("pw-alice\0", 9));
    want.insert(want.end(), r.begin(), r.end());
    r = RecordImage(0, "carol", "pw-carol");
    want.insert(want.end(), r.begin(), r.end());
    r = RecordImage(0, "anna", "x");
    want.insert(want.end(), r.begin(), r.end());
    EXPECT_EQ(FileBytes(), want);
}

TEST_F(OrmelFormat, A16ByteKeyHasNoTailAndA17ByteKeyStoresOneByteMore)
{
    Create(3);
    std::string k16 = "sixteen-byte-key", k17 = "seventeen-byte-ke";
    ASSERT_EQ(k16.size(), 16u);
    ASSERT_EQ(k17.size(), 17u);
    ASSERT_EQ(Insert(k16, "DATA16"), 0);
    ASSERT_EQ(Insert(k17, "DATA17"), 0);
    EXPECT_EQ(Get(k16), "DATA16");
    EXPECT_EQ(Get(k17), "DATA17");
    EXPECT_EQ(Ormel_Close(&h_), 0);

    Bytes b = FileBytes();
    uint32_t r16 = 36, r17 = r16 + 24 + 6;
    ASSERT_EQ(b.size(), r17 + 25 + 6u);
    EXPECT_EQ(std::string(b.begin() + r16 + 8, b.begin() + r16 + 24), k16);
    EXPECT_EQ(std::string(b.begin() + r16 + 24, b.begin() + r16 + 30), "DATA16");
    EXPECT_EQ(std::string(b.begin() + r17 + 8, b.begin() + r17 + 25), k17);
    EXPECT_EQ(b[r17 + 24], 'e');
    EXPECT_EQ(std::string(b.begin() + r17 + 25, b.end()), "DATA17");
}

TEST_F(OrmelFormat, LongKeysLieContiguouslyFromOffsetEight)
{
    Create(3);
    std::string key(255, 'k');
    key[254] = 'z';
    ASSERT_EQ(Insert(key, "d"), 0);
    EXPECT_EQ(Get(key), "d");
    EXPECT_EQ(Ormel_Close(&h_), 0);
    Bytes want = EmptyImage(3);
    SetWord(want, 20 + 4 * (Ormel_SpreadHashFunction(key.data(), 255) % 3), 36);
    Bytes r = RecordImage(0, key, "d");
    want.insert(want.end(), r.begin(), r.end());
    EXPECT_EQ(FileBytes(), want);
}

TEST_F(OrmelFormat, TheDefaultHashDoublesAndAddsEachUnsignedByte)
{
    EXPECT_EQ(Ormel_DefaultHashFunction("a", 1), 97u);
    EXPECT_EQ(Ormel_DefaultHashFunction("ab", 2), 2u * 97 + 98);
    EXPECT_EQ(Ormel_DefaultHashFunction("\xff\x01", 2), 2u * 255 + 1);
    std::string k(40, '\xff');   // wraps modulo 2^32
    uint32_t h = 0;
    for (unsigned char c : k)
        h = 2 * h + c;
    EXPECT_EQ(Ormel_DefaultHashFunction(k.data(), 40), h);
    EXPECT_EQ(Ormel_DefaultHashFunction("x", 0), 0u);
}

TEST_F(OrmelFormat, KeyBytesAfterAZeroByteAreKept)
{
    Create(3);
    std::string k1("ab\0cd", 5), k2("ab\0ce", 5);
    ASSERT_EQ(Insert(k1, "one"), 0);
    ASSERT_EQ(Insert(k2, "two"), 0);
    EXPECT_EQ(Get(k1), "one");
    EXPECT_EQ(Get(k2), "two");
    EXPECT_EQ(Insert(k1, "again"), kOrmelErrExists);
}
