// The lock directory and the passes' lock: a flock on its file "pass", held
// while a pass runs and taken here by every program that runs one or opens
// a library session beside one. The helper runs as root and renames files
// there, so the directory (and its "arrivals" and "taken") must be a real
// directory owned by root or the program's user, writable by no one else.
// PASSLOCK_DIR, the default, comes from the build.
#ifndef PASSHELPER_PASSLOCK_H
#define PASSHELPER_PASSLOCK_H

#ifdef __cplusplus
extern "C" {
#endif

#define PASSLOCK_WHY 4352 /* the room a message of these functions needs */

// Whether `dir` can be a lock directory: an absolute path (a relative one would depend on where a command runs).
int passlock_valid(const char *dir);

// Opens the directory `name` (relative to `at`), made (0755) when missing and `make` is set; -1 with errno and "PATH:
// what is wrong" in `why` (PATH: `shown`, else `name`) when it is none or fails the checks above.
int passlock_open_dir(int at, const char *name, const char *shown, int make, char *why);

// Takes the lock in `dir`, made as needed, calling `waiting` once when a pass holds it and waiting at most
// `timeout_ms` (then ETIMEDOUT); with `inherit` it survives exec. -1 with errno and `why` for a relative `dir` or a
// lock file that is no regular file.
int passlock_take(const char *dir, int inherit, int timeout_ms, void (*waiting)(void *, int), void *context,
                  char *why);

#ifdef __cplusplus
}
#endif

#endif
