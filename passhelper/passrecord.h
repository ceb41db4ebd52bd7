/*
 * What the helper reads back after a pass: the events the downloader
 * reported on the channel the helper gave it (passevents.h), and the lines
 * it added to its log, for the journal.
 */
#ifndef PASSHELPER_PASSRECORD_H
#define PASSHELPER_PASSRECORD_H

#include <sys/types.h>

/* What the downloader reported on the events channel. */
struct passrecord_events {
    int fd;         /* the channel (an unnamed temporary file); -1 without one */
    int counted;    /* whether there was a channel to count on */
    int downloads;  /* devices downloaded */
    int failedAt;   /* the device the pass failed at; -1 when none or not at a device */
    int failedOutside; /* whether it failed outside any device (the session, the listing) */
};

/* Opens the channel, the file `path` (replaced; an unnamed temporary file
   when null or when it cannot be made, said), writes the pass's first line
   ("begun TRIES BOOTTIME") and names it in the environment for the
   downloader; without any file there is no channel (said; the pass's
   downloads are not counted then). */
void passrecord_open_events(struct passrecord_events *events, const char *path, int tries);

/* Reads what the downloader wrote and takes the channel out of the
   environment; then writes the pass's last line ("ended STATUS SECONDS")
   and closes it. */
void passrecord_read_events(struct passrecord_events *events, int status, double seconds);

/* Where the log stood before a pass: the file, held open so that a new log
   cannot be taken for it (a deleted file's inode number could be reused
   while nothing holds it), and its size. */
struct passrecord_log {
    int fd; /* -1: there was no log that is a regular file */
    off_t size;
};

/* Notes where service.log in the working directory stands now. */
void passrecord_mark_log(struct passrecord_log *mark);

/* Relays each line added to service.log since the mark as "log: <line>"
   (the whole log when it was replaced or begun anew, as a pass without
   "append" does), escaped and bounded (journal.h). Only a regular file is
   read. Releases the mark. */
void passrecord_print_log(struct passrecord_log *mark);

#endif
