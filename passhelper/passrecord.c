#include "passrecord.h"

#include "journal.h"
#include "passevents.h"
#include "regularfile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

/* The log the downloader writes in its base directory, the working
   directory of a pass. */
static const char logFile[] = "service.log";

void passrecord_open_events(struct passrecord_events *events, const char *path, int tries)
{
    *events = (struct passrecord_events){-1, 0, 0, -1, 0};
    /* The downloader inherits the descriptor; it and the helper append. */
    if (path && (unlink(path) == 0 || errno == ENOENT))
        events->fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (path && events->fd < 0)
        complain(SAY_WARNING, "can't make %s (%s): this pass is counted without its downloads", path, strerror(errno));
    FILE *file = events->fd < 0 ? tmpfile() : NULL;
    if (file) {
        events->fd = dup(fileno(file));
        fclose(file);
    }
    if (events->fd < 0) {
        complain(SAY_WARNING, "no channel for the downloader's events (%s): this pass's downloads are not counted",
                 strerror(errno));
        return;
    }
    struct timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    dprintf(events->fd, PASSEVENTS_BEGUN " %d %lld.%09ld\n", tries, (long long)now.tv_sec, now.tv_nsec);
    events->counted = 1;
    char number[16];
    snprintf(number, sizeof number, "%d", events->fd);
    setenv(PASSEVENTS_ENV, number, 1);
}

void passrecord_read_events(struct passrecord_events *events, int status, double seconds)
{
    unsetenv(PASSEVENTS_ENV);
    if (events->fd < 0)
        return;
    FILE *channel = lseek(events->fd, 0, SEEK_SET) == 0 ? fdopen(dup(events->fd), "r") : NULL;
    char line[256], index[32];
    /* Only the start of a line is read: the rest of a long one (its fields)
       must not pass for an event. */
    for (int start = 1; channel && fgets(line, sizeof line, channel); start = strchr(line, '\n') != NULL) {
        if (!start)
            continue;
        if (sscanf(line, PASSEVENTS_DOWNLOADED " %31s", index) == 1)
            ++events->downloads;
        else if (sscanf(line, PASSEVENTS_FAILED " %31s", index) == 1) {
            events->failedAt = strcmp(index, "-") == 0 ? -1 : atoi(index);
            events->failedOutside = events->failedAt < 0;
        }
    }
    if (channel)
        fclose(channel);
    dprintf(events->fd, PASSEVENTS_ENDED " %d %.3f\n", status, seconds);
    close(events->fd);
    events->fd = -1;
}

void passrecord_mark_log(struct passrecord_log *mark)
{
    char why[REGULARFILE_WHY];
    struct stat info;
    mark->fd = regularfile_open(logFile, LLONG_MAX, why);
    mark->size = 0;
    if (mark->fd >= 0 && fstat(mark->fd, &info) == 0)
        mark->size = info.st_size;
    mark->fd = mark->fd < 0 ? -1 : mark->fd;
}

void passrecord_print_log(struct passrecord_log *mark)
{
    char why[REGULARFILE_WHY];
    const int fd = regularfile_open(logFile, LLONG_MAX, why);
    FILE *log = fd >= 0 ? fdopen(fd, "r") : NULL;
    struct stat now, before;
    const int was = mark->fd >= 0 && fstat(mark->fd, &before) == 0;
    if (mark->fd >= 0)
        close(mark->fd);
    mark->fd = -1;
    if (!log) {
        if (fd >= 0)
            close(fd);
        return;
    }
    if (fstat(fileno(log), &now) == 0 && was && now.st_dev == before.st_dev && now.st_ino == before.st_ino &&
        now.st_size >= mark->size)
        fseeko(log, mark->size, SEEK_SET);
    struct relay relay;
    relay_begin(&relay, "log: ");
    char block[4096];
    for (size_t n; (n = fread(block, 1, sizeof block, log)) > 0;)
        relay_feed(&relay, block, n);
    relay_end(&relay);
    fclose(log);
}
