#!/usr/bin/env bash
# Boots a real systemd in a container whose root is a throwaway overlay of
# this machine's root, installs the Debian packages there and checks the
# boot and hotplug passes as the shipped units run them, sandbox included:
# enabling and the first pass on install, a pass over three devices, three
# and forty arrivals at once, a failing pass, the units' exposure, log rotation, and
# the configuration across reinstall, removal and purge.
# Argument: the directory with the .deb files. Skipped (exit 0) where it
# cannot run, except under CI=true, where that is a failure.
set -u
debs=$(cd "$1" && pwd)
started=$SECONDS

skip() {
  if [ "${CI:-}" = true ]; then echo "FAIL: the system test cannot run: $*"; exit 1; fi
  echo "SKIP: system test: $*"
  exit 0
}
[ "$(id -u)" = 0 ] || skip "needs root"
command -v systemd-nspawn >/dev/null || skip "systemd-nspawn not found (Debian package systemd-container)"
grep -qw overlay /proc/filesystems || modprobe overlay 2>/dev/null || skip "no overlay file system"
ls "$debs"/qmx4-fwload_*.deb "$debs"/qmx4-fwload-standin_*.deb >/dev/null || exit 1

# Everything the container changes lives on a tmpfs: the machine's own root
# is only ever the overlay's read-only lower layer.
scratch=$(mktemp -d /mnt/qmx4-system.XXXXXX)
root=$scratch/root
nspawn=
cleanup() {
  if [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
    [ -n "${init:-}" ] && nsenter -t "$init" -a systemctl poweroff >/dev/null 2>&1
    for _ in $(seq 150); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.2; done
    kill "$nspawn" 2>/dev/null && wait "$nspawn" 2>/dev/null
  fi
  mountpoint -q "$root" && umount "$root"
  mountpoint -q "$scratch" && umount "$scratch"
  rmdir "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
mount -t tmpfs -o mode=0755 qmx4-system "$scratch" || skip "cannot mount a tmpfs on $scratch"
mkdir "$scratch/upper" "$scratch/work" "$root"
mount -t overlay qmx4-system -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$root" ||
  skip "cannot mount an overlay of /"
# An image built for containers may forbid maintainer scripts to start
# services; a Debian system as installed does not.
rm -f "$root/usr/sbin/policy-rc.d"

systemd-nspawn --directory="$root" --register=no --keep-unit --quiet --boot --private-network \
  --console=passive </dev/null >"$scratch/console.log" 2>&1 &
nspawn=$!
# The container's init: the child of nspawn that has become systemd (nspawn
# passes through short-lived children of its own first).
init=
for _ in $(seq 300); do
  init=$(pgrep -P "$nspawn" -x systemd | head -n 1)
  [ -n "$init" ] && break
  sleep 0.1
done
[ -n "$init" ] || { cat "$scratch/console.log"; skip "systemd-nspawn did not start a container"; }

# A command inside the container, with a clean environment.
inside() { nsenter -t "$init" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
state=
for _ in $(seq 120); do
  state=$(inside systemctl is-system-running 2>/dev/null)
  case $state in running | degraded) break ;; esac
  sleep 0.5
done
case $state in running | degraded) ;; *) tail -n 20 "$scratch/console.log"; echo "FAIL: the container's systemd did not come up ($state)"; exit 1 ;; esac
echo "container up after $((SECONDS - started)) s"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
base=/var/lib/qmx4-fwload
conf=/etc/qmx4-fwload
journal=$base/journal
prop() { inside systemctl show -P "$2" "$1"; }

# The devices that got a download, sorted, and whether library sessions
# overlapped, from the stand-in's journal.
journal_awk=$(cd "$(dirname "$0")" && pwd)/journal.awk
downloads() { awk -f "$journal_awk" "$root$journal" | grep -v '^sessions ' | sort | tr '\n' ' '; }
sessions() { awk -f "$journal_awk" "$root$journal" | sed -n 's/^sessions //p'; }
device() { echo "<device name=\"$1\" state=\"$2\" vid=\"4660\" pid=\"$3\" firmwareType=\"$3\" downloadMs=\"${4:-0}\"/>"; }
bus() { printf '<bus>%s</bus>\n' "$*" >"$root$base/qmx4sim.xml"; }
log_lines() { wc -l <"$root$base/service.log"; }

mkdir -p "$root/qmx4-debs"
cp "$debs"/qmx4-fwload_*.deb "$debs"/qmx4-fwload-standin_*.deb "$root/qmx4-debs/"
program_deb=/qmx4-debs/$(basename "$(ls "$debs"/qmx4-fwload_*.deb)")
standin_deb=/qmx4-debs/$(basename "$(ls "$debs"/qmx4-fwload-standin_*.deb)")

# 1. Install: the device library first, as an administrator would.
for deb in "$standin_deb" "$program_deb"; do
  inside dpkg -i "$deb" </dev/null >"$scratch/dpkg.log" 2>&1 || { fail "installing $deb: $(cat "$scratch/dpkg.log")"; exit 1; }
done
[ "$(inside systemctl is-enabled qmx4-fwload.service)" = enabled ] || fail "the boot unit is not enabled after install"
[ "$(inside systemctl is-enabled qmx4-fwload@.service)" = static ] || fail "the hotplug template is enabled, not static"
[ "$(prop qmx4-fwload.service ExecMainExitTimestampMonotonic)" != 0 ] || fail "the boot unit has not run after install"
[ "$(prop qmx4-fwload.service Result)/$(prop qmx4-fwload.service ExecMainStatus)" = success/0 ] ||
  fail "the boot pass on install: $(prop qmx4-fwload.service Result), status $(prop qmx4-fwload.service ExecMainStatus)"
[ "$(readlink "$root$base/data")" = $conf ] || fail "$base/data does not lead to $conf"
grep -q 'Downloader starting' "$root$base/service.log" 2>/dev/null || fail "the pass on install wrote no log"

# The stand-in's journal, switched on for this test only.
for unit in qmx4-fwload.service qmx4-fwload@.service; do
  mkdir -p "$root/etc/systemd/system/$unit.d"
  printf '[Service]\nEnvironment=QMX4SIM_JOURNAL=%s\n' $journal >"$root/etc/systemd/system/$unit.d/journal.conf"
done
inside systemctl daemon-reload

# 2. A boot pass over two devices of one configured type and one of another.
printf 'A firmware' >"$root$conf/a.bin"
printf 'B firmware' >"$root$conf/b.bin"
sed -i 's|^</service>|  <type name="Type A" fw="a.bin" type="1" vid="4660" pid="1" />\n  <type name="Type B" fw="b.bin" type="2" vid="4660" pid="2" />\n&|' "$root$conf/service.xml"
bus "$(device A1 2 1)" "$(device A2 2 1)" "$(device B1 2 2)"
before=$(log_lines)
inside systemctl start qmx4-fwload.service || fail "the boot pass over three devices failed"
[ "$(downloads)" = "A1 A2 B1 " ] || fail "boot pass: downloads were '$(downloads)', not one each for A1 A2 B1"
[ "$(tail -n +$((before + 1)) "$root$base/service.log" | grep -c '^Unconfigured device found: ')" = 3 ] ||
  fail "boot pass: the log did not get one line per device: $(tail -n +$((before + 1)) "$root$base/service.log")"

# The companion on the installed configuration and bus: both entries can
# be served, and every device is configured now.
inside qmx4-fwctl check --tsv $base >"$scratch/check" 2>&1 || fail "qmx4-fwctl check: $(cat "$scratch/check")"
[ "$(cut -f7 "$scratch/check" | tr '\n' ' ')" = "ok ok " ] || fail "qmx4-fwctl check: $(cat "$scratch/check")"
[ "$(inside qmx4-fwctl list --tsv $base | cut -f5 | sort -u)" = "skip: configured" ] ||
  fail "qmx4-fwctl list does not show every device configured"

# 3. Three arrivals at once over fresh devices whose download takes a while.
bus "$(device A1 3 1)" "$(device A2 3 1)" "$(device B1 3 2)" "$(device C1 2 1 700)" "$(device C2 2 2 700)" "$(device C3 2 1 700)"
rm -f "$root$journal"
arrivals="qmx4-fwload@001-005.service qmx4-fwload@001-006.service qmx4-fwload@001-007.service"
# shellcheck disable=SC2086
inside systemctl start $arrivals || fail "starting three arrivals at once failed"
[ "$(downloads)" = "C1 C2 C3 " ] || fail "arrivals: downloads were '$(downloads)', not one each for C1 C2 C3"
case $(sessions) in "ok "[123]) ;; *) fail "arrivals: library sessions were '$(sessions)', not one to three apart" ;; esac
for unit in $arrivals; do
  [ "$(prop "$unit" Result)" = success ] || fail "$unit ended with $(prop "$unit" Result)"
done

# A burst: forty arrivals at once over ten fresh devices. Coalesced, they
# take at most three passes, and every device gets one download. Setting up
# forty sandboxes at once takes systemd about a second on two cores, so the
# downloads take 0.5 s each: an arrival that reached the queue only after
# the first pass had ended would rightly get a pass of its own.
devices=() names=()
for i in $(seq 10); do devices+=("$(device "E$i" 2 1 500)"); names+=("E$i"); done
bus "${devices[@]}"
rm -f "$root$journal"
burst=$(for i in $(seq 10 49); do printf 'qmx4-fwload@002-%03d.service ' "$i"; done)
# shellcheck disable=SC2086
inside systemctl start $burst || fail "starting forty arrivals at once failed"
[ "$(downloads)" = "$(printf '%s\n' "${names[@]}" | sort | tr '\n' ' ')" ] || fail "burst: downloads were '$(downloads)', not one each for E1..E10"
case $(sessions) in "ok "[123]) ;; *) fail "burst: library sessions were '$(sessions)', not one to three apart" ;; esac
echo "burst of 40 arrivals over 10 devices: $(sessions | cut -d' ' -f2) passes"
failed_units=$(for unit in $burst; do [ "$(prop "$unit" Result)" = success ] || echo "$unit"; done)
[ -z "$failed_units" ] || fail "burst: units without success: $failed_units"

# 4. A download that fails leaves its unit failed, with the library's text in
# the journal.
bus "$(device D1 2 1)" '<fault function="KoInt0" code="42" text="USB transfer stalled on D1"/>'
inside systemctl start qmx4-fwload.service 2>/dev/null && fail "a failing pass did not fail its start"
[ "$(inside systemctl is-failed qmx4-fwload.service)" = failed ] || fail "a failing pass did not leave its unit failed"
for _ in $(seq 20); do
  inside journalctl -q -u qmx4-fwload.service | grep -q 'USB transfer stalled on D1' && break
  sleep 0.25
done
inside journalctl -q -u qmx4-fwload.service | grep -q 'USB transfer stalled on D1' || fail "the journal lacks the library's text"
inside systemctl reset-failed qmx4-fwload.service

# 5. The sandbox all of this ran under: the shipped units plus only the
# journal drop-in, rated by systemd itself.
for unit in qmx4-fwload.service qmx4-fwload@001-005.service; do
  exposure=$(inside systemd-analyze security --no-pager "$unit" 2>&1 | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
  echo "$unit: exposure $exposure"
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.5) }' || fail "$unit: exposure '$exposure' is above 2.5"
  dropins=$(prop "$unit" DropInPaths)
  [ "$dropins" = "$(dirname "$(echo "$dropins" | cut -d' ' -f1)")/journal.conf" ] || fail "$unit has drop-ins besides the test's: $dropins"
  [ "$(prop "$unit" ProtectSystem)/$(prop "$unit" DevicePolicy)" = strict/closed ] || fail "$unit did not run sandboxed"
done

# The log rotates, and the next pass starts a new one.
if inside test -x /usr/sbin/logrotate; then
  bus "$(device D1 3 1)"
  inside logrotate --force /etc/logrotate.d/qmx4-fwload || fail "logrotate refused /etc/logrotate.d/qmx4-fwload"
  [ -f "$root$base/service.log.1" ] && [ ! -e "$root$base/service.log" ] || fail "logrotate did not move service.log aside"
  inside systemctl start qmx4-fwload.service || fail "the pass after rotation failed"
  [ "$(cat "$root$base/service.log" 2>/dev/null)" = "Norvel QMX4 Usb Device Firmware Downloader starting ..." ] ||
    fail "the pass after rotation did not start a new log"
fi

# 6. The edited configuration survives a reinstall, which also runs a pass;
# removing keeps it, purging removes it and the base directory.
edited=$(md5sum <"$root$conf/service.xml")
before=$(log_lines)
inside dpkg -i "$program_deb" </dev/null >"$scratch/dpkg.log" 2>&1 || fail "reinstalling: $(cat "$scratch/dpkg.log")"
[ "$(md5sum <"$root$conf/service.xml")" = "$edited" ] || fail "reinstalling replaced the edited service.xml"
[ "$(log_lines)" -gt "$before" ] || fail "reinstalling did not run a pass"
inside dpkg -r qmx4-fwload >"$scratch/dpkg.log" 2>&1 || fail "removing: $(cat "$scratch/dpkg.log")"
[ "$(md5sum <"$root$conf/service.xml")" = "$edited" ] || fail "removing did not keep the configuration"
inside dpkg --purge qmx4-fwload >"$scratch/dpkg.log" 2>&1 || fail "purging: $(cat "$scratch/dpkg.log")"
[ ! -e "$root$base" ] && [ ! -e "$root$conf" ] || fail "purging left $base or $conf behind"

if [ "$failures" != 0 ]; then
  echo "--- the passes in the container's journal"
  inside journalctl -q --no-pager -o short-precise -u "qmx4-fwload*" | ${QMX4_SYSTEM_JOURNAL_FILTER:-tail -n 40}
fi
echo "system test: $((SECONDS - started)) s in all"
[ "$failures" = 0 ] || exit 1
echo "packages, boot and hotplug passes, sandbox and configuration behave as expected under systemd"
