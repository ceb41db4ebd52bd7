/*
 * The lock directory and its locks. Firmware passes run one at a time under
 * an advisory flock on the file "pass", held while a pass runs; every
 * program that runs a pass, or opens a library session beside one (the
 * companion's device commands), takes it here.
 *
 * The helper runs as root, from udev and systemd, and removes and replaces
 * files in this directory, so the directory must be one that nobody else
 * can change: a real directory (no symbolic link), owned by root or by the
 * user running the program, and writable by no group or other user. The
 * same holds for its "arrivals" directory.
 */
#ifndef PASSHELPER_PASSLOCK_H
#define PASSHELPER_PASSLOCK_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* PASSLOCK_DIR, where the lock lives unless a command line says otherwise,
   comes from the build, which puts it into the units and the rules too. */

/* The room a message of these functions needs. */
#define PASSLOCK_WHY 4352

/* Whether `dir` can be a lock directory: an absolute path. A relative one
   would depend on where a command runs, an empty one would put the lock
   at the root of the file system. */
int passlock_valid(const char *dir);

/* Opens the directory `name` (relative to `at`, or absolute), making it
   (mode 0755) when it is missing and `make` is set, and checks it as above.
   Returns its descriptor, or -1 with errno set and in `why` the path
   (`shown`, or `name` when that is null) and what is wrong ("/run/x: it is
   writable by others (mode 0777)"). */
int passlock_open_dir(int at, const char *name, const char *shown, int make, char *why);

/* Takes the pass lock in `dir` (an absolute path; EINVAL otherwise),
   creating the directory and the lock file as needed. When a pass holds
   it, calls `waiting` (if not null) once with the lock file's descriptor,
   then waits: for ever when `timeout_ms` is
   negative, else at most that long (ETIMEDOUT). With `inherit` the
   descriptor survives exec, so that a program started under the lock keeps
   holding it. Returns the descriptor holding the lock, or -1 with errno set
   and in `why` the path and what failed. A lock file that is no regular
   file is refused. */
int passlock_take(const char *dir, int inherit, int timeout_ms, void (*waiting)(void *, int),
                  void *context, char *why);

#ifdef __cplusplus
}
#endif

#endif
