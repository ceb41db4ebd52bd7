#!/usr/bin/env bash
# The host guard of make test: what a command run under it creates,
# rewrites or removes is reported and fails the run; its own status is kept
# otherwise; what the running system changes meanwhile (udev under
# /run/udev, sessions under /run/user) is not reported. It runs in a mount
# namespace of its own whose /run, a tmpfs, stands for the machine's (and
# whose /tmp and /var/tmp keep other tests' scratch directories apart).
# Exit 77 (skipped) without root or unshare.
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/private_mounts.sh
. "$here/private_mounts.sh"
private_namespace "$0" "$@"
# The guard runs from the new /run: the tmpfs on /tmp may hide the checkout.
mount -n -t tmpfs qmx4-guard-test /run && mkdir /run/guard && cp "$here"/{host_guard,private_mounts}.sh /run/guard &&
  mount -n -t tmpfs qmx4-guard-test /tmp && mount -n -t tmpfs qmx4-guard-test /var/tmp && cd / ||
  { echo "FAIL: cannot mount the tmpfs file systems"; exit 1; }
guard=/run/guard/host_guard.sh
scratch=$(mktemp -d -t qmx4-guard-test.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir /run/udev /run/user
echo old >/run/existing

failures=0
expect() {
  local status
  "$guard" "$scratch/report" bash -c "$3" >"$scratch/out" 2>&1
  status=$?
  [ "$status $(cat "$scratch/report")" = "$2" ] ||
    { echo "FAIL: $1: got '$status $(cat "$scratch/report")', not '$2'"; cat "$scratch/out"; failures=$((failures + 1)); }
}
expect "a clean command" "0 " "true"
expect "a failing clean command" "3 " "exit 3"
expect "a new file" "1 created /run/probe" "echo probe >/run/probe"
expect "a rewritten file" "1 rewritten /run/existing" "echo new >/run/existing"
expect "a removed file" "1 removed /run/existing" "rm /run/existing"
expect "a failing command that also wrote" "3 created /etc/qmx4-probe" "touch /etc/qmx4-probe; exit 3"
[ "$(cat /run/existing)" = old ] && [ ! -e /run/probe ] || { echo "FAIL: a command under the guard changed /run"; failures=$((failures + 1)); }

# The system at work while a command runs: files come and go in /run/udev
# and /run/user, outside the guard's namespace.
touch "$scratch/live"
(while [ -e "$scratch/live" ]; do
   touch /run/udev/c189:1 /run/user/1000; rm -f /run/udev/c189:1 /run/user/1000; echo x >/run/udev/queue
 done) &
expect "changes by the running system" "0 " "for i in \$(seq 50); do ls /run/udev >/dev/null; done"
rm "$scratch/live"
wait

[ "$failures" = 0 ] || exit 1
echo "the host guard reports what a command changed, and only that"
