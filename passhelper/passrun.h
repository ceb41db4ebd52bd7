/*
 * How the helper runs a program for a pass: with a deadline, with the
 * signals that stop a service passed on to it, and how it waits before a
 * retry.
 */
#ifndef PASSHELPER_PASSRUN_H
#define PASSHELPER_PASSRUN_H

#include <stddef.h>
#include <sys/types.h>

/* Holds SIGCHLD, SIGTERM and SIGINT back from now on: passrun_run takes
   them, so that a pass being stopped still ends on record. */
void passrun_hold_signals(void);

/* Runs argv[0] with `argv`, stopping it after `timeout` seconds (SIGTERM,
   SIGKILL 5 s later). A SIGTERM or SIGINT that this process gets meanwhile
   is passed on when `forward` is set, and the program gets 5 s to end
   before SIGKILL; otherwise it is only noted (passrun_stopping). Returns
   the program's exit status, 1 when it was stopped or ended by a signal,
   127 when it could not be started; describes the outcome in `result`
   ("success", "failed (exit status 3)", "stopped by SIGTERM", ...) and
   sets `exited` (if not null) when the program ended by itself. */
int passrun_run(char *const argv[], int timeout, int forward, char *result, size_t size, int *exited);

/* Whether a SIGTERM or SIGINT has come since passrun_hold_signals. */
int passrun_stopping(void);

/* Whether a SIGTERM or SIGINT waits, held, to be taken. */
int passrun_stop_pending(void);

/* Waits `seconds` (a back-off before a retry), or less: until an arrival is
   recorded in `lockDir` (1), or a stop signal comes (-1); 0 when the time
   passed. */
int passrun_back_off(const char *lockDir, double seconds);

#endif
