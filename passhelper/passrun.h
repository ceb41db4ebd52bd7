/*
 * How the helper runs the downloader (its output relayed, bounded; its
 * deadline watched; a stop passed on) and waits before a retry. The stop
 * signals (SIGTERM, SIGINT) and SIGCHLD are held from the first line of
 * main: a stop is taken only where the helper looks for one, so it is
 * never lost between, and every wait watches for it.
 */
#ifndef PASSHELPER_PASSRUN_H
#define PASSHELPER_PASSRUN_H

#include <stddef.h>

/* Holds SIGCHLD, SIGTERM and SIGINT back from now on, and gives SIGCHLD its
   default action (an ignored one, inherited, would hide the downloader's
   status). */
void passrun_hold_signals(void);

/* Runs `program`, its standard output and error relayed behind "output: ";
   stops it (SIGTERM, SIGKILL 5 s later) after `timeout` seconds or when a
   stop comes. Returns its exit status; 1 when it was stopped, timed out,
   ended by a signal or its status was lost; 127 when it could not be
   started. Describes the outcome in `result` ("success", "failed (exit
   status 3)", "stopped by SIGTERM", ...); sets *exited when it ended by
   itself. */
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
