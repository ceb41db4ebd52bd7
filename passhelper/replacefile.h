/*
 * How the helper replaces its state files (the retry state, the record of
 * an unfinished streak): a new hidden temporary file beside the file, made
 * so that nothing already there is opened or followed, written whole, then
 * renamed over it. A reader sees the old file or the new one, never part of
 * one, and a helper killed midway leaves at most a hidden temporary file.
 */
#ifndef PASSHELPER_REPLACEFILE_H
#define PASSHELPER_REPLACEFILE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Replaces <dir>/<name> with the `size` bytes at `content` (mode 0644).
   Returns 0, or -1 with errno set (no temporary file is left then). */
int replacefile(const char *dir, const char *name, const char *content, size_t size);

#ifdef __cplusplus
}
#endif

#endif
