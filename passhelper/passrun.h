/*
 * How the helper runs a program for a pass, and what it reads back from the
 * downloader's log afterwards.
 */
#ifndef PASSHELPER_PASSRUN_H
#define PASSHELPER_PASSRUN_H

#include <stddef.h>
#include <sys/types.h>

/* Runs argv[0] with `argv`, stopping it after `timeout` seconds (SIGTERM,
   SIGKILL 5 s later). Returns its exit status, 1 when it was stopped or
   ended by a signal, 127 when it could not be started; describes the
   outcome in `result` ("success", "failed (exit status 3)", ...). */
int passrun_run(char *const argv[], int timeout, char *result, size_t size);

/* Where the log stood before a pass: the file, held open so that a new log
   cannot be taken for it (a deleted file's inode number could be reused
   while nothing holds it), and its size. */
struct passrun_log {
    int fd; /* -1: there was no log */
    off_t size;
};

/* Notes where service.log in the working directory stands now. */
void passrun_mark_log(struct passrun_log *mark);

/* Prints each line added to service.log since the mark as "log: <line>"
   (the whole log when it was replaced or begun anew, as a pass without
   "append" does). Returns how many of them are "Unconfigured device found"
   lines, or -1 when there is no log. Releases the mark. */
int passrun_read_log(struct passrun_log *mark);

#endif
