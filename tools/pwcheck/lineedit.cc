#include "lineedit.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "Strn.h"

namespace {

constexpr int kHistorySize = 16;
char gHistory[kHistorySize][kLineMax + 1];
int gHistoryCount = 0;

// Raw mode without echo for as long as it lives.
class RawTerminal {
  public:
    RawTerminal()
    {
        if (tcgetattr(STDIN_FILENO, &saved_) < 0)
            return;
        struct termios raw = saved_;
        raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG | IEXTEN);
        raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        ok_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;    // keeps what was typed ahead
    }
    ~RawTerminal()
    {
        if (ok_)
            tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
    RawTerminal(const RawTerminal &) = delete;
    RawTerminal &operator=(const RawTerminal &) = delete;
    bool ok() const { return ok_; }

  private:
    struct termios saved_ {};
    bool ok_ = false;
};

int Columns()
{
    if (const char *c = getenv("COLUMNS"); c != nullptr && atoi(c) > 0)
        return atoi(c);
    struct winsize ws {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return 80;
}

int ReadKey()
{
    unsigned char c;
    return read(STDIN_FILENO, &c, 1) == 1 ? c : -1;
}

struct Line {
    char *buf;
    size_t max;     // characters
    size_t len = 0;
    size_t pos = 0;
};

// Shows the prompt and the part of the line around the cursor that fits.
void Redraw(const char *prompt, const Line &l)
{
    const size_t width = static_cast<size_t>(Columns());
    const size_t promptLen = strlen(prompt);
    const size_t room = width > promptLen + 1 ? width - promptLen - 1 : 1;
    size_t first = 0;
    if (l.pos > room)
        first = l.pos - room;
    const size_t shown = l.len - first < room ? l.len - first : room;
    printf("\r%s%.*s\x1b[K", prompt, static_cast<int>(shown), l.buf + first);
    const size_t back = first + shown - l.pos;
    if (back > 0)
        printf("\x1b[%zuD", back);
    fflush(stdout);
}

void SetLine(Line *l, const char *text)
{
    Strncpy(l->buf, text, l->max + 1);
    l->len = l->pos = strlen(l->buf);
}

void Remember(const char *text)
{
    if (text[0] == '\0')
        return;
    if (gHistoryCount == kHistorySize) {
        memmove(gHistory[0], gHistory[1], sizeof(gHistory[0]) * (kHistorySize - 1));
        gHistoryCount--;
    }
    Strncpy(gHistory[gHistoryCount++], text);
}

int ReadPlain(char *buf, size_t size)
{
    char line[kLineMax + 2];
    if (fgets(line, sizeof(line), stdin) == nullptr)
        return -1;
    const size_t n = strcspn(line, "\r\n");
    if (line[n] == '\0') {    // longer than a line: drop the rest
        int c;
        while ((c = getchar()) != EOF && c != '\n') {
        }
    }
    line[n] = '\0';
    Strncpy(buf, line, size);
    memset(line, 0, sizeof(line));
    return static_cast<int>(strlen(buf));
}

}  // namespace

int GetLine(const char *prompt, char *buf, size_t size, int echo)
{
    if (size == 0)
        return -1;
    buf[0] = '\0';
    // Raw mode before the prompt: whatever is typed once it shows is not echoed.
    std::optional<RawTerminal> raw;
    if (isatty(STDIN_FILENO))
        raw.emplace();
    printf("%s", prompt);
    fflush(stdout);
    if (!raw || !raw->ok())
        return ReadPlain(buf, size);

    Line l{buf, size - 1 < kLineMax ? size - 1 : kLineMax};
    int history = gHistoryCount;
    auto show = [&] {
        if (echo)
            Redraw(prompt, l);
    };
    for (;;) {
        int c = ReadKey();
        if (c < 0 || c == 3 || (c == 4 && l.len == 0)) {    // end, Ctrl-C, Ctrl-D
            memset(buf, 0, size);
            printf("\n");
            return -1;
        }
        if (c == '\r' || c == '\n')
            break;
        if (c == 0x1B) {    // ESC [ x: arrows, Home, End, Delete
            if (ReadKey() != '[')
                continue;
            c = ReadKey();
            if (c == '3')
                c = ReadKey() == '~' ? 4 : 0;
            else if (c == 'A' || c == 'B') {
                if (echo) {
                    history += c == 'A' ? (history > 0 ? -1 : 0) : (history < gHistoryCount ? 1 : 0);
                    SetLine(&l, history < gHistoryCount ? gHistory[history] : "");
                    show();
                }
                continue;
            } else {
                c = c == 'C' ? 6 : c == 'D' ? 2 : c == 'H' ? 1 : c == 'F' ? 5 : 0;
            }
        }
        switch (c) {
        case 1:
            l.pos = 0;
            break;
        case 5:
            l.pos = l.len;
            break;
        case 2:
            if (l.pos > 0)
                l.pos--;
            break;
        case 6:
            if (l.pos < l.len)
                l.pos++;
            break;
        case 0x7F:
        case 8:
            if (l.pos > 0) {
                memmove(buf + l.pos - 1, buf + l.pos, l.len - l.pos);
                l.pos--;
                buf[--l.len] = '\0';
            }
            break;
        case 4:
            if (l.pos < l.len) {
                memmove(buf + l.pos, buf + l.pos + 1, l.len - l.pos - 1);
                buf[--l.len] = '\0';
            }
            break;
        case 0x0B:
            memset(buf + l.pos, 0, l.len - l.pos);
            l.len = l.pos;
            break;
        case 0x15:
            memmove(buf, buf + l.pos, l.len - l.pos);
            memset(buf + l.len - l.pos, 0, l.pos);
            l.len -= l.pos;
            l.pos = 0;
            break;
        default:
            if (c >= 0x20 && l.len < l.max) {
                memmove(buf + l.pos + 1, buf + l.pos, l.len - l.pos);
                buf[l.pos++] = static_cast<char>(c);
                buf[++l.len] = '\0';
            }
        }
        show();
    }
    buf[l.len] = '\0';
    printf("\n");
    fflush(stdout);
    if (echo)
        Remember(buf);
    return static_cast<int>(l.len);
}
