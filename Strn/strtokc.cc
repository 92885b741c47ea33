// Tokenisers.  strtokc/strntokc skip runs of delimiters (tokens are never empty);
// Strtok/Strntok split fields, so two adjacent delimiters give an empty field.
#include "Strn.h"

#include <cstring>

static bool IsDelim(char c, const char *delims)
{
    return c != '\0' && strchr(delims, c) != nullptr;
}

// Copies src (len characters) into dst bounded, terminated and zero-filled.
static void CopyToken(char *dst, size_t dsize, const char *src, size_t len)
{
    if (dsize == 0)
        return;
    size_t n = len < dsize - 1 ? len : dsize - 1;
    memcpy(dst, src, n);
    memset(dst + n, 0, dsize - n);
}

char *strtokc(char *parsestr, const char *delims, char **context)
{
    char *s = parsestr != nullptr ? parsestr : *context;
    if (s == nullptr || delims == nullptr) {
        *context = nullptr;
        return nullptr;
    }
    while (IsDelim(*s, delims))
        s++;
    if (*s == '\0') {
        *context = nullptr;
        return nullptr;
    }
    char *start = s;
    while (*s != '\0' && !IsDelim(*s, delims))
        s++;
    if (*s != '\0')
        *s++ = '\0';
    *context = s;
    return start;
}

size_t strntokc(char *dst, size_t dsize, char *parsestr, const char *delims, char **context)
{
    char *tok = strtokc(parsestr, delims, context);
    if (tok == nullptr) {
        CopyToken(dst, dsize, "", 0);
        return 0;
    }
    size_t len = strlen(tok);
    CopyToken(dst, dsize, tok, len);
    return len < dsize ? len : (dsize == 0 ? 0 : dsize - 1);
}

// One field: runs to the next delimiter (overwritten with a zero) or the end.
static char *NextField(char *buf, const char *delims, char **context)
{
    char *s = buf != nullptr ? buf : *context;
    if (s == nullptr || delims == nullptr) {
        *context = nullptr;
        return nullptr;
    }
    char *start = s;
    while (*s != '\0' && strchr(delims, *s) == nullptr)
        s++;
    if (*s == '\0') {
        *context = nullptr;
    } else {
        *s = '\0';
        *context = s + 1;
    }
    return start;
}

char *Strtok(char *buf, const char *delims)
{
    static char *context;
    return NextField(buf, delims, &context);
}

int Strntok(char *dst, size_t dsize, char *buf, const char *delims)
{
    static char *context;
    char *field = NextField(buf, delims, &context);
    if (field == nullptr) {
        CopyToken(dst, dsize, "", 0);
        return -1;
    }
    size_t len = strlen(field);
    CopyToken(dst, dsize, field, len);
    return static_cast<int>(len < dsize ? len : (dsize == 0 ? 0 : dsize - 1));
}
