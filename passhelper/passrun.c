#include "passrun.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

/* The log the downloader writes in its base directory, the working
   directory of a pass. */
static const char logFile[] = "service.log";

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

/* Runs the child until it ends or is stopped; `sigchld` is blocked. */
static int runChild(char *const argv[], int timeout, char *result, size_t size, const sigset_t *sigchld,
                    const sigset_t *previous)
{
    fflush(NULL);
    const pid_t child = fork();
    if (child == 0) {
        sigprocmask(SIG_SETMASK, previous, NULL);
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
    if (!waitUntil(child, &status, after(timeout), sigchld)) {
        fprintf(stderr, "qmx4-fwload-pass: the pass did not end within %d s and was stopped\n", timeout);
        kill(child, SIGTERM);
        if (!waitUntil(child, &status, after(5), sigchld)) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        }
        snprintf(result, size, "stopped after %d s", timeout);
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

int passrun_run(char *const argv[], int timeout, char *result, size_t size)
{
    /* SIGCHLD stays blocked while the child runs, so that waiting for it
       with a deadline (sigtimedwait) cannot miss its end. */
    sigset_t sigchld, previous;
    sigemptyset(&sigchld);
    sigaddset(&sigchld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &sigchld, &previous);
    const int status = runChild(argv, timeout, result, size, &sigchld, &previous);
    sigprocmask(SIG_SETMASK, &previous, NULL);
    return status;
}

void passrun_mark_log(struct passrun_log *mark)
{
    struct stat info;
    mark->fd = open(logFile, O_RDONLY | O_CLOEXEC);
    mark->size = 0;
    if (mark->fd >= 0 && (fstat(mark->fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        close(mark->fd);
        mark->fd = -1;
    } else if (mark->fd >= 0) {
        mark->size = info.st_size;
    }
}

int passrun_read_log(struct passrun_log *mark)
{
    FILE *log = fopen(logFile, "r");
    struct stat now, before;
    const int was = mark->fd >= 0 && fstat(mark->fd, &before) == 0;
    if (mark->fd >= 0)
        close(mark->fd);
    mark->fd = -1;
    if (!log)
        return -1;
    if (fstat(fileno(log), &now) != 0 || !S_ISREG(now.st_mode)) {
        fclose(log);
        return -1;
    }
    if (was && now.st_dev == before.st_dev && now.st_ino == before.st_ino && now.st_size >= mark->size)
        fseeko(log, mark->size, SEEK_SET);
    static const char found[] = "Unconfigured device found: ";
    int devices = 0, atLineStart = 1;
    char line[4096];
    while (fgets(line, sizeof line, log)) {
        const size_t n = strlen(line);
        if (atLineStart) {
            fputs("log: ", stdout);
            devices += strncmp(line, found, sizeof found - 1) == 0;
        }
        fputs(line, stdout);
        atLineStart = n > 0 && line[n - 1] == '\n';
    }
    if (!atLineStart)
        putchar('\n');
    fclose(log);
    return devices;
}
