/*
 * Where a streak of failed passes stands, for the companion and the
 * metrics to tell: the file "retry" in the lock directory, one line, kept
 * by the helper. It says that a retry is due ("due <unix time> <retry>
 * <retries>"), or that the retries were used up ("gave-up <unix time>
 * <tries>"); without the file no retry is pending.
 */
#ifndef PASSHELPER_RETRYSTATE_H
#define PASSHELPER_RETRYSTATE_H

#ifdef __cplusplus
extern "C" {
#endif

enum retrystate_kind { RETRYSTATE_NONE, RETRYSTATE_DUE, RETRYSTATE_GAVE_UP };

struct retrystate {
    enum retrystate_kind kind;
    double when; /* DUE: when the retry is due; GAVE_UP: when it gave up (Unix time) */
    int retry;   /* DUE: which retry is due, from 1 */
    int retries; /* DUE: of how many; GAVE_UP: passes tried in the streak */
};

/* Reads the state in the lock directory `dir`; NONE when there is no
   state file or it cannot be read as one. */
void retrystate_read(const char *dir, struct retrystate *state);

/* Writes the state (through a temporary file and a rename), or removes the
   file for NONE. Returns 0, or -1 with errno set. */
int retrystate_write(const char *dir, const struct retrystate *state);

#ifdef __cplusplus
}
#endif

#endif
