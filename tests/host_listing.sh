#!/usr/bin/env bash
# A check of the test suite itself: `make test` must leave this machine's /,
# /etc, /run and /dev as it found them, and leave nothing mounted. `save
# FILE` writes a listing of them (every path with its type, mode and owner,
# not crossing into other file systems; the top of / only; the mount
# points); `compare FILE` lists them again and fails, showing the
# difference, when anything changed.
set -u
listing() {
  {
    find / -mindepth 1 -maxdepth 1 -printf '%p %y %m %u\n'
    find /etc /run /dev -xdev -printf '%p %y %m %u\n' 2>/dev/null
    awk '{ print "mount " $5 " " $9 }' /proc/self/mountinfo
  } | LC_ALL=C sort
}
case ${1:-} in
  save) listing >"$2" ;;
  compare)
    if listing | diff -u "$2" - >"$2.diff"; then
      echo "host listing: /, /etc, /run, /dev and the mounts as before the tests ($(wc -l <"$2") entries)"
    else
      echo "FAIL: the tests changed the host:"
      grep '^[-+][^-+]' "$2.diff"
      exit 1
    fi ;;
  *) echo "usage: host_listing.sh save|compare FILE" >&2; exit 2 ;;
esac
