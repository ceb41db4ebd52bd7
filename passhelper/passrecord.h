// What the helper reads back after a pass: the events the downloader
// reported on the channel the helper gave it (passevents.h), and the lines
// it added to its log, for the journal.
#ifndef PASSHELPER_PASSRECORD_H
#define PASSHELPER_PASSRECORD_H

#include <sys/types.h>

struct passrecord_events {
    int fd;            /* the channel; -1 without one */
    int counted;       /* whether there was a channel to count on */
    int downloads;     /* devices downloaded */
    int failedAt;      /* the device the pass failed at; -1 when none or not at a device */
    int failedOutside; /* whether it failed outside any device (the session, the listing) */
};

// Opens the channel: the file `path` (replaced), else a temporary file (said), else none (said: downloads not
// counted); writes "begun TRIES BOOTTIME" and names it in the environment.
void passrecord_open_events(struct passrecord_events *events, const char *path, int tries);

// Reads what the downloader wrote, writes "ended STATUS SECONDS", closes the channel and takes it out of the
// environment.
void passrecord_read_events(struct passrecord_events *events, int status, double seconds);

// Where the log stood before a pass: the file, held open so that its inode number cannot be reused for a new log, and
// its size.
struct passrecord_log {
    int fd; /* -1: there was no log that is a regular file */
    off_t size;
};

// Notes where service.log in the working directory stands now.
void passrecord_mark_log(struct passrecord_log *mark);

// Relays the lines added to service.log since the mark (all, when it was replaced or begun anew) as "log: LINE",
// escaped and bounded; reads only a regular file; releases the mark.
void passrecord_print_log(struct passrecord_log *mark);

#endif
