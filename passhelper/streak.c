#include "streak.h"

#include "arrivals.h"
#include "decimal.h"
#include "journal.h"
#include "loadfailure.h"
#include "passlock.h"
#include "passrecord.h"
#include "passrun.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

/* How long the metrics step may take, and how long once a stop came. */
#define METRICS_SECONDS 60
#define METRICS_STOPPING_SECONDS 10

/* The most a list of arrivals shows of itself in one line. */
#define ARRIVALS_SHOWN 1024

int streak_parse_delays(const char *text, struct streak *streak)
{
    int count = 0;
    double delays[RETRYSTATE_MOST];
    streak->retries = 0;
    for (const char *at = text; *at;) {
        const size_t n = strcspn(at, ",");
        if (count == RETRYSTATE_MOST || decimal_parse(at, (int)n, 86400, 0, &delays[count]) != 0 ||
            !(delays[count] > 0))
            return -1;
        ++count;
        at += n;
        if (*at == ',' && !*++at)
            return -1; /* a trailing comma */
    }
    memcpy(streak->delays, delays, sizeof delays[0] * (size_t)count);
    streak->retries = count;
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

/* "2,870" for 2870. */
static const char *grouped(size_t n, char *out, size_t size)
{
    char digits[32];
    const int length = snprintf(digits, sizeof digits, "%zu", n);
    size_t used = 0;
    for (int i = 0; i < length && used + 2 < size; ++i) {
        if (i > 0 && (length - i) % 3 == 0)
            out[used++] = ',';
        out[used++] = digits[i];
    }
    out[used] = '\0';
    return out;
}

/* "<label>: a b c", or "<label>: <none>" for an empty list; a list too long
   for one line shows its number, the names that fit, whole, and how many
   more there are ("arrivals: 3000: 001-001 ... and 2,870 more"). */
static void sayNames(const char *label, const struct arrivals *list, const char *none)
{
    if (list->count == 0) {
        say(SAY_INFO, "%s: %s", label, none);
        return;
    }
    size_t length = 0, shown = 0;
    while (shown < list->count && length + strlen(list->names[shown]) + 1 <= ARRIVALS_SHOWN)
        length += strlen(list->names[shown++]) + 1;
    char line[ARRIVALS_SHOWN + 64] = "", more[32];
    for (size_t i = 0; i < shown; ++i)
        strcat(strcat(line, i ? " " : ""), list->names[i]);
    if (shown == list->count)
        say(SAY_INFO, "%s: %s", label, line);
    else
        say(SAY_INFO, "%s: %zu: %s and %s more", label, list->count, line, grouped(list->count - shown, more, sizeof more));
}

/* Lets qmx4-fwctl, beside the downloader, record the pass that ended
   ("ID OUTCOME", none when null) and the retry state in the lock
   directory for Prometheus, if the node exporter's directory for such
   files exists. The caller holds the passes' lock, which covers the
   counters' update and the library session the command opens; the pass's
   id keeps it from being counted twice when the record is written again
   after a helper died. */
static void recordMetrics(const struct streak *s, const char *ended)
{
    char directory[PATH_MAX], fwctl[PATH_MAX], id[256], result[64];
    struct stat info;
    if (!s->metrics)
        return;
    sibling(directory, sizeof directory, s->metrics, ".");
    if (stat(directory, &info) != 0 || !S_ISDIR(info.st_mode))
        return;
    sibling(fwctl, sizeof fwctl, s->program, "qmx4-fwctl");
    char *argv[14] = {fwctl, "metrics", "--no-lock", "--lock-dir", (char *)s->lockDir, "--output", (char *)s->metrics};
    int n = 7;
    if (ended && ended[0]) {
        snprintf(id, sizeof id, "%s", ended);
        char *blank = strchr(id, ' ');
        if (blank) {
            *blank = '\0';
            argv[n++] = "--record";
            argv[n++] = blank + 1;
            argv[n++] = "--pass-id";
            argv[n++] = id;
        }
    }
    /* The devices are those of the base directory the pass ran in, which
       is the working directory the helper shares with the downloader. */
    argv[n++] = "--";
    argv[n++] = ".";
    const int limit = passrun_stopping() ? METRICS_STOPPING_SECONDS : METRICS_SECONDS;
    if (passrun_run(argv, "metrics: ", limit, 0, result, sizeof result, NULL) != 0)
        complain(SAY_WARNING, "recording the pass in %s: qmx4-fwctl metrics %s", s->metrics, result);
}

/* Takes the lock `name` ("pass", inherited by the downloader so that it
   holds the lock for as long as it lives, or "streak"), waiting in slices
   so that a stop ends the wait. Returns the descriptor, or -1 (said). */
static int takeLock(const struct streak *s, const char *name)
{
    char why[PASSLOCK_WHY];
    for (;;) {
        const int fd = strcmp(name, "pass") == 0 ? passlock_take(s->lockDir, 1, 1000, NULL, NULL, why)
                                                 : passlock_take_streak(s->lockDir, 1000, why);
        if (fd >= 0)
            return fd;
        if (errno != ETIMEDOUT)
            return complain(SAY_ERROR, "can't lock %s", why), -1;
        if (passrun_stopping())
            return say(SAY_WARNING, "stopped by %s while waiting for %s/%s", passrun_stop_name(), s->lockDir, name), -1;
    }
}

/* The metrics once more, after the retry state changed, with the pass
   `ended` if it may not be counted yet: the lock is waited for a few
   seconds at most once a stop came. */
static void metricsAgain(const struct streak *s, const char *ended)
{
    char why[PASSLOCK_WHY];
    if (!s->metrics)
        return;
    const int lock = passrun_stopping() ? passlock_take(s->lockDir, 0, 5000, NULL, NULL, why) : takeLock(s, "pass");
    if (lock < 0) {
        if (passrun_stopping())
            complain(SAY_WARNING, "the metrics were not updated: can't lock %s", why);
        return;
    }
    recordMetrics(s, ended);
    close(lock);
}

static void writeState(const struct streak *s, const struct retrystate *state)
{
    if (retrystate_write(s->lockDir, state) != 0)
        complain(SAY_ERROR, "can't record the retry state in %s: %s", s->lockDir, strerror(errno));
}

/* After `begun` tries, the last of which failed in a way a retry may mend:
   whether retry number `begun` follows (announced in the journal and in
   `state`), or the streak gives up (said, and in `state` when retries were
   set). A retry that could not end before the start timeout gives up. */
static int decide(const struct streak *s, int begun, const struct timespec *started, struct retrystate *state)
{
    char hint[256] = RETRYSTATE_AGAIN;
    if (begun <= s->retries) {
        const double delay = s->delays[begun - 1];
        const double need = secondsSince(started) + delay + s->timeout + METRICS_SECONDS;
        if (!s->startTimeout || need <= s->startTimeout) {
            *state = (struct retrystate){RETRYSTATE_DUE, unixTime() + delay, begun, s->retries};
            say(SAY_INFO, "retry %d of %d in %g s", begun, s->retries, delay);
            return 1;
        }
        snprintf(hint, sizeof hint, "retry %d of %d could not end within the start timeout of %d s; %s", begun,
                 s->retries, s->startTimeout, RETRYSTATE_AGAIN);
    }
    if (s->retries > 0) {
        *state = (struct retrystate){RETRYSTATE_GAVE_UP, unixTime(), 0, begun};
        say(SAY_ERROR, "gave up after %d tries; %s", begun, hint);
    }
    return 0;
}

/* The cause of a pass that failed before any device, or whose downloader
   could not start or died of a signal, at error priority: an administrator
   sees it with "journalctl -p err", with where to look next. */
static void explain(int status, const struct passrecord_events *events, const char *result)
{
    char words[256], quoted[300];
    if (status == 127 && passrun_said(0)[0])
        complain(SAY_ERROR, "the downloader could not start: %s (the loader said \"%s\"); qmx4-fwctl doctor "
                            "names the cause and the fix",
                 loadfailure_words(passrun_said(0), words, sizeof words),
                 journal_escape(passrun_said(0), quoted, sizeof quoted));
    else if (status != 0 && events->failedOutside && strncmp(result, "stopped", 7) != 0)
        complain(SAY_ERROR, "the pass failed before any device: the library could not open its session or list "
                            "the devices (\"%s\"); where it works by hand, the service's sandbox refuses it "
                            "something: qmx4-fwctl doctor names the setting and the drop-in that allows it",
                 journal_escape(passrun_said(1), quoted, sizeof quoted));
}

/* One pass, the passes' lock held: takes the arrivals (into the record,
   as its streak's pass number record->tries), runs the downloader and
   reports what it did. */
static struct outcome pass(const struct streak *s, struct streakrecord *record, int retry)
{
    struct outcome o = {1, 0, 0, 0};
    struct timespec started;
    clock_gettime(CLOCK_MONOTONIC, &started);
    struct arrivals taken = {NULL, 0};
    int stuck = arrivals_take(s->lockDir, record, &taken);
    if (stuck < 0)
        stuck = 1;
    sayNames("arrivals", &taken, retry ? "none" : "by hand");
    arrivals_free(&taken);

    struct passrecord_log log;
    struct passrecord_events events;
    passrecord_mark_log(&log);
    passrecord_open_events(&events);
    char result[64];
    int exited = 0;
    char *const argv[] = {(char *)s->program, NULL};
    const int status = passrun_run(argv, "output: ", s->timeout, 1, result, sizeof result, &exited);
    o.seconds = secondsSince(&started);
    passrecord_read_events(&events);
    passrecord_print_log(&log);
    char at[32] = "", count[48];
    if (status != 0 && events.failedAt >= 0)
        snprintf(at, sizeof at, " at device %d", events.failedAt);
    if (events.counted)
        snprintf(count, sizeof count, "%d device%s downloaded", events.downloads, events.downloads == 1 ? "" : "s");
    else
        snprintf(count, sizeof count, "downloads not counted");
    const int priority = strncmp(result, "stopped by SIG", 14) == 0 ? SAY_WARNING
                         : status != 0 || stuck ? SAY_ERROR
                                                : SAY_INFO;
    say(priority, "pass ended: %s, %s%s%s, %.3f s", count, result, at, stuck ? ", arrival markers left" : "", o.seconds);
    explain(status, &events, result);
    o.status = status != 0 ? status : stuck != 0;
    /* Trying again may mend what made the downloader fail; not a program
       that cannot start, a pass stopped or hung, or a marker stuck. */
    o.retryable = exited && status != 0 && status != 127;
    o.downloads = events.downloads;
    /* On record before anything else happens: the pass's metrics are owed
       from here until they are written. */
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    snprintf(record->ended, sizeof record->ended, "%lld%09ld-%d %s,%d,%.3f%s", (long long)now.tv_sec, now.tv_nsec,
             (int)getpid(), o.status == 0 ? "success" : "failure", o.downloads, o.seconds, retry ? ",retry" : "");
    return o;
}

/* Saves the record, reporting a failure. */
static void save(const struct streak *s, const struct streakrecord *record)
{
    if (arrivals_save(s->lockDir, record) != 0)
        complain(SAY_ERROR, "can't record the streak in %s/arrivals: %s", s->lockDir, strerror(errno));
}

/* The streak a helper that died left in `record`. Writes the metrics it
   may owe; then, unless the streak had ended or the retries are used up,
   announces the retry that carries it on and waits for it (1); 0 when
   nothing follows, -1 when a stop came. */
static int carryOn(const struct streak *s, struct streakrecord *record, const struct timespec *started)
{
    if (!record->ended[0])
        say(SAY_ERROR, "the last pass ended without a summary: its helper was killed or crashed");
    else
        say(SAY_WARNING, "the helper of the last pass was killed or crashed before its streak ended");
    if (record->ended[0])
        metricsAgain(s, record->ended);
    if (record->over || strstr(record->ended, " success,"))
        return 0;
    sayNames("arrivals again", &record->names, "none");
    struct retrystate state = {RETRYSTATE_NONE, 0, 0, 0};
    const int more = decide(s, record->tries, started, &state);
    if (!more && s->retries == 0)
        say(SAY_ERROR, "no retries are set: the arrivals of that pass are not served again");
    writeState(s, &state);
    if (!more) {
        metricsAgain(s, NULL);
        return 0;
    }
    const int waited = passrun_back_off(s->lockDir, state.when - unixTime());
    if (waited >= 0)
        return say(SAY_INFO, waited > 0 ? "retry %d of %d early, for new arrivals" : "retry %d of %d", record->tries,
                   s->retries),
               1;
    say(SAY_WARNING, "stopped by %s before retry %d of %d", passrun_stop_name(), record->tries, s->retries);
    writeState(s, &(struct retrystate){RETRYSTATE_NONE, 0, 0, 0});
    metricsAgain(s, NULL);
    return -1;
}

int streak_run(const struct streak *s)
{
    struct timespec started;
    clock_gettime(CLOCK_MONOTONIC, &started);
    passrun_hold_signals();
    double delays = 0;
    for (int i = 0; i < s->retries; ++i)
        delays += s->delays[i];
    if (s->startTimeout && s->retries && delays + s->timeout + METRICS_SECONDS > s->startTimeout)
        say(SAY_WARNING,
            "the retry delays (%g s in all) and a pass of up to %d s do not fit in the start timeout of %d s: a "
            "streak gives up when its next try could not end in time",
            delays, s->timeout, s->startTimeout);
    const int streakLock = takeLock(s, "streak");
    if (streakLock < 0)
        return 1;

    /* Only this helper writes the record and the retry state now: what is
       there was left by a helper that died. */
    struct streakrecord record = {0, {NULL, 0}, "", 0};
    int status = 1, go = 1;
    if (arrivals_unfinished(s->lockDir, &record) > 0) {
        go = carryOn(s, &record, &started) > 0;
        status = strstr(record.ended, " success,") ? 0 : 1; /* the last pass's, until another runs */
    }
    for (int retry = record.tries > 0; go; retry = 1) {
        const int lock = takeLock(s, "pass");
        if (lock >= 0 && passrun_stopping()) {
            /* The lock came with the stop: no pass begins, and the arrivals
               stay for the next start. */
            say(SAY_WARNING, "stopped by %s before the pass", passrun_stop_name());
            close(lock);
        }
        if (lock < 0 || passrun_stopping()) {
            status = 1;
            break;
        }
        ++record.tries;
        const struct outcome o = pass(s, &record, retry);
        status = o.status;
        struct retrystate state = {RETRYSTATE_NONE, 0, 0, 0};
        const int mendable = o.status != 0 && o.retryable && !passrun_stopping();
        go = mendable && decide(s, record.tries, &started, &state);
        record.over = !go;
        save(s, &record);
        writeState(s, &state);
        recordMetrics(s, record.ended);
        if (go && passrun_stopping()) {
            /* A stop during the metrics step: the retry will not come. */
            say(SAY_WARNING, "stopped by %s before retry %d of %d", passrun_stop_name(), record.tries, s->retries);
            writeState(s, &(struct retrystate){RETRYSTATE_NONE, 0, 0, 0});
            recordMetrics(s, record.ended);
            go = 0;
        }
        close(lock);
        if (!go)
            break;
        const int waited = passrun_back_off(s->lockDir, state.when - unixTime());
        if (waited < 0) {
            say(SAY_WARNING, "stopped by %s before retry %d of %d", passrun_stop_name(), record.tries, s->retries);
            writeState(s, &(struct retrystate){RETRYSTATE_NONE, 0, 0, 0});
            metricsAgain(s, record.ended);
            break;
        }
        say(SAY_INFO, waited > 0 ? "retry %d of %d early, for new arrivals" : "retry %d of %d", record.tries,
            s->retries);
    }
    /* The streak has ended, on record: nothing it took is owed any more. */
    arrivals_finish(s->lockDir);
    arrivals_free(&record.names);
    close(streakLock);
    return status;
}
