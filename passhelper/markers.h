/*
 * Arrival markers. The udev rule records every USB device that arrives as
 * an empty file "arrivals/<bus>-<device>" in the lock directory, and the
 * path unit starts a pass while that directory is not empty. A pass, under
 * the passes' lock and before the downloader lists any device, moves each
 * marker (a rename, which needs no space) to "taken/<name>~<tries>", where
 * tries counts the passes begun with it. The pass that serves them removes
 * them; one that fails, is killed or stopped leaves them for the next start
 * of the service, which takes them again: no arrival is lost, and the
 * number of tries survives any death. A stop sets them back to "~0": it
 * ends the streak, and the next start begins a fresh one.
 *
 * The helper and the companion share this convention and the helper's exit
 * statuses, which the unit's Restart= settings read.
 */
#ifndef PASSHELPER_MARKERS_H
#define PASSHELPER_MARKERS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The helper's exit statuses. */
enum {
    PASS_SERVED = 0,  /* the pass succeeded */
    PASS_RETRY = 1,   /* it failed, and a retry follows (systemd restarts the service) */
    PASS_USAGE = 2,   /* a wrong command line */
    PASS_GAVE_UP = 3, /* it failed, and the retries are used up */
    PASS_STOPPED = 4, /* a stop came (SIGTERM, SIGINT) */
    PASS_FAILED = 5,  /* it failed in a way no retry mends, or the helper cannot work */
    PASS_NOT_STARTED = 127 /* the downloader could not be started */
};

/* The most retries a streak may have. */
#define MARKERS_MOST_RETRIES 20

/* What follows a streak that gave up, as the journal and the companion say it. */
#define MARKERS_AGAIN "the next arrival or systemctl start qmx4-fwload.service tries again"

/* Names of arrivals, escaped for the journal, sorted, each once. */
struct arrivals {
    char **names;
    size_t count;
};

/* Releases the names; the list is empty again. */
void arrivals_free(struct arrivals *list);

/* Whether `name` can name a marker: 1 to 64 letters, digits, '-' or '_',
   beginning with a letter or digit. */
int markers_valid(const char *name);

/* Reads "2,10,60" (seconds before each retry, each above 0 and at most a
   day, with an optional fraction; "" for none) into `delays`. Returns how
   many, or -1 for anything else. */
int markers_delays(const char *text, double delays[MARKERS_MOST_RETRIES]);

/* The most tries among the taken markers in <dir>/taken (0 when none
   waits); -1 when the directory cannot be read. */
int markers_tries(const char *dir);

/* For the helper. Each returns -1 with why in `why` (PASSLOCK_WHY bytes)
   where it says so. */

/* Records an arrival: creates the directories as needed and the marker. */
int markers_record(const char *dir, const char *name, char *why);

/* Whether a marker waits in <dir>/arrivals; its path in `path` (PATH_MAX
   bytes) for watching it. */
int markers_pending(const char *dir, char *path);

/* Takes every marker, the passes' lock held: each taken one's tries go up
   by one, then each arrival moves to taken with one try (with none, the
   marker "by-hand" does). Entries that are no marker are removed. Puts the
   names of the arrivals into `taken` and the most tries into *tries. Returns how many entries could not be moved or removed
   (said), or -1 when the directories cannot be used. */
int markers_take(const char *dir, struct arrivals *taken, int *tries, char *why);

/* What becomes of the taken markers once a pass ended: removed (served or
   given up, `keep` 0), or set back to no tries (a stop, `keep` 1). */
void markers_finish(const char *dir, int keep);

/* Removes every entry of <dir>/arrivals without trusting the directories
   (nothing is followed): the path unit must not start pass after pass when
   the helper cannot work. Returns how many it removed. */
int markers_drop(const char *dir);

#ifdef __cplusplus
}
#endif

#endif
