/*
 * The lock that keeps firmware passes one at a time: an advisory flock on
 * the file "pass" in the lock directory, held while a pass runs. Every
 * program that runs a pass, or opens a library session beside one (the
 * companion's device commands), takes it here.
 */
#ifndef PASSHELPER_PASSLOCK_H
#define PASSHELPER_PASSLOCK_H

#ifdef __cplusplus
extern "C" {
#endif

/* PASSLOCK_DIR, where the lock lives unless a command line says otherwise,
   comes from the build, which puts it into the units and the rules too. */

/* Takes the pass lock in `dir`, creating the directory and the lock file
   as needed. When a pass holds it, calls `waiting` (if not null) once and
   then waits. With `inherit` the descriptor survives exec, so that a
   program started under the lock keeps holding it. Returns the descriptor
   holding the lock, or -1 with errno set and the path that failed in
   `failed` (which holds PATH_MAX bytes). */
int passlock_take(const char *dir, int inherit, void (*waiting)(void *), void *context, char *failed);

#ifdef __cplusplus
}
#endif

#endif
