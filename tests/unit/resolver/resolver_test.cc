// The parent's check of what a name look-up helper sent: the helper parses
// answers of the client's own reverse zone, so a helper taken over by those
// bytes may send anything.  Only a whole record that agrees with itself and
// names a host in host-name characters is taken; anything else counts as no
// name at all.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process/resolver.h"

namespace {

constexpr size_t kLongest = 63;       // the pool child's: the slot's room

ReverseName Record(uint32_t verdict, const std::string &name, uint32_t length)
{
    ReverseName r {};
    r.verdict = verdict;
    r.length = length;
    memcpy(r.name, name.data(), std::min(name.size(), sizeof(r.name)));
    return r;
}

ReverseName Record(uint32_t verdict, const std::string &name)
{
    return Record(verdict, name, static_cast<uint32_t>(name.size()));
}

bool Taken(const ReverseName &r, ReverseName *out, size_t n = sizeof(ReverseName), size_t longest = kLongest)
{
    return TakeReverseRecord(&r, n, longest, out);
}

TEST(ReverseRecord, EachVerdictOfAWellFormedRecordIsTaken)
{
    ReverseName out;
    ASSERT_TRUE(Taken(Record(kReverseLeadsBack, "Host-1.example_zone.org"), &out));
    EXPECT_EQ(out.verdict, kReverseLeadsBack);
    EXPECT_STREQ(out.name, "Host-1.example_zone.org");
    ASSERT_TRUE(Taken(Record(kReverseNotBack, "trusted.example"), &out));
    EXPECT_EQ(out.verdict, kReverseNotBack);
    ASSERT_TRUE(Taken(Record(kReverseNone, ""), &out));
    EXPECT_EQ(out.verdict, kReverseNone);

    // Too long for the slot: the length is the whole name's.
    const std::string long78 = std::string(70, 'h') + ".example";
    ASSERT_TRUE(Taken(Record(kReverseTooLong, long78), &out));
    EXPECT_EQ(out.verdict, kReverseTooLong);
    EXPECT_EQ(out.length, 78u);
    EXPECT_EQ(std::string(out.name), long78);

    // A name beyond the record's room comes cut, with its whole length; for
    // the master (no longest) it may still lead back.
    const std::string cut(kReverseNameRoom - 1, 'a');
    ASSERT_TRUE(Taken(Record(kReverseLeadsBack, cut, 1000), &out, sizeof(ReverseName), SIZE_MAX));
    EXPECT_EQ(out.length, 1000u);
    EXPECT_EQ(std::string(out.name), cut);
}

struct Malformed {
    const char *what;
    std::function<void(ReverseName *)> spoil;
    size_t n = sizeof(ReverseName);
};

TEST(ReverseRecord, AMalformedRecordGivesNoName)
{
    const std::vector<Malformed> cases = {
        {"short by one byte", [](ReverseName *) {}, sizeof(ReverseName) - 1},
        {"only the verdict", [](ReverseName *) {}, sizeof(uint32_t)},
        {"nothing", [](ReverseName *) {}, 0},
        {"one byte more", [](ReverseName *) {}, sizeof(ReverseName) + 1},
        {"no NUL in the room", [](ReverseName *r) { memset(r->name, 'a', sizeof(r->name)); }},
        {"unknown verdict", [](ReverseName *r) { r->verdict = 4; }},
        {"verdict of all ones", [](ReverseName *r) { r->verdict = 0xFFFFFFFF; }},
        {"a space", [](ReverseName *r) { r->name[4] = ' '; }},
        {"a slash", [](ReverseName *r) { r->name[4] = '/'; }},
        {"a percent sign", [](ReverseName *r) { r->name[4] = '%'; }},
        {"a line feed", [](ReverseName *r) { r->name[4] = '\n'; }},
        {"an escape", [](ReverseName *r) { r->name[4] = '\x1b'; }},
        {"a byte above 127", [](ReverseName *r) { r->name[4] = '\xc3'; }},
        {"a length longer than the name", [](ReverseName *r) { r->length += 1; }},
        {"a length shorter than the name", [](ReverseName *r) { r->length -= 1; }},
        {"no length", [](ReverseName *r) { r->length = 0; }},
        {"a NUL inside the length", [](ReverseName *r) { r->name[3] = '\0'; }},
        {"no name", [](ReverseName *r) { memset(r->name, 0, sizeof(r->name)); r->length = 0; }},
        {"too long though it fits", [](ReverseName *r) { r->verdict = kReverseTooLong; }},
        {"leads back though too long", [](ReverseName *r) { r->length = 300; memset(r->name, 'a', 255); }},
        {"no name with a length", [](ReverseName *r) { *r = Record(kReverseNone, "", 5); }},
        {"no name with a name", [](ReverseName *r) { r->verdict = kReverseNone; }},
    };
    for (const Malformed &m : cases) {
        ReverseName r = Record(kReverseLeadsBack, "client.example");
        m.spoil(&r);
        ReverseName out;
        memset(&out, 'x', sizeof(out));
        EXPECT_FALSE(Taken(r, &out, m.n)) << m.what;
        EXPECT_EQ(out.verdict, kReverseNone) << m.what;
        EXPECT_EQ(out.length, 0u) << m.what;
        EXPECT_EQ(out.name[0], '\0') << m.what;
    }
}

}  // namespace
