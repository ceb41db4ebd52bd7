#include "arrivals.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define ALNUM "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"

int arrivals_valid(const char *name)
{
    const size_t n = strlen(name);
    return n >= 1 && n <= 64 && strchr(ALNUM, name[0]) && strspn(name + 1, ALNUM "-_") == n - 1;
}

/* <dir>/arrivals into `path` (PATH_MAX bytes); -1 when it does not fit. */
static int directory(const char *dir, char *path)
{
    if (snprintf(path, PATH_MAX, "%s/arrivals", dir) < PATH_MAX)
        return 0;
    errno = ENAMETOOLONG;
    return -1;
}

int arrivals_record(const char *dir, const char *name)
{
    char path[PATH_MAX], marker[PATH_MAX];
    if (!arrivals_valid(name)) {
        errno = EINVAL;
        return -1;
    }
    if (directory(dir, path) != 0 || snprintf(marker, sizeof marker, "%s/%s", path, name) >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    /* At boot udev may replay arrivals before anything else made the
       directories. */
    mkdir(dir, 0755);
    mkdir(path, 0755);
    const int fd = open(marker, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return -1;
    return close(fd);
}

int arrivals_pending(const char *dir, char *path)
{
    if (directory(dir, path) != 0)
        return 0;
    DIR *d = opendir(path);
    if (!d)
        return 0;
    int pending = 0;
    for (struct dirent *e; !pending && (e = readdir(d));)
        pending = strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0;
    closedir(d);
    return pending;
}

static int byName(const void *a, const void *b)
{
    return strcmp(*(char *const *)a, *(char *const *)b);
}

int arrivals_take(const char *dir, char *names, size_t size, int *count)
{
    char path[PATH_MAX];
    names[0] = '\0';
    *count = 0;
    if (directory(dir, path) != 0)
        return -1;
    DIR *d = opendir(path);
    if (!d)
        return errno == ENOENT ? 0 : -1;
    char **taken = NULL;
    size_t n = 0;
    int stuck = 0;
    for (struct dirent *e; (e = readdir(d));) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        /* A marker is an empty file; anything else in the directory would
           start pass after pass, so it goes too if it can. */
        int removed = unlinkat(dirfd(d), e->d_name, 0);
        if (removed != 0 && errno == EISDIR)
            removed = unlinkat(dirfd(d), e->d_name, AT_REMOVEDIR);
        if (removed != 0) {
            fprintf(stderr, "qmx4-fwload-pass: can't remove arrival marker %s/%s: %s\n", path, e->d_name,
                    strerror(errno));
            ++stuck;
            continue;
        }
        ++*count;
        /* Short of memory the arrival is taken all the same; only its name
           is missing from the list. */
        char **grown = realloc(taken, (n + 1) * sizeof *taken);
        if (grown) {
            taken = grown;
            if ((taken[n] = strdup(e->d_name)))
                ++n;
        }
    }
    closedir(d);
    if (n > 1)
        qsort(taken, n, sizeof *taken, byName);
    size_t used = 0;
    for (size_t i = 0; i < n; ++i) {
        const int written = snprintf(names + used, size - used, "%s%s", used ? " " : "", taken[i]);
        used = written < 0 || (size_t)written >= size - used ? size - 1 : used + (size_t)written;
        free(taken[i]);
    }
    free(taken);
    return stuck;
}
