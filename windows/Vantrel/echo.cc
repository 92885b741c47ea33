#include "echo.h"

#include <cstring>

uint16_t InternetChecksum(const uint8_t *data, size_t len)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < len; i += 2)
        sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
    if (len & 1)
        sum += static_cast<uint32_t>(data[len - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

static void PutNet16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

static uint16_t GetNet16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void BuildEchoRequest(uint8_t (&packet)[kEchoSize], uint16_t identifier, uint16_t sequence,
                      uint32_t sendTime)
{
    packet[0] = 8;                      // echo request
    packet[1] = 0;
    PutNet16(packet + 2, 0);            // summed as zero
    PutNet16(packet + 4, identifier);
    PutNet16(packet + 6, sequence);
    for (int i = 0; i < 4; i++)         // the sender's own order: only it reads it back
        packet[8 + i] = static_cast<uint8_t>(sendTime >> (8 * i));
    for (int i = 0; i < 24; i++)
        packet[12 + i] = static_cast<uint8_t>(i);
    PutNet16(packet + 2, InternetChecksum(packet, kEchoSize));
}

int MatchEchoReply(const uint8_t *datagram, size_t len, const uint8_t (&source)[4],
                   uint16_t identifier, uint16_t sequence, uint32_t *sendTime)
{
    if (len < 20 || datagram[0] >> 4 != 4)
        return -1;
    size_t headerLen = static_cast<size_t>(datagram[0] & 0x0f) * 4;
    if (headerLen < 20 || len < headerLen + kEchoSize)
        return -2;
    if (datagram[9] != 1)               // not ICMP
        return -3;
    if (memcmp(datagram + 12, source, 4) != 0)
        return -4;
    const uint8_t *icmp = datagram + headerLen;
    if (icmp[0] != 0)                   // not an echo reply (our own request on loopback)
        return -5;
    if (GetNet16(icmp + 4) != identifier || GetNet16(icmp + 6) != sequence)
        return -6;
    uint32_t t = 0;
    for (int i = 0; i < 4; i++)
        t |= static_cast<uint32_t>(icmp[8 + i]) << (8 * i);
    *sendTime = t;
    return 0;
}
