#include "passlock.h"

#include "regularfile.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
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

/* Whether the lock line of /proc/locks or of a descriptor's fdinfo ("1:
   FLOCK  ADVISORY  WRITE 1234 fe:01:5678 0 EOF", after any prefix) is a
   flock on this file; its process in *pid. */
static int lockOf(const char *line, const struct stat *file, int *pid)
{
    char kind[16];
    unsigned major, minor;
    unsigned long inode;
    const char *colon = strchr(line, ':');
    if (!colon || sscanf(colon + 1, " %15s %*s %*s %d %x:%x:%lu", kind, pid, &major, &minor, &inode) != 5)
        return 0;
    return strcmp(kind, "FLOCK") == 0 && inode == file->st_ino && makedev(major, minor) == file->st_dev && *pid > 0;
}

/* Whether process `pid` has a descriptor that holds the lock on `file`
   (its fdinfo lists the locks held through each descriptor). */
static int holds(int pid, const struct stat *file)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/fdinfo", pid);
    DIR *fds = opendir(path);
    if (!fds)
        return 0;
    int found = 0;
    for (struct dirent *e; !found && (e = readdir(fds));) {
        char info[PATH_MAX], line[256];
        if (e->d_name[0] == '.' || snprintf(info, sizeof info, "%s/%s", path, e->d_name) >= (int)sizeof info)
            continue;
        FILE *f = fopen(info, "re");
        int owner;
        while (f && !found && fgets(line, sizeof line, f))
            found = strncmp(line, "lock:", 5) == 0 && lockOf(line + 5, file, &owner);
        if (f)
            fclose(f);
    }
    closedir(fds);
    return found;
}

static void describe(int pid, char *holder, size_t size)
{
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
}

void passlock_holder(int fd, char *holder, size_t size)
{
    holder[0] = '\0';
    struct stat info;
    FILE *locks = fstat(fd, &info) == 0 ? fopen("/proc/locks", "re") : NULL;
    if (!locks)
        return;
    /* /proc/locks names the process that took the lock, which may have died
       while a child it started holds the lock on. */
    char line[256];
    int taker = 0;
    while (fgets(line, sizeof line, locks)) {
        int pid;
        if (!strstr(line, "->") && lockOf(line, &info, &pid)) { /* "->": a process waiting for it */
            taker = pid;
            break;
        }
    }
    fclose(locks);
    if (taker && holds(taker, &info)) {
        describe(taker, holder, size);
        return;
    }
    DIR *proc = opendir("/proc");
    for (struct dirent *e; proc && (e = readdir(proc));) {
        const int pid = atoi(e->d_name);
        if (pid > 0 && pid != taker && holds(pid, &info)) {
            describe(pid, holder, size);
            break;
        }
    }
    if (proc)
        closedir(proc);
}

/* Takes the lock on the file `name` in `dir`. */
static int takeLock(const char *dir, const char *name, int inherit, int timeout_ms,
                    void (*waiting)(void *, const char *), void *context, char *why)
{
    char path[PATH_MAX];
    if (!passlock_valid(dir))
        return failing(EINVAL, why, dir, "a lock directory is an absolute path");
    if (snprintf(path, sizeof path, "%s/%s", dir, name) >= (int)sizeof path)
        return failing(ENAMETOOLONG, why, dir, NULL);
    /* The directory usually exists (tmpfiles.d, RuntimeDirectory=); by
       hand it may not. */
    const int at = passlock_open_dir(AT_FDCWD, dir, NULL, 1, why);
    if (at < 0)
        return -1;
    const int fd = openat(at, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | (inherit ? 0 : O_CLOEXEC), 0600);
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
        if (waiting) {
            char holder[128];
            passlock_holder(fd, holder, sizeof holder);
            waiting(context, holder);
        }
        locked = waitForLock(fd, timeout_ms);
    }
    if (locked == 0)
        return fd;
    const int failure = errno;
    close(fd);
    return failing(failure, why, path, NULL);
}

int passlock_take(const char *dir, int inherit, int timeout_ms, void (*waiting)(void *, const char *),
                  void *context, char *why)
{
    return takeLock(dir, "pass", inherit, timeout_ms, waiting, context, why);
}

int passlock_take_streak(const char *dir, int timeout_ms, char *why)
{
    return takeLock(dir, "streak", 0, timeout_ms, NULL, NULL, why);
}

int passlock_streak_held(const char *dir)
{
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/streak", dir) >= (int)sizeof path)
        return 0;
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    int result;
    do
        result = flock(fd, LOCK_SH | LOCK_NB);
    while (result != 0 && errno == EINTR);
    const int held = result != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}
