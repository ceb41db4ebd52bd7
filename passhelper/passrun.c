#define _GNU_SOURCE /* pipe2 */

#include "passrun.h"

#include "journal.h"
#include "markers.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

/* The most of the downloader's output relayed before the deadline and the
   stop signals are looked at again: a program that writes without pause
   must not keep the helper from them. */
#define DRAIN_BLOCKS 16

static sigset_t held;     /* SIGCHLD and the stop signals */
static int signals = -1;  /* a signalfd for them */
static int stopSignal;    /* the SIGTERM or SIGINT that came, or 0 */
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
    signal(SIGCHLD, SIG_DFL);
    signals = signalfd(-1, &held, SFD_NONBLOCK | SFD_CLOEXEC);
}

int passrun_stopping(void)
{
    const struct timespec now = {0, 0};
    for (int signal; (signal = sigtimedwait(&held, NULL, &now)) > 0;)
        if (signal != SIGCHLD && !stopSignal)
            stopSignal = signal;
    return stopSignal != 0;
}

const char *passrun_stop_name(void)
{
    return stopSignal == SIGINT ? "SIGINT" : stopSignal == SIGTERM ? "SIGTERM" : "";
}

/* The moment `seconds` from now, on the monotonic clock. */
static struct timespec after(double seconds)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    const long long ns = (long long)(seconds * 1e9) + t.tv_nsec;
    t.tv_sec += (time_t)(ns / 1000000000LL);
    t.tv_nsec = (long)(ns % 1000000000LL);
    return t;
}

/* Milliseconds until the deadline; -1 once it passed. */
static int msUntil(const struct timespec *deadline)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long ms = (long long)(deadline->tv_sec - now.tv_sec) * 1000 + (deadline->tv_nsec - now.tv_nsec) / 1000000;
    return ms < 0 ? -1 : ms > INT_MAX ? INT_MAX : (int)ms;
}

/* Waits at most `ms` (a second at most, should there be no signalfd) for
   a held signal or for `fd` (if not -1) to be readable; returns whether
   `fd` is (or is at its end). */
static int waitFor(int fd, int ms)
{
    struct pollfd fds[2] = {{fd, POLLIN, 0}, {signals, POLLIN, 0}};
    if (poll(fds, 2, ms > 1000 ? 1000 : ms) < 0)
        fds[0].revents = 0;
    passrun_stopping();
    return fd >= 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR));
}

int passrun_back_off(const char *lockDir, double seconds)
{
    char path[PATH_MAX], events[4096];
    const struct timespec deadline = after(seconds);
    markers_pending(lockDir, path);
    /* An arrival shows as a new entry; without inotify, the directory is
       looked at every second. */
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch >= 0)
        inotify_add_watch(watch, path, IN_CREATE | IN_MOVED_TO);
    int result, wait;
    while (!(result = passrun_stopping() ? -1 : markers_pending(lockDir, path)) &&
           (wait = msUntil(&deadline)) >= 0)
        if (waitFor(watch, wait))
            while (read(watch, events, sizeof events) > 0) {
            }
    if (watch >= 0)
        close(watch);
    return result;
}

/* Relays what the output pipe holds now, a bounded amount; closes it at
   its end. */
static void drain(int *fd, struct relay *r)
{
    char block[4096];
    for (int i = 0; *fd >= 0 && i < DRAIN_BLOCKS; ++i) {
        const ssize_t n = read(*fd, block, sizeof block);
        if (n > 0)
            relay_feed(r, block, (size_t)n);
        else if (n < 0 && errno == EINTR)
            continue;
        else if (n < 0 && errno == EAGAIN)
            return;
        else {
            close(*fd);
            *fd = -1;
        }
    }
}

/* Starts the program with its output into a new pipe, whose reading end
   goes to *out; -1 when either cannot be made (said). */
static pid_t start(const char *program, int *out)
{
    int pipe[2];
    fflush(NULL);
    if (pipe2(pipe, O_CLOEXEC) != 0) {
        complain(SAY_ERROR, "can't run %s: no pipe for its output: %s", program, strerror(errno));
        return -1;
    }
    const pid_t child = fork();
    if (child == 0) {
        const int err = fcntl(2, F_DUPFD_CLOEXEC, 3);
        signal(SIGPIPE, SIG_DFL);
        sigprocmask(SIG_UNBLOCK, &held, NULL);
        dup2(pipe[1], 1);
        dup2(pipe[1], 2);
        char *const argv[] = {(char *)program, NULL};
        execv(program, argv);
        const int error = errno;
        dup2(err, 2);
        complain(SAY_ERROR, "can't run %s: %s", program, strerror(error));
        _exit(127);
    }
    close(pipe[1]);
    if (child < 0) {
        complain(SAY_ERROR, "can't start %s: %s", program, strerror(errno));
        close(pipe[0]);
        return -1;
    }
    fcntl(pipe[0], F_SETFL, fcntl(pipe[0], F_GETFL) | O_NONBLOCK);
    *out = pipe[0];
    return child;
}

/* Waits for the child, relaying its output, passing a stop on and
   enforcing the deadline. Returns its wait status, or -1 when it was lost. */
static int watch(pid_t child, int out, int timeout, int *timedOut)
{
    struct relay relay;
    relay_begin(&relay, "output: ");
    struct timespec deadline = after(timeout);
    int status = -1, ending = 0;
    for (pid_t done; (done = waitpid(child, &status, WNOHANG)) != child;) {
        if (done < 0 && errno != EINTR) {
            complain(SAY_ERROR, "lost the downloader's status: %s", strerror(errno));
            status = -1;
            break;
        }
        if (stopSignal && !ending) {
            kill(child, stopSignal);
            ending = 1, deadline = after(5);
        }
        const int left = msUntil(&deadline);
        if (left < 0 && ending) {
            if (ending == 1 && !*timedOut)
                complain(SAY_ERROR, "the downloader ignored %s for 5 s and was killed with SIGKILL", passrun_stop_name());
            kill(child, SIGKILL);
            ending = 2, deadline = after(3600);
        } else if (left < 0) {
            complain(SAY_ERROR, "the pass did not end within %d s and was stopped", timeout);
            kill(child, SIGTERM);
            *timedOut = ending = 1, deadline = after(5);
        }
        if (waitFor(out, left < 0 ? 0 : left))
            drain(&out, &relay);
    }
    while (out >= 0)
        drain(&out, &relay);
    relay_end(&relay);
    memcpy(said[0], relay.first, sizeof said[0]);
    memcpy(said[1], relay.last, sizeof said[1]);
    return status;
}

int passrun_run(const char *program, int timeout, char *result, size_t size, int *exited)
{
    int out = -1, timedOut = 0;
    *exited = 0;
    const pid_t child = start(program, &out);
    if (child < 0) {
        snprintf(result, size, "not started");
        return 127;
    }
    const int status = watch(child, out, timeout, &timedOut);
    passrun_stopping();
    if (timedOut)
        snprintf(result, size, "stopped after %d s", timeout);
    else if (stopSignal) /* a stop to the whole service may have ended it first */
        snprintf(result, size, "stopped by %s", passrun_stop_name());
    else if (status == -1)
        snprintf(result, size, "lost");
    else if (WIFSIGNALED(status)) {
        complain(SAY_ERROR, "the pass ended by signal %d (%s); qmx4-fwctl doctor checks the device library",
                 WTERMSIG(status), strsignal(WTERMSIG(status)));
        snprintf(result, size, "ended by signal %d", WTERMSIG(status));
    } else if (WEXITSTATUS(status) == 0)
        snprintf(result, size, "success");
    else
        snprintf(result, size, "failed (exit status %d)", WEXITSTATUS(status));
    if (timedOut || stopSignal || status == -1 || WIFSIGNALED(status))
        return 1;
    *exited = 1;
    return WEXITSTATUS(status);
}
