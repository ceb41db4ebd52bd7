#include "markers.h"

#include "decimal.h"
#include "passlock.h"
#include "textescape.h"

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

int markers_valid(const char *name)
{
    const size_t n = strlen(name);
    return n >= 1 && n <= 64 && strchr(ALNUM, name[0]) && strspn(name + 1, ALNUM "-_") == n - 1;
}

void arrivals_free(struct arrivals *list)
{
    for (size_t i = 0; i < list->count; ++i)
        free(list->names[i]);
    free(list->names);
    list->names = NULL;
    list->count = 0;
}

int markers_delays(const char *text, double delays[MARKERS_MOST_RETRIES])
{
    int count = 0;
    for (const char *at = text; *at; ++count) {
        const size_t n = strcspn(at, ",");
        if (count == MARKERS_MOST_RETRIES || decimal_parse(at, (int)n, 86400, 0, &delays[count]) != 0 ||
            !(delays[count] > 0))
            return -1;
        at += n;
        if (*at == ',' && !*++at)
            return -1; /* a trailing comma */
    }
    return count;
}

/* The tries a taken marker's name carries ("1-5~2": 2); -1 for a name that
   is not one. */
static int triesOf(const char *name, char *marker)
{
    const char *tilde = strrchr(name, '~');
    double tries;
    if (!tilde || tilde - name > 64 || decimal_parse(tilde + 1, -1, 99, DECIMAL_WHOLE, &tries) != 0)
        return -1;
    memcpy(marker, name, (size_t)(tilde - name));
    marker[tilde - name] = '\0';
    return markers_valid(marker) ? (int)tries : -1;
}

/* Opens <dir>/<name> as passlock_open_dir does, made when missing. */
static int openSub(const char *dir, const char *name, char *why)
{
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/%s", dir, name);
    const int at = passlock_open_dir(AT_FDCWD, dir, NULL, 1, why);
    if (at < 0)
        return -1;
    const int fd = passlock_open_dir(at, name, path, 1, why);
    close(at);
    return fd;
}

int markers_tries(const char *dir)
{
    char path[PATH_MAX], marker[80];
    snprintf(path, sizeof path, "%s/taken", dir);
    DIR *d = opendir(path);
    int most = 0;
    for (struct dirent *e; d && (e = readdir(d));) {
        const int tries = triesOf(e->d_name, marker);
        most = tries > most ? tries : most;
    }
    if (d)
        closedir(d);
    return d ? most : -1;
}

int markers_record(const char *dir, const char *name, char *why)
{
    /* At boot udev may replay arrivals before anything made the directories. */
    const int at = openSub(dir, "arrivals", why);
    if (at < 0)
        return -1;
    const int fd = openat(at, name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        snprintf(why, PASSLOCK_WHY, "%s/arrivals/%s: %s", dir, name, strerror(errno));
    close(at);
    return fd < 0 ? -1 : close(fd);
}

int markers_pending(const char *dir, char *path)
{
    snprintf(path, PATH_MAX, "%s/arrivals", dir);
    DIR *d = opendir(path);
    int pending = 0;
    for (struct dirent *e; d && !pending && (e = readdir(d));)
        pending = strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0;
    if (d)
        closedir(d);
    return pending;
}

/* Adds `name`, escaped, to the list unless it is there. */
static void note(struct arrivals *list, const char *name)
{
    char shown[4 * 256 + 1];
    textescape(shown, sizeof shown, name, strlen(name));
    for (size_t i = 0; i < list->count; ++i)
        if (strcmp(list->names[i], shown) == 0)
            return;
    char **grown = realloc(list->names, (list->count + 1) * sizeof *list->names);
    if (grown && (grown[list->count] = strdup(shown)))
        ++list->count;
    list->names = grown ? grown : list->names;
}

static int byName(const void *a, const void *b)
{
    return strcmp(*(char *const *)a, *(char *const *)b);
}

/* Removes an entry that is no marker, a directory too; -1 when it stays. */
static int removeEntry(int at, const char *name)
{
    if (unlinkat(at, name, 0) == 0 || errno == ENOENT)
        return 0;
    return errno == EISDIR && unlinkat(at, name, AT_REMOVEDIR) == 0 ? 0 : -1;
}

/* The names in the directory `at`, raw (renaming while reading a
   directory could show an entry twice); -1 when it cannot be read. */
static int readNames(int at, struct arrivals *names)
{
    DIR *d = fdopendir(dup(at));
    for (struct dirent *e; d && (e = readdir(d));) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        char **grown = realloc(names->names, (names->count + 1) * sizeof *names->names);
        if (!grown)
            break;
        names->names = grown;
        if (!(grown[names->count] = strdup(e->d_name)))
            break;
        ++names->count;
    }
    if (d)
        closedir(d);
    return d ? 0 : -1;
}

/* Moves each entry of `from` (the taken ones when `to` is `from`) to `to`
   as name~tries, the taken ones with one try more, or with none when
   `reset`; removes what is no marker. Returns the entries that stayed. */
static int moveAll(int from, int to, int reset, struct arrivals *names, int *most)
{
    struct arrivals raw = {NULL, 0};
    int stuck = readNames(from, &raw);
    for (size_t i = 0; i < raw.count; ++i) {
        char marker[80], moved[96];
        const char *name = raw.names[i];
        struct stat info;
        const int file = fstatat(from, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
        int tries = !file ? -1 : from == to ? triesOf(name, marker) : markers_valid(name) ? 0 : -1;
        if (from == to && name[0] == '.')
            continue; /* set aside earlier */
        if (tries < 0) {
            /* What cannot be removed (a directory that is not empty) is set
               aside, hidden among the taken ones: left among the arrivals,
               it would start pass after pass. */
            snprintf(moved, sizeof moved, ".%.80s", name);
            stuck += removeEntry(from, name) != 0 && (from == to || renameat(from, name, to, moved) != 0);
            continue;
        }
        if (from != to)
            strcpy(marker, name);
        tries = reset ? 0 : tries < 99 ? tries + 1 : 99;
        snprintf(moved, sizeof moved, "%s~%d", marker, tries);
        if (strcmp(moved, name) != 0 && renameat(from, name, to, moved) != 0 && errno != ENOENT)
            ++stuck;
        if (names)
            note(names, marker);
        *most = tries > *most ? tries : *most;
    }
    arrivals_free(&raw);
    return stuck < 0 ? 1 : stuck;
}

int markers_take(const char *dir, struct arrivals *taken, int *tries, char *why)
{
    const int arrivals = openSub(dir, "arrivals", why);
    const int kept = arrivals >= 0 ? openSub(dir, "taken", why) : -1;
    *tries = 0;
    int stuck = -1;
    if (kept >= 0) {
        /* The taken ones first, so that a new arrival begins at one try. */
        stuck = moveAll(kept, kept, 0, taken, tries);
        stuck += moveAll(arrivals, kept, 0, taken, tries);
        /* A pass by hand counts its tries on a marker of its own. */
        const int fd = *tries ? -1 : openat(kept, "by-hand~1", O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        *tries = *tries ? *tries : fd >= 0 ? 1 : 99;
        if (fd >= 0)
            close(fd);
        if (taken->count > 1)
            qsort(taken->names, taken->count, sizeof *taken->names, byName);
    }
    if (arrivals >= 0)
        close(arrivals);
    if (kept >= 0)
        close(kept);
    return stuck;
}

void markers_finish(const char *dir, int keep)
{
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/taken", dir);
    const int at = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct arrivals raw = {NULL, 0};
    int most = 0;
    if (at >= 0 && keep)
        moveAll(at, at, 1, NULL, &most);
    else if (at >= 0 && readNames(at, &raw) == 0)
        for (size_t i = 0; i < raw.count; ++i)
            removeEntry(at, raw.names[i]);
    arrivals_free(&raw);
    if (at >= 0)
        close(at);
}

int markers_drop(const char *dir)
{
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/arrivals", dir);
    const int at = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct arrivals raw = {NULL, 0};
    int dropped = 0;
    if (at >= 0 && readNames(at, &raw) == 0)
        for (size_t i = 0; i < raw.count; ++i)
            dropped += removeEntry(at, raw.names[i]) == 0;
    arrivals_free(&raw);
    if (at >= 0)
        close(at);
    return dropped;
}
