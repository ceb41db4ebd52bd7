// Numbers from command lines and settings, read strictly and alike by the
// helper and the companion: digits, and where a fraction is allowed a point
// and more digits; no sign, blank, exponent, prefix, infinity or NaN.
#ifndef PASSHELPER_DECIMAL_H
#define PASSHELPER_DECIMAL_H

#ifdef __cplusplus
extern "C" {
#endif

#define DECIMAL_WHOLE 1 /* a whole number only */

// Reads the first `n` bytes of `text` (n < 0: all) as such a number of at most `most`: 0, or -1 with *value
// untouched.
int decimal_parse(const char *text, int n, double most, int flags, double *value);

#ifdef __cplusplus
}
#endif

#endif
