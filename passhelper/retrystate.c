#include "retrystate.h"

#include "regularfile.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static const char name[] = "retry";

void retrystate_read(const char *dir, struct retrystate *state)
{
    char path[PATH_MAX], why[REGULARFILE_WHY], line[128] = "", kind[16];
    struct retrystate found = {RETRYSTATE_NONE, 0, 0, 0};
    *state = found; /* NONE, until a state file says otherwise */
    if (snprintf(path, sizeof path, "%s/%s", dir, name) >= (int)sizeof path)
        return;
    const int fd = regularfile_open(path, 4096, why);
    if (fd < 0)
        return;
    const ssize_t n = read(fd, line, sizeof line - 1);
    close(fd);
    line[n > 0 ? n : 0] = '\0';
    if (sscanf(line, "%15s %lf %d %d", kind, &found.when, &found.retry, &found.retries) >= 3) {
        if (strcmp(kind, "due") == 0 && found.retry >= 1 && found.retries >= found.retry)
            found.kind = RETRYSTATE_DUE;
        else if (strcmp(kind, "gave-up") == 0 && found.retry >= 1)
            found.kind = RETRYSTATE_GAVE_UP, found.retries = found.retry, found.retry = 0;
    }
    *state = found;
}

int retrystate_write(const char *dir, const struct retrystate *state)
{
    char path[PATH_MAX], temporary[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/%s", dir, name) >= (int)sizeof path ||
        snprintf(temporary, sizeof temporary, "%s/.%s.new", dir, name) >= (int)sizeof temporary) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (state->kind == RETRYSTATE_NONE)
        return unlink(path) == 0 || errno == ENOENT ? 0 : -1;
    FILE *file = fopen(temporary, "we");
    if (!file)
        return -1;
    if (state->kind == RETRYSTATE_DUE)
        fprintf(file, "due %.3f %d %d\n", state->when, state->retry, state->retries);
    else
        fprintf(file, "gave-up %.3f %d\n", state->when, state->retries);
    const int written = ferror(file) == 0;
    if (fclose(file) != 0 || !written || rename(temporary, path) != 0) {
        const int error = errno;
        unlink(temporary);
        errno = error;
        return -1;
    }
    return 0;
}
