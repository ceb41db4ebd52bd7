/*
 * Text that comes from devices, the library, files, markers or the command
 * line, made safe to show on a terminal, in the journal or in a rules file:
 * every control character, DEL, C1 control and byte that is not part of
 * valid UTF-8 becomes an escape (\n, \t, \r, \x1b, \xff), and a backslash
 * becomes \\, so that the text stays on its line and cannot pass for
 * anything else. Valid UTF-8 stays as it is. The helper and the companion
 * both escape here.
 */
#ifndef PASSHELPER_TEXTESCAPE_H
#define PASSHELPER_TEXTESCAPE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Escapes the `n` bytes at `text` into `out` (`size` bytes, NUL-terminated
   when size > 0), as far as they fit whole: no escape and no character is
   ever cut. Returns how many bytes of `text` went in (n when all did). */
size_t textescape(char *out, size_t size, const char *text, size_t n);

#ifdef __cplusplus
}
#endif

#endif
