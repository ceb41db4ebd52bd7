/*
 * Arrival markers: the udev rule records every USB device that arrives as
 * an empty file named after it ("<bus number>-<device number>") in the
 * directory "arrivals" of the lock directory, and systemd starts a pass
 * whenever that directory is not empty. A pass takes the markers, under
 * the passes' lock, before the downloader lists any device.
 *
 * What a pass took is not lost when the pass dies without a summary
 * (killed, out of memory, crashed): before it removes a marker it writes
 * the names it takes, with the number of passes its streak has begun, into
 * the record "pass.unfinished" in the same directory, which it removes only
 * when its streak ends. A record left behind keeps the directory not empty,
 * so systemd starts another pass at once, which carries the streak on. The
 * record also notes the last pass that ended, until its metrics are known
 * to be written, so that the next pass writes them if its helper died
 * before, and no pass is counted twice. The record's name is no marker's (a
 * marker has no '.').
 */
#ifndef PASSHELPER_ARRIVALS_H
#define PASSHELPER_ARRIVALS_H

#include <limits.h>
#include <stddef.h>

/* Names of arrivals, escaped for the journal (textescape.h), sorted, each
   once. */
struct arrivals {
    char **names;
    size_t count;
};

/* Releases the names; the list is empty again. */
void arrivals_free(struct arrivals *list);

/* Whether `name` can name a marker: 1 to 64 letters, digits, '-' or '_',
   beginning with a letter or digit. */
int arrivals_valid(const char *name);

/* Records an arrival: creates the directories as needed and the marker
   <dir>/arrivals/<name>. Returns 0, or -1 with errno set and why in `why`
   (PASSLOCK_WHY bytes). */
int arrivals_record(const char *dir, const char *name, char *why);

/* Whether a marker waits in <dir>/arrivals (the record and hidden files do
   not count); writes the directory's path into `path` (PATH_MAX bytes) for
   watching it. */
int arrivals_pending(const char *dir, char *path);

/* The record of a streak that has not ended: "tries N", then "arrival
   NAME" for each name taken, "ended ID OUTCOME" for the last pass that
   ended (its metrics: a unique id and the outcome as qmx4-fwctl metrics
   --record takes it), and "over" once no pass follows. */
struct streakrecord {
    int tries;               /* passes the streak has begun */
    struct arrivals names;   /* what they took */
    char ended[256];         /* "ID OUTCOME" of the last pass that ended, "" while a pass runs */
    int over;                /* the streak has ended; only its metrics may be owed */
};

/* Reads the record a helper that died left: 1 with it in `record`, 0 when
   there is none. A record that cannot be read as one is reported, removed,
   and counts as none. Call it only while holding the streak lock. */
int arrivals_unfinished(const char *dir, struct streakrecord *record);

/* Writes the record (through a new temporary file and a rename). Returns 0,
   or -1 with errno set. */
int arrivals_save(const char *dir, const struct streakrecord *record);

/* Takes every recorded arrival: saves the record with the names of the
   markers added and no pass ended, then removes each entry of
   <dir>/arrivals but the record (a missing directory holds none), and puts
   the names it took into `taken`. An entry that cannot be removed is
   reported and not taken. Returns how many could not be removed, or -1
   when the directory cannot be read or the record not written (reported;
   nothing is removed then). */
int arrivals_take(const char *dir, struct streakrecord *record, struct arrivals *taken);

/* Adds the names of `more` to `list`; -1 short of memory. */
int arrivals_add(struct arrivals *list, const struct arrivals *more);

/* Removes the record: the streak has ended. Returns 0, or -1 (reported). */
int arrivals_finish(const char *dir);

#endif
