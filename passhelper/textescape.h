// Text from devices, the library, files or command lines made safe for a
// terminal, the journal or a rules file: control characters, DEL, C1
// controls and bytes outside valid UTF-8 become \n, \t, \r or \xNN, a
// backslash \\; valid UTF-8 stays. The helper and the companion escape here.
#ifndef PASSHELPER_TEXTESCAPE_H
#define PASSHELPER_TEXTESCAPE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Escapes the `n` bytes at `text` into `out` (`size` bytes, NUL-terminated when size > 0), never cutting an escape or
// a character; returns the bytes of `text` that went in.
size_t textescape(char *out, size_t size, const char *text, size_t n);

#ifdef __cplusplus
}
#endif

#endif
