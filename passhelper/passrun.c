#define _GNU_SOURCE /* pipe2 */

#include "passrun.h"

#include "arrivals.h"
#include "journal.h"

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

static sigset_t held;    /* SIGCHLD and the stop signals */
static int signals = -1; /* a signalfd for them */
static int stopSignal;   /* the SIGTERM or SIGINT that came, or 0 */
static char said[2][256]; /* the first and last line the latest run relayed */

const char *passrun_said(int last)
{
    return said[last ? 1 : 0];
}

void passrun_hold_signals(void)
{
    sigemptyset(&held);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGCHLD);
    sigprocmask(SIG_BLOCK, &held, NULL);
    if (signals < 0)
        signals = signalfd(-1, &held, SFD_NONBLOCK | SFD_CLOEXEC);
}

/* Takes the held signals that wait, noting the first stop. */
static void takeSignals(void)
{
    for (;;) {
        int signal = -1;
        struct signalfd_siginfo info;
        if (signals >= 0) {
            if (read(signals, &info, sizeof info) == (ssize_t)sizeof info)
                signal = (int)info.ssi_signo;
        } else {
            const struct timespec now = {0, 0};
            signal = sigtimedwait(&held, NULL, &now);
        }
        if (signal < 0)
            return;
        if ((signal == SIGTERM || signal == SIGINT) && !stopSignal)
            stopSignal = signal;
    }
}

int passrun_stopping(void)
{
    takeSignals();
    return stopSignal != 0;
}

const char *passrun_stop_name(void)
{
    return stopSignal == SIGINT ? "SIGINT" : stopSignal == SIGTERM ? "SIGTERM" : "";
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

/* Waits at most `ms` for a held signal or for `fd` (if not -1) to be
   readable; takes the signals. Returns whether `fd` is readable (or at its
   end). Without a signalfd it looks every 50 ms. */
static int waitFor(int fd, int ms)
{
    struct pollfd fds[2] = {{fd, POLLIN, 0}, {signals, POLLIN, 0}};
    if (signals < 0 && ms > 50)
        ms = 50;
    if (poll(fds, 2, ms) < 0)
        fds[0].revents = 0;
    takeSignals();
    return fd >= 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR));
}

int passrun_pause(int ms)
{
    const struct timespec deadline = after(ms / 1000.0);
    for (int left; !passrun_stopping() && (left = msUntil(&deadline, INT_MAX)) >= 0;)
        waitFor(-1, left);
    return stopSignal != 0;
}

int passrun_back_off(const char *lockDir, double seconds)
{
    char path[PATH_MAX];
    const struct timespec deadline = after(seconds);
    arrivals_pending(lockDir, path);
    /* An arrival shows as a new entry in the directory (without inotify the
       directory is looked at every quarter of a second). */
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch >= 0 && inotify_add_watch(watch, path, IN_CREATE | IN_MOVED_TO) < 0) {
        close(watch);
        watch = -1;
    }
    int result = 0, wait;
    while (!(result = passrun_stopping() ? -1 : arrivals_pending(lockDir, path)) &&
           (wait = msUntil(&deadline, watch >= 0 ? INT_MAX : 250)) >= 0) {
        char events[4096];
        if (waitFor(watch, wait))
            while (read(watch, events, sizeof events) > 0) {
            }
    }
    if (watch >= 0)
        close(watch);
    return result;
}

/* Relays what the child's output pipe holds now; closes it at its end. */
static void drain(int *fd, struct relay *r)
{
    char block[4096];
    ssize_t n;
    while (*fd >= 0 && (n = read(*fd, block, sizeof block)) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN)
                return;
        } else {
            relay_feed(r, block, (size_t)n);
            continue;
        }
        break;
    }
    close(*fd);
    *fd = -1;
}

int passrun_run(char *const argv[], const char *prefix, int timeout, int forward, char *result, size_t size,
                int *exited)
{
    if (exited)
        *exited = 0;
    int out[2];
    fflush(NULL);
    if (pipe2(out, O_CLOEXEC) != 0)
        out[0] = out[1] = -1;
    const pid_t child = fork();
    if (child == 0) {
        const int err = fcntl(2, F_DUPFD_CLOEXEC, 3);
        signal(SIGPIPE, SIG_DFL);
        sigprocmask(SIG_UNBLOCK, &held, NULL);
        if (out[1] >= 0)
            dup2(out[1], 1), dup2(out[1], 2);
        execv(argv[0], argv);
        const int error = errno;
        if (err >= 0)
            dup2(err, 2);
        complain(SAY_ERROR, "can't run %s: %s", argv[0], strerror(error));
        _exit(127);
    }
    if (out[1] >= 0)
        close(out[1]);
    if (child < 0) {
        if (out[0] >= 0)
            close(out[0]);
        complain(SAY_ERROR, "can't start %s: %s", argv[0], strerror(errno));
        snprintf(result, size, "not started");
        return 127;
    }
    if (out[0] >= 0)
        fcntl(out[0], F_SETFL, fcntl(out[0], F_GETFL) | O_NONBLOCK);
    struct relay relay;
    relay_begin(&relay, prefix);

    /* Until the child ends: its output relayed, its deadline watched, a
       stop passed on. Once it is told to end (`ending`), it has until
       `deadline` before SIGKILL. */
    struct timespec deadline = after(timeout);
    int status = 0, ending = 0, timedOut = 0, hurried = 0;
    for (;;) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child || (done < 0 && errno != EINTR))
            break;
        if (forward && stopSignal && !ending) {
            kill(child, stopSignal);
            ending = 1, deadline = after(5);
        } else if (stopSignal && !ending && !hurried) {
            /* Not passed on, but the program gets at most 10 s more. */
            const struct timespec soon = after(10);
            if (msUntil(&deadline, INT_MAX) > 10000)
                deadline = soon;
            hurried = 1;
        }
        const int left = msUntil(&deadline, INT_MAX);
        if (left < 0 && ending) {
            if (ending == 1 && !timedOut)
                complain(SAY_ERROR, "%s ignored %s for 5 s and was killed with SIGKILL",
                         forward ? "the downloader" : argv[0], passrun_stop_name());
            kill(child, SIGKILL);
            ending = 2, deadline = after(3600);
        } else if (left < 0) {
            if (forward)
                complain(SAY_ERROR, "the pass did not end within %d s and was stopped", timeout);
            else
                complain(SAY_ERROR, "%s did not end in time and was stopped", argv[0]);
            kill(child, SIGTERM);
            timedOut = ending = 1, deadline = after(5);
        }
        if (waitFor(out[0], left < 0 ? 0 : left))
            drain(&out[0], &relay);
    }
    drain(&out[0], &relay);
    relay_end(&relay);
    memcpy(said[0], relay.first, sizeof said[0]);
    memcpy(said[1], relay.last, sizeof said[1]);
    takeSignals();
    if (timedOut) {
        snprintf(result, size, "stopped after %d s", timeout);
        return 1;
    }
    /* A stop sent to the whole service (systemctl stop signals every
       process of it at once) may have ended the child before it was passed
       on: it counts as a stop all the same. */
    if (forward && stopSignal) {
        snprintf(result, size, "stopped by %s", passrun_stop_name());
        return 1;
    }
    if (WIFSIGNALED(status)) {
        if (forward)
            complain(SAY_ERROR, "the pass ended by signal %d (%s); qmx4-fwctl doctor checks the device library",
                     WTERMSIG(status), strsignal(WTERMSIG(status)));
        else
            complain(SAY_ERROR, "%s ended by signal %d", argv[0], WTERMSIG(status));
        snprintf(result, size, "ended by signal %d", WTERMSIG(status));
        return 1;
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    if (exited)
        *exited = WIFEXITED(status);
    if (code == 0)
        snprintf(result, size, "success");
    else
        snprintf(result, size, "failed (exit status %d)", code);
    return code;
}
