/*
 * One trait of a closed device library, added to a build of the stand-in
 * for the tests: what such a library does when it is loaded (a constructor
 * of its own), and the text its sessions then fail with (qmx4sim_startup).
 * TRAIT names the trait; the build makes one library per trait. Traits the
 * linker gives (an executable stack, a dependency, another SONAME, a 32-bit
 * file) need no code here.
 */
#define _GNU_SOURCE

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <linux/capability.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

static char failure[512];

#ifdef LICENCE
int qmx4_licence_ok(void); /* in a library of its own */
#endif

const char *qmx4sim_startup(void)
{
    return failure[0] ? failure : NULL;
}

/* Like closed libraries, it tells what went wrong on standard error too. */
static int failed(const char *what, const char *path)
{
    snprintf(failure, sizeof failure, "qmx4: cannot %s %s: %s", what, path, strerror(errno));
    fprintf(stderr, "%s\n", failure);
    return -1;
}

/* A cache file written at start-up under `dir` (/tmp, the working
   directory, or $HOME, which it creates a directory in). */
static int writeCache(const char *dir)
{
    char path[512];
    snprintf(path, sizeof path, "%s/.qmx4", dir);
    if (mkdir(path, 0700) != 0 && errno != EEXIST)
        return failed("create", path);
    snprintf(path, sizeof path, "%s/.qmx4/cache", dir);
    FILE *file = fopen(path, "w");
    if (!file || fputs("qmx4 cache\n", file) < 0 || fclose(file) != 0)
        return failed("write", path);
    return 0;
}

static int startup(void)
{
    const char *trait = TRAIT;
    if (strcmp(trait, "home-cache") == 0) {
        const char *home = getenv("HOME");
        return writeCache(home && *home ? home : "/root");
    } else if (strcmp(trait, "needs-dependency") == 0) {
#ifdef LICENCE
        qmx4_licence_ok();
#endif
    } else if (strcmp(trait, "tmp-cache") == 0) {
        return writeCache("/tmp");
    } else if (strcmp(trait, "cwd-cache") == 0) {
        return writeCache(".");
    } else if (strcmp(trait, "own-device") == 0) {
        const int fd = open("/dev/qmx4ctl", O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return failed("open", "/dev/qmx4ctl");
        close(fd);
    } else if (strcmp(trait, "inet-socket") == 0) {
        /* A licence check's socket. */
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return failed("create", "an AF_INET socket for the licence check");
        close(fd);
    } else if (strcmp(trait, "chatty") == 0) {
        /* 2 MB of debug output on standard output. */
        for (int i = 0; i < 20000; ++i)
            printf("qmx4 debug %05d: %-80s\n", i, "probing the USB host controllers");
        fflush(stdout);
    } else if (strcmp(trait, "deaf-slow") == 0) {
        /* Ignores SIGTERM, then takes its time to start. */
        signal(SIGTERM, SIG_IGN);
        const char *wait = getenv("QMX4SIM_STARTUP_SECONDS");
        for (unsigned left = wait ? (unsigned)atoi(wait) : 20; left > 0;)
            left = sleep(left);
    } else if (strcmp(trait, "rawio") == 0) {
        /* Direct port access wants CAP_SYS_RAWIO in the effective set. */
        struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
        struct __user_cap_data_struct data[2];
        memset(data, 0, sizeof data);
        if (syscall(SYS_capget, &header, data) != 0 || !(data[0].effective & (1u << CAP_SYS_RAWIO))) {
            errno = EPERM;
            return failed("use", "I/O ports (CAP_SYS_RAWIO)");
        }
    }
    return 0;
}

__attribute__((constructor)) static void atLoad(void)
{
    startup();
}
