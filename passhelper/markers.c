#define _GNU_SOURCE /* scandirat */

#include "markers.h"

#include "decimal.h"
#include "passlock.h"

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

/* The tries a taken marker's name carries ("1-5~2": 2), its marker's name
   into `marker` (80 bytes); -1 for a name that is not one. */
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
    const int fd = at < 0 ? -1 : passlock_open_dir(at, name, path, 1, why);
    if (at >= 0)
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

static int notDots(const struct dirent *e)
{
    return strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0;
}

/* What walk does with each marker. */
enum how { ARRIVE, RETRY, RESET, REMOVE };

struct tally {
    int removed, stuck, most;
};

/* Renames each marker of `from` into `to`: an arrival as name~1 (ARRIVE), a
   taken one with a try more (RETRY) or none (RESET); or removes it
   (REMOVE). An entry that is no marker is removed, or when it cannot be (a
   directory that is not empty), set aside hidden in `to`: left among the
   arrivals, it would start pass after pass. */
static void walk(int from, int to, enum how how, struct tally *t)
{
    struct dirent **list;
    const int n = scandirat(from, ".", &list, notDots, alphasort);
    t->stuck += n < 0;
    for (int i = 0; i < n; ++i) {
        const char *name = list[i]->d_name;
        char marker[80], moved[96];
        struct stat info;
        int tries = -1;
        if (how != REMOVE && fstatat(from, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode))
            tries = how != ARRIVE ? triesOf(name, marker) : markers_valid(name) ? 0 : -1;
        if (how == ARRIVE && tries == 0)
            strcpy(marker, name);
        if (name[0] == '.' && (how == RETRY || how == RESET)) {
            /* set aside earlier */
        } else if (tries < 0) {
            snprintf(moved, sizeof moved, ".%.80s", name);
            if (unlinkat(from, name, 0) == 0 || errno == ENOENT || unlinkat(from, name, AT_REMOVEDIR) == 0)
                ++t->removed;
            else if (how == REMOVE || renameat(from, name, to, moved) != 0)
                ++t->stuck;
        } else {
            tries = how == RESET ? 0 : tries < 99 ? tries + 1 : 99;
            snprintf(moved, sizeof moved, "%s~%d", marker, tries);
            if (strcmp(moved, name) != 0 && renameat(from, name, to, moved) != 0 && errno != ENOENT)
                ++t->stuck;
            t->most = tries > t->most ? tries : t->most;
        }
        free(list[i]);
    }
    if (n >= 0)
        free(list);
}

/* Orders taken markers by the name before their tries ("8-1" before "8-10"). */
static int byMarker(const struct dirent **a, const struct dirent **b)
{
    const size_t n = strcspn((*a)->d_name, "~"), m = strcspn((*b)->d_name, "~");
    const int order = strncmp((*a)->d_name, (*b)->d_name, n < m ? n : m);
    return order ? order : (n > m) - (n < m);
}

/* The names the markers in `at` carry into `taken`, each once. */
static void listNames(int at, struct markers_taken *taken)
{
    struct dirent **list;
    const int n = scandirat(at, ".", &list, notDots, byMarker);
    char marker[80], previous[80] = "";
    size_t used = 0;
    for (int i = 0; i < n; ++i) {
        if (triesOf(list[i]->d_name, marker) >= 0 && strcmp(marker, previous) != 0) {
            const size_t length = strlen(marker) + (used > 0);
            if (taken->shown == taken->count && used + length < sizeof taken->names) {
                snprintf(taken->names + used, sizeof taken->names - used, "%s%s", used ? " " : "", marker);
                used += length;
                ++taken->shown;
            }
            ++taken->count;
            strcpy(previous, marker);
        }
        free(list[i]);
    }
    if (n >= 0)
        free(list);
}

int markers_take(const char *dir, struct markers_taken *taken, char *why)
{
    *taken = (struct markers_taken){0, 0, "", 0};
    const int arrivals = openSub(dir, "arrivals", why);
    const int kept = arrivals >= 0 ? openSub(dir, "taken", why) : -1;
    struct tally t = {0, 0, 0};
    if (kept >= 0) {
        /* The taken ones first, so that a new arrival begins at one try. */
        walk(kept, kept, RETRY, &t);
        walk(arrivals, kept, ARRIVE, &t);
        listNames(kept, taken);
        /* A pass by hand counts its tries on a marker of its own. */
        const int fd = t.most ? -1 : openat(kept, "by-hand~1", O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        taken->tries = t.most ? t.most : fd >= 0 ? 1 : 99;
        if (fd >= 0)
            close(fd);
        close(kept);
    }
    if (arrivals >= 0)
        close(arrivals);
    return kept >= 0 ? t.stuck : -1;
}

/* Walks <dir>/<name>, opened without trusting it (nothing is followed). */
static int clear(const char *dir, const char *name, enum how how)
{
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/%s", dir, name);
    const int at = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct tally t = {0, 0, 0};
    if (at >= 0) {
        walk(at, at, how, &t);
        close(at);
    }
    return t.removed;
}

void markers_finish(const char *dir, int keep)
{
    clear(dir, "taken", keep ? RESET : REMOVE);
}

int markers_drop(const char *dir)
{
    return clear(dir, "arrivals", REMOVE);
}
