#include "lockholder.h"

#include <dirent.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

/* Whether the lock line of /proc/locks or of a descriptor's fdinfo ("1:
   FLOCK  ADVISORY  WRITE 1234 fe:01:5678 0 EOF", after any prefix) is a
   flock on this file; its process in *pid. */
static int lockOf(const char *line, const struct stat *file, int *pid)
{
    char kind[16];
    unsigned major, minor;
    unsigned long inode;
    const char *colon = strchr(line, ':');
    if (!colon || sscanf(colon + 1, " %15s %*s %*s %d %x:%x:%lu", kind, pid, &major, &minor, &inode) != 5)
        return 0;
    return strcmp(kind, "FLOCK") == 0 && inode == file->st_ino && makedev(major, minor) == file->st_dev && *pid > 0;
}

/* Whether process `pid` has a descriptor that holds the lock on `file`
   (its fdinfo lists the locks held through each descriptor). */
static int holds(int pid, const struct stat *file)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/fdinfo", pid);
    DIR *fds = opendir(path);
    if (!fds)
        return 0;
    int found = 0;
    for (struct dirent *e; !found && (e = readdir(fds));) {
        char info[PATH_MAX], line[256];
        if (e->d_name[0] == '.' || snprintf(info, sizeof info, "%s/%s", path, e->d_name) >= (int)sizeof info)
            continue;
        FILE *f = fopen(info, "re");
        int owner;
        while (f && !found && fgets(line, sizeof line, f))
            found = strncmp(line, "lock:", 5) == 0 && lockOf(line + 5, file, &owner);
        if (f)
            fclose(f);
    }
    closedir(fds);
    return found;
}

static void describe(int pid, char *holder, size_t size)
{
    char path[64], name[64] = "";
    snprintf(path, sizeof path, "/proc/%d/comm", pid);
    FILE *comm = fopen(path, "re");
    if (comm && fgets(name, sizeof name, comm))
        name[strcspn(name, "\n")] = '\0';
    if (comm)
        fclose(comm);
    if (name[0])
        snprintf(holder, size, "process %d (%s)", pid, name);
    else
        snprintf(holder, size, "process %d", pid);
}

void passlock_holder(int fd, char *holder, size_t size)
{
    holder[0] = '\0';
    struct stat info;
    FILE *locks = fstat(fd, &info) == 0 ? fopen("/proc/locks", "re") : NULL;
    if (!locks)
        return;
    /* /proc/locks names the process that took the lock, which may have died
       while a child it started holds the lock on. */
    char line[256];
    int taker = 0;
    while (fgets(line, sizeof line, locks)) {
        int pid;
        if (!strstr(line, "->") && lockOf(line, &info, &pid)) { /* "->": a process waiting for it */
            taker = pid;
            break;
        }
    }
    fclose(locks);
    if (taker && holds(taker, &info)) {
        describe(taker, holder, size);
        return;
    }
    DIR *proc = opendir("/proc");
    for (struct dirent *e; proc && (e = readdir(proc));) {
        const int pid = atoi(e->d_name);
        if (pid > 0 && pid != taker && holds(pid, &info)) {
            describe(pid, holder, size);
            break;
        }
    }
    if (proc)
        closedir(proc);
}

