/*
 * A streak of passes: one pass, and after a failure that trying again may
 * mend, retries after growing delays (each at once when an arrival comes
 * meanwhile), until a pass succeeds or the retries are used up. Each pass
 * is on record on standard output (the journal) and, with a metrics file,
 * for Prometheus.
 */
#ifndef PASSHELPER_STREAK_H
#define PASSHELPER_STREAK_H

/* The most retries a streak may have. */
#define STREAK_MOST 20

struct streak {
    const char *lockDir;   /* the passes' lock and the arrival markers */
    const char *program;   /* the downloader */
    const char *metrics;   /* the node exporter's file, or NULL */
    int timeout;           /* seconds a pass may run */
    int retries;           /* how many retries after a failed pass */
    double delays[STREAK_MOST]; /* seconds before each */
};

/* Reads "2,10,60" (seconds, each above 0 and at most a day; empty: no
   retries) into the streak's delays. Returns 0, or -1 for anything else. */
int streak_parse_delays(const char *text, struct streak *streak);

/* Runs the streak in the working directory. Returns the exit status of its
   last pass: 0 when it succeeded. */
int streak_run(const struct streak *streak);

#endif
