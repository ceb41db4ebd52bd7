#include "passlock.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

/* The path dir/name into `path` (PATH_MAX bytes); -1 (ENAMETOOLONG) when
   it does not fit. */
static int lockPath(const char *dir, const char *name, char *path)
{
    if (snprintf(path, PATH_MAX, "%s/%s", dir, name) >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}

int passlock_open(const char *dir, const char *name, int inherit)
{
    char path[PATH_MAX];
    if (lockPath(dir, name, path) != 0)
        return -1;
    /* The directory usually exists (systemd's RuntimeDirectory=); by hand
       it may not. */
    mkdir(dir, 0755);
    return open(path, O_RDWR | O_CREAT | (inherit ? 0 : O_CLOEXEC), 0600);
}

int passlock_lock(int fd, int wait)
{
    int result;
    do
        result = flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    while (result != 0 && errno == EINTR);
    return result;
}

int passlock_take_pass(const char *dir, int inherit, void (*waiting)(void *), void *context, char *failed)
{
    const int fd = passlock_open(dir, "pass", inherit);
    int locked = fd < 0 ? -1 : passlock_lock(fd, 0);
    if (fd >= 0 && locked != 0 && errno == EWOULDBLOCK) {
        if (waiting)
            waiting(context);
        locked = passlock_lock(fd, 1);
    }
    if (locked == 0)
        return fd;
    const int error = errno;
    if (lockPath(dir, "pass", failed) != 0)
        snprintf(failed, PATH_MAX, "%s", dir);
    if (fd >= 0)
        close(fd);
    errno = error;
    return -1;
}
