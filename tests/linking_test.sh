#!/usr/bin/env bash
# Checks that a program needs the device library by SONAME through RUNPATH
# (not RPATH), and that the loader's search path can replace it; and that no
# program's RUNPATH makes the loader look in the working directory, where a
# planted library would be loaded (the downloader runs in its base directory).
# Arguments: the program, a directory holding another libqmx4-1.5.1.so, and
# further programs whose RUNPATH is checked the same way.
set -u
program=$1 variant_dir=$2
shift 2
dynamic=$(readelf -d "$program")
fail() { echo "FAIL: $*"; echo "$dynamic"; exit 1; }
grep -q 'NEEDED.*\[libqmx4-1.5.1.so\]' <<<"$dynamic" || fail "no NEEDED libqmx4-1.5.1.so"
grep -q '(RUNPATH)' <<<"$dynamic" || fail "no RUNPATH"
grep -q '(RPATH)' <<<"$dynamic" && fail "RPATH present"
linked=$("$program") || fail "program failed"
replaced=$(LD_LIBRARY_PATH="$variant_dir" "$program") || fail "program failed with LD_LIBRARY_PATH"
[ "$linked" != "$replaced" ] || fail "LD_LIBRARY_PATH did not replace the library ($linked)"
case $replaced in *variant*) ;; *) fail "unexpected library: $replaced" ;; esac

planted=$(mktemp -d -t qmx4-linking.XXXXXX)
trap 'rm -rf "$planted"' EXIT
for lib in libtinyxml.so.2.6.2 libstdc++.so.6 libgcc_s.so.1 libc.so.6; do : >"$planted/$lib"; done
for checked in "$program" "$@"; do
  dynamic=$(readelf -d "$checked")
  runpath=$(sed -n 's/.*Library runpath: \[\(.*\)\]/\1/p' <<<"$dynamic")
  case ":$runpath:" in
    *::* | *:[!/]*) fail "$checked: RUNPATH '$runpath' has an empty or relative entry" ;;
  esac
  loaded=$(cd "$planted" && "$checked" 2>&1 </dev/null)
  grep -q 'error while loading shared libraries' <<<"$loaded" && fail "$checked loaded a library from its working directory: $loaded"
done
echo "linked: $linked; replaced: $replaced; no RUNPATH searches the working directory"
