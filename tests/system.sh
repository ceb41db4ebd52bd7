# The container of the system test and what the test does in it, sourced
# by system_test.sh. It boots systemd with systemd-nspawn in a container
# whose root is an overlay of this machine's root, all of whose changes live
# on a tmpfs: the machine's own root is only ever the read-only lower layer.
# Prometheus' node exporter runs there on a loopback port of its own.
# shellcheck shell=bash
started=$SECONDS

skip() {
  if [ "${CI:-}" = true ]; then echo "FAIL: the system test cannot run: $*"; exit 1; fi
  echo "SKIP: system test: $*"
  exit 0
}
[ "$(id -u)" = 0 ] || skip "needs root"
command -v systemd-nspawn >/dev/null || skip "systemd-nspawn not found (Debian package systemd-container)"
command -v prometheus-node-exporter >/dev/null && command -v promtool >/dev/null ||
  skip "Prometheus' node exporter or promtool not found (Debian packages prometheus-node-exporter, prometheus)"
grep -qw overlay /proc/filesystems || modprobe overlay 2>/dev/null || skip "no overlay file system"
ls "$debs"/qmx4-fwload_*.deb "$debs"/qmx4-fwload-standin_*.deb >/dev/null || exit 1

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
mkdir -p "$root/qmx4-debs"
# The node exporter on a loopback port of the container's own network,
# serving only its textfile collector; Prometheus itself stays off.
port=$((20000 + $$ % 10000))
echo "ARGS=\"--web.listen-address=127.0.0.1:$port --collector.disable-defaults --collector.textfile\"" \
  >"$root/etc/default/prometheus-node-exporter"
ln -sf /dev/null "$root/etc/systemd/system/prometheus.service"

systemd-nspawn --directory="$root" --register=no --keep-unit --quiet --boot --private-network \
  --console=passive </dev/null >"$scratch/console.log" 2>&1 &
nspawn=$!
# The container's init: the child of nspawn that has become systemd.
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
prop() { inside systemctl show -P "$2" "$1"; }

# The simulated bus in the base directory; each new bus starts a new
# stand-in journal.
device() { echo "<device name=\"$1\" state=\"$2\" vid=\"4660\" pid=\"$3\" firmwareType=\"$3\" downloadMs=\"${4:-0}\"/>"; }
bus() { printf '<bus>%s</bus>\n' "$*" >"$root$base/qmx4sim.xml"; : >"$root$journal"; }
# The devices that got a download since, sorted (journal.awk).
downloads() { awk -f "$here/journal.awk" "$root$journal" | grep -v '^sessions ' | sort | tr '\n' ' '; }

# Exactly the command the installed udev rule runs for an arrival, with
# udev's substitutions filled in; the rule is read once it is installed.
rule_command() {
  [ -n "${rule_run:-}" ] || rule_run=$(sed -n 's/.*RUN+="\([^"]*\)".*/\1/p' "$root/lib/udev/rules.d/60-qmx4-fwload.rules")
  local run=${rule_run//'$env{BUSNUM}'/$1}
  rule_result=${run//'$env{DEVNUM}'/$2}
}
# Arrivals "bus-device" at once, each as udev would record it.
arrive() {
  local commands=
  for a in "$@"; do rule_command "${a%-*}" "${a#*-}"; commands+="$rule_result & "; done
  inside sh -c "${commands}wait"
}
# Waits until no arrival waits and no pass runs or is queued.
settle() {
  for _ in $(seq 400); do
    if [ -z "$(inside ls -A $runtime/arrivals 2>/dev/null)" ] &&
       [ -z "$(inside systemctl list-jobs --no-legend qmx4-fwload.service qmx4-fwload.path)" ]; then
      case $(prop qmx4-fwload.service ActiveState) in
        inactive | failed) [ -z "$(inside ls -A $runtime/arrivals 2>/dev/null)" ] && return 0 ;;
      esac
    fi
    sleep 0.05
  done
  return 1
}
# Times in microseconds since the epoch: now, and when the last pass ended.
now_us() { echo "${EPOCHREALTIME/./}"; }
pass_end_us() {
  local ended
  ended=$(inside systemctl show -P ExecMainExitTimestamp --timestamp=us+utc qmx4-fwload.service)
  date -u -d "${ended#* }" +%s%6N
}
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# min/median/max of microsecond figures, in milliseconds.
stats() {
  printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 / 1000 } END { printf "%.1f/%.1f/%.1f", v[1], v[int((NR + 1) / 2)], v[NR] }'
}

# The passes' journal (the service's), which systemd time-stamps.
pass_journal() { inside journalctl -q --no-pager -o cat -u qmx4-fwload.service; }
journal_has() {
  for _ in $(seq 20); do pass_journal | grep -qF -- "$1" && return 0; sleep 0.1; done
  return 1
}
journal_count() { sleep 0.2; pass_journal | grep -cF -- "$1"; }
# Prints a journal excerpt with systemd's time stamps, from a line on.
journal_excerpt() {
  echo "--- $1"
  inside journalctl -q --no-pager -o short-precise -u qmx4-fwload.service | grep -A "$3" -F -- "$2" | head -n $(($3 + 1))
}
# The metrics the node exporter serves now.
scrape() { inside curl -sf "http://127.0.0.1:$port/metrics" | grep '^qmx4_fwload_'; }

# The package as 1.0 left a system: the boot unit enabled (as debhelper
# enables it) and the template unit whose instances udev started, here a
# pass that takes two seconds.
old_package() {
  local dir=$scratch/old
  mkdir -p "$dir/DEBIAN" "$dir/lib/systemd/system"
  printf 'Package: qmx4-fwload\nVersion: 1.0\nArchitecture: all\nMaintainer: test <test@example.org>\nDescription: qmx4-fwload as 1.0 installed its units\n' \
    >"$dir/DEBIAN/control"
  printf '#!/bin/sh\nset -e\ndeb-systemd-helper enable qmx4-fwload.service\nsystemctl daemon-reload\n' >"$dir/DEBIAN/postinst"
  chmod 755 "$dir/DEBIAN/postinst"
  printf '[Service]\nType=oneshot\nExecStart=/bin/true\n[Install]\nWantedBy=multi-user.target\n' \
    >"$dir/lib/systemd/system/qmx4-fwload.service"
  printf '[Service]\nType=oneshot\nExecStart=/bin/sleep 2\n' >"$dir/lib/systemd/system/qmx4-fwload@.service"
  dpkg-deb --build --root-owner-group "$dir" "$1" >/dev/null
}

finish() {
  if [ "$failures" != 0 ]; then
    echo "--- the passes in the container's journal"
    inside journalctl -q --no-pager -o short-precise -u "qmx4-fwload*" | tail -n 60
  fi
  echo "system test: $((SECONDS - started)) s in all"
  [ "$failures" = 0 ] || exit 1
  echo "packages, hotplug passes, their record, sandbox and configuration behave as expected under systemd"
}
