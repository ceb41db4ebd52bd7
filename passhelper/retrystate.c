#include "retrystate.h"

#include "decimal.h"
#include "passlock.h"
#include "regularfile.h"
#include "replacefile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const char name[] = "retry";

/* The latest Unix time a state may name: the year 5138. */
#define LATEST 1e11

/* The blank-separated words of `line` (at most `most`), each a pointer
   into it with its length; returns how many there are. */
static int words(const char *line, const char **word, int *length, int most)
{
    int count = 0;
    for (const char *at = line; *at;) {
        if (*at == ' ') {
            ++at;
            continue;
        }
        if (count == most)
            return most + 1;
        word[count] = at;
        length[count] = (int)strcspn(at, " ");
        at += length[count++];
    }
    return count;
}

/* Reads the state line (without its line feed) into `found`; -1 if it is
   none. */
static int parse(const char *line, struct retrystate *found)
{
    const char *word[5];
    int length[5];
    const int count = words(line, word, length, 4);
    double when, first, second = 0;
    const int due = count == 4 && length[0] == 3 && strncmp(word[0], "due", 3) == 0;
    const int gaveUp = count == 3 && length[0] == 7 && strncmp(word[0], "gave-up", 7) == 0;
    if ((!due && !gaveUp) || decimal_parse(word[1], length[1], LATEST, 0, &when) != 0 ||
        decimal_parse(word[2], length[2], RETRYSTATE_MOST + 1, DECIMAL_WHOLE, &first) != 0 || first < 1 ||
        (due && (decimal_parse(word[3], length[3], RETRYSTATE_MOST, DECIMAL_WHOLE, &second) != 0 || second < first)))
        return -1;
    *found = due ? (struct retrystate){RETRYSTATE_DUE, when, (int)first, (int)second}
                 : (struct retrystate){RETRYSTATE_GAVE_UP, when, 0, (int)first};
    return 0;
}

int retrystate_read(const char *dir, struct retrystate *state, char *why, size_t size)
{
    char path[PATH_MAX], reason[REGULARFILE_WHY], line[128] = "";
    *state = (struct retrystate){RETRYSTATE_NONE, 0, 0, 0};
    if (snprintf(path, sizeof path, "%s/%s", dir, name) >= (int)sizeof path)
        return 0;
    const int fd = regularfile_openat(AT_FDCWD, path, REGULARFILE_NOFOLLOW, 100, reason);
    if (fd == -1 && errno == ENOENT)
        return 0;
    if (fd >= 0) {
        const ssize_t n = read(fd, line, sizeof line - 1);
        close(fd);
        line[n > 0 ? n : 0] = '\0';
        const size_t end = strcspn(line, "\n");
        const int whole = line[end] == '\n' && line[end + 1] == '\0';
        line[end] = '\0';
        if (whole && parse(line, state) == 0) {
            if (state->kind == RETRYSTATE_DUE && !passlock_streak_held(dir))
                state->kind = RETRYSTATE_NONE;
            return 0;
        }
        snprintf(reason, sizeof reason, "it holds no retry state");
    }
    snprintf(why, size, "%s: %s", path, reason);
    return -1;
}

int retrystate_write(const char *dir, const struct retrystate *state)
{
    char path[PATH_MAX], line[128];
    if (state->kind == RETRYSTATE_NONE) {
        if (snprintf(path, sizeof path, "%s/%s", dir, name) >= (int)sizeof path) {
            errno = ENAMETOOLONG;
            return -1;
        }
        return unlink(path) == 0 || errno == ENOENT ? 0 : -1;
    }
    const int n = state->kind == RETRYSTATE_DUE
                      ? snprintf(line, sizeof line, "due %.3f %d %d\n", state->when, state->retry, state->retries)
                      : snprintf(line, sizeof line, "gave-up %.3f %d\n", state->when, state->retries);
    return replacefile(dir, name, line, (size_t)n);
}
