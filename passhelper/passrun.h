// How the helper runs the downloader (output relayed and bounded, deadline
// watched, a stop passed on) and waits before a retry. SIGTERM, SIGINT and
// SIGCHLD are held from the first line of main: a stop is taken only where
// the helper looks for one, never lost between, and every wait watches it.
#ifndef PASSHELPER_PASSRUN_H
#define PASSHELPER_PASSRUN_H

#include <stddef.h>

// Holds SIGCHLD, SIGTERM and SIGINT back, and resets an inherited ignored SIGCHLD, which would hide the downloader's
// status.
void passrun_hold_signals(void);

// Runs `program`, its output relayed behind "output: ", stopped (SIGTERM, SIGKILL 5 s later) after `timeout` seconds
// or on a stop. Returns its exit status: 1 when stopped, timed out, killed or its status lost, 127 when it could not
// start; the outcome in words in `result`; *exited set when it ended by itself.
int passrun_run(const char *program, int timeout, char *result, size_t size, int *exited);

// The first (`last` 0) or last line of the latest run's output that was not empty, raw, cut to 255 bytes; "" when
// none.
const char *passrun_said(int last);

// Whether a stop has come (taking one that waits).
int passrun_stopping(void);

// "SIGTERM" or "SIGINT", the stop that came; "" when none did.
const char *passrun_stop_name(void);

// Waits `seconds` on the monotonic clock: 0 when they passed, 1 when an arrival is recorded in `lockDir` first, -1 on
// a stop.
int passrun_back_off(const char *lockDir, double seconds);

#endif
