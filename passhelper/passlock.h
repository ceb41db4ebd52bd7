/*
 * The lock that keeps firmware passes one at a time: an advisory flock on
 * the file "pass" in the lock directory, held while a pass runs. Every
 * program that runs a pass, or opens a library session beside one (the
 * companion's device commands), takes it here.
 */
#ifndef PASSHELPER_PASSLOCK_H
#define PASSHELPER_PASSLOCK_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* PASSLOCK_DIR, where the lock lives unless a command line says otherwise,
   comes from the build, which puts it into the units and the rules too. */

/* Whether `dir` can be a lock directory: an absolute path. A relative one
   would depend on where a command runs, an empty one would put the lock
   at the root of the file system. */
int passlock_valid(const char *dir);

/* Takes the pass lock in `dir` (an absolute path; EINVAL otherwise),
   creating the directory and the lock file as needed. When a pass holds
   it, calls `waiting` (if not null) once with the holder as
   passlock_holder describes it, then waits: for ever when `timeout_ms` is
   negative, else at most that long (ETIMEDOUT). With `inherit` the
   descriptor survives exec, so that a program started under the lock keeps
   holding it. Returns the descriptor holding the lock, or -1 with errno
   set and the path that failed in `failed` (which holds PATH_MAX bytes). */
int passlock_take(const char *dir, int inherit, int timeout_ms, void (*waiting)(void *, const char *),
                  void *context, char *failed);

/* Who holds the lock on the open file `fd`, as far as /proc/locks tells:
   "process 123 (qmx4-fwload)", "process 123", or "" when it cannot be
   known. */
void passlock_holder(int fd, char *holder, size_t size);

#ifdef __cplusplus
}
#endif

#endif
