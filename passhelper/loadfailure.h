// What the dynamic loader's text means when the device library could not be
// loaded, in words: the helper says it when the downloader ends with 127,
// the companion when it cannot load the library.
#ifndef PASSHELPER_LOADFAILURE_H
#define PASSHELPER_LOADFAILURE_H

#include <stddef.h>

#define LOADFAILURE_LIBRARY "libqmx4-1.5.1.so"

#ifdef __cplusplus
extern "C" {
#endif

// The cause `text` names (any text, NULL too; one it does not know gives "the device library could not be loaded")
// into `out`, cut to `size`; returns `out`.
const char *loadfailure_words(const char *text, char *out, size_t size);

#ifdef __cplusplus
}
#endif

#endif
