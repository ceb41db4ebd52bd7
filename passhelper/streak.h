/*
 * A streak of passes: one pass, and after a failure that trying again may
 * mend, retries after growing delays (each at once when an arrival comes
 * meanwhile), until a pass succeeds or the retries are used up. Each pass
 * is on record on standard output (the journal) and, with a metrics file,
 * for Prometheus. A streak whose helper died (arrivals.h) goes on in the
 * next helper, within the same retries.
 */
#ifndef PASSHELPER_STREAK_H
#define PASSHELPER_STREAK_H

#include "retrystate.h"

struct streak {
    const char *lockDir;   /* the passes' lock and the arrival markers */
    const char *program;   /* the downloader */
    const char *metrics;   /* the node exporter's file, or NULL */
    int timeout;           /* seconds a pass may run */
    int startTimeout;      /* seconds the whole streak may take (the unit's start timeout); 0: no limit */
    int retries;           /* how many retries after a failed pass */
    double delays[RETRYSTATE_MOST]; /* seconds before each */
};

/* Reads "2,10,60" (seconds, each above 0 and at most a day, decimal with an
   optional fraction; empty: no retries) into the streak's delays. Returns
   0, or -1 for anything else (the streak's retries are none then). */
int streak_parse_delays(const char *text, struct streak *streak);

/* Runs the streak in the working directory. Returns the exit status of its
   last pass: 0 when it succeeded, 1 when it was stopped or could not run. */
int streak_run(const struct streak *streak);

#endif
