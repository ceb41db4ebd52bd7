#include "passrun.h"

#include "passevents.h"
#include "regularfile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

/* The log the downloader writes in its base directory, the working
   directory of a pass. */
static const char logFile[] = "service.log";

static sigset_t held;   /* SIGCHLD, SIGTERM, SIGINT */
static int stopSignal; /* the SIGTERM or SIGINT that came, or 0 */

static void heldSignals(void)
{
    sigemptyset(&held);
    sigaddset(&held, SIGCHLD);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGINT);
}

void passrun_hold_signals(void)
{
    heldSignals();
    sigprocmask(SIG_BLOCK, &held, NULL);
}

int passrun_stopping(void)
{
    return stopSignal != 0;
}

static struct timespec after(int seconds)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += seconds;
    return t;
}

/* Waits for the child until the deadline; 0 when the deadline passed, -1
   when a stop signal came first (passed on when `forward`). */
static int waitUntil(pid_t child, int *status, struct timespec deadline, int forward)
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
        const int signal = sigtimedwait(&held, NULL, &left);
        if (signal == SIGTERM || signal == SIGINT) {
            const int first = !stopSignal;
            stopSignal = stopSignal ? stopSignal : signal;
            if (forward && first) {
                kill(child, signal);
                return -1;
            }
        }
    }
}

/* Ends the child: `signal` now, SIGKILL if it is still there 5 s later. */
static void stopChild(pid_t child, int signal, int *status)
{
    if (signal)
        kill(child, signal);
    if (waitUntil(child, status, after(5), 0) != 1) {
        kill(child, SIGKILL);
        waitpid(child, status, 0);
    }
}

static int runChild(char *const argv[], int timeout, int forward, char *result, size_t size);

int passrun_run(char *const argv[], int timeout, int forward, char *result, size_t size)
{
    /* The signals stay held while the child runs, so that waiting for its
       end with a deadline (sigtimedwait) cannot miss it or a stop. */
    sigset_t previous;
    heldSignals();
    sigprocmask(SIG_BLOCK, &held, &previous);
    const int status = runChild(argv, timeout, forward, result, size);
    sigprocmask(SIG_SETMASK, &previous, NULL);
    return status;
}

static int runChild(char *const argv[], int timeout, int forward, char *result, size_t size)
{
    fflush(NULL);
    const pid_t child = fork();
    if (child == 0) {
        signal(SIGPIPE, SIG_DFL);
        sigprocmask(SIG_UNBLOCK, &held, NULL);
        execv(argv[0], argv);
        fprintf(stderr, "qmx4-fwload-pass: can't run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    if (child < 0) {
        fprintf(stderr, "qmx4-fwload-pass: can't start %s: %s\n", argv[0], strerror(errno));
        snprintf(result, size, "not started");
        return 127;
    }
    int status = 0;
    const int waited = waitUntil(child, &status, after(timeout), forward);
    if (waited == 0) {
        fprintf(stderr, "qmx4-fwload-pass: the pass did not end within %d s and was stopped\n", timeout);
        stopChild(child, SIGTERM, &status);
        snprintf(result, size, "stopped after %d s", timeout);
        return 1;
    }
    if (waited < 0) {
        stopChild(child, 0, &status);
        snprintf(result, size, "stopped by %s", stopSignal == SIGINT ? "SIGINT" : "SIGTERM");
        return 1;
    }
    if (WIFSIGNALED(status)) {
        fprintf(stderr, "qmx4-fwload-pass: the pass ended by signal %d\n", WTERMSIG(status));
        snprintf(result, size, "ended by signal %d", WTERMSIG(status));
        return 1;
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    if (code == 0)
        snprintf(result, size, "success");
    else
        snprintf(result, size, "failed (exit status %d)", code);
    return code;
}

void passrun_open_events(struct passrun_events *events)
{
    events->fd = -1;
    events->downloads = 0;
    events->failedAt = -1;
    /* An unnamed temporary file: writing to it never waits, and it is gone
       with the last descriptor. The downloader inherits a descriptor. */
    FILE *file = tmpfile();
    if (!file)
        return;
    events->fd = dup(fileno(file));
    fclose(file);
    if (events->fd < 0)
        return;
    char number[16];
    snprintf(number, sizeof number, "%d", events->fd);
    setenv(PASSEVENTS_ENV, number, 1);
}

void passrun_read_events(struct passrun_events *events)
{
    unsetenv(PASSEVENTS_ENV);
    if (events->fd < 0)
        return;
    FILE *channel = lseek(events->fd, 0, SEEK_SET) == 0 ? fdopen(events->fd, "r") : NULL;
    if (!channel) {
        close(events->fd);
        events->fd = -1;
        return;
    }
    char line[64], index[32];
    while (fgets(line, sizeof line, channel)) {
        if (sscanf(line, PASSEVENTS_DOWNLOADED " %31s", index) == 1)
            ++events->downloads;
        else if (sscanf(line, PASSEVENTS_FAILED " %31s", index) == 1)
            events->failedAt = strcmp(index, "-") == 0 ? -1 : atoi(index);
    }
    fclose(channel);
    events->fd = -1;
}

void passrun_mark_log(struct passrun_log *mark)
{
    char why[REGULARFILE_WHY];
    struct stat info;
    mark->fd = regularfile_open(logFile, LLONG_MAX, why);
    mark->size = 0;
    if (mark->fd >= 0 && fstat(mark->fd, &info) == 0)
        mark->size = info.st_size;
    mark->fd = mark->fd < 0 ? -1 : mark->fd;
}

void passrun_print_log(struct passrun_log *mark)
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
    int atLineStart = 1;
    char line[4096];
    while (fgets(line, sizeof line, log)) {
        const size_t n = strlen(line);
        if (atLineStart)
            fputs("log: ", stdout);
        fputs(line, stdout);
        atLineStart = n > 0 && line[n - 1] == '\n';
    }
    if (!atLineStart)
        putchar('\n');
    fclose(log);
}
