#include "passlock.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

/* Takes the exclusive lock, retrying after signals; without `wait` fails
   at once (EWOULDBLOCK) when it is held. */
static int lock(int fd, int wait)
{
    int result;
    do
        result = flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    while (result != 0 && errno == EINTR);
    return result;
}

int passlock_take(const char *dir, int inherit, void (*waiting)(void *), void *context, char *failed)
{
    if (snprintf(failed, PATH_MAX, "%s/pass", dir) >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    /* The directory usually exists (tmpfiles.d, RuntimeDirectory=); by
       hand it may not. */
    mkdir(dir, 0755);
    const int fd = open(failed, O_RDWR | O_CREAT | (inherit ? 0 : O_CLOEXEC), 0600);
    int locked = fd < 0 ? -1 : lock(fd, 0);
    if (fd >= 0 && locked != 0 && errno == EWOULDBLOCK) {
        if (waiting)
            waiting(context);
        locked = lock(fd, 1);
    }
    if (locked == 0)
        return fd;
    const int error = errno;
    if (fd >= 0)
        close(fd);
    errno = error;
    return -1;
}
