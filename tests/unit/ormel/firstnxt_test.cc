// Enumeration with Ormel_FirstKey / Ormel_NextKey.
#include "ormel_test_util.h"

#include <map>
#include <utility>

using OrmelEnum = OrmelTest;

namespace {

// All records in enumeration order, or the failing code as the last key.
std::vector<std::pair<std::string, std::string>> Enumerate(OrmelHandle *h, OrmelCursor *c)
{
    std::vector<std::pair<std::string, std::string>> out;
    char *key;
    OrmelDatum data;
    for (int rc = Ormel_FirstKey(h, &key, &data, c); rc != kOrmelErrNoMoreRecords;
         rc = Ormel_NextKey(h, &key, &data, c)) {
        if (rc != 0) {
            out.emplace_back("<" + std::to_string(rc) + ">", "");
            break;
        }
        EXPECT_EQ(data.data[data.len], '\0');
        out.emplace_back(key, std::string(data.data, data.len));
        free(key);
        free(data.data);
    }
    return out;
}

} // namespace

TEST_F(OrmelEnum, AnEmptyDatabaseEndsAtOnce)
{
    Create(0);
    OrmelCursor c;
    char *key = reinterpret_cast<char *>(1);
    OrmelDatum d = {reinterpret_cast<char *>(1), 7};
    EXPECT_EQ(Ormel_FirstKey(&h_, &key, &d, &c), kOrmelErrNoMoreRecords);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(d.data, nullptr);
    EXPECT_EQ(Ormel_NextKey(&h_, &key, &d, &c), kOrmelErrNoMoreRecords);
    EXPECT_EQ(Ormel_FirstKey(&h_, nullptr, nullptr, nullptr), kOrmelErrParam);
}

TEST_F(OrmelEnum, RecordsComeInBucketOrderThenChainOrder)
{
    Create(5);
    Ormel_SetHashFunction(&h_, FirstByteHash);
    ASSERT_EQ(Insert("fa", "in 2, first"), 0);    // 102 % 5 = 2
    ASSERT_EQ(Insert("bz", "in 3"), 0);           // 98 % 5 = 3
    ASSERT_EQ(Insert("ab", "in 2, second"), 0);   // 97 % 5 = 2
    ASSERT_EQ(Insert("ek", "in 1"), 0);           // 101 % 5 = 1
    ASSERT_EQ(Insert("x", "in 0"), 0);            // 120 % 5 = 0
    OrmelCursor c;
    auto all = Enumerate(&h_, &c);
    std::vector<std::pair<std::string, std::string>> want = {
        {"x", "in 0"}, {"ek", "in 1"}, {"fa", "in 2, first"}, {"ab", "in 2, second"}, {"bz", "in 3"}};
    EXPECT_EQ(all, want);
    EXPECT_EQ(c.nReturned, 5u);
    EXPECT_EQ(Ormel_NextKey(&h_, nullptr, nullptr, &c), kOrmelErrNoMoreRecords);
}

TEST_F(OrmelEnum, EveryLiveRecordComesExactlyOnce)
{
    Create(7);
    std::map<std::string, std::string> live;
    for (int i = 0; i < 500; i++) {
        std::string k = "user" + std::to_string(i);
        std::string d = k + ":" + std::string(i % 700, 'd');   // some beyond one buffer
        ASSERT_EQ(Insert(k, d), 0);
        live[k] = d;
    }
    for (int i = 0; i < 500; i += 3) {
        std::string k = "user" + std::to_string(i);
        ASSERT_EQ(Ormel_Delete(&h_, k.data(), static_cast<int>(k.size())), 0);
        live.erase(k);
    }
    for (int i = 1; i < 500; i += 7) {
        std::string k = "user" + std::to_string(i);
        std::string d = "replaced-" + std::to_string(i) + std::string(i % 5 ? 1 : 900, 'r');
        ASSERT_EQ(Insert(k, d, 1), 0);
        live[k] = d;
    }
    OrmelCursor c;
    auto all = Enumerate(&h_, &c);
    std::map<std::string, std::string> seen;
    for (auto &[k, d] : all)
        EXPECT_TRUE(seen.emplace(k, d).second) << "twice: " << k;
    EXPECT_EQ(seen, live);
}

TEST_F(OrmelEnum, KeysAndDataMayBeLeftOut)
{
    Create(3);
    std::string longKey(40, 'L');
    ASSERT_EQ(Insert(longKey, "d1"), 0);
    ASSERT_EQ(Insert("s", "d2"), 0);
    OrmelCursor c;
    int n = 0;
    char *key;
    for (int rc = Ormel_FirstKey(&h_, nullptr, nullptr, &c); rc == 0; rc = Ormel_NextKey(&h_, nullptr, nullptr, &c))
        n++;
    EXPECT_EQ(n, 2);
    ASSERT_EQ(Ormel_FirstKey(&h_, &key, nullptr, &c), 0);
    EXPECT_TRUE(std::string(key) == longKey || std::string(key) == "s");
    free(key);
}

TEST_F(OrmelEnum, ACycleInADamagedChainEndsInAReadError)
{
    // Replacements link back to older records, so only the record count
    // that fits into the file can stop a walk around a cycle.
    Bytes b = EmptyImage(1);
    SetWord(b, 20, 28);
    Bytes r = RecordImage(28, "a", "1");   // its own successor
    b.insert(b.end(), r.begin(), r.end());
    WriteFile(b);
    ASSERT_EQ(Ormel_Open(&h_, path_.c_str(), 0, 0, 0), 0);
    EXPECT_EQ(Get("a"), "1");
    EXPECT_EQ(Get("b"), "<-6>");
    OrmelCursor c;
    auto all = Enumerate(&h_, &c);
    EXPECT_EQ(all.back().first, "<-6>");
}
