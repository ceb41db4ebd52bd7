#!/usr/bin/env bash
# A check of the test suite itself: the tests must leave this machine as
# they found it. usage: host_guard.sh REPORT COMMAND...
#
# COMMAND (make's test stages) runs in a mount namespace of its own in
# which /etc, /run, /usr, /var and /dev are overlays: whatever it creates,
# rewrites or removes there lands in the overlays' upper layers, never on
# the machine, and is listed from them afterwards, so that only what the
# tests did counts, never what the running system changes meanwhile (udev,
# sessions, the journal). The checkout, /var/tmp and /var/cache (the
# system tests' cache) are the machine's own in there. Around the run, the
# top of /, the mounts named qmx4-* and the scratch directories the tests
# name qmx4-* in /tmp and /var/tmp are listed before and after. The
# findings go to REPORT and standard output; the exit status is COMMAND's,
# or 1 when the tests changed the machine.
# Without root or overlays COMMAND runs plainly and only the listings are
# judged (a failure under CI=true).
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/private_mounts.sh
. "$here/private_mounts.sh"
overlaid=(/etc /run /usr /var /dev)
kept=(/var/tmp /var/cache)

if [ "${1:-}" = --inside ]; then
  changes=$2
  shift 2
  private_namespace "$0"
  # A kept directory becomes a mount point (bound on itself), which
  # overlay_dir moves back over its overlay.
  for keep in "$(pwd -P)" "${kept[@]}"; do
    mkdir -p "$keep" && mount -n --bind "$keep" "$keep" || exit 70
  done
  for dir in "${overlaid[@]}"; do
    overlay_dir "$dir" "$changes$dir" || exit 70
  done
  exec "$@"
fi

[ $# -ge 2 ] || { echo "usage: host_guard.sh REPORT COMMAND..." >&2; exit 2; }
report=$1
shift
listing() {
  {
    find / -mindepth 1 -maxdepth 1 -printf 'entry %p %y %m %u\n'
    find /tmp /var/tmp -mindepth 1 -maxdepth 1 -name 'qmx4*' -printf 'scratch %p\n'
    awk '$0 ~ / - [^ ]+ qmx4/ { print "mount " $5 }' /proc/self/mountinfo
  } | LC_ALL=C sort
}
before=$(listing)
changes=$(mktemp -d /tmp/qmx4-guard.XXXXXX)
judged=yes
if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null && grep -qw overlay /proc/filesystems; then
  QMX4_OUTER_MOUNTS=$(readlink /proc/self/ns/mnt) unshare --mount --propagation private "$0" --inside "$changes" "$@"
  status=$?
  [ "$status" = 70 ] && judged="no (the overlays could not be set up)"
else
  "$@"
  status=$?
  judged="no (needs root, unshare and overlays)"
fi

# What the overlays took: a character device 0/0 is a removal; a directory
# that the machine has is only the way to a change below it, unless the
# run replaced it (opaque).
{
  if [ "$judged" = yes ]; then
    for dir in "${overlaid[@]}"; do
      upper=$changes$dir/upper
      [ -d "$upper" ] || continue
      (cd "$upper" && find . -mindepth 1 -printf '%y %P\n') | while read -r type path; do
        host=$dir/$path
        if [ "$type" = c ] && [ "$(stat -c %t:%T "$upper/$path")" = 0:0 ]; then
          echo "removed $host"
        elif [ "$type" = d ] && [ -d "$host" ]; then
          [ -n "$(getfattr --absolute-names --only-values -n trusted.overlay.opaque "$upper/$path" 2>/dev/null)" ] &&
            echo "replaced $host"
        elif [ -e "$host" ] || [ -L "$host" ]; then
          echo "rewritten $host"
        else
          echo "created $host"
        fi
      done
    done
  fi
  rm -rf "$changes"
  diff <(echo "$before") <(listing) | sed -n 's/^> /appeared: /p; s/^< /vanished: /p'
} >"$report"

if [ -s "$report" ]; then
  echo "FAIL: the tests changed this machine:"
  sed 's/^/  /' "$report"
  [ "$status" = 0 ] && status=1
elif [ "$judged" = yes ]; then
  echo "host guard: nothing created, rewritten or removed in ${overlaid[*]}; the top of /, the qmx4 mounts and scratch directories as before"
else
  echo "host guard: /etc, /run, /usr, /var and /dev not judged: $judged; the top of /, the qmx4 mounts and scratch directories as before"
  [ "${CI:-}" = true ] && status=1
fi
exit "$status"
