#!/usr/bin/env bash
# The udev rules, run by udevadm test over recorded device descriptions
# under umockdev: the generated rules record an arrival only when a
# configured device is added, and override the generic rule of the same
# name, which records one for every USB device added. udevadm test writes
# device links and databases, so it runs in a mount namespace of its own
# (private_mounts.sh) with tmpfs on /run, /dev and the rules directories.
# Arguments: qmx4-fwctl, the generic rules file, the umockdev device file.
# Exit 77 (skipped) without root, unshare, umockdev-run or udevadm.
set -u
fwctl=$(realpath "$1") generic=$(realpath "$2") devices=$(realpath "$3")
for tool in umockdev-run udevadm; do
  command -v $tool >/dev/null || { echo "SKIP: $tool not found"; exit 77; }
done
# shellcheck source=tests/private_mounts.sh
. "$(dirname "$0")/private_mounts.sh"
private_mounts "$0" "$@"

for dir in /run /dev /etc/udev/rules.d /usr/lib/udev/rules.d; do
  mount -t tmpfs qmx4-rules "$dir" || { echo "FAIL: cannot mount a tmpfs on $dir"; exit 1; }
done
base=/run/base
mkdir -p $base/data
cat >$base/data/service.xml <<'EOF'
<service>
  <type name="Loader" fw="loader.bin" type="1" vid="4660" pid="171"/>
  <type name="Not USB" fw="loader.bin" type="1" vid="70000" pid="1"/>
</service>
EOF

failures=0
# What the rules run when `action` happens to the device at `devpath`, as
# "run: <command>" or "nothing". udevadm test prints a command as
# "run: '<command>'" up to systemd 252 (Debian 12) and as
# "RUN{program} : <command>" from 257 (Debian 13).
wants() {
  local out
  out=$(umockdev-run -d "$devices" -- udevadm test --action="$1" "/sys/devices/pci0000:00/0000:00:14.0/$2" 2>&1 |
        sed -n -e "s/^run: '\(.*\)'$/run: \1/p" -e "s/^ *RUN{program} *: *\(.*\)$/run: \1/p")
  echo "${out:-nothing}"
}
expect() {
  local got
  got=$(wants "$2" "$3")
  [ "$got" = "$4" ] || { echo "FAIL: $1: $2 of $3 gave $got, not $4"; failures=$((failures + 1)); }
}

cp "$generic" /usr/lib/udev/rules.d/60-qmx4-fwload.rules
helper=$(sed -n 's/.*RUN+="\([^ ]*\) .*/\1/p' "$generic")
expect generic add usb1/1-1 "run: $helper --arrival 001-005"
expect generic add usb1/1-2 "run: $helper --arrival 001-006"
expect generic add usb1 "run: $helper --arrival 001-001"
expect generic add usb1/1-1/1-1:1.0 nothing
expect generic change usb1/1-1 nothing

(cd $base && "$fwctl" rules --output /etc/udev/rules.d/60-qmx4-fwload.rules . 2>/run/warnings) ||
  { echo "FAIL: qmx4-fwctl rules failed"; exit 1; }
grep -q 'entry #1 (Not USB)' /run/warnings || { echo "FAIL: no warning for the entry with vid 70000"; failures=$((failures + 1)); }
expect generated add usb1/1-1 "run: $helper --arrival 001-005"
expect generated add usb1/1-2 nothing
expect generated add usb1 nothing
expect generated add usb1/1-1/1-1:1.0 nothing
expect generated change usb1/1-1 nothing
expect generated remove usb1/1-1 nothing

[ "$failures" = 0 ] || exit 1
echo "generic and generated rules record arrivals as expected"
