#include "passlock.h"

#include "regularfile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

int passlock_valid(const char *dir)
{
    return dir[0] == '/';
}

/* -1 with errno `error` and "<path>: <what>" in `why`. */
static int failing(int error, char *why, const char *path, const char *what)
{
    snprintf(why, PASSLOCK_WHY, "%s: %s", path, what ? what : strerror(error));
    errno = error;
    return -1;
}

int passlock_open_dir(int at, const char *name, const char *shown, int make, char *why)
{
    if (!shown)
        shown = name;
    if (make)
        mkdirat(at, name, 0755);
    const int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    if (fd < 0) {
        const int error = errno;
        if ((error == ENOTDIR || error == ELOOP) && fstatat(at, name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
            char what[64];
            snprintf(what, sizeof what, "it is %s, not a directory", regularfile_kind(info.st_mode));
            return failing(ENOTDIR, why, shown, what);
        }
        return failing(error, why, shown, NULL);
    }
    char what[96] = "";
    if (fstat(fd, &info) != 0)
        snprintf(what, sizeof what, "%s", strerror(errno));
    else if (info.st_uid != 0 && info.st_uid != geteuid())
        snprintf(what, sizeof what, "it belongs to user %u, neither root nor this program's user", (unsigned)info.st_uid);
    else if (info.st_mode & (S_IWGRP | S_IWOTH))
        snprintf(what, sizeof what, "it is writable by others (mode %04o)", (unsigned)(info.st_mode & 07777));
    if (!what[0])
        return fd;
    close(fd);
    return failing(EPERM, why, shown, what);
}

/* Takes the exclusive lock without waiting, retrying after signals. */
static int tryLock(int fd)
{
    int result;
    do
        result = flock(fd, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    return result;
}

/* Waits at most `timeout_ms` for the lock: flock itself has no deadline,
   so it looks again every 20 ms. */
static int waitForLock(int fd, int timeout_ms)
{
    const struct timespec step = {0, 20 * 1000 * 1000};
    for (long waited = 0;; waited += 20) {
        const int result = tryLock(fd);
        if (result == 0 || errno != EWOULDBLOCK)
            return result;
        if (waited >= timeout_ms) {
            errno = ETIMEDOUT;
            return -1;
        }
        nanosleep(&step, NULL);
    }
}

int passlock_take(const char *dir, int inherit, int timeout_ms, void (*waiting)(void *, int), void *context,
                  char *why)
{
    char path[PATH_MAX];
    if (!passlock_valid(dir))
        return failing(EINVAL, why, dir, "a lock directory is an absolute path");
    if (snprintf(path, sizeof path, "%s/pass", dir) >= (int)sizeof path)
        return failing(ENAMETOOLONG, why, dir, NULL);
    /* Made by tmpfiles.d and RuntimeDirectory=; by hand it may be missing. */
    const int at = passlock_open_dir(AT_FDCWD, dir, NULL, 1, why);
    if (at < 0)
        return -1;
    const int fd = openat(at, "pass", O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | (inherit ? 0 : O_CLOEXEC), 0600);
    const int error = errno;
    close(at);
    struct stat info;
    if (fd < 0 && !(lstat(path, &info) == 0 && !S_ISREG(info.st_mode)))
        return failing(error, why, path, NULL);
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        char what[64];
        snprintf(what, sizeof what, "it is %s, not a regular file", regularfile_kind(info.st_mode));
        if (fd >= 0)
            close(fd);
        return failing(EPERM, why, path, what);
    }
    int locked = tryLock(fd);
    if (locked != 0 && errno == EWOULDBLOCK) {
        if (waiting)
            waiting(context, fd);
        locked = waitForLock(fd, timeout_ms);
    }
    if (locked == 0)
        return fd;
    const int failure = errno;
    close(fd);
    return failing(failure, why, path, NULL);
}
