// The tray pinger's echo packet, reply matching, ping schedule and tip.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "echo.h"
#include "pingstats.h"

TEST(Checksum, MatchesTheWorkedExampleAndAnOddTrailingByte)
{
    const uint8_t even[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(InternetChecksum(even, sizeof(even)), 0x220d);   // sum 0xddf2
    const uint8_t odd[] = {0xff, 0xff, 0x80};                  // 0xffff + 0x8000 folds to 0x8000
    EXPECT_EQ(InternetChecksum(odd, sizeof(odd)), 0x7fff);
}

TEST(EchoRequest, HasTheWireLayoutAndAVerifyingChecksum)
{
    uint8_t p[kEchoSize];
    memset(p, 0xaa, sizeof(p));
    BuildEchoRequest(p, 0x1234, 0x0102, 0x0a0b0c0d);
    std::vector<uint8_t> expect = {8, 0, 0, 0, 0x12, 0x34, 0x01, 0x02, 0x0d, 0x0c, 0x0b, 0x0a};
    for (int i = 0; i < 24; i++)
        expect.push_back(static_cast<uint8_t>(i));
    std::vector<uint8_t> got(p, p + kEchoSize);
    uint16_t sum = static_cast<uint16_t>(got[2] << 8 | got[3]);
    got[2] = got[3] = 0;
    EXPECT_EQ(got, expect);
    EXPECT_NE(sum, 0);
    // A receiver sums the packet with its checksum in place and gets zero.
    EXPECT_EQ(InternetChecksum(p, kEchoSize), 0);
}

// An echo reply from 127.0.0.1, as a raw socket hands it over (IPv4 header first).
static std::vector<uint8_t> Reply(int headerWords, uint8_t proto, uint8_t lastAddrByte,
                                  uint8_t type, uint16_t id, uint16_t seq, size_t cut = 0)
{
    std::vector<uint8_t> d(headerWords * 4, 0);
    d[0] = static_cast<uint8_t>(0x40 | headerWords);
    d[9] = proto;
    d[12] = 127;
    d[15] = lastAddrByte;
    uint8_t icmp[kEchoSize];
    BuildEchoRequest(icmp, id, seq, 777);
    icmp[0] = type;
    d.insert(d.end(), icmp, icmp + kEchoSize);
    d.resize(d.size() - cut);
    return d;
}

struct ReplyCase {
    const char *name;
    std::vector<uint8_t> datagram;
    bool matches;
};

TEST(EchoReply, OnlyTheAnswerFromTheTargetToThisRequestMatches)
{
    const uint8_t target[4] = {127, 0, 0, 1};
    const ReplyCase cases[] = {
        {"the reply", Reply(5, 1, 1, 0, 0x4321, 7), true},
        {"a reply after IP options", Reply(6, 1, 1, 0, 0x4321, 7), true},
        {"our own request looped back", Reply(5, 1, 1, 8, 0x4321, 7), false},
        {"another protocol", Reply(5, 17, 1, 0, 0x4321, 7), false},
        {"another source", Reply(5, 1, 2, 0, 0x4321, 7), false},
        {"another process", Reply(5, 1, 1, 0, 0x4322, 7), false},
        {"an earlier sequence number", Reply(5, 1, 1, 0, 0x4321, 6), false},
        {"a reply one byte short", Reply(5, 1, 1, 0, 0x4321, 7, 1), false},
    };
    for (const ReplyCase &c : cases) {
        std::vector<uint8_t> d = c.datagram;
        uint32_t sendTime = 0;
        int rc = MatchEchoReply(d.data(), d.size(), target, 0x4321, 7, &sendTime);
        EXPECT_EQ(rc == 0, c.matches) << c.name;
        if (c.matches) {
            EXPECT_EQ(sendTime, 777u) << c.name;
        }
    }
    std::vector<uint8_t> v6 = Reply(5, 1, 1, 0, 0x4321, 7);
    v6[0] = 0x65;
    uint32_t t;
    EXPECT_NE(MatchEchoReply(v6.data(), v6.size(), target, 0x4321, 7, &t), 0);
}

// true = the run is over (socket closed, wait for the period); false = ping at the next tick.
TEST(Schedule, QuickPingsFollowEveryChangeUntilFiveEqualOutcomes)
{
    PingStats s{};
    StartStats(&s, 0);
    const int rtt[] = {1, 1, 1, 1, 1, 1, -1, -1, 1, -1, -1, -1, -1, -1, -1};
    const bool over[] = {false, false, false, false, true, true, false, false, false,
                         false, false, false, false, true, true};
    for (size_t i = 0; i < std::size(rtt); i++) {
        CountRequest(&s, 1000);
        EXPECT_EQ(RecordOutcome(&s, rtt[i]), over[i]) << "ping " << i + 1;
        EXPECT_EQ(s.reachable, rtt[i] >= 0 ? 1 : 0);
    }
}

static std::string Tip(const PingStats &s, const char *host)
{
    char tip[kTipSize];
    FormatTip(tip, s, host);
    return tip;
}

TEST(Tip, ShowsTheWindowsFiguresAndStartsAgainInTheNextWindow)
{
    PingStats s{};
    StartStats(&s, 5);
    EXPECT_EQ(Tip(s, ""), "Vantrel");
    CountRequest(&s, 10);
    (void)RecordOutcome(&s, -1);
    EXPECT_EQ(Tip(s, "10.1.2.3"), "Vantrel:  No response from 10.1.2.3");
    for (int rtt : {40, 2, 3}) {
        CountRequest(&s, 20);
        (void)RecordOutcome(&s, rtt);
    }
    EXPECT_EQ(Tip(s, "10.1.2.3"), "10.1.2.3: min/avg/max =  2 / 15.0 / 40 ms,  25% pl");
    // The next ten-minute window forgets the maximum of 40 and the loss.
    CountRequest(&s, kWindowMs + 1);
    (void)RecordOutcome(&s, 7);
    EXPECT_EQ(Tip(s, "10.1.2.3"), "10.1.2.3: min/avg/max =  7 / 7.0 / 7 ms,  0% pl");
    // The tray holds 63 characters: a long name is cut, never overruns.
    std::string longHost(60, 'h');
    EXPECT_EQ(Tip(s, longHost.c_str()), longHost + ": m");
}
