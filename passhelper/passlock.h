/*
 * The lock directory and the passes' lock: an advisory flock on the file
 * "pass", held while a pass runs, taken here by every program that runs a
 * pass or opens a library session beside one. The helper runs as root and
 * renames and removes files in this directory, so it must be one nobody
 * else can change: a real directory, owned by root or by the user running
 * the program, writable by no group or other user; its "arrivals" and
 * "taken" directories too.
 */
#ifndef PASSHELPER_PASSLOCK_H
#define PASSHELPER_PASSLOCK_H

#ifdef __cplusplus
extern "C" {
#endif

/* PASSLOCK_DIR, the default lock directory, comes from the build, which
   puts it into the units and the rules too. */

/* The room a message of these functions needs. */
#define PASSLOCK_WHY 4352

/* Whether `dir` can be a lock directory: an absolute path (a relative one
   would depend on where a command runs). */
int passlock_valid(const char *dir);

/* Opens the directory `name` (relative to `at`, or absolute), made (0755)
   when missing and `make` is set, and checks it as above. Returns its
   descriptor, or -1 with errno set and in `why` the path (`shown`, or
   `name` when null) and what is wrong ("/run/x: it is writable by others
   (mode 0777)"). */
int passlock_open_dir(int at, const char *name, const char *shown, int make, char *why);

/* Takes the passes' lock in the absolute directory `dir`, making it and
   the lock file as needed; a lock file that is no regular file is refused.
   When a pass holds it, calls `waiting` (if not null) once with the lock
   file's descriptor, then waits at most `timeout_ms` (ETIMEDOUT). With
   `inherit` the descriptor survives exec, so that a program started under
   the lock keeps holding it. Returns the descriptor, or -1 with errno set
   and in `why` the path and what failed. */
int passlock_take(const char *dir, int inherit, int timeout_ms, void (*waiting)(void *, int), void *context,
                  char *why);

#ifdef __cplusplus
}
#endif

#endif
