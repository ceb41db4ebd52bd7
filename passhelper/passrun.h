/*
 * How the helper runs a program for a pass: with a deadline, with its
 * output relayed (journal.h), with the signals that stop a service passed
 * on to it; and how it notices a stop and waits before a retry.
 *
 * The stop signals (SIGTERM, SIGINT) and SIGCHLD are held from the start
 * (passrun_hold_signals): a stop is taken only at the points that look for
 * one, so that it is never lost between them, and every wait is bounded or
 * watches for it.
 */
#ifndef PASSHELPER_PASSRUN_H
#define PASSHELPER_PASSRUN_H

#include <stddef.h>
#include <sys/types.h>

/* Holds SIGCHLD, SIGTERM and SIGINT back from now on. */
void passrun_hold_signals(void);

/* Runs argv[0] with `argv`, its standard output and error relayed line by
   line behind `prefix`, stopping it after `timeout` seconds (SIGTERM,
   SIGKILL 5 s later). A stop that comes meanwhile is passed on when
   `forward` is set, and the program gets 5 s to end before SIGKILL;
   otherwise it is only noted (passrun_stopping). Returns the program's exit
   status, 1 when it was stopped or ended by a signal, 127 when it could not
   be started; describes the outcome in `result` ("success", "failed (exit
   status 3)", "stopped by SIGTERM", ...) and sets `exited` (if not null)
   when the program ended by itself. */
int passrun_run(char *const argv[], const char *prefix, int timeout, int forward, char *result, size_t size,
                int *exited);

/* The first (`last` 0) or the last line that was not empty of what the
   latest passrun_run relayed, raw and cut to 255 bytes; "" when none. */
const char *passrun_said(int last);

/* Whether a stop has come (taking one that waits). */
int passrun_stopping(void);

/* The stop that came: "SIGTERM" or "SIGINT", or "" when none did. */
const char *passrun_stop_name(void);

/* Waits `seconds` (a back-off before a retry), or less: until an arrival is
   recorded in `lockDir` (1), or a stop comes (-1); 0 when the time
   passed. */
int passrun_back_off(const char *lockDir, double seconds);

/* Sleeps at most `ms` milliseconds, less when a stop comes; returns
   passrun_stopping(). */
int passrun_pause(int ms);

#endif
