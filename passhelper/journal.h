// What the helper writes: its own lines on standard output (the journal,
// under the unit) at their priority, as a "<3>" or "<4>" prefix journald
// reads (only when the stream is the journal), and complaints on standard
// error after "qmx4-fwload-pass: ". Text of others (log, output, settings)
// is escaped and bounded behind a prefix the helper's lines never have, so
// that nothing a device or file says can pass for them or raise a priority.
#ifndef PASSHELPER_JOURNAL_H
#define PASSHELPER_JOURNAL_H

#include <stddef.h>

enum { SAY_ERROR = 3, SAY_WARNING = 4, SAY_INFO = 6 };

// Notes whether standard output and error are the journal (JOURNAL_STREAM); stdout becomes line-buffered.
void journal_init(void);

// One line of the helper's own on standard output; text of others in the arguments must be escaped first.
void say(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

// One line on standard error, after "qmx4-fwload-pass: ".
void complain(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

// `text` escaped into `out` (`size` bytes), cut with "..." when it does not fit; returns `out`.
const char *journal_escape(const char *text, char *out, size_t size);

#define RELAY_LINE 1024  /* the most a relayed line shows of itself */
#define RELAY_LINES 1000 /* the most lines a relay shows */

// Relays another's text line by line as "<prefix><line>", keeping the first and last line that was not empty.
struct relay {
    const char *prefix;
    char line[RELAY_LINE];
    size_t used, over;     /* bytes of the current line in `line`, and beyond it */
    size_t shown, dropped; /* lines shown, and left out past RELAY_LINES */
    char first[256], last[256];
};
void relay_begin(struct relay *r, const char *prefix);
void relay_feed(struct relay *r, const char *data, size_t n);
// Shows a last line without its line feed, and how many lines were left out.
void relay_end(struct relay *r);

#endif
