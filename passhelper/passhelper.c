/*
 * qmx4-fwload-pass: runs qmx4-fwload as the pass for one device arrival,
 * coalesced with the other arrivals of a burst. The systemd units start
 * every pass through it. Two advisory locks in one directory do it:
 *
 *   queue  held by the one arrival that waits for the next pass;
 *   pass   held while a pass runs.
 *
 * An arrival that finds the queue taken ends at once with status 0: the
 * arrival holding it has not begun its pass, which will list the devices
 * after this arrival. Otherwise it takes the queue, waits for the pass
 * lock, leaves the queue and only then runs its pass, so an arrival during
 * a pass always finds the queue free or held by one whose pass is still to
 * come.
 *
 * It is written in C and links only the C library: at boot udev replays an
 * arrival for every USB device, and most of them only look at the queue, so
 * each should cost no more than a process start (the C++ runtime would
 * double that, the device library more).
 */

#include "passlock.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static const char usage[] = "usage: qmx4-fwload-pass [--lock-dir DIR] [--timeout SECONDS] [PROGRAM]\n";

static const char help[] =
    "usage: qmx4-fwload-pass [--lock-dir DIR] [--timeout SECONDS] [PROGRAM]\n"
    "\n"
    "Runs PROGRAM (default " QMX4_PROGRAM ") in the working directory as the\n"
    "firmware pass for one device arrival. When another arrival already waits\n"
    "for the next pass, that pass lists the devices after this arrival, so this\n"
    "one ends at once with status 0. Otherwise it waits until no pass runs,\n"
    "then runs its own. The systemd units start every pass this way.\n"
    "\n"
    "  --lock-dir DIR      where the locks live (default /run/qmx4-fwload)\n"
    "  --timeout SECONDS   stop a pass that runs longer (default 600)\n"
    "\n"
    "Exit status: the pass's own; 0 when a queued pass serves the arrival;\n"
    "1 when the pass was stopped or ended by a signal, or a lock failed;\n"
    "2 for a wrong command line; 127 when PROGRAM cannot be started.\n";

static struct timespec after(int seconds)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += seconds;
    return t;
}

/* Waits for the child until the deadline; 0 when the deadline passed. */
static int waitUntil(pid_t child, int *status, struct timespec deadline, const sigset_t *sigchld)
{
    for (;;) {
        const pid_t done = waitpid(child, status, WNOHANG);
        if (done == child || (done < 0 && errno != EINTR))
            return 1;
        struct timespec now, left;
        clock_gettime(CLOCK_MONOTONIC, &now);
        left.tv_sec = deadline.tv_sec - now.tv_sec;
        left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
        if (left.tv_nsec < 0) {
            left.tv_nsec += 1000000000L;
            --left.tv_sec;
        }
        if (left.tv_sec < 0)
            return 0;
        sigtimedwait(sigchld, NULL, &left);
    }
}

/* Runs the program as a child; returns the status to exit with. */
static int runPass(const char *program, int timeout)
{
    sigset_t sigchld, previous;
    sigemptyset(&sigchld);
    sigaddset(&sigchld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &sigchld, &previous);
    fflush(NULL);
    const pid_t child = fork();
    if (child == 0) {
        sigprocmask(SIG_SETMASK, &previous, NULL);
        execl(program, program, (char *)NULL);
        fprintf(stderr, "qmx4-fwload-pass: can't run %s: %s\n", program, strerror(errno));
        _exit(127);
    }
    if (child < 0) {
        fprintf(stderr, "qmx4-fwload-pass: can't start %s: %s\n", program, strerror(errno));
        return 127;
    }
    int status = 0;
    const int ended = waitUntil(child, &status, after(timeout), &sigchld);
    if (!ended) {
        fprintf(stderr, "qmx4-fwload-pass: the pass did not end within %d s and was stopped\n", timeout);
        kill(child, SIGTERM);
        if (!waitUntil(child, &status, after(5), &sigchld)) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        }
        return 1;
    }
    if (WIFSIGNALED(status)) {
        fprintf(stderr, "qmx4-fwload-pass: the pass ended by signal %d\n", WTERMSIG(status));
        return 1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

static int wrongUsage(const char *problem, const char *argument)
{
    fprintf(stderr, "qmx4-fwload-pass: %s%s\n%s", problem, argument, usage);
    return 2;
}

int main(int argc, char **argv)
{
    const char *lockDir = PASSLOCK_DIR, *program = NULL;
    int timeout = 600;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0) {
            fputs(help, stdout);
            return 0;
        }
        if (strcmp(argv[i], "--lock-dir") == 0 && i + 1 < argc) {
            lockDir = argv[++i];
        } else if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
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
    if (!program)
        program = QMX4_PROGRAM;

    const int queue = passlock_open(lockDir, "queue", 0);
    if (queue < 0 || passlock_lock(queue, 0) != 0) {
        if (queue >= 0 && errno == EWOULDBLOCK) {
            printf("qmx4-fwload-pass: a pass is already queued; it will serve this arrival\n");
            return 0;
        }
        fprintf(stderr, "qmx4-fwload-pass: can't lock %s/queue: %s\n", lockDir, strerror(errno));
        return 1;
    }
    /* Inherited across exec: the pass holds the lock for as long as it
       lives, even should this process die first. */
    char failed[PATH_MAX];
    if (passlock_take_pass(lockDir, 1, NULL, NULL, failed) < 0) {
        fprintf(stderr, "qmx4-fwload-pass: can't lock %s: %s\n", failed, strerror(errno));
        return 1;
    }
    /* Leave the queue before the pass lists any device: an arrival from now
       on gets a pass of its own after this one. */
    close(queue);
    return runPass(program, timeout);
}
