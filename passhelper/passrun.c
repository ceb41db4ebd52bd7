#include "passrun.h"

#include "arrivals.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static sigset_t held;   /* SIGCHLD and the stop signals */
static int stopSignal; /* the SIGTERM or SIGINT that came, or 0 */

/* The signals that stop a pass. */
static void stopSignals(sigset_t *set)
{
    sigemptyset(set);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGINT);
}

static void heldSignals(void)
{
    stopSignals(&held);
    sigaddset(&held, SIGCHLD);
}

/* Notes a signal that came; returns whether it is a stop. */
static int noteStop(int signal)
{
    if (signal != SIGTERM && signal != SIGINT)
        return 0;
    stopSignal = stopSignal ? stopSignal : signal;
    return 1;
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

int passrun_stop_pending(void)
{
    sigset_t pending;
    return sigpending(&pending) == 0 && (sigismember(&pending, SIGTERM) || sigismember(&pending, SIGINT));
}

/* The moment `seconds` from now. */
static struct timespec after(double seconds)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    const long long ns = (long long)(seconds * 1e9) + t.tv_nsec;
    t.tv_sec += (time_t)(ns / 1000000000LL);
    t.tv_nsec = (long)(ns % 1000000000LL);
    return t;
}

/* Milliseconds until the deadline, at most `most`; -1 once it passed. */
static int msUntil(const struct timespec *deadline, int most)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long ms = (long long)(deadline->tv_sec - now.tv_sec) * 1000 + (deadline->tv_nsec - now.tv_nsec) / 1000000;
    return ms < 0 ? -1 : ms > most ? most : (int)ms;
}

int passrun_back_off(const char *lockDir, double seconds)
{
    char path[PATH_MAX];
    const struct timespec deadline = after(seconds);
    arrivals_pending(lockDir, path);
    mkdir(lockDir, 0755);
    mkdir(path, 0755);
    /* An arrival shows as a new entry in the directory (without inotify the
       directory is looked at every quarter of a second); a stop signal,
       held, shows on a signalfd. */
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch >= 0 && inotify_add_watch(watch, path, IN_CREATE | IN_MOVED_TO) < 0) {
        close(watch);
        watch = -1;
    }
    sigset_t stops;
    stopSignals(&stops);
    const int signals = signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
    int result = 0;
    for (int wait; !(result = arrivals_pending(lockDir, path)) &&
                   (wait = msUntil(&deadline, watch >= 0 ? INT_MAX : 250)) >= 0;) {
        struct pollfd fds[2] = {{signals, POLLIN, 0}, {watch, POLLIN, 0}};
        if (poll(fds, watch >= 0 ? 2 : 1, wait) < 0 && errno != EINTR)
            break;
        struct signalfd_siginfo info;
        if (signals >= 0 && read(signals, &info, sizeof info) == (ssize_t)sizeof info && noteStop((int)info.ssi_signo)) {
            result = -1;
            break;
        }
        char events[4096];
        while (watch >= 0 && read(watch, events, sizeof events) > 0) {
        }
    }
    if (watch >= 0)
        close(watch);
    if (signals >= 0)
        close(signals);
    return result;
}

/* Waits for the child until the deadline; 0 when the deadline passed, -1
   when a stop signal came first (passed on when `forward`). */
static int waitUntil(pid_t child, int *status, struct timespec deadline, int forward)
{
    for (;;) {
        const pid_t done = waitpid(child, status, WNOHANG);
        if (done == child || (done < 0 && errno != EINTR))
            return 1;
        const int ms = msUntil(&deadline, INT_MAX);
        if (ms < 0)
            return 0;
        const struct timespec left = {ms / 1000, (long)(ms % 1000) * 1000000L};
        const int first = !stopSignal;
        const int signal = sigtimedwait(&held, NULL, &left);
        if (noteStop(signal) && forward && first) {
            kill(child, signal);
            return -1;
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

static int runChild(char *const argv[], int timeout, int forward, char *result, size_t size, int *exited);

int passrun_run(char *const argv[], int timeout, int forward, char *result, size_t size, int *exited)
{
    int ended = 0;
    /* The signals stay held while the child runs, so that waiting for its
       end with a deadline (sigtimedwait) cannot miss it or a stop. */
    sigset_t previous;
    heldSignals();
    sigprocmask(SIG_BLOCK, &held, &previous);
    const int status = runChild(argv, timeout, forward, result, size, &ended);
    sigprocmask(SIG_SETMASK, &previous, NULL);
    if (exited)
        *exited = ended;
    return status;
}

static int runChild(char *const argv[], int timeout, int forward, char *result, size_t size, int *exited)
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
    /* A stop sent to the whole service (systemctl stop signals every
       process of it at once) may have ended the child before it was seen
       here: it counts as a stop all the same. */
    sigset_t stops;
    stopSignals(&stops);
    const struct timespec now = {0, 0};
    const int stopped = forward && waited > 0 && noteStop(sigtimedwait(&stops, NULL, &now));
    if (waited < 0 || stopped) {
        if (waited < 0)
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
    *exited = WIFEXITED(status);
    if (code == 0)
        snprintf(result, size, "success");
    else
        snprintf(result, size, "failed (exit status %d)", code);
    return code;
}
