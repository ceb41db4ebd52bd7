# shellcheck shell=bash
# Sourced by the tests that mount over directories of the system: runs the
# rest of the calling script in a mount namespace of its own whose mounts
# do not propagate, and verifies that it is in one before it returns, so
# that nothing is ever mounted on the machine's own directories.
# usage: private_mounts "$0" "$@"   (first call: re-executes the script
# under unshare; in the new namespace: verifies and returns)
private_mounts() {
  local script=$1 here
  shift
  here=$(readlink /proc/self/ns/mnt)
  if [ -z "${QMX4_OUTER_MOUNTS:-}" ]; then
    command -v unshare >/dev/null || { echo "SKIP: unshare not found (Debian package util-linux)"; exit 77; }
    [ "$(id -u)" = 0 ] || { echo "SKIP: needs root for a mount namespace of its own"; exit 77; }
    QMX4_OUTER_MOUNTS=$here exec unshare --mount --propagation private "$script" "$@"
  fi
  if [ "$here" = "$QMX4_OUTER_MOUNTS" ] || [ "$here" = "$(readlink /proc/1/ns/mnt 2>/dev/null)" ] ||
     [ "$(findmnt -no PROPAGATION /)" != private ]; then
    echo "FAIL: not in a private mount namespace of its own ($here); nothing was mounted"
    exit 1
  fi
  unset QMX4_OUTER_MOUNTS
}
