#include "arrivals.h"

#include "decimal.h"
#include "journal.h"
#include "passlock.h"
#include "regularfile.h"
#include "replacefile.h"
#include "retrystate.h"
#include "textescape.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define ALNUM "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"

/* The record of an unfinished streak, and the most it may hold. */
static const char recordName[] = "pass.unfinished";
#define RECORD_LIMIT (16LL << 20)

int arrivals_valid(const char *name)
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

static int byName(const void *a, const void *b)
{
    return strcmp(*(char *const *)a, *(char *const *)b);
}

/* Appends a copy of `name` (escaped already); -1 short of memory. */
static int append(struct arrivals *list, const char *name)
{
    char **grown = realloc(list->names, (list->count + 1) * sizeof *list->names);
    if (!grown)
        return -1;
    list->names = grown;
    if (!(list->names[list->count] = strdup(name)))
        return -1;
    ++list->count;
    return 0;
}

/* Sorts the list and drops names it holds twice. */
static void settle(struct arrivals *list)
{
    if (list->count > 1)
        qsort(list->names, list->count, sizeof *list->names, byName);
    size_t kept = 0;
    for (size_t i = 0; i < list->count; ++i) {
        if (kept > 0 && strcmp(list->names[kept - 1], list->names[i]) == 0)
            free(list->names[i]);
        else
            list->names[kept++] = list->names[i];
    }
    list->count = kept;
}

int arrivals_add(struct arrivals *list, const struct arrivals *more)
{
    for (size_t i = 0; i < more->count; ++i)
        if (append(list, more->names[i]) != 0)
            return -1;
    settle(list);
    return 0;
}

/* Opens <dir>/arrivals (made when missing); -1 with why when the lock
   directory or it cannot be used. */
static int openArrivals(const char *dir, char *why)
{
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/arrivals", dir) >= (int)sizeof path) {
        snprintf(why, PASSLOCK_WHY, "the lock directory's path is too long");
        errno = ENAMETOOLONG;
        return -1;
    }
    const int at = passlock_open_dir(AT_FDCWD, dir, NULL, 1, why);
    if (at < 0)
        return -1;
    const int fd = passlock_open_dir(at, "arrivals", path, 1, why);
    const int error = errno;
    close(at);
    errno = error;
    return fd;
}

int arrivals_record(const char *dir, const char *name, char *why)
{
    if (!arrivals_valid(name)) {
        snprintf(why, PASSLOCK_WHY, "an arrival is named with 1 to 64 letters, digits, - or _");
        errno = EINVAL;
        return -1;
    }
    /* At boot udev may replay arrivals before anything else made the
       directories. */
    const int at = openArrivals(dir, why);
    if (at < 0)
        return -1;
    const int fd = openat(at, name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    const int error = errno;
    close(at);
    if (fd < 0) {
        snprintf(why, PASSLOCK_WHY, "%s/arrivals/%s: %s", dir, name, strerror(error));
        errno = error;
        return -1;
    }
    return close(fd);
}

/* Whether an entry of the arrivals directory is a marker (or junk that
   starts passes): not ".", "..", a hidden file or the record. */
static int counts(const char *name)
{
    return name[0] != '.' && strcmp(name, recordName) != 0;
}

int arrivals_pending(const char *dir, char *path)
{
    if (snprintf(path, PATH_MAX, "%s/arrivals", dir) >= PATH_MAX)
        return 0;
    DIR *d = opendir(path);
    if (!d)
        return 0;
    int pending = 0;
    for (struct dirent *e; !pending && (e = readdir(d));)
        pending = counts(e->d_name);
    closedir(d);
    return pending;
}

/* Parses the record's text. */
static int parseRecord(char *text, struct streakrecord *record)
{
    char *line = strtok(text, "\n");
    double n;
    if (!line || strncmp(line, "tries ", 6) != 0 ||
        decimal_parse(line + 6, -1, RETRYSTATE_MOST + 1, DECIMAL_WHOLE, &n) != 0 || n < 1)
        return -1;
    record->tries = (int)n;
    while ((line = strtok(NULL, "\n"))) {
        if (strncmp(line, "arrival ", 8) == 0 && line[8]) {
            if (append(&record->names, line + 8) != 0)
                return -1;
        } else if (strncmp(line, "ended ", 6) == 0 && strlen(line + 6) < sizeof record->ended) {
            strcpy(record->ended, line + 6);
        } else if (strcmp(line, "over") == 0) {
            record->over = 1;
        } else
            return -1;
    }
    settle(&record->names);
    return 0;
}

int arrivals_unfinished(const char *dir, struct streakrecord *record)
{
    char why[PASSLOCK_WHY], reason[REGULARFILE_WHY] = "";
    record->tries = record->over = 0;
    record->ended[0] = '\0';
    const int at = openArrivals(dir, why);
    if (at < 0)
        return 0; /* arrivals_take reports it */
    const int fd = regularfile_openat(at, recordName, REGULARFILE_NOFOLLOW, RECORD_LIMIT, reason);
    int found = 0;
    if (fd >= 0) {
        struct stat info;
        char *text = fstat(fd, &info) == 0 ? malloc((size_t)info.st_size + 1) : NULL;
        const ssize_t n = text ? read(fd, text, (size_t)info.st_size) : -1;
        if (n == info.st_size && n > 0 && text[n - 1] == '\n' && memchr(text, '\0', (size_t)n) == NULL) {
            text[n] = '\0';
            found = parseRecord(text, record) == 0 ? 1 : -1;
        } else
            found = -1;
        free(text);
        close(fd);
        snprintf(reason, sizeof reason, "it is no record of a streak of passes");
    } else if (fd != -1 || errno != ENOENT)
        found = -1;
    if (found < 0) {
        arrivals_free(&record->names);
        record->tries = record->over = 0;
        record->ended[0] = '\0';
        complain(SAY_WARNING, "ignoring %s/arrivals/%s: %s", dir, recordName, reason);
        if (unlinkat(at, recordName, 0) != 0 && errno != ENOENT)
            complain(SAY_ERROR, "can't remove %s/arrivals/%s: %s", dir, recordName, strerror(errno));
        found = 0;
    }
    close(at);
    return found;
}

int arrivals_save(const char *dir, const struct streakrecord *record)
{
    char arrivals[PATH_MAX], *text = NULL;
    size_t size = 0;
    FILE *file = open_memstream(&text, &size);
    if (!file || snprintf(arrivals, sizeof arrivals, "%s/arrivals", dir) >= (int)sizeof arrivals) {
        if (file)
            fclose(file);
        free(text);
        errno = file ? ENAMETOOLONG : errno;
        return -1;
    }
    fprintf(file, "tries %d\n", record->tries);
    for (size_t i = 0; i < record->names.count; ++i)
        fprintf(file, "arrival %s\n", record->names.names[i]);
    if (record->ended[0])
        fprintf(file, "ended %s\n", record->ended);
    if (record->over)
        fprintf(file, "over\n");
    const int written = fclose(file) == 0 ? replacefile(arrivals, recordName, text, size) : -1;
    free(text);
    return written;
}

int arrivals_take(const char *dir, struct streakrecord *record, struct arrivals *taken)
{
    char why[PASSLOCK_WHY];
    const int at = openArrivals(dir, why);
    if (at < 0) {
        complain(SAY_ERROR, "can't take the arrivals: %s", why);
        return -1;
    }
    /* What the directory holds: the raw names, and the escaped names of
       those that count (hidden files are removed unseen). */
    DIR *d = fdopendir(dup(at));
    struct arrivals raw = {NULL, 0}, seen = {NULL, 0};
    int failed = !d;
    for (struct dirent *e; d && !failed && (e = readdir(d));) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0 || strcmp(e->d_name, recordName) == 0)
            continue;
        char shown[4 * 256 + 1];
        textescape(shown, sizeof shown, e->d_name, strlen(e->d_name));
        failed = append(&raw, e->d_name) != 0 || (counts(e->d_name) && append(&seen, shown) != 0);
    }
    if (d)
        closedir(d);
    /* The record first: from here on a pass that dies loses nothing. */
    record->ended[0] = '\0';
    record->over = 0;
    failed = failed || arrivals_add(&record->names, &seen) != 0 || arrivals_save(dir, record) != 0;
    arrivals_free(&seen);
    int stuck = 0;
    if (failed) {
        complain(SAY_ERROR, "can't take the arrivals in %s/arrivals: %s", dir, strerror(errno));
        stuck = -1;
    }
    for (size_t i = 0; !failed && i < raw.count; ++i) {
        /* A marker is an empty file; anything else in the directory would
           start pass after pass, so it goes too if it can. */
        int removed = unlinkat(at, raw.names[i], 0);
        if (removed != 0 && errno == EISDIR)
            removed = unlinkat(at, raw.names[i], AT_REMOVEDIR);
        char shown[4 * 256 + 1];
        textescape(shown, sizeof shown, raw.names[i], strlen(raw.names[i]));
        if (removed != 0 && errno != ENOENT) {
            complain(SAY_ERROR, "can't remove arrival marker %s/arrivals/%s: %s", dir, shown, strerror(errno));
            ++stuck;
        } else if (counts(raw.names[i]) && append(taken, shown) != 0) {
            complain(SAY_WARNING, "short of memory: arrival %s is not named in the journal", shown);
        }
    }
    settle(taken);
    arrivals_free(&raw);
    close(at);
    return stuck;
}

int arrivals_finish(const char *dir)
{
    char why[PASSLOCK_WHY];
    const int at = openArrivals(dir, why);
    if (at < 0)
        return -1;
    const int removed = unlinkat(at, recordName, 0) == 0 || errno == ENOENT ? 0 : -1;
    if (removed != 0)
        complain(SAY_ERROR, "can't remove %s/arrivals/%s: %s", dir, recordName, strerror(errno));
    close(at);
    return removed;
}
