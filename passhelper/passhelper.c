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
#include "streak.h"

#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char usage[] =
    "usage: qmx4-fwload-pass [--lock-dir DIR] [--timeout SECONDS] [--retry-delays S,S,...] [--metrics FILE]\n"
    "                        [PROGRAM]\n"
    "       qmx4-fwload-pass [--lock-dir DIR] --arrival NAME\n";

static const char help[] =
    "usage: qmx4-fwload-pass [--lock-dir DIR] [--timeout SECONDS] [--retry-delays S,S,...] [--metrics FILE]\n"
    "                        [PROGRAM]\n"
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
    "When PROGRAM fails, it is run again after each delay of --retry-delays in\n"
    "turn, at once when an arrival is recorded meanwhile, until a pass succeeds\n"
    "or the delays are used up. SIGTERM or SIGINT stops the pass on record:\n"
    "passed on to PROGRAM, which gets 5 s to end, then the summary and the\n"
    "metrics are written.\n"
    "\n"
    "  --lock-dir DIR        where the lock and the markers live, an absolute\n"
    "                        directory (default " PASSLOCK_DIR ")\n"
    "  --timeout SECONDS     stop a pass that runs longer (default 600)\n"
    "  --retry-delays S,...  seconds before each retry of a failed pass\n"
    "                        (default: none)\n"
    "  --metrics FILE        record every pass in FILE for Prometheus\n"
    "\n"
    "Exit status: the last pass's own; 1 when it was stopped or ended by a\n"
    "signal, a marker could not be removed, or a lock or marker failed; 2 for a\n"
    "wrong command line; 127 when PROGRAM cannot be started.\n";

/* At most this much of an argument goes into a message. */
#define QUOTED 80

static int wrongUsage(const char *problem, const char *argument)
{
    const int cut = (int)strlen(argument) > QUOTED;
    fprintf(stderr, "qmx4-fwload-pass: %s%.*s%s\n%s", problem, QUOTED, argument, cut ? "..." : "", usage);
    return 2;
}

int main(int argc, char **argv)
{
    static const struct option options[] = {
        {"help", no_argument, NULL, 'h'},           {"lock-dir", required_argument, NULL, 'l'},
        {"arrival", required_argument, NULL, 'a'},  {"metrics", required_argument, NULL, 'm'},
        {"timeout", required_argument, NULL, 't'}, {"retry-delays", required_argument, NULL, 'r'},
        {NULL, 0, NULL, 0},
    };
    const char *lockDir = PASSLOCK_DIR, *program = NULL, *arrival = NULL, *metrics = NULL;
    struct streak streak = {.timeout = 600};
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
            seconds = strtol(optarg, &end, 10);
            if (*end || end == optarg || seconds < 1 || seconds > 86400)
                return wrongUsage("--timeout takes 1 to 86400 seconds, not ", optarg);
            streak.timeout = (int)seconds;
            break;
        case 'r':
            if (streak_parse_delays(optarg, &streak) != 0)
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
        if (program || metrics || streak.retries)
            return wrongUsage("--arrival runs no pass: ", program ? program : metrics ? metrics : "--retry-delays");
        if (arrivals_record(lockDir, arrival) == 0)
            return 0;
        fprintf(stderr, "qmx4-fwload-pass: can't record arrival %s in %s/arrivals: %s\n", arrival, lockDir,
                strerror(errno));
        return 1;
    }
    setvbuf(stdout, NULL, _IOLBF, 0); /* each line reaches the journal at once */
    streak.lockDir = lockDir;
    streak.program = program ? program : QMX4_PROGRAM;
    streak.metrics = metrics;
    return streak_run(&streak);
}
