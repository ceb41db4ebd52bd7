/*
 * qmx4-fwload-pass: the helper of the udev rule and the systemd units.
 * With --arrival it records a device's arrival as a marker (markers.h);
 * otherwise it runs one pass: it takes the passes' lock (passlock.h), then
 * the markers, and only then starts the downloader, which lists the
 * devices, so every marker it took belongs to a device that listing sees.
 * It relays the downloader's output to the journal and says what the pass
 * did. Restarts after a failure, stops and counting are systemd's (the
 * unit); the helper only waits out a retry's delay, cut short by an
 * arrival, because a start requested while systemd holds a restart back
 * would wait for it. C and the C library only, so that an arrival costs no
 * more than a process start.
 */

#include "decimal.h"
#include "journal.h"
#include "loadfailure.h"
#include "markers.h"
#include "passlock.h"
#include "passrecord.h"
#include "passrun.h"

#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define USAGE                                                                                                  \
    "usage: qmx4-fwload-pass [--lock-dir DIR] [--timeout SECONDS] [--retry-delays S,S,...]\n"                 \
    "                        [--events FILE] [PROGRAM]\n"                                                       \
    "       qmx4-fwload-pass [--lock-dir DIR] --arrival NAME\n"

static const char help[] =
    USAGE
    "\n"
    "With --arrival, records the arrival of a USB device (NAME: its bus and\n"
    "device number, as 001-005) in DIR/arrivals and ends. Otherwise runs one\n"
    "pass in the working directory: waits for the passes' lock, takes the\n"
    "markers into DIR/taken, runs PROGRAM (default " QMX4_PROGRAM ") and\n"
    "reports the arrivals it serves, PROGRAM's output (\"output: \"), the lines\n"
    "added to service.log (\"log: \"), escaped, and a summary. A retry of a\n"
    "failed pass (the service started again) first waits for its delay, less\n"
    "when a device arrives. SIGTERM or SIGINT is passed on to PROGRAM.\n"
    "\n"
    "  --lock-dir DIR        the lock and the markers, an absolute directory\n"
    "                        owned by root (or you), writable by no one else\n"
    "                        (default " PASSLOCK_DIR ")\n"
    "  --timeout SECONDS     stop a pass that runs longer (default 600)\n"
    "  --retry-delays S,...  seconds before each retry (default: the\n"
    "                        environment's QMX4_RETRY_DELAYS, else none)\n"
    "  --events FILE         the pass's events file, counted by the unit\n"
    "\n"
    "Exit status: 0 served; 1 failed, a retry follows; 2 a wrong command line;\n"
    "10 failed, the retries used up; 11 stopped; 12 failed in a way no retry\n"
    "mends, or no pass could run; 127 PROGRAM could not be started.\n";

struct settings {
    const char *lockDir, *program, *events;
    int timeout, retries;
    double delays[MARKERS_MOST_RETRIES];
};

/* At most this much of an argument goes into a message. */
#define QUOTED 80

static int wrongUsage(const char *problem, const char *argument)
{
    char shown[QUOTED + 4];
    fprintf(stderr, "qmx4-fwload-pass: %s%s\n%s", problem, journal_escape(argument, shown, sizeof shown), USAGE);
    return PASS_USAGE;
}

/* "arrivals: a b c"; a list too long for one line shows its number, the
   names that fit, whole, and how many more there are. */
static void sayNames(const struct markers_taken *taken)
{
    if (taken->count == 0)
        say(SAY_INFO, "arrivals: by hand");
    else if (taken->shown == taken->count)
        say(SAY_INFO, "arrivals: %s", taken->names);
    else
        say(SAY_INFO, "arrivals: %zu: %s and %zu more", taken->count, taken->names, taken->count - taken->shown);
}

/* The helper cannot work here: it says so, and empties the arrivals so
   that the path unit does not start pass after pass. */
static int cannotWork(const struct settings *s, const char *why)
{
    const int dropped = markers_drop(s->lockDir);
    complain(SAY_ERROR, "can't run a pass: %s; %d arrival marker%s dropped; %s", why, dropped, dropped == 1 ? "" : "s",
             MARKERS_AGAIN);
    return PASS_FAILED;
}

/* A stop came: the taken markers wait, with no tries, for the next start
   (`locked`: this helper holds the passes' lock, else it takes it if it
   is free). */
static int stopped(const struct settings *s, int locked, const char *when)
{
    char why[PASSLOCK_WHY];
    if (when)
        say(SAY_WARNING, "stopped by %s %s", passrun_stop_name(), when);
    const int lock = locked ? -1 : passlock_take(s->lockDir, 0, 0, NULL, NULL, why);
    if (locked || lock >= 0)
        markers_finish(s->lockDir, 1);
    if (lock >= 0)
        close(lock);
    return PASS_STOPPED;
}

/* Before a retry: waits for its delay, less when a device arrives.
   Returns 0 to go on, or the exit status of a stop. */
static int backOff(const struct settings *s)
{
    char path[4096];
    const int tries = markers_tries(s->lockDir);
    if (tries < 1 || tries > s->retries)
        return 0;
    if (markers_pending(s->lockDir, path))
        return say(SAY_INFO, "retry %d of %d, with new arrivals", tries, s->retries), 0;
    say(SAY_INFO, "retry %d of %d in %g s", tries, s->retries, s->delays[tries - 1]);
    const int waited = passrun_back_off(s->lockDir, s->delays[tries - 1]);
    if (waited < 0)
        return stopped(s, 0, "before the retry");
    say(SAY_INFO, waited > 0 ? "retry %d of %d early, for new arrivals" : "retry %d of %d", tries, s->retries);
    return 0;
}

/* Takes the passes' lock, which the downloader inherits, waiting in
   slices so that a stop ends the wait. Returns it, or -1 with `why`. */
static int takeLock(const struct settings *s, char *why)
{
    for (;;) {
        const int fd = passlock_take(s->lockDir, 1, 1000, NULL, NULL, why);
        if (fd >= 0 || errno != ETIMEDOUT || passrun_stopping())
            return fd;
    }
}

/* The cause of a pass whose downloader could not start or that failed
   before any device, at error priority, with where to look next. */
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

/* Runs the downloader and says what it did; sets *exited when it ended by
   itself. Returns its status (passrun_run). */
static int download(const struct settings *s, int tries, int stuck, int *exited)
{
    struct timespec started, ended;
    clock_gettime(CLOCK_MONOTONIC, &started);
    struct passrecord_log log;
    struct passrecord_events events;
    passrecord_mark_log(&log);
    passrecord_open_events(&events, s->events, tries);
    char result[64], at[32] = "", count[48] = "downloads not counted";
    const int status = passrun_run(s->program, s->timeout, result, sizeof result, exited);
    clock_gettime(CLOCK_MONOTONIC, &ended);
    const double seconds = (double)(ended.tv_sec - started.tv_sec) + (double)(ended.tv_nsec - started.tv_nsec) / 1e9;
    passrecord_read_events(&events, status, seconds);
    passrecord_print_log(&log);
    if (status != 0 && events.failedAt >= 0)
        snprintf(at, sizeof at, " at device %d", events.failedAt);
    if (events.counted)
        snprintf(count, sizeof count, "%d device%s downloaded", events.downloads, events.downloads == 1 ? "" : "s");
    const int priority = passrun_stopping() ? SAY_WARNING : status != 0 || stuck ? SAY_ERROR : SAY_INFO;
    say(priority, "pass ended: %s, %s%s%s, %.3f s", count, result, at, stuck ? ", arrival markers left" : "", seconds);
    explain(status, &events, result);
    return status;
}

/* One pass, the lock held; returns the helper's exit status. */
static int pass(const struct settings *s)
{
    char why[PASSLOCK_WHY];
    struct markers_taken taken;
    int exited;
    const int stuck = markers_take(s->lockDir, &taken, why);
    if (stuck < 0)
        return cannotWork(s, why);
    sayNames(&taken);
    const int tries = taken.tries;
    if (passrun_stopping())
        return stopped(s, 1, "before the pass");
    const int status = download(s, tries, stuck, &exited);
    if (passrun_stopping())
        return stopped(s, 1, NULL);
    if (exited && status != 0 && status != 127 && tries <= s->retries)
        return PASS_RETRY; /* systemd starts the retry */
    markers_finish(s->lockDir, 0);
    if (status == 0)
        return stuck ? PASS_FAILED : PASS_SERVED;
    if (status == 127)
        return PASS_NOT_STARTED;
    if (!exited || s->retries == 0)
        return PASS_FAILED;
    say(SAY_ERROR, "gave up after %d tries; %s", tries, MARKERS_AGAIN);
    return PASS_GAVE_UP;
}

/* Reads whole seconds from 1 to 86400; -1 for anything else. */
static int seconds(const char *text)
{
    double value;
    return decimal_parse(text, -1, 86400, DECIMAL_WHOLE, &value) == 0 && value >= 1 ? (int)value : -1;
}

/* The options into `s`, `arrival` and `help`; returns 0, or the exit
   status of a wrong command line. */
static int parse(int argc, char **argv, struct settings *s, const char **arrival, int *help)
{
    static const struct option options[] = {
        {"help", no_argument, NULL, 'h'},         {"lock-dir", required_argument, NULL, 'l'},
        {"arrival", required_argument, NULL, 'a'}, {"timeout", required_argument, NULL, 't'},
        {"retry-delays", required_argument, NULL, 'r'}, {"events", required_argument, NULL, 'e'},
        {NULL, 0, NULL, 0},
    };
    const char *delays = getenv("QMX4_RETRY_DELAYS");
    int given = 0;
    opterr = 0;
    /* "+": options end at the program, whose own arguments are not ours. */
    for (int option; (option = getopt_long(argc, argv, "+h", options, NULL)) != -1;) {
        if (option == 'h')
            *help = 1;
        else if (option == 'l' && !passlock_valid(s->lockDir = optarg))
            return wrongUsage("--lock-dir takes an absolute directory, not ", optarg[0] ? optarg : "''");
        else if (option == 'a' && !markers_valid(*arrival = optarg))
            return wrongUsage("an arrival is named with 1 to 64 letters, digits, - or _, not ", optarg);
        else if (option == 't' && (s->timeout = seconds(optarg)) < 0)
            return wrongUsage("--timeout takes 1 to 86400 seconds, not ", optarg);
        else if (option == 'r' && (given = 1) && (s->retries = markers_delays(optarg, s->delays)) < 0)
            return wrongUsage("--retry-delays takes up to 20 delays in seconds (0 < d <= 86400) separated by "
                              "commas, not ", optarg);
        else if (option == 'e')
            s->events = optarg;
        else if (option == '?' || option == ':')
            return wrongUsage("unknown option or missing value: ", argv[optind - 1]);
    }
    const int named = optind < argc;
    if (named)
        s->program = argv[optind++];
    if (optind < argc)
        return wrongUsage("more than one program: ", argv[optind]);
    if (*arrival && (named || s->events || given))
        return wrongUsage("--arrival runs no pass: ", named ? s->program : s->events ? "--events" : "--retry-delays");
    if (!given && delays && !*arrival && !*help && (s->retries = markers_delays(delays, s->delays)) < 0) {
        /* A value that cannot be read must not keep the pass from running. */
        char shown[QUOTED + 4];
        say(SAY_WARNING, "ignoring QMX4_RETRY_DELAYS=\"%s\": it takes up to 20 delays in seconds (0 < d <= 86400) "
                         "separated by commas; this streak has no retries",
            journal_escape(delays, shown, sizeof shown));
        s->retries = 0;
    }
    return 0;
}

int main(int argc, char **argv)
{
    /* Before anything else: a stop during start-up is taken, not fatal. */
    passrun_hold_signals();
    /* A closed standard output (by hand) must not end a pass midway. */
    signal(SIGPIPE, SIG_IGN);
    journal_init();
    struct settings s = {PASSLOCK_DIR, QMX4_PROGRAM, NULL, 600, 0, {0}};
    const char *arrival = NULL;
    int wantsHelp = 0;
    const int wrong = parse(argc, argv, &s, &arrival, &wantsHelp);
    if (wrong || wantsHelp) {
        if (wantsHelp && !wrong)
            fputs(help, stdout);
        return wrong ? wrong : fflush(stdout) == 0 ? 0 : 1;
    }
    char why[PASSLOCK_WHY];
    if (arrival) {
        if (markers_record(s.lockDir, arrival, why) == 0)
            return 0;
        complain(SAY_ERROR, "can't record arrival %s: %s", arrival, why);
        return 1;
    }
    const int waited = backOff(&s);
    if (waited)
        return waited;
    const int lock = takeLock(&s, why);
    if (lock < 0 && passrun_stopping())
        return stopped(&s, 0, "while waiting for the passes' lock");
    if (lock < 0)
        return cannotWork(&s, why);
    const int status = pass(&s);
    close(lock);
    return status;
}
