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
 * Why a pass that dies loses nothing: a pass writes down what it takes
 * before it removes any marker, and that record stays, starting another
 * pass, until the streak of passes ends on record (arrivals.h).
 *
 * What a pass did comes from the downloader itself (passevents.h), not
 * from its log, which a configuration may switch off. A pass that is
 * stopped (SIGTERM from systemctl stop or shutdown, SIGINT) goes on record
 * too: the signal is passed on, the downloader gets 5 s to end, and the
 * summary and the metrics are written as for any failed pass; no retry
 * follows a stop.
 *
 * It is written in C and links only the C library, so that an arrival costs
 * no more than a process start.
 */

#include "arrivals.h"
#include "decimal.h"
#include "journal.h"
#include "passlock.h"
#include "streak.h"

#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define USAGE                                                                                                  \
    "usage: qmx4-fwload-pass [--lock-dir DIR] [--timeout SECONDS] [--start-timeout SECONDS]\n"                \
    "                        [--retry-delays S,S,...] [--metrics FILE] [PROGRAM]\n"                          \
    "       qmx4-fwload-pass [--lock-dir DIR] --arrival NAME\n"

static const char help[] =
    USAGE
    "\n"
    "With --arrival, records the arrival of a USB device (NAME: its bus and\n"
    "device number, as 001-005) as a marker in DIR/arrivals and ends; the udev\n"
    "rule runs it so. Otherwise runs one pass in the working directory: waits\n"
    "until no other pass runs, takes the markers, runs PROGRAM (default\n"
    QMX4_PROGRAM ") and reports on standard output the arrivals it\n"
    "serves, what PROGRAM printed (\"output: \") and added to service.log\n"
    "(\"log: \"), escaped, and a summary; with --metrics, qmx4-fwctl beside\n"
    "PROGRAM then writes FILE for Prometheus' node exporter (when FILE's\n"
    "directory exists). qmx4-fwload.service runs it so.\n"
    "When PROGRAM fails, it is run again after each delay of --retry-delays in\n"
    "turn, at once when an arrival is recorded meanwhile, until a pass succeeds\n"
    "or the delays are used up; a pass that dies without its summary is\n"
    "carried on so by the next start. SIGTERM or SIGINT stops the pass on\n"
    "record: passed on to PROGRAM, which gets 5 s to end, then the summary and\n"
    "the metrics are written, and no retry follows.\n"
    "\n"
    "  --lock-dir DIR          where the lock and the markers live, an absolute\n"
    "                          directory owned by root (or you) and writable by\n"
    "                          no one else (default " PASSLOCK_DIR ")\n"
    "  --timeout SECONDS       stop a pass that runs longer (default 600)\n"
    "  --start-timeout SECONDS the whole streak ends within this (the unit's\n"
    "                          start timeout); a retry that could not is not run\n"
    "  --retry-delays S,...    seconds before each retry of a failed pass; without\n"
    "                          it, the environment's QMX4_RETRY_DELAYS (a value\n"
    "                          that cannot be read is reported and means no\n"
    "                          retries); neither: none\n"
    "  --metrics FILE          record every pass in FILE for Prometheus\n"
    "\n"
    "Exit status: the last pass's own; 1 when it was stopped or ended by a\n"
    "signal, a marker could not be removed, or a lock or marker failed; 2 for a\n"
    "wrong command line; 127 when PROGRAM cannot be started.\n";

/* At most this much of an argument goes into a message. */
#define QUOTED 80

static int wrongUsage(const char *problem, const char *argument)
{
    char shown[QUOTED + 4];
    fprintf(stderr, "qmx4-fwload-pass: %s%s\n%s", problem, journal_escape(argument, shown, sizeof shown), USAGE);
    return 2;
}

/* Reads whole seconds from 1 to 86400; -1 for anything else. */
static int seconds(const char *text)
{
    double value;
    return decimal_parse(text, -1, 86400, DECIMAL_WHOLE, &value) == 0 && value >= 1 ? (int)value : -1;
}

int main(int argc, char **argv)
{
    static const struct option options[] = {
        {"help", no_argument, NULL, 'h'},           {"lock-dir", required_argument, NULL, 'l'},
        {"arrival", required_argument, NULL, 'a'},  {"metrics", required_argument, NULL, 'm'},
        {"timeout", required_argument, NULL, 't'},  {"retry-delays", required_argument, NULL, 'r'},
        {"start-timeout", required_argument, NULL, 's'}, {NULL, 0, NULL, 0},
    };
    const char *lockDir = PASSLOCK_DIR, *program = NULL, *arrival = NULL, *metrics = NULL, *delays = NULL;
    struct streak streak = {.timeout = 600};
    /* A closed standard output (by hand) must not end a pass midway. */
    signal(SIGPIPE, SIG_IGN);
    journal_init();
    opterr = 0;
    /* "+": options end at the program, whose own arguments are not ours. */
    for (int option; (option = getopt_long(argc, argv, "+h", options, NULL)) != -1;) {
        switch (option) {
        case 'h':
            fputs(help, stdout);
            return fflush(stdout) == 0 ? 0 : 1;
        case 'l':
            lockDir = optarg;
            if (!passlock_valid(lockDir))
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
            if ((streak.timeout = seconds(optarg)) < 0)
                return wrongUsage("--timeout takes 1 to 86400 seconds, not ", optarg);
            break;
        case 's':
            if ((streak.startTimeout = seconds(optarg)) < 0)
                return wrongUsage("--start-timeout takes 1 to 86400 seconds, not ", optarg);
            break;
        case 'r':
            delays = optarg;
            if (streak_parse_delays(delays, &streak) != 0)
                return wrongUsage("--retry-delays takes up to 20 delays in seconds (0 < d <= 86400) "
                                  "separated by commas, not ",
                                  optarg);
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
        if (program || metrics || delays)
            return wrongUsage("--arrival runs no pass: ", program ? program : metrics ? metrics : "--retry-delays");
        char why[PASSLOCK_WHY];
        if (arrivals_record(lockDir, arrival, why) == 0)
            return 0;
        complain(SAY_ERROR, "can't record arrival %s: %s", arrival, why);
        return 1;
    }
    /* The unit's setting: a value that cannot be read must not keep the
       pass from running, or hotplug would stop. */
    const char *setting = getenv("QMX4_RETRY_DELAYS");
    if (!delays && setting && streak_parse_delays(setting, &streak) != 0) {
        char shown[QUOTED + 4];
        say(SAY_WARNING,
            "ignoring QMX4_RETRY_DELAYS=\"%s\": it takes up to 20 delays in seconds (0 < d <= 86400) separated by "
            "commas; this streak has no retries",
            journal_escape(setting, shown, sizeof shown));
    }
    streak.lockDir = lockDir;
    streak.program = program ? program : QMX4_PROGRAM;
    streak.metrics = metrics;
    return streak_run(&streak);
}
