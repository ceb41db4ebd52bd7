# shellcheck shell=bash
# Mount namespaces of the tests' own, so that nothing they or the tools
# they run mount or write under /run reaches the machine.
#
# private_mounts "$0" "$@"   for a test script: the first call re-executes
#   it in a mount namespace of its own whose mounts do not propagate; in
#   there it verifies that, and puts a throwaway overlay on /run, so that
#   what tools keep there (mount's table in /run/mount, systemd-analyze's
#   /run/systemd, nspawn's state) is dropped with the namespace.
# private_namespace "$0" "$@"   the namespace alone.
# overlay_dir DIR CHANGES   puts an overlay on DIR whose changes go to
#   CHANGES/upper; the mounts below DIR stay where they were.
#
# Every mount here is made with -n: mount writes its table under /run
# otherwise, and the first mount would write it on the machine's /run.

private_namespace() {
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

# The mount points below DIR that are not below another one, from this
# namespace's table (whose \ooo escapes printf %b undoes).
top_submounts() {
  local dir=$1 last=
  awk '{ print $5 }' /proc/self/mountinfo | while IFS= read -r point; do printf '%b\n' "$point"; done |
    grep -F -- "$dir/" | LC_ALL=C sort -u | while IFS= read -r point; do
      [ "${point#"$dir"/}" != "$point" ] || continue
      [ -n "$last" ] && [ "${point#"$last"/}" != "$point" ] && continue
      last=$point
      printf '%s\n' "$point"
    done
}

overlay_dir() {
  local dir=$1 changes=$2 point moved=()
  mkdir -p "$changes/upper" "$changes/work" "$changes/aside" || return 1
  # Mounts below DIR move aside while the overlay goes on, and back after:
  # an overlay shows only DIR's own file system.
  while IFS= read -r point; do
    mkdir -p "$changes/aside${point#"$dir"}" && mount -n --move "$point" "$changes/aside${point#"$dir"}" &&
      moved+=("$point")
  done < <(top_submounts "$dir")
  mount -n -t overlay qmx4-overlay -o "lowerdir=$dir,upperdir=$changes/upper,workdir=$changes/work" "$dir" ||
    { echo "cannot mount an overlay on $dir"; return 1; }
  for point in "${moved[@]}"; do
    mount -n --move "$changes/aside${point#"$dir"}" "$point" || { echo "cannot move $point back"; return 1; }
  done
  rm -rf "$changes/aside"
}

private_mounts() {
  private_namespace "$@"
  # The overlay's changes live on a tmpfs that is detached once the overlay
  # holds it, so that its mount point can go at once.
  local changes
  changes=$(mktemp -d /tmp/qmx4-run.XXXXXX) &&
    mount -n -t tmpfs -o mode=0700 qmx4-run "$changes" &&
    overlay_dir /run "$changes" && umount -n -l "$changes" && rmdir "$changes" ||
    { echo "FAIL: cannot put a throwaway overlay on /run"; exit 1; }
}
