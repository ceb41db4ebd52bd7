/*
 * What the dynamic loader's text means when a program could not load the
 * device library: the helper says it in the journal when the downloader
 * ends with status 127, and the companion when it cannot load the library.
 */
#ifndef PASSHELPER_LOADFAILURE_H
#define PASSHELPER_LOADFAILURE_H

#include <stddef.h>

/* The device library's file name, which the programs ask the loader for. */
#define LOADFAILURE_LIBRARY "libqmx4-1.5.1.so"

#ifdef __cplusplus
extern "C" {
#endif

/* The cause the loader's `text` (any text, NULL too) names, in words, into
   `out` (`size` bytes, cut to fit); returns `out`. A text it does not know
   gives "the device library could not be loaded". */
const char *loadfailure_words(const char *text, char *out, size_t size);

#ifdef __cplusplus
}
#endif

#endif
