// The frame of an event message as it leaves the UDP channel: the length field
// is always three characters, and a body too long for it is cut, never
// allowed to push the header out of shape.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "events/eventframe.h"
#include "events/events.h"

namespace {

class EventFrameTest : public ::testing::TestWithParam<std::pair<size_t, size_t>> {
  protected:
    void SetUp() override
    {
        // A consumer on a loopback port and the event socket connected to it.
        consumer_ = socket(AF_INET, SOCK_DGRAM, 0);
        const struct timeval limit {5, 0};
        setsockopt(consumer_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        struct sockaddr_in sa {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(consumer_, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)), 0);
        socklen_t len = sizeof(sa);
        ASSERT_EQ(getsockname(consumer_, reinterpret_cast<struct sockaddr *>(&sa), &len), 0);
        gEventSocket = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_EQ(connect(gEventSocket, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)), 0);
        gEventMessageQueueID = -1;
    }
    void TearDown() override
    {
        close(gEventSocket);
        gEventSocket = -1;
        close(consumer_);
    }
    int consumer_ = -1;
};

TEST_P(EventFrameTest, HoldsTheBodyBehindAThreeCharacterLength)
{
    const auto [bodyLen, sentLen] = GetParam();
    const std::string body = std::string(bodyLen - 2, 'x') + "\n\n";
    EventMessageSend('I', "%s", body.c_str());

    char got[2048];
    const ssize_t n = recv(consumer_, got, sizeof(got), 0);
    char header[9];
    snprintf(header, sizeof(header), "STR\n%3zu\n", sentLen);
    const std::string expected = header + body.substr(0, sentLen) + std::string(1, '\0');
    ASSERT_EQ(std::string(got, n > 0 ? static_cast<size_t>(n) : 0), expected);
    EXPECT_EQ(ParseEventFrame(got, static_cast<size_t>(n)).verdict,
              sentLen == bodyLen ? EventFrameVerdict::kOk : EventFrameVerdict::kCut);
}

INSTANTIATE_TEST_SUITE_P(Lengths, EventFrameTest,
                         ::testing::Values(std::pair<size_t, size_t> {5, 5}, std::pair<size_t, size_t> {999, 999},
                                           std::pair<size_t, size_t> {1000, 999},
                                           std::pair<size_t, size_t> {1500, 999}));

}  // namespace
