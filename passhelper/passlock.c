#include "passlock.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

int passlock_valid(const char *dir)
{
    return dir[0] == '/';
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

/* Waits for the lock, for ever or until `timeout_ms` passed: flock itself
   has no deadline, so a bounded wait looks again every 20 ms. */
static int waitForLock(int fd, int timeout_ms)
{
    int result;
    if (timeout_ms < 0) {
        do
            result = flock(fd, LOCK_EX);
        while (result != 0 && errno == EINTR);
        return result;
    }
    const struct timespec step = {0, 20 * 1000 * 1000};
    for (long waited = 0;; waited += 20) {
        if ((result = tryLock(fd)) == 0 || errno != EWOULDBLOCK)
            return result;
        if (waited >= timeout_ms) {
            errno = ETIMEDOUT;
            return -1;
        }
        nanosleep(&step, NULL);
    }
}

void passlock_holder(int fd, char *holder, size_t size)
{
    holder[0] = '\0';
    struct stat info;
    FILE *locks = fstat(fd, &info) == 0 ? fopen("/proc/locks", "re") : NULL;
    if (!locks)
        return;
    /* "1: FLOCK  ADVISORY  WRITE 1234 fe:01:5678 0 EOF": the process that
       took it, and the lock file's device and inode. */
    char line[256], kind[16];
    unsigned major, minor;
    unsigned long inode;
    int pid;
    while (fgets(line, sizeof line, locks)) {
        if (sscanf(line, "%*d: %15s %*s %*s %d %x:%x:%lu", kind, &pid, &major, &minor, &inode) != 5 ||
            strcmp(kind, "FLOCK") != 0 || inode != info.st_ino || makedev(major, minor) != info.st_dev || pid <= 0)
            continue;
        char path[64], name[64] = "";
        snprintf(path, sizeof path, "/proc/%d/comm", pid);
        FILE *comm = fopen(path, "re");
        if (comm && fgets(name, sizeof name, comm))
            name[strcspn(name, "\n")] = '\0';
        if (comm)
            fclose(comm);
        if (name[0])
            snprintf(holder, size, "process %d (%s)", pid, name);
        else
            snprintf(holder, size, "process %d", pid);
        break;
    }
    fclose(locks);
}

int passlock_take(const char *dir, int inherit, int timeout_ms, void (*waiting)(void *, const char *),
                  void *context, char *failed)
{
    snprintf(failed, PATH_MAX, "%s", dir);
    if (!passlock_valid(dir)) {
        errno = EINVAL;
        return -1;
    }
    if (snprintf(failed, PATH_MAX, "%s/pass", dir) >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    /* The directory usually exists (tmpfiles.d, RuntimeDirectory=); by
       hand it may not. */
    mkdir(dir, 0755);
    const int fd = open(failed, O_RDWR | O_CREAT | O_NOFOLLOW | (inherit ? 0 : O_CLOEXEC), 0600);
    int locked = fd < 0 ? -1 : tryLock(fd);
    if (fd >= 0 && locked != 0 && errno == EWOULDBLOCK) {
        if (waiting) {
            char holder[128];
            passlock_holder(fd, holder, sizeof holder);
            waiting(context, holder);
        }
        locked = waitForLock(fd, timeout_ms);
    }
    if (locked == 0)
        return fd;
    const int error = errno;
    if (fd >= 0)
        close(fd);
    errno = error;
    return -1;
}
