// Where records lie: new keys by the spread hash, and files whose records
// were placed by the classic hash still read and changed in place.
#include "ormel_test_util.h"

#include <algorithm>
#include <cstdio>
#include <map>

using OrmelPlacement = OrmelTest;

namespace {

// The keys of one chain, read straight from the bytes of a file.
std::vector<std::string> ChainKeys(const Bytes &b, uint32_t bucket)
{
    auto word = [&](uint32_t off) {
        uint32_t v;
        memcpy(&v, b.data() + off, 4);
        return v;
    };
    std::vector<std::string> keys;
    for (uint32_t off = word(20 + 4 * bucket); off != 0 && keys.size() <= b.size(); off = word(off)) {
        uint16_t keyLen;
        memcpy(&keyLen, b.data() + off + 6, 2);
        keys.emplace_back(reinterpret_cast<const char *>(b.data()) + off + 8, keyLen);
    }
    return keys;
}

uint32_t Classic(const std::string &key, uint32_t n) { return Ormel_DefaultHashFunction(key.data(), int(key.size())) % n; }
uint32_t Spread(const std::string &key, uint32_t n) { return Ormel_SpreadHashFunction(key.data(), int(key.size())) % n; }

} // namespace

// An import of numbered users ("user000001", ...) once walked chains of
// hundreds of records for every insertion: the classic hash gives such names
// a few hundred values in all.
TEST_F(OrmelPlacement, NumberedNamesSpreadOverTheWholeTable)
{
    constexpr uint32_t kBuckets = 8191;
    constexpr int kUsers = 20000;
    Create(kBuckets);
    for (int i = 1; i <= kUsers; i++) {
        char name[16];
        snprintf(name, sizeof name, "user%06d", i);
        ASSERT_EQ(Insert(name, "x"), 0) << name;
    }
    ASSERT_EQ(Ormel_Close(&h_), 0);
    const Bytes b = FileBytes();
    std::vector<size_t> lengths;
    for (uint32_t k = 0; k < kBuckets; k++)
        lengths.push_back(ChainKeys(b, k).size());
    const auto used = std::count_if(lengths.begin(), lengths.end(), [](size_t n) { return n > 0; });
    EXPECT_GT(used, 7000);                                              // of 8191
    EXPECT_LE(*std::max_element(lengths.begin(), lengths.end()), 16u);    // about 2.4 on average
}

// A database written before the spread hash: its records lie in their
// classic buckets, and every operation must still find them there.
TEST_F(OrmelPlacement, AFileOfTheClassicPlacementIsReadReplacedAndDeletedInPlace)
{
    constexpr uint32_t kBuckets = 5;
    const std::vector<std::string> keys = {"alice", "bob", "carol"};
    Bytes image = EmptyImage(kBuckets);
    std::map<uint32_t, uint32_t> lastOfChain;   // classic bucket -> offset of its last record
    for (const std::string &k : keys) {
        ASSERT_NE(Classic(k, kBuckets), Spread(k, kBuckets)) << k;   // the test needs two different buckets
        const uint32_t off = uint32_t(image.size());
        const uint32_t bucket = Classic(k, kBuckets);
        SetWord(image, lastOfChain.count(bucket) ? lastOfChain[bucket] : 20 + 4 * bucket, off);
        lastOfChain[bucket] = off;
        Bytes r = RecordImage(0, k, "old-" + k);
        image.insert(image.end(), r.begin(), r.end());
    }
    WriteFile(image);

    ASSERT_EQ(Ormel_Open(&h_, path_.c_str(), kOrmelReadWrite, 0, 0), 0);
    for (const std::string &k : keys)
        EXPECT_EQ(Get(k), "old-" + k);
    EXPECT_EQ(Ormel_Exists(&h_, "bob", 3), 0);
    EXPECT_EQ(Insert("alice", "again"), kOrmelErrExists);
    ASSERT_EQ(Insert("alice", "a longer new record", 1), 0);
    EXPECT_EQ(Get("alice"), "a longer new record");
    ASSERT_EQ(Ormel_Delete(&h_, "bob", 3), 0);
    EXPECT_EQ(Get("bob"), "<-8>");
    EXPECT_EQ(Ormel_Delete(&h_, "bob", 3), kOrmelErrNotFound);
    ASSERT_EQ(Insert("dave", "new"), 0);
    EXPECT_EQ(Get("dave"), "new");
    EXPECT_EQ(Get("carol"), "old-carol");

    // Each key once, and the replacement stayed in alice's classic chain.
    std::map<std::string, int> seen;
    char *key = nullptr;
    OrmelCursor c;
    for (int rc = Ormel_FirstKey(&h_, &key, nullptr, &c); rc == 0; rc = Ormel_NextKey(&h_, &key, nullptr, &c)) {
        seen[key]++;
        free(key);
    }
    EXPECT_EQ(seen, (std::map<std::string, int>{{"alice", 1}, {"carol", 1}, {"dave", 1}}));
    ASSERT_EQ(Ormel_Close(&h_), 0);
    const Bytes b = FileBytes();
    const std::vector<std::string> aliceChain = ChainKeys(b, Classic("alice", kBuckets));
    const std::vector<std::string> daveChain = ChainKeys(b, Spread("dave", kBuckets));
    EXPECT_NE(std::find(aliceChain.begin(), aliceChain.end(), "alice"), aliceChain.end());
    EXPECT_NE(std::find(daveChain.begin(), daveChain.end(), "dave"), daveChain.end());
}
