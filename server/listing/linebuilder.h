// A listing line assembled piece by piece: the lines of a large directory are
// the bulk of a listing's cost, and a format string per line is several times
// slower.  Whatever does not fit is cut (and cut is set); one byte stays for
// the NUL.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>

struct LineBuilder {
    char *buf;
    size_t cap;
    size_t len = 0;
    bool cut = false;

    void Put(char c)
    {
        if (len + 1 < cap)
            buf[len++] = c;
        else
            cut = true;
    }
    void Put(const char *text, size_t n)
    {
        if (n > cap - 1 - len) {
            n = cap - 1 - len;
            cut = true;
        }
        memcpy(buf + len, text, n);
        len += n;
    }
    void Put(const char *text) { Put(text, strlen(text)); }
    void Fill(char c, int count)
    {
        for (int i = 0; i < count; i++)
            Put(c);
    }
    // Like "%-W.Ws".
    void PutLeft(const char *text, int width)
    {
        const size_t n = strnlen(text, static_cast<size_t>(width));
        Put(text, n);
        Fill(' ', width - static_cast<int>(n));
    }
    // Like "%Wlld" for a number that is not negative; a wider number is not cut.
    void PutRight(unsigned long long value, int width)
    {
        char digits[24];
        int n = 0;
        do {
            digits[sizeof(digits) - 1 - n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        Fill(' ', width - n);
        Put(digits + sizeof(digits) - n, static_cast<size_t>(n));
    }
    // A number of exactly width digits with leading zeros ("%0Wd" for values
    // that fit).
    void PutZeroPadded(unsigned value, int width)
    {
        char digits[12];
        for (int i = width - 1; i >= 0; i--) {
            digits[i] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
        Put(digits, static_cast<size_t>(width));
    }
    const char *Text()
    {
        buf[len] = '\0';
        return buf;
    }
};
