/*
 * Arrival markers: the udev rule records every USB device that arrives as
 * an empty file named after it ("<bus number>-<device number>") in the
 * directory "arrivals" of the lock directory, and systemd starts a pass
 * whenever that directory is not empty. A pass takes the markers, under
 * the passes' lock, before the downloader lists any device.
 */
#ifndef PASSHELPER_ARRIVALS_H
#define PASSHELPER_ARRIVALS_H

#include <stddef.h>

/* Whether `name` can name a marker: 1 to 64 letters, digits, '-' or '_',
   beginning with a letter or digit. */
int arrivals_valid(const char *name);

/* Records an arrival: creates the directories as needed and the marker
   <dir>/arrivals/<name>. Returns 0, or -1 with errno set. */
int arrivals_record(const char *dir, const char *name);

/* Whether an arrival is recorded in <dir>/arrivals; writes the directory's
   path into `path` (PATH_MAX bytes) for watching it. */
int arrivals_pending(const char *dir, char *path);

/* Takes every recorded arrival: removes each entry of <dir>/arrivals (a
   missing directory holds none) and writes their names, sorted and
   separated by blanks, into `names` (cut to `size`), their number into
   `count`. An entry that cannot be removed is reported on standard error
   and not counted. Returns how many could not be removed, or -1 with errno
   set when the directory cannot be read. */
int arrivals_take(const char *dir, char *names, size_t size, int *count);

#endif
