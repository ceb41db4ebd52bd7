/*
 * How the helper runs a program for a pass: with a deadline, with the
 * signals that stop a service passed on to it, and with the channel on
 * which the downloader reports what it did (passevents.h); and what it
 * reads back from the downloader's log for the journal.
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
   ("success", "failed (exit status 3)", "stopped by SIGTERM", ...). */
int passrun_run(char *const argv[], int timeout, int forward, char *result, size_t size);

/* Whether a SIGTERM or SIGINT has come since passrun_hold_signals. */
int passrun_stopping(void);

/* What the downloader reported on the events channel. */
struct passrun_events {
    int fd;         /* the channel (an unnamed temporary file); -1 without one */
    int downloads;  /* devices downloaded */
    int failedAt;   /* the device the pass failed at; -1 when none or not at a device */
};

/* Opens the channel and names it in the environment for the programs run
   next; without a temporary file there is no channel (fd -1). */
void passrun_open_events(struct passrun_events *events);

/* Reads what the downloader wrote, closes the channel and takes it out of
   the environment. */
void passrun_read_events(struct passrun_events *events);

/* Where the log stood before a pass: the file, held open so that a new log
   cannot be taken for it (a deleted file's inode number could be reused
   while nothing holds it), and its size. */
struct passrun_log {
    int fd; /* -1: there was no log that is a regular file */
    off_t size;
};

/* Notes where service.log in the working directory stands now. */
void passrun_mark_log(struct passrun_log *mark);

/* Prints each line added to service.log since the mark as "log: <line>"
   (the whole log when it was replaced or begun anew, as a pass without
   "append" does). Only a regular file is read. Releases the mark. */
void passrun_print_log(struct passrun_log *mark);

#endif
