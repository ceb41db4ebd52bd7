/*
 * How the helper runs the downloader: its output relayed (journal.h) and
 * bounded, its deadline watched, a stop passed on; and how it waits before
 * a retry.
 *
 * The stop signals (SIGTERM, SIGINT) and SIGCHLD are held from the first
 * line of main (passrun_hold_signals): a stop is taken only at the points
 * that look for one, so that it is never lost between them, and every wait
 * is bounded or watches for it.
 */
#ifndef PASSHELPER_PASSRUN_H
#define PASSHELPER_PASSRUN_H

#include <stddef.h>

/* Holds SIGCHLD, SIGTERM and SIGINT back from now on, and gives SIGCHLD its
   default action (an ignored one, inherited, would hide the downloader's
   status). */
void passrun_hold_signals(void);

/* Runs `program` with its standard output and error relayed line by line
   behind "output: ", stopping it after `timeout` seconds (SIGTERM, SIGKILL
   5 s later). A stop that comes meanwhile is passed on, and the program
   gets 5 s to end before SIGKILL. Returns its exit status; 1 when it was
   stopped, timed out or ended by a signal; 127 when it could not be
   started; describes the outcome in `result` ("success", "failed (exit
   status 3)", "stopped by SIGTERM", ...); sets *exited when the program
   ended by itself. */
int passrun_run(const char *program, int timeout, char *result, size_t size, int *exited);

/* The first (`last` 0) or the last line that was not empty of what the
   latest run relayed, raw and cut to 255 bytes; "" when none. */
const char *passrun_said(int last);

/* Whether a stop has come (taking one that waits). */
int passrun_stopping(void);

/* The stop that came: "SIGTERM" or "SIGINT", or "" when none did. */
const char *passrun_stop_name(void);

/* Waits `seconds` on the monotonic clock, or less: until an arrival is
   recorded in `lockDir` (1), or a stop comes (-1); 0 when the time
   passed. */
int passrun_back_off(const char *lockDir, double seconds);

#endif
