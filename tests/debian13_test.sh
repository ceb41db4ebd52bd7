#!/usr/bin/env bash
# A new user's path on Debian 13 (trixie), on every run: a fresh Debian 13
# root made with mmdebstrap (--variant=apt, kept in the test cache and made
# again when it is missing or a week old) under a throwaway overlay
# (container.sh), the checkout's files copied into /root there as a clone
# holds them, and in it, as root, what the README says: make demo, make
# check (the unit and end-to-end suites), make deb. These run on this
# machine's network, to reach the archive, with every service kept from
# starting. Then that root boots with a private network, the packages just
# built are installed, and an arrival recorded by exactly the command the
# installed udev rule runs must get its pass and its download.
# Skipped (exit 0) where it cannot run or the archive is out of reach (a
# name that does not resolve, a connection that fails), except under
# CI=true, where that is a failure.
set -u
test_name="Debian 13 test"
here=$(cd "$(dirname "$0")" && pwd)
checkout=$(cd "$here/.." && pwd)
# shellcheck source=tests/container.sh
. "$here/container.sh"
[ "$(id -u)" = 0 ] || skip "needs root"
command -v mmdebstrap >/dev/null || skip "mmdebstrap not found (Debian package mmdebstrap)"
# shellcheck source=tests/private_mounts.sh
. "$here/private_mounts.sh"
private_mounts "$0" "$@"
mirror=${QMX4_DEBIAN_MIRROR:-http://deb.debian.org/debian}
security=${QMX4_DEBIAN_SECURITY:-http://deb.debian.org/debian-security}

# The cached root, made again once a week so that its packages stay those
# a new user gets.
image=$cache/debian13
mkdir -p "$cache"
if [ ! -e "$image/.made" ] || [ -n "$(find "$image/.made" -mtime +6)" ]; then
  step=$SECONDS
  rm -rf "$image.new"
  mmdebstrap --variant=apt --mode=root --quiet trixie "$image.new" \
    "deb $mirror trixie main" "deb $mirror trixie-updates main" "deb $security trixie-security main" \
    >"$cache/mmdebstrap.log" 2>&1 || { tail -n 5 "$cache/mmdebstrap.log"; rm -rf "$image.new"; skip "mmdebstrap trixie failed (is $mirror in reach?)"; }
  touch "$image.new/.made"
  rm -rf "$image" && mv "$image.new" "$image"
  echo "made a Debian 13 root in $((SECONDS - step)) s"
fi

container_root "$image"
# The checkout's files as a clone of it holds them (uncommitted edits
# included), in root's home directory, which only root may enter.
src=$root/root/qmx4-fwload
mkdir -p "$src"
git -C "$checkout" ls-files -z --cached --others --exclude-standard |
  tar -C "$checkout" --no-recursion --ignore-failed-read -c -f - --null -T - 2>/dev/null | tar -x -C "$src" ||
  fail "cannot copy the checkout"
chmod 700 "$root/root"

# A new user's commands, each timed; the log of each goes to the scratch
# directory, its end is shown when it fails. A minimal Debian has no make.
steps=("apt-get update && apt-get install -y --no-install-recommends make" "make demo" "make check" "make deb")
for n in "${!steps[@]}"; do
  step=$SECONDS
  if container_run sh -c "cd /root/qmx4-fwload && ${steps[n]}" >"$scratch/step$n.log" 2>&1; then
    echo "Debian 13: ${steps[n]}: $((SECONDS - step)) s"
  else
    tail -n 40 "$scratch/step$n.log"
    # Only an archive out of reach skips; a package that does not exist
    # ("Unable to locate package") is what this test is here to catch.
    grep -qE "Could not resolve|Temporary failure resolving|Could not connect|Unable to connect|Network is unreachable|Connection timed out" \
      "$scratch/step$n.log" && skip "${steps[n]}: the archive is out of reach"
    fail "Debian 13: ${steps[n]} failed"
    finish ""
  fi
done
grep -q "^--- exit status: 0" "$scratch/step1.log" || fail "make demo: the first run did not succeed"
grep -E "tests passed|Total Test time" "$scratch/step2.log" | sed 's/^/Debian 13: make check: /'

# A library with a device node of its own, for doctor below, built there.
container_run sh -c "cmake --build /root/qmx4-fwload/build/deb/src/debian/build --target closedlib_own-device" \
  >"$scratch/closedlib.log" 2>&1 || fail "Debian 13: cannot build a closed library: $(tail -n 3 "$scratch/closedlib.log")"

# The packages in that root, booted: an arrival as the rule records it,
# and the library checked in the pass service's sandbox.
# shellcheck source=tests/hotplug.sh
. "$here/hotplug.sh"
container_boot
echo "Debian 13: systemd $(inside systemctl --version | sed -n '1s/^systemd \([0-9]*\).*/\1/p')"
install_debs "$src"/build/deb/qmx4-fwload-standin_*.deb
install_debs "$src"/build/deb/qmx4-fwload_*.deb
settle || fail "the pass on install did not end"
journal_has "arrivals: boot" || fail "no pass for the arrival \"boot\" on install"
configure_types
bus "$(device N1 2 1)"
arrive 001-007
settle || fail "the arrival did not settle"
[ "$(downloads)" = "N1 " ] || fail "the arrival was not served: downloads were '$(downloads)'"
journal_has "pass ended: 1 device downloaded, success, " || fail "the journal lacks the pass's summary"
journal_excerpt "Debian 13: the journal of the arrival" "arrivals: 001-007" 4
# doctor's probe in a transient service with the unit's settings as
# systemd 257 shows them: every one taken back, the session opened.
doctor=$(inside qmx4-fwctl doctor --json)
jq -r '.checks[] | select(.check == "session") | .detail' <<<"$doctor" | grep -q "opened and closed in qmx4-fwload.service's sandbox" &&
  [ "$(jq -r .usable <<<"$doctor")" = true ] || fail "Debian 13: qmx4-fwctl doctor: $doctor"
echo "Debian 13: qmx4-fwctl doctor: $(jq -r '.checks[] | select(.check == "session") | .detail' <<<"$doctor")"
# And a library with a device node of its own, which the sandbox refuses:
# doctor finds the setting by lifting settings as systemd 257 takes them.
inside sh -c "mknod /dev/qmx4ctl c 10 200 && dpkg --purge qmx4-fwload-standin >/dev/null &&
  cp /root/qmx4-fwload/build/deb/src/debian/build/tests/closedlib/own-device/libqmx4-1.5.1.so /usr/local/lib/ && ldconfig"
doctor=$(inside qmx4-fwctl doctor --json)
[ "$(jq -r '.dropin | join(";")' <<<"$doctor")" = "DeviceAllow=/dev/qmx4ctl rw" ] || fail "Debian 13: qmx4-fwctl doctor: $doctor"
echo "Debian 13: qmx4-fwctl doctor: $(jq -r .cause <<<"$doctor"); drop-in: $(jq -r '.dropin | join(";")' <<<"$doctor")"

finish "Debian 13: a new user's commands pass, and the packages serve an arrival under systemd"
