# shellcheck shell=bash
# What the system tests do with the installed packages in a booted
# container (container.sh): a simulated bus in the base directory, arrivals
# made by exactly the command the installed udev rule runs, waiting for
# the passes, and reading their record.
here=${here:-$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)}
base=/var/lib/qmx4-fwload conf=/etc/qmx4-fwload runtime=/run/qmx4-fwload
journal=$base/journal

prop() { inside systemctl show -P "$2" "$1"; }
# systemd-analyze security's rating of the pass service.
exposure() {
  inside systemd-analyze security --no-pager qmx4-fwload.service 2>&1 | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p'
}

# Installs Debian packages (files on this machine) in the container.
install_debs() {
  mkdir -p "$root/qmx4-debs"
  local inner=()
  for deb in "$@"; do cp "$deb" "$root/qmx4-debs/"; inner+=("/qmx4-debs/$(basename "$deb")"); done
  inside dpkg -i "${inner[@]}" </dev/null >"$scratch/dpkg.log" 2>&1 ||
    fail "dpkg -i $*: $(tail -n 5 "$scratch/dpkg.log")"
}

# Lets the stand-in journal every call of the passes, and configures two
# device types.
configure_types() {
  mkdir -p "$root/etc/systemd/system/qmx4-fwload.service.d"
  printf '[Service]\nEnvironment=QMX4SIM_JOURNAL=%s\n' $journal >"$root/etc/systemd/system/qmx4-fwload.service.d/journal.conf"
  inside systemctl daemon-reload
  printf 'A firmware' >"$root$conf/a.bin"
  printf 'B firmware' >"$root$conf/b.bin"
  sed -i 's|^</service>|  <type name="Type A" fw="a.bin" type="1" vid="4660" pid="1" />\n  <type name="Type B" fw="b.bin" type="2" vid="4660" pid="2" />\n&|' "$root$conf/service.xml"
}

# The simulated bus in the base directory; each new bus starts a new
# stand-in journal.
device() { echo "<device name=\"$1\" state=\"$2\" vid=\"4660\" pid=\"$3\" firmwareType=\"$3\" downloadMs=\"${4:-0}\"/>"; }
bus() { printf '<bus>%s</bus>\n' "$*" >"$root$base/qmx4sim.xml"; : >"$root$journal"; }
# The devices that got a download since, sorted (journal.awk).
downloads() { awk -f "$here/journal.awk" "$root$journal" | grep -v '^sessions ' | sort | tr '\n' ' '; }
# "ok" unless two library sessions of the passes overlapped.
sessions() { awk -f "$here/journal.awk" "$root$journal" | sed -n 's/^sessions \([a-z]*\) .*/\1/p'; }

# Exactly the command the installed udev rule runs for an arrival, with
# udev's substitutions filled in; the rule is read once it is installed.
rule_command() {
  [ -n "${rule_run:-}" ] ||
    rule_run=$(sed -n 's/.*RUN+="\([^"]*\)".*/\1/p' "$root"/{lib,usr/lib}/udev/rules.d/60-qmx4-fwload.rules 2>/dev/null)
  local run=${rule_run//'$env{BUSNUM}'/$1}
  rule_result=${run//'$env{DEVNUM}'/$2}
}
# Arrivals "bus-device" at once, each as udev would record it.
arrive() {
  local commands=
  for a in "$@"; do rule_command "${a%-*}" "${a#*-}"; commands+="$rule_result & "; done
  inside sh -c "${commands}wait"
}
# Waits until no arrival waits and no pass runs or is queued; fails only
# after two minutes, which only a pass that hangs takes.
settle() {
  for _ in $(seq 1200); do
    if [ -z "$(inside ls -A $runtime/arrivals 2>/dev/null)" ] &&
       [ -z "$(inside systemctl list-jobs --no-legend qmx4-fwload.service qmx4-fwload.path)" ]; then
      case $(prop qmx4-fwload.service ActiveState) in
        inactive | failed) [ -z "$(inside ls -A $runtime/arrivals 2>/dev/null)" ] && return 0 ;;
      esac
    fi
    sleep 0.1
  done
  return 1
}
# Fails unless the path unit still watches: a start limit hit stops it.
watching() {
  [ "$(prop qmx4-fwload.path ActiveState)" = active ] ||
    fail "$1: the path unit is $(prop qmx4-fwload.path ActiveState) ($(prop qmx4-fwload.path Result))"
}

# The passes' journal (the service's), which systemd time-stamps.
pass_journal() { inside journalctl -q --no-pager -o cat -u qmx4-fwload.service; }
journal_has() {
  for _ in $(seq 100); do pass_journal | grep -qF -- "$1" && return 0; sleep 0.1; done
  return 1
}
# The same for a whole line.
journal_line() {
  for _ in $(seq 100); do pass_journal | grep -qxF -- "$1" && return 0; sleep 0.1; done
  return 1
}
journal_count() { inside journalctl --sync 2>/dev/null; pass_journal | grep -cF -- "$1"; }
# Prints a journal excerpt with systemd's time stamps, from a line on.
journal_excerpt() {
  echo "--- $1"
  inside journalctl -q --no-pager -o short-precise -u qmx4-fwload.service | grep -A "$3" -F -- "$2" | head -n $(($3 + 1))
}
