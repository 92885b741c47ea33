// The ICMP echo request Vantrel sends and the test that a received datagram
// is the answer to it.  Plain C++: no Windows headers, so it builds anywhere.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kEchoSize = 36;        // 8-byte header, 4-byte send time, 24 payload bytes
constexpr size_t kMaxDatagram = 1500;

// The Internet one's-complement checksum of len bytes, as a 16-bit value in
// the byte order of the data (the first byte is the high one).
[[nodiscard]] uint16_t InternetChecksum(const uint8_t *data, size_t len);

// Type 8, code 0, checksum, identifier and sequence in network order, the
// send time in host (little-endian) order, then the bytes 0 .. 23.
void BuildEchoRequest(uint8_t (&packet)[kEchoSize], uint16_t identifier, uint16_t sequence,
                      uint32_t sendTime);

// An IPv4 datagram with its header, as a raw ICMP socket delivers it.  Returns
// 0 and the send time carried in the packet if it is the echo reply from
// `source` (4 address bytes in network order) with this identifier and
// sequence number, a negative value otherwise.
[[nodiscard]] int MatchEchoReply(const uint8_t *datagram, size_t len, const uint8_t (&source)[4],
                                 uint16_t identifier, uint16_t sequence, uint32_t *sendTime);
