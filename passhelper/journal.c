#include "journal.h"

#include "textescape.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

static int journalOut, journalErr; /* whether stdout, stderr are the journal */

/* Whether descriptor `fd` is the stream JOURNAL_STREAM ("<dev>:<inode>")
   names. */
static int isJournal(int fd)
{
    const char *stream = getenv("JOURNAL_STREAM");
    unsigned long long dev, ino;
    struct stat info;
    return stream && sscanf(stream, "%llu:%llu", &dev, &ino) == 2 && fstat(fd, &info) == 0 &&
           (unsigned long long)info.st_dev == dev && (unsigned long long)info.st_ino == ino;
}

void journal_init(void)
{
    journalOut = isJournal(1);
    journalErr = isJournal(2);
    setvbuf(stdout, NULL, _IOLBF, 0); /* each line reaches the journal at once */
}

static void line(FILE *stream, int journal, int priority, const char *prefix, const char *format, va_list args)
{
    if (journal && priority < SAY_INFO)
        fprintf(stream, "<%d>", priority);
    fputs(prefix, stream);
    vfprintf(stream, format, args);
    fputc('\n', stream);
}

void say(int priority, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    line(stdout, journalOut, priority, "", format, args);
    va_end(args);
}

void complain(int priority, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fflush(stdout);
    line(stderr, journalErr, priority, "qmx4-fwload-pass: ", format, args);
    va_end(args);
}

const char *journal_escape(const char *text, char *out, size_t size)
{
    const size_t n = strlen(text);
    if (textescape(out, size, text, n) < n && size > 3) {
        textescape(out, size - 3, text, n);
        strcat(out, "...");
    }
    return out;
}

void relay_begin(struct relay *r, const char *prefix)
{
    memset(r, 0, sizeof *r);
    r->prefix = prefix;
}

/* Shows the current line, bounded, and begins the next. */
static void flushLine(struct relay *r)
{
    if (r->used) {
        const size_t n = r->used < sizeof r->last ? r->used : sizeof r->last - 1;
        memcpy(r->last, r->line, n);
        r->last[n] = '\0';
        if (!r->first[0])
            memcpy(r->first, r->last, n + 1);
    }
    if (r->shown == RELAY_LINES) {
        ++r->dropped;
    } else {
        char shown[RELAY_LINE + 1];
        const size_t went = textescape(shown, sizeof shown, r->line, r->used);
        const size_t more = r->used - went + r->over;
        ++r->shown;
        if (more)
            printf("%s%s... (%zu more bytes)\n", r->prefix, shown, more);
        else
            printf("%s%s\n", r->prefix, shown);
    }
    r->used = r->over = 0;
}

void relay_feed(struct relay *r, const char *data, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (data[i] == '\n')
            flushLine(r);
        else if (r->used < sizeof r->line)
            r->line[r->used++] = data[i];
        else
            ++r->over;
    }
}

void relay_end(struct relay *r)
{
    if (r->used || r->over)
        flushLine(r);
    if (r->dropped)
        printf("%s... and %zu more lines\n", r->prefix, r->dropped);
    r->dropped = 0;
}
