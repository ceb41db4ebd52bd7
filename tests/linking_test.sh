#!/usr/bin/env bash
# Checks that a program needs the device library by SONAME through RUNPATH
# (not RPATH), and that the loader's search path can replace it.
# Arguments: the program, and a directory holding another libqmx4-1.5.1.so.
set -u
program=$1 variant_dir=$2
dynamic=$(readelf -d "$program")
fail() { echo "FAIL: $*"; echo "$dynamic"; exit 1; }
grep -q 'NEEDED.*\[libqmx4-1.5.1.so\]' <<<"$dynamic" || fail "no NEEDED libqmx4-1.5.1.so"
grep -q '(RUNPATH)' <<<"$dynamic" || fail "no RUNPATH"
grep -q '(RPATH)' <<<"$dynamic" && fail "RPATH present"
linked=$("$program") || fail "program failed"
replaced=$(LD_LIBRARY_PATH="$variant_dir" "$program") || fail "program failed with LD_LIBRARY_PATH"
[ "$linked" != "$replaced" ] || fail "LD_LIBRARY_PATH did not replace the library ($linked)"
case $replaced in *variant*) ;; *) fail "unexpected library: $replaced" ;; esac
echo "linked: $linked; replaced: $replaced"
