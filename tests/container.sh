# shellcheck shell=bash
# The containers of the system tests, sourced by them once private_mounts
# (private_mounts.sh) has put them in a mount namespace of their own. A
# container's root is an overlay whose lower layer is never written (this
# machine's own root, or a cached Debian root) and whose changes live in
# the test's scratch directory; nspawn's own state under /run goes to the
# namespace's throwaway /run. So the test leaves nothing behind but what it
# removes itself. A booted container has a private network:
# no service in it is reachable from outside, and none reaches out.
# The caller sets `test_name`; `skip` ends the test (a failure under
# CI=true), `fail` counts a failure, `finish` reports and exits.
started=$SECONDS
failures=0
# What the system tests keep between runs, outside any checkout: a Debian
# root and packages fetched for the containers.
cache=${QMX4_TEST_CACHE:-/var/cache/qmx4-fwload-tests}
scratch= root= nspawn= init=

skip() {
  if [ "${CI:-}" = true ]; then echo "FAIL: $test_name cannot run: $*"; exit 1; fi
  echo "SKIP: $test_name: $*"
  exit 0
}
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

container_cleanup() {
  container_stop
  if [ -n "$scratch" ]; then
    for mount in "$root" "$scratch"; do
      findmnt -n -o SOURCE "$mount" 2>/dev/null | grep -q '^qmx4-container' && umount "$mount"
    done
    rm -rf "$scratch"
  fi
}

# Mounts the container's root at $root: an overlay of LOWER whose changes
# go to a scratch directory under /var/tmp, on a tmpfs with `tmpfs`.
container_root() {
  local lower=$1
  command -v systemd-nspawn >/dev/null || skip "systemd-nspawn not found (Debian package systemd-container)"
  grep -qw overlay /proc/filesystems || modprobe overlay 2>/dev/null || skip "no overlay file system"
  scratch=$(mktemp -d /var/tmp/qmx4-container.XXXXXX)
  trap container_cleanup EXIT
  trap 'exit 1' INT TERM HUP
  if [ "${2:-}" = tmpfs ]; then
    mount -t tmpfs -o mode=0755 qmx4-container "$scratch" || skip "cannot mount a tmpfs on $scratch"
  fi
  root=$scratch/root
  mkdir "$scratch/upper" "$scratch/work" "$root"
  mount -t overlay qmx4-container -o "lowerdir=$lower,upperdir=$scratch/upper,workdir=$scratch/work" "$root" ||
    skip "cannot mount an overlay of $lower"
}

# Runs a command in the container's root without booting it, on this
# machine's network (to reach the archive). Maintainer scripts start no
# service meanwhile: no systemd runs there, and policy-rc.d forbids it.
container_run() {
  printf '#!/bin/sh\n# The system tests build here: no service starts.\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod 755 "$root/usr/sbin/policy-rc.d"
  systemd-nspawn --directory="$root" --register=no --keep-unit --quiet --pipe \
    --setenv=CI="${CI:-}" --setenv=LANG=C.UTF-8 -- "$@" </dev/null
}

# Boots systemd in the container on a private network and waits until it
# is up; $init is its PID 1 as this machine sees it. The array
# container_options, if set, adds systemd-nspawn options.
container_boot() {
  # An image built for containers may forbid maintainer scripts to start
  # services; a Debian system as installed does not.
  rm -f "$root/usr/sbin/policy-rc.d"
  # The unified cgroup hierarchy, with bpf() allowed: only there does the
  # container's systemd enforce a unit's DevicePolicy= (device programs on
  # cgroup v2), so the pass service's whole sandbox holds as on a host.
  SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 systemd-nspawn --directory="$root" --register=no --keep-unit --quiet --boot \
    --private-network --system-call-filter=bpf ${container_options[@]+"${container_options[@]}"} \
    --console=passive </dev/null >"$scratch/console.log" 2>&1 &
  nspawn=$!
  # The container's init: the child of nspawn that has become systemd.
  init=
  for _ in $(seq 600); do
    init=$(pgrep -P "$nspawn" -x systemd | head -n 1)
    [ -n "$init" ] && break
    kill -0 "$nspawn" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$init" ] || { cat "$scratch/console.log"; skip "systemd-nspawn did not start a container"; }
  local state=
  for _ in $(seq 600); do
    state=$(inside systemctl is-system-running 2>/dev/null)
    case $state in running | degraded) break ;; esac
    sleep 0.2
  done
  case $state in
    running | degraded) echo "container up after $((SECONDS - started)) s" ;;
    *) tail -n 20 "$scratch/console.log"; echo "FAIL: the container's systemd did not come up ($state)"; exit 1 ;;
  esac
}

# A command inside the booted container, with a clean environment.
inside() { nsenter -t "$init" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }

container_stop() {
  if [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
    [ -n "$init" ] && nsenter -t "$init" -a systemctl poweroff >/dev/null 2>&1
    for _ in $(seq 300); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.2; done
    kill "$nspawn" 2>/dev/null && wait "$nspawn" 2>/dev/null
  fi
  nspawn=
}

finish() {
  if [ "$failures" != 0 ] && [ -n "$init" ]; then
    echo "--- the passes in the container's journal"
    inside journalctl -q --no-pager -o short-precise -u "qmx4-fwload*" | tail -n 60
  fi
  echo "$test_name: $((SECONDS - started)) s in all"
  [ "$failures" = 0 ] || exit 1
  echo "$1"
}
