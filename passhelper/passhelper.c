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
 * It is written in C and links only the C library, so that an arrival costs
 * no more than a process start.
 */

#include "arrivals.h"
#include "passlock.h"
#include "passrun.h"

#include <errno.h>
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
    "\n"
    "  --lock-dir DIR      where the lock and the markers live (default " PASSLOCK_DIR ")\n"
    "  --timeout SECONDS   stop a pass that runs longer (default 600)\n"
    "\n"
    "Exit status: the pass's own; 1 when it was stopped or ended by a signal, a\n"
    "marker could not be removed, or a lock or marker failed; 2 for a wrong\n"
    "command line; 127 when PROGRAM cannot be started.\n";

static int wrongUsage(const char *problem, const char *argument)
{
    fprintf(stderr, "qmx4-fwload-pass: %s%s\n%s", problem, argument, usage);
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
   if the node exporter's directory for such files exists. */
static void recordMetrics(const char *program, const char *file, int success, int downloads, double seconds)
{
    char directory[PATH_MAX], fwctl[PATH_MAX], record[64], result[64];
    struct stat info;
    sibling(directory, sizeof directory, file, ".");
    if (stat(directory, &info) != 0 || !S_ISDIR(info.st_mode))
        return;
    sibling(fwctl, sizeof fwctl, program, "qmx4-fwctl");
    snprintf(record, sizeof record, "%s,%d,%.3f", success ? "success" : "failure", downloads < 0 ? 0 : downloads,
             seconds);
    char *const argv[] = {fwctl, "metrics", "--no-lock", "--record", record, "--output", (char *)file, NULL};
    if (passrun_run(argv, 60, result, sizeof result) != 0)
        fprintf(stderr, "qmx4-fwload-pass: recording the pass in %s: qmx4-fwctl metrics %s\n", file, result);
}

static int pass(const char *lockDir, const char *program, int timeout, const char *metrics)
{
    char failed[PATH_MAX];
    /* Inherited across exec: the downloader holds the lock for as long as
       it lives. */
    if (passlock_take(lockDir, 1, NULL, NULL, failed) < 0) {
        fprintf(stderr, "qmx4-fwload-pass: can't lock %s: %s\n", failed, strerror(errno));
        return 1;
    }
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
    passrun_mark_log(&log);
    char result[64];
    char *const argv[] = {(char *)program, NULL};
    const int status = passrun_run(argv, timeout, result, sizeof result);
    const double seconds = secondsSince(&started);
    const int found = passrun_read_log(&log);
    /* The first failure ends a pass, so every device found before the
       failure got its firmware, and the one found last did not (a pass
       that fails only in closing its library session is counted one
       short). */
    const int downloads = found < 0 ? -1 : status == 0 || found == 0 ? found : found - 1;
    const int success = status == 0 && stuck == 0;
    char downloaded[64];
    if (downloads < 0)
        snprintf(downloaded, sizeof downloaded, "downloads unknown (no log)");
    else
        snprintf(downloaded, sizeof downloaded, "%d device%s downloaded", downloads, downloads == 1 ? "" : "s");
    printf("pass ended: %s, %s%s, %.3f s\n", downloaded, result, stuck ? ", arrival markers left" : "", seconds);
    fflush(stdout);
    if (metrics)
        recordMetrics(program, metrics, success, downloads, seconds);
    return status != 0 ? status : !success;
}

int main(int argc, char **argv)
{
    const char *lockDir = PASSLOCK_DIR, *program = NULL, *arrival = NULL, *metrics = NULL;
    int timeout = 600;
    for (int i = 1; i < argc; ++i) {
        const int hasValue = i + 1 < argc;
        if (strcmp(argv[i], "--help") == 0) {
            fputs(help, stdout);
            return 0;
        }
        if (strcmp(argv[i], "--lock-dir") == 0 && hasValue) {
            lockDir = argv[++i];
        } else if (strcmp(argv[i], "--arrival") == 0 && hasValue) {
            arrival = argv[++i];
            if (!arrivals_valid(arrival))
                return wrongUsage("an arrival is named with 1 to 64 letters, digits, - or _, not ", arrival);
        } else if (strcmp(argv[i], "--metrics") == 0 && hasValue) {
            metrics = argv[++i];
        } else if (strcmp(argv[i], "--timeout") == 0 && hasValue) {
            char *end = NULL;
            const long seconds = strtol(argv[++i], &end, 10);
            if (*end || end == argv[i] || seconds < 1 || seconds > 86400)
                return wrongUsage("--timeout takes 1 to 86400 seconds, not ", argv[i]);
            timeout = (int)seconds;
        } else if (argv[i][0] == '-') {
            return wrongUsage("unknown option or missing value: ", argv[i]);
        } else if (!program) {
            program = argv[i];
        } else {
            return wrongUsage("more than one program: ", argv[i]);
        }
    }
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
