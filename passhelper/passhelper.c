/*
 * qmx4-fwload-pass: the helper of the udev rule and the systemd units.
 *
 *   --arrival NAME  Run by the udev rule for every USB device that arrives
 *                   (no unit, no sandbox): records the arrival as a marker
 *                   (arrivals.h) and ends at once.
 *   (otherwise)     Run by qmx4-fwload.service, which qmx4-fwload.path
 *                   starts whenever markers wait: one firmware pass, on
 *                   record in the journal (its standard output).
 *
 * Why no arrival is lost: udev records an arrival only once its device
 * exists. A pass takes the passes' lock, then takes (removes) the markers
 * present, and only then starts the downloader, which lists the devices:
 * each marker it took belongs to a device that existed before that listing,
 * so the listing sees the device. A marker made after the markers were
 * taken stays; systemd looks at the directory again when the service ends
 * (DirectoryNotEmpty=) and starts another pass, which lists the devices
 * after that arrival.
 *
 * Why no pass overlaps another: each pass, started by the path unit or by
 * hand, holds the passes' lock (passlock.h); the downloader inherits it and
 * keeps it for as long as it lives, even should this helper die first. The
 * companion's device commands take the same lock.
 *
 * What a pass did comes from the downloader itself (passevents.h), not
 * from its log, which a configuration may switch off. A pass that is
 * stopped (SIGTERM from systemctl stop or shutdown, SIGINT) goes on record
 * too: the signal is passed on, the downloader gets 5 s to end, and the
 * summary and the metrics are written as for any failed pass.
 *
 * It is written in C and links only the C library, so that an arrival costs
 * no more than a process start.
 */

#include "arrivals.h"
#include "passlock.h"
#include "passrun.h"

#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static const char usage[] =
    "usage: qmx4-fwload-pass [--lock-dir DIR] [--timeout SECONDS] [--metrics FILE] [PROGRAM]\n"
    "       qmx4-fwload-pass [--lock-dir DIR] --arrival NAME\n";

static const char help[] =
    "usage: qmx4-fwload-pass [--lock-dir DIR] [--timeout SECONDS] [--metrics FILE] [PROGRAM]\n"
    "       qmx4-fwload-pass [--lock-dir DIR] --arrival NAME\n"
    "\n"
    "With --arrival, records the arrival of a USB device (NAME: its bus and\n"
    "device number, as 001-005) as a marker in DIR/arrivals and ends; the udev\n"
    "rule runs it so. Otherwise runs one pass in the working directory: waits\n"
    "until no other pass runs, takes the markers, runs PROGRAM (default\n"
    QMX4_PROGRAM ") and reports on standard output the arrivals it\n"
    "serves, the lines PROGRAM added to service.log and a summary; with\n"
    "--metrics, qmx4-fwctl beside PROGRAM then writes FILE for Prometheus' node\n"
    "exporter (when FILE's directory exists). qmx4-fwload.service runs it so.\n"
    "SIGTERM or SIGINT stops the pass on record: passed on to PROGRAM, which\n"
    "gets 5 s to end, then the summary and the metrics are written.\n"
    "\n"
    "  --lock-dir DIR      where the lock and the markers live, an absolute\n"
    "                      directory (default " PASSLOCK_DIR ")\n"
    "  --timeout SECONDS   stop a pass that runs longer (default 600)\n"
    "\n"
    "Exit status: the pass's own; 1 when it was stopped or ended by a signal, a\n"
    "marker could not be removed, or a lock or marker failed; 2 for a wrong\n"
    "command line; 127 when PROGRAM cannot be started.\n";

/* At most this much of an argument goes into a message. */
#define QUOTED 80

static int wrongUsage(const char *problem, const char *argument)
{
    const int cut = (int)strlen(argument) > QUOTED;
    fprintf(stderr, "qmx4-fwload-pass: %s%.*s%s\n%s", problem, QUOTED, argument, cut ? "..." : "", usage);
    return 2;
}

static double secondsSince(const struct timespec *start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - start->tv_sec) + (double)(now.tv_nsec - start->tv_nsec) / 1e9;
}

/* `path` with its last component replaced by `name`. */
static void sibling(char *out, size_t size, const char *path, const char *name)
{
    const char *slash = strrchr(path, '/');
    snprintf(out, size, "%.*s%s", slash ? (int)(slash - path + 1) : 0, path, name);
}

/* Lets qmx4-fwctl, beside the downloader, record the pass for Prometheus,
   if the node exporter's directory for such files exists. A pass being
   stopped gives it less time. */
static void recordMetrics(const char *program, const char *file, int success, int downloads, double seconds)
{
    char directory[PATH_MAX], fwctl[PATH_MAX], record[64], result[64];
    struct stat info;
    sibling(directory, sizeof directory, file, ".");
    if (stat(directory, &info) != 0 || !S_ISDIR(info.st_mode))
        return;
    sibling(fwctl, sizeof fwctl, program, "qmx4-fwctl");
    snprintf(record, sizeof record, "%s,%d,%.3f", success ? "success" : "failure", downloads, seconds);
    char *const argv[] = {fwctl, "metrics", "--no-lock", "--record", record, "--output", (char *)file, NULL};
    if (passrun_run(argv, passrun_stopping() ? 10 : 60, 0, result, sizeof result) != 0)
        fprintf(stderr, "qmx4-fwload-pass: recording the pass in %s: qmx4-fwctl metrics %s\n", file, result);
}

static int pass(const char *lockDir, const char *program, int timeout, const char *metrics)
{
    char failed[PATH_MAX];
    /* Inherited across exec: the downloader holds the lock for as long as
       it lives. */
    if (passlock_take(lockDir, 1, -1, NULL, NULL, failed) < 0) {
        fprintf(stderr, "qmx4-fwload-pass: can't lock %s: %s\n", failed, strerror(errno));
        return 1;
    }
    /* From here on a stop ends the pass on record. */
    passrun_hold_signals();
    struct timespec started;
    clock_gettime(CLOCK_MONOTONIC, &started);
    char names[4096];
    int count = 0;
    int stuck = arrivals_take(lockDir, names, sizeof names, &count);
    if (stuck < 0) {
        fprintf(stderr, "qmx4-fwload-pass: can't read the arrivals in %s/arrivals: %s\n", lockDir, strerror(errno));
        stuck = 1;
    }
    printf("arrivals: %s\n", count ? names : "by hand");

    struct passrun_log log;
    struct passrun_events events;
    passrun_mark_log(&log);
    passrun_open_events(&events);
    char result[64];
    char *const argv[] = {(char *)program, NULL};
    const int status = passrun_run(argv, timeout, 1, result, sizeof result);
    const double seconds = secondsSince(&started);
    passrun_read_events(&events);
    passrun_print_log(&log);
    const int success = status == 0 && stuck == 0;
    char at[32] = "";
    if (status != 0 && events.failedAt >= 0)
        snprintf(at, sizeof at, " at device %d", events.failedAt);
    printf("pass ended: %d device%s downloaded, %s%s%s, %.3f s\n", events.downloads, events.downloads == 1 ? "" : "s",
           result, at, stuck ? ", arrival markers left" : "", seconds);
    fflush(stdout);
    if (metrics)
        recordMetrics(program, metrics, success, events.downloads, seconds);
    return status != 0 ? status : !success;
}

int main(int argc, char **argv)
{
    static const struct option options[] = {
        {"help", no_argument, NULL, 'h'},           {"lock-dir", required_argument, NULL, 'l'},
        {"arrival", required_argument, NULL, 'a'},  {"metrics", required_argument, NULL, 'm'},
        {"timeout", required_argument, NULL, 't'}, {NULL, 0, NULL, 0},
    };
    const char *lockDir = PASSLOCK_DIR, *program = NULL, *arrival = NULL, *metrics = NULL;
    int timeout = 600;
    opterr = 0;
    /* "+": options end at the program, whose own arguments are not ours. */
    for (int option; (option = getopt_long(argc, argv, "+", options, NULL)) != -1;) {
        char *end = NULL;
        long seconds;
        switch (option) {
        case 'h':
            fputs(help, stdout);
            return fflush(stdout) == 0 ? 0 : 1;
        case 'l':
            lockDir = optarg;
            if (lockDir[0] != '/')
                return wrongUsage("--lock-dir takes an absolute directory, not ", lockDir[0] ? lockDir : "''");
            break;
        case 'a':
            arrival = optarg;
            if (!arrivals_valid(arrival))
                return wrongUsage("an arrival is named with 1 to 64 letters, digits, - or _, not ", arrival);
            break;
        case 'm':
            metrics = optarg;
            break;
        case 't':
            seconds = strtol(optarg, &end, 10);
            if (*end || end == optarg || seconds < 1 || seconds > 86400)
                return wrongUsage("--timeout takes 1 to 86400 seconds, not ", optarg);
            timeout = (int)seconds;
            break;
        default:
            return wrongUsage("unknown option or missing value: ", argv[optind - 1]);
        }
    }
    if (optind < argc)
        program = argv[optind++];
    if (optind < argc)
        return wrongUsage("more than one program: ", argv[optind]);
    if (arrival) {
        if (program || metrics)
            return wrongUsage("--arrival runs no pass: ", program ? program : metrics);
        if (arrivals_record(lockDir, arrival) == 0)
            return 0;
        fprintf(stderr, "qmx4-fwload-pass: can't record arrival %s in %s/arrivals: %s\n", arrival, lockDir,
                strerror(errno));
        return 1;
    }
    setvbuf(stdout, NULL, _IOLBF, 0); /* each line reaches the journal at once */
    return pass(lockDir, program ? program : QMX4_PROGRAM, timeout, metrics);
}
