#include "streak.h"

#include "arrivals.h"
#include "passlock.h"
#include "passrecord.h"
#include "passrun.h"
#include "retrystate.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

int streak_parse_delays(const char *text, struct streak *streak)
{
    streak->retries = 0;
    for (const char *at = text; *at;) {
        char *end = NULL;
        const double seconds = strtod(at, &end);
        if (end == at || !(seconds > 0 && seconds <= 86400) || streak->retries == STREAK_MOST ||
            (*end && *end != ','))
            return -1;
        streak->delays[streak->retries++] = seconds;
        at = *end ? end + 1 : end;
        if (*end && !*at)
            return -1; /* a trailing comma */
    }
    return 0;
}

/* What became of one pass. */
struct outcome {
    int status;     /* the helper's exit status for it */
    int retryable;  /* the downloader itself ended with a failure */
    int downloads;
    double seconds;
};

static double secondsSince(const struct timespec *start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - start->tv_sec) + (double)(now.tv_nsec - start->tv_nsec) / 1e9;
}

static double unixTime(void)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

/* `path` with its last component replaced by `name`. */
static void sibling(char *out, size_t size, const char *path, const char *name)
{
    const char *slash = strrchr(path, '/');
    snprintf(out, size, "%.*s%s", slash ? (int)(slash - path + 1) : 0, path, name);
}

/* Lets qmx4-fwctl, beside the downloader, record the pass (and the retry
   state in the lock directory) for Prometheus, if the node exporter's
   directory for such files exists. A pass being stopped gives it less
   time. */
static void recordMetrics(const struct streak *s, const struct outcome *o, int retry)
{
    char directory[PATH_MAX], fwctl[PATH_MAX], record[64], result[64];
    struct stat info;
    sibling(directory, sizeof directory, s->metrics, ".");
    if (stat(directory, &info) != 0 || !S_ISDIR(info.st_mode))
        return;
    sibling(fwctl, sizeof fwctl, s->program, "qmx4-fwctl");
    snprintf(record, sizeof record, "%s,%d,%.3f%s", o->status == 0 ? "success" : "failure", o->downloads, o->seconds,
             retry ? ",retry" : "");
    char *const argv[] = {fwctl,      "metrics",    "--no-lock", "--lock-dir", (char *)s->lockDir, "--record",
                          record,     "--output",   (char *)s->metrics,        NULL};
    if (passrun_run(argv, passrun_stopping() ? 10 : 60, 0, result, sizeof result, NULL) != 0)
        fprintf(stderr, "qmx4-fwload-pass: recording the pass in %s: qmx4-fwctl metrics %s\n", s->metrics, result);
}

/* Takes the passes' lock, inherited across exec so that the downloader
   holds it for as long as it lives. Once stop signals are held, waits in
   slices so that a stop still ends the wait. Returns the descriptor, or -1
   (reported). */
static int lockPasses(const char *lockDir, int held)
{
    char failed[PATH_MAX];
    for (;;) {
        const int fd = passlock_take(lockDir, 1, held ? 1000 : -1, NULL, NULL, failed);
        if (fd >= 0)
            return fd;
        if (errno != ETIMEDOUT)
            return fprintf(stderr, "qmx4-fwload-pass: can't lock %s: %s\n", failed, strerror(errno)), -1;
        if (passrun_stop_pending())
            return fprintf(stderr, "qmx4-fwload-pass: stopped while waiting for %s\n", failed), -1;
    }
}

/* One pass under the lock: takes the arrival markers, runs the downloader
   and reports what it did. */
static struct outcome pass(const struct streak *s, int retry)
{
    struct outcome o = {1, 0, 0, 0};
    const int lock = lockPasses(s->lockDir, retry > 0);
    if (lock < 0)
        return o;
    /* From here on a stop ends the pass on record. */
    passrun_hold_signals();
    struct timespec started;
    clock_gettime(CLOCK_MONOTONIC, &started);
    char names[4096];
    int count = 0;
    int stuck = arrivals_take(s->lockDir, names, sizeof names, &count);
    if (stuck < 0) {
        fprintf(stderr, "qmx4-fwload-pass: can't read the arrivals in %s/arrivals: %s\n", s->lockDir, strerror(errno));
        stuck = 1;
    }
    printf("arrivals: %s\n", count ? names : retry ? "none" : "by hand");

    struct passrecord_log log;
    struct passrecord_events events;
    passrecord_mark_log(&log);
    passrecord_open_events(&events);
    char result[64];
    int exited = 0;
    char *const argv[] = {(char *)s->program, NULL};
    const int status = passrun_run(argv, s->timeout, 1, result, sizeof result, &exited);
    o.seconds = secondsSince(&started);
    close(lock); /* the downloader has ended: the next pass may begin */
    passrecord_read_events(&events);
    passrecord_print_log(&log);
    char at[32] = "";
    if (status != 0 && events.failedAt >= 0)
        snprintf(at, sizeof at, " at device %d", events.failedAt);
    printf("pass ended: %d device%s downloaded, %s%s%s, %.3f s\n", events.downloads, events.downloads == 1 ? "" : "s",
           result, at, stuck ? ", arrival markers left" : "", o.seconds);
    o.status = status != 0 ? status : stuck != 0;
    /* Trying again may mend what made the downloader fail; not a program
       that cannot start, a pass stopped or hung, or a marker stuck. */
    o.retryable = exited && status != 0 && status != 127;
    o.downloads = events.downloads;
    return o;
}

int streak_run(const struct streak *s)
{
    for (int retry = 0;; ++retry) {
        const struct outcome o = pass(s, retry);
        struct retrystate state = {RETRYSTATE_NONE, 0, 0, 0};
        const int mendable = o.status != 0 && o.retryable && !passrun_stopping();
        const int more = mendable && retry < s->retries;
        if (more) {
            state = (struct retrystate){RETRYSTATE_DUE, unixTime() + s->delays[retry], retry + 1, s->retries};
            printf("retry %d of %d in %g s\n", retry + 1, s->retries, s->delays[retry]);
        } else if (mendable && s->retries > 0) {
            state = (struct retrystate){RETRYSTATE_GAVE_UP, unixTime(), 0, retry + 1};
            printf("gave up after %d tries; the next arrival or systemctl start qmx4-fwload.service tries again\n",
                   retry + 1);
        }
        fflush(stdout);
        if (retrystate_write(s->lockDir, &state) != 0)
            fprintf(stderr, "qmx4-fwload-pass: can't record the retry state in %s: %s\n", s->lockDir, strerror(errno));
        if (s->metrics)
            recordMetrics(s, &o, retry > 0);
        if (!more)
            return o.status;
        const int waited = passrun_back_off(s->lockDir, s->delays[retry]);
        if (waited < 0) {
            printf("stopped before retry %d of %d\n", retry + 1, s->retries);
            state.kind = RETRYSTATE_NONE;
            retrystate_write(s->lockDir, &state);
            return o.status;
        }
        if (waited > 0)
            printf("retry %d of %d early, for new arrivals\n", retry + 1, s->retries);
        else
            printf("retry %d of %d\n", retry + 1, s->retries);
    }
}
