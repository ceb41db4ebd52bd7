#include "textescape.h"

#include <stdio.h>
#include <string.h>

/* The length of the valid UTF-8 character at `s` (n bytes left), or 0. */
static size_t utf8Length(const unsigned char *s, size_t n)
{
    size_t length;
    unsigned char low = 0x80, high = 0xbf; /* the second byte's range */
    if (s[0] >= 0xc2 && s[0] <= 0xdf)
        length = 2;
    else if (s[0] >= 0xe0 && s[0] <= 0xef)
        length = 3, low = s[0] == 0xe0 ? 0xa0 : 0x80, high = s[0] == 0xed ? 0x9f : 0xbf;
    else if (s[0] >= 0xf0 && s[0] <= 0xf4)
        length = 4, low = s[0] == 0xf0 ? 0x90 : 0x80, high = s[0] == 0xf4 ? 0x8f : 0xbf;
    else
        return 0;
    if (n < length || s[1] < low || s[1] > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if ((s[i] & 0xc0) != 0x80)
            return 0;
    /* U+0080 to U+009F: the C1 controls, which a terminal may obey. */
    return s[0] == 0xc2 && s[1] <= 0x9f ? 0 : length;
}

size_t textescape(char *out, size_t size, const char *text, size_t n)
{
    const unsigned char *s = (const unsigned char *)text;
    size_t used = 0, done = 0;
    while (done < n) {
        char piece[8];
        size_t take = utf8Length(s + done, n - done), length = take;
        if (take == 0) {
            take = 1;
            if (s[done] >= 0x20 && s[done] < 0x7f && s[done] != '\\')
                piece[0] = (char)s[done], length = 1;
            else if (s[done] == '\\' || s[done] == '\n' || s[done] == '\t' || s[done] == '\r')
                piece[0] = '\\', piece[1] = s[done] == '\\' ? '\\' : s[done] == '\n' ? 'n' : s[done] == '\t' ? 't' : 'r',
                length = 2;
            else
                length = (size_t)snprintf(piece, sizeof piece, "\\x%02x", s[done]);
        } else
            memcpy(piece, s + done, length);
        if (used + length + 1 > size)
            break;
        memcpy(out + used, piece, length);
        used += length;
        done += take;
    }
    if (size > 0)
        out[used] = '\0';
    return done;
}
