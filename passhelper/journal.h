/*
 * What the helper writes. Its own lines go to standard output, which under
 * qmx4-fwload.service is the journal, each at its priority: failures and
 * give-ups as errors, stops and ignored settings as warnings, the rest as
 * information (a "<3>" or "<4>" before a line, which journald reads and
 * removes, is written only when the stream is the journal). Its complaints
 * go to standard error, "qmx4-fwload-pass: " first. Text of others (the
 * log, the downloader's output, marker names) is relayed escaped and
 * bounded, each line behind a prefix the helper's own lines never have, so
 * that nothing a device, the library or a file says can pass for a line of
 * the helper's or raise its priority.
 */
#ifndef PASSHELPER_JOURNAL_H
#define PASSHELPER_JOURNAL_H

#include <stddef.h>

enum { SAY_ERROR = 3, SAY_WARNING = 4, SAY_INFO = 6 };

/* Notes whether standard output and error are the journal (JOURNAL_STREAM);
   stdout becomes line-buffered. */
void journal_init(void);

/* One line of the helper's own on standard output; arguments that hold
   text of others must be escaped (journal_escape). */
void say(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* One line on standard error, after "qmx4-fwload-pass: ". */
void complain(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* `text` escaped into `out` (`size` bytes), cut with "..." when it does not
   fit; returns `out`. */
const char *journal_escape(const char *text, char *out, size_t size);

/* The most a relayed line shows of its text, and the most lines one relay
   shows. */
#define RELAY_LINE 1024
#define RELAY_LINES 1000

/* Relays another's text, line by line, as "<prefix><line>". */
struct relay {
    const char *prefix;
    char line[RELAY_LINE];
    size_t used;    /* bytes of the current line in `line` */
    size_t over;    /* bytes of the current line beyond it */
    size_t shown;   /* lines shown */
    size_t dropped; /* lines over RELAY_LINES */
    char first[256], last[256]; /* the first and the last line that was not empty, raw and cut */
};
void relay_begin(struct relay *r, const char *prefix);
void relay_feed(struct relay *r, const char *data, size_t n);
/* Shows a last line without its line feed, and how many lines were left
   out. */
void relay_end(struct relay *r);

#endif
