/*
 * Who holds the passes' lock, for the companion to name the pass it waits
 * for.
 */
#ifndef FWCTL_LOCKHOLDER_H
#define FWCTL_LOCKHOLDER_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Who holds the lock on the open file `fd`: the process that took it if it
   still holds it, else a process that inherited it (a downloader whose
   helper died), as "process 123 (qmx4-fwload)", "process 123", or "" when
   it cannot be known. */
void passlock_holder(int fd, char *holder, size_t size);

#ifdef __cplusplus
}
#endif

#endif
