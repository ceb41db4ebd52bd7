// Arrival markers. The udev rule records each USB device that arrives as an
// empty file "arrivals/<bus>-<device>" in the lock directory; the path unit
// starts a pass while that directory is not empty. A pass, under the lock
// and before the downloader lists any device, renames each marker (no space
// needed) to "taken/<name>~<tries>", tries counting the passes begun with
// it. The pass that serves them removes them; one that fails or dies leaves
// them for the next start; a stop sets them back to "~0". The helper's exit
// statuses, which the unit's Restart= settings read, are defined here too.
#ifndef PASSHELPER_MARKERS_H
#define PASSHELPER_MARKERS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Above 7 and below 64: systemd names 3 to 7 after LSB init scripts
   ("3/NOTIMPLEMENTED") and 64 to 78 after BSD, which would mislead. */
enum {
    PASS_SERVED = 0,       /* the pass succeeded */
    PASS_RETRY = 1,        /* it failed; systemd restarts the service for a retry */
    PASS_USAGE = 2,        /* a wrong command line */
    PASS_GAVE_UP = 10,     /* it failed, and the retries are used up */
    PASS_STOPPED = 11,     /* a stop came (SIGTERM, SIGINT) */
    PASS_FAILED = 12,      /* it failed in a way no retry mends, or the helper cannot work */
    PASS_NOT_STARTED = 127 /* the downloader could not be started */
};

#define MARKERS_MOST_RETRIES 20
/* What follows a streak that gave up, as the journal and the companion say it. */
#define MARKERS_AGAIN "the next arrival or systemctl start qmx4-fwload.service tries again"

// Whether `name` can name a marker: 1 to 64 letters, digits, '-' or '_', the first a letter or digit.
int markers_valid(const char *name);

// Reads "2,10,60" (seconds before each retry, 0 < d <= 86400, "" for none) into `delays`: how many, or -1.
int markers_delays(const char *text, double delays[MARKERS_MOST_RETRIES]);

// The most tries among the markers in <dir>/taken: 0 when none waits, -1 when it cannot be read.
int markers_tries(const char *dir);

// Records an arrival, making the directories as needed; -1 with `why` (PASSLOCK_WHY bytes) when they fail the checks.
int markers_record(const char *dir, const char *name, char *why);

// Whether an entry waits in <dir>/arrivals, whose path goes into `path` (PATH_MAX bytes) for watching it.
int markers_pending(const char *dir, char *path);

struct markers_taken {
    int tries;        /* the most tries among the taken markers */
    size_t count;     /* how many devices they name */
    char names[1024]; /* those names, sorted, as many as fit whole */
    size_t shown;     /* how many are in `names` */
};

// Takes every marker, the lock held: each taken one's tries go up by one, each arrival moves to taken with one try,
// and with none "by-hand" is made. An entry that is no marker is removed, or set aside hidden in taken. Returns how
// many entries stayed, or -1 with `why` when the directories cannot be used.
int markers_take(const char *dir, struct markers_taken *taken, char *why);

// Once a pass ended: removes the taken markers (served or given up, `keep` 0) or sets them back to no tries (a stop).
void markers_finish(const char *dir, int keep);

// Removes every entry of <dir>/arrivals, trusting no directory (nothing is followed), so that the path unit does not
// start pass after pass when the helper cannot work; returns how many.
int markers_drop(const char *dir);

#ifdef __cplusplus
}
#endif

#endif
