/*
 * Numbers from command lines and settings, read strictly and alike by the
 * helper and the companion: decimal digits, and for a number that may have
 * a fraction a point and more digits. No sign, blank, exponent, hex or
 * octal prefix, infinity or NaN is a number here ("0x10", " 5", "1e3" and
 * "inf" are refused, "010" is ten).
 */
#ifndef PASSHELPER_DECIMAL_H
#define PASSHELPER_DECIMAL_H

#ifdef __cplusplus
extern "C" {
#endif

/* For decimal_parse: a whole number only. */
#define DECIMAL_WHOLE 1

/* Reads the first `n` bytes of `text` (n < 0: up to its NUL) as such a
   number of at most `most`. Returns 0 with it in *value, or -1 (*value
   untouched). */
int decimal_parse(const char *text, int n, double most, int flags, double *value);

#ifdef __cplusplus
}
#endif

#endif
