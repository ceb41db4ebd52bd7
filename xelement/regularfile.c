#include "regularfile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

const char *regularfile_kind(mode_t mode)
{
    if (S_ISREG(mode))
        return "a regular file";
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISLNK(mode))
        return "a symbolic link";
    return "not a regular file";
}

/* -1 with the open's error in `why`; -2 for a socket, which open refuses
   with ENXIO (as it refuses a FIFO without a reader to a writer), and for
   a symbolic link that was not to be followed (ELOOP). */
static int openFailed(int dir, const char *path, char *why)
{
    const int error = errno;
    struct stat info;
    if ((error == ENXIO || error == ELOOP) && path && fstatat(dir, path, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        (S_ISSOCK(info.st_mode) || S_ISLNK(info.st_mode))) {
        snprintf(why, REGULARFILE_WHY, "it is %s, not a regular file", regularfile_kind(info.st_mode));
        return -2;
    }
    snprintf(why, REGULARFILE_WHY, "%s", strerror(error));
    errno = error;
    return -1;
}

/* -2 for a file of the wrong kind, the descriptor closed. */
static int refused(int fd, const struct stat *info, char *why)
{
    snprintf(why, REGULARFILE_WHY, "it is %s, not a regular file", regularfile_kind(info->st_mode));
    close(fd);
    return -2;
}

/* Opens `path` (relative to `dir`) with `flags` (and O_NONBLOCK, so that
   nothing waits) and looks at what it is: 0 with the descriptor in *fd and
   its status in *info, or what regularfile_open returns for a file that
   cannot be opened or looked at. */
static int openAndLook(int dir, const char *path, int flags, int *fd, struct stat *info, char *why)
{
    *fd = openat(dir, path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
    if (*fd < 0)
        return openFailed(dir, path, why);
    if (fstat(*fd, info) == 0)
        return 0;
    const int result = openFailed(dir, NULL, why);
    close(*fd);
    return result;
}

int regularfile_openat(int dir, const char *path, int flags, long long limit, char *why)
{
    int fd;
    struct stat info;
    const int failed = openAndLook(dir, path, O_RDONLY | (flags & REGULARFILE_NOFOLLOW ? O_NOFOLLOW : 0), &fd, &info, why);
    if (failed)
        return failed;
    if (!S_ISREG(info.st_mode))
        return refused(fd, &info, why);
    if ((long long)info.st_size > limit) {
        snprintf(why, REGULARFILE_WHY, "it has %lld bytes, more than the limit of %lld", (long long)info.st_size,
                 limit);
        close(fd);
        return -3;
    }
    /* A regular file never waits; reading goes on as usual. */
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

int regularfile_open(const char *path, long long limit, char *why)
{
    return regularfile_openat(AT_FDCWD, path, 0, limit, why);
}

int regularfile_append(const char *path, char *why)
{
    int fd;
    struct stat info;
    const int failed = openAndLook(AT_FDCWD, path, O_WRONLY | O_APPEND | O_CREAT, &fd, &info, why);
    if (failed)
        return failed;
    if (!S_ISREG(info.st_mode) && !S_ISFIFO(info.st_mode))
        return refused(fd, &info, why);
    return fd;
}
