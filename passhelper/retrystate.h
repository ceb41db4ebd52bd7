/*
 * Where a streak of failed passes stands, for the companion and the
 * metrics to tell: the file "retry" in the lock directory, one line, kept
 * by the helper that holds the streak lock (passlock.h). It says that a
 * retry is due ("due <unix time> <retry> <retries>"), or that the retries
 * were used up ("gave-up <unix time> <tries>"); without the file no retry
 * is pending.
 */
#ifndef PASSHELPER_RETRYSTATE_H
#define PASSHELPER_RETRYSTATE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What follows a streak that gave up, as the journal and the companion
   say it. */
#define RETRYSTATE_AGAIN "the next arrival or systemctl start qmx4-fwload.service tries again"

/* The most retries a streak may have. */
#define RETRYSTATE_MOST 20

enum retrystate_kind { RETRYSTATE_NONE, RETRYSTATE_DUE, RETRYSTATE_GAVE_UP };

struct retrystate {
    enum retrystate_kind kind;
    double when; /* DUE: when the retry is due; GAVE_UP: when it gave up (Unix time) */
    int retry;   /* DUE: which retry is due, from 1 */
    int retries; /* DUE: of how many; GAVE_UP: passes tried in the streak */
};

/* Reads the state in the lock directory `dir`: NONE without a state file,
   and for a retry announced by a helper that is gone (nobody holds the
   streak lock), since nobody will run it. Returns 0, or -1 for a file that
   is there but cannot be read as a state (a FIFO, a symbolic link, an
   unknown line, a time that is no finite Unix time, counts out of range),
   which counts as none, with the path and why in `why` (`size` bytes). */
int retrystate_read(const char *dir, struct retrystate *state, char *why, size_t size);

/* Writes the state (through a new temporary file and a rename), or removes
   the file for NONE. Returns 0, or -1 with errno set. */
int retrystate_write(const char *dir, const struct retrystate *state);

#ifdef __cplusplus
}
#endif

#endif
