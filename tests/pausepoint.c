/*
 * Loaded (LD_PRELOAD) into the helper by the fault-injection tests: stops
 * the helper, or a child it forked before that runs another program, right
 * at one step of a pass, so that a test can kill it exactly there.
 * QMX4_PAUSE names the step as "<call>:<argument suffix>":
 *
 *   flock:busy           the first time a lock is found held (waiting for it)
 *   renameat:NAME        after an entry was renamed to NAME (a marker taken)
 *   execv:SUFFIX         before running a program whose path ends so
 *   inotify_add_watch:SUFFIX  when a watch begins on a path ending so (a back-off)
 *
 * Stopping, it writes its process id to the file QMX4_PAUSE_NOTE and stops
 * itself (SIGSTOP); once that file exists, nothing stops again. Other
 * programs that inherit the library are left alone.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int inHelper(void)
{
    char name[32] = "";
    FILE *comm = fopen("/proc/self/comm", "re");
    if (comm) {
        if (!fgets(name, sizeof name, comm))
            name[0] = '\0';
        fclose(comm);
    }
    return strncmp(name, "qmx4-fwload-pas", 15) == 0;
}

/* Whether QMX4_PAUSE names this call with an argument that ends so; errno
   stays as the call left it. */
static int wanted(const char *call, const char *argument)
{
    const int error = errno;
    const char *want = getenv("QMX4_PAUSE"), *note = getenv("QMX4_PAUSE_NOTE");
    const size_t length = strlen(call);
    int found = want && note && strncmp(want, call, length) == 0 && want[length] == ':' && argument &&
                access(note, F_OK) != 0;
    if (found) {
        const char *suffix = want + length + 1;
        const size_t a = strlen(argument), s = strlen(suffix);
        found = a >= s && strcmp(argument + a - s, suffix) == 0 && inHelper();
    }
    errno = error;
    return found;
}

static void stopHere(void)
{
    const int error = errno;
    FILE *file = fopen(getenv("QMX4_PAUSE_NOTE"), "we");
    if (file) {
        fprintf(file, "%d\n", (int)getpid());
        fclose(file);
    }
    raise(SIGSTOP);
    errno = error;
}

/* The next definition of `name`, the C library's (POSIX lets dlsym's
   result be taken as a function). */
#define REAL(type, name, ...) ((type(*)(__VA_ARGS__))(uintptr_t)dlsym(RTLD_NEXT, name))

int flock(int fd, int operation)
{
    const int result = REAL(int, "flock", int, int)(fd, operation);
    if (result != 0 && errno == EWOULDBLOCK && wanted("flock", "busy"))
        stopHere();
    return result;
}

int renameat(int from, const char *old, int to, const char *path)
{
    const int result = REAL(int, "renameat", int, const char *, int, const char *)(from, old, to, path);
    if (result == 0 && wanted("renameat", path))
        stopHere();
    return result;
}

int execv(const char *path, char *const argv[])
{
    if (wanted("execv", path))
        stopHere();
    return REAL(int, "execv", const char *, char *const *)(path, argv);
}

int inotify_add_watch(int fd, const char *path, uint32_t mask)
{
    const int result = REAL(int, "inotify_add_watch", int, const char *, uint32_t)(fd, path, mask);
    if (wanted("inotify_add_watch", path))
        stopHere();
    return result;
}
