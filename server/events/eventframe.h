// The frame of an event message, shared by the daemon (which builds it) and the
// reference consumer (which parses it); nothing else of the server is needed.
//
//   "STR\n"            4 characters
//   "%3u\n"            the body length, blank-padded, and a line feed
//   body               each field followed by "\n", then one more "\n"
//   NUL                part of what is sent
//
// The whole text is built in kEventFrameSize bytes and the length field has
// three digits, so a body is cut at 999 bytes; a message is body length +
// kEventFrameOverhead bytes.  On a message queue the
// long message type (the record's code letter) comes before the text.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>

constexpr size_t kEventFrameSize = 1016;
constexpr char kEventFrameMagic[] = "STR\n";
constexpr size_t kEventFrameHeaderSize = 8;                                       // "STR\n" "%3u\n"
constexpr size_t kEventFrameOverhead = kEventFrameHeaderSize + 1;                 // and the NUL
constexpr size_t kEventBodyMax = 999;                                             // three digits
static_assert(kEventBodyMax + kEventFrameOverhead <= kEventFrameSize);

// A queue message: the type, then the frame.  Its size for msgsnd/msgrcv
// excludes the type.
struct EventQueueMessage {
    long type;
    char text[kEventFrameSize];
};

// Writes the 8 header bytes for a body of bodyLen bytes (at most
// kEventBodyMax) in front of it; nothing else is touched.
inline void FillEventFrameHeader(char *frame, size_t bodyLen)
{
    char header[kEventFrameHeaderSize + 1];
    snprintf(header, sizeof(header), "%s%3u\n", kEventFrameMagic, static_cast<unsigned>(bodyLen));
    memcpy(frame, header, kEventFrameHeaderSize);
}

// What a received message is.
enum class EventFrameVerdict {
    kOk,          // a whole, well-formed frame
    kCut,         // well-formed, but the body was cut at kEventBodyMax
    kShort,       // fewer than kEventFrameOverhead bytes
    kMagic,       // does not begin with "STR\n"
    kLength,      // the length field is not "%3u\n"
    kSize,        // the message size is not body length + kEventFrameOverhead
    kNul,         // the NUL is missing, or the body holds one
    kEnd,         // the body does not end in an empty field ("\n\n")
};

struct EventFrame {
    EventFrameVerdict verdict;
    const char *body;             // inside the message; not NUL-terminated by this
    size_t bodyLen;
};

// Checks a message of size bytes (the frame only, without a queue type).
inline EventFrame ParseEventFrame(const char *msg, size_t size)
{
    EventFrame f {EventFrameVerdict::kShort, nullptr, 0};
    if (size < kEventFrameOverhead)
        return f;
    if (memcmp(msg, kEventFrameMagic, 4) != 0) {
        f.verdict = EventFrameVerdict::kMagic;
        return f;
    }
    // "%3u": blanks, then at least one digit; nothing after the digits but "\n".
    size_t len = 0, i = 4;
    while (i < 6 && msg[i] == ' ')
        i++;
    for (; i < 7; i++) {
        if (msg[i] < '0' || msg[i] > '9') {
            f.verdict = EventFrameVerdict::kLength;
            return f;
        }
        len = len * 10 + static_cast<size_t>(msg[i] - '0');
    }
    if (msg[7] != '\n') {
        f.verdict = EventFrameVerdict::kLength;
        return f;
    }
    f.body = msg + kEventFrameHeaderSize;
    f.bodyLen = len;
    if (size != len + kEventFrameOverhead) {
        f.verdict = EventFrameVerdict::kSize;
        return f;
    }
    if (msg[size - 1] != '\0' || memchr(f.body, '\0', len) != nullptr) {
        f.verdict = EventFrameVerdict::kNul;
        return f;
    }
    if (len >= 2 && f.body[len - 1] == '\n' && f.body[len - 2] == '\n')
        f.verdict = EventFrameVerdict::kOk;
    else
        f.verdict = len == kEventBodyMax ? EventFrameVerdict::kCut : EventFrameVerdict::kEnd;
    return f;
}
