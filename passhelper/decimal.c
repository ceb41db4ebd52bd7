#include "decimal.h"

#include <stdlib.h>
#include <string.h>

/* How many decimal digits `text` begins with, at most `n`. */
static size_t digitsIn(const char *text, size_t n)
{
    size_t count = 0;
    while (count < n && text[count] >= '0' && text[count] <= '9')
        ++count;
    return count;
}

int decimal_parse(const char *text, int n, double most, int flags, double *value)
{
    const size_t length = n < 0 ? strlen(text) : (size_t)n;
    size_t end = digitsIn(text, length);
    if (end == 0 || end > 20)
        return -1;
    if (end < length && text[end] == '.' && !(flags & DECIMAL_WHOLE)) {
        const size_t fraction = digitsIn(text + end + 1, length - end - 1);
        if (fraction == 0 || fraction > 20)
            return -1;
        end += 1 + fraction;
    }
    if (end != length)
        return -1;
    char copy[48];
    memcpy(copy, text, end);
    copy[end] = '\0';
    const double read = strtod(copy, NULL);
    if (!(read <= most))
        return -1;
    *value = read;
    return 0;
}
