#!/usr/bin/env bash
# Coalesced passes under stress: devices appear on a simulated bus (one file
# each) at random moments, each followed by its arrival as udev would start
# it, while more arrivals come at random moments of their own. Afterwards
# every device that appeared must have got exactly one download, no two
# library sessions may have overlapped, and every arrival must have ended
# with status 0.
# Arguments: qmx4-fwload-pass, qmx4-fwload, the stand-in's directory; optionally
# the number of devices (default 40) and a random seed.
set -u
pass=$(realpath "$1") fwload=$(realpath "$2") standin_dir=$(realpath "$3") devices=${4:-40} seed=${5:-$$}
RANDOM=$seed
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
base=$scratch/base
mkdir -p "$base/data" "$base/qmx4sim.d" "$scratch/status"
printf 'firmware' >"$base/data/a.bin"
echo '<service><type name="A" fw="a.bin" type="1" vid="4660" pid="1"/></service>' >"$base/data/service.xml"

ms() { printf '0.%03d' "$1"; }
arrivals=0
arrive() {
  arrivals=$((arrivals + 1))
  local n=$arrivals
  (sleep "$(ms $((RANDOM % 50)))"
   cd "$base" && QMX4SIM_JOURNAL=$scratch/journal LD_LIBRARY_PATH=$standin_dir \
     "$pass" --lock-dir "$scratch/locks" "$fwload" >>"$scratch/out" 2>&1
   echo $? >"$scratch/status/$n") &
}
# A device appears whole: its file is renamed into place once written.
appear() {
  printf '<bus><device name="D%03d" state="2" vid="4660" pid="1" downloadMs="%d"/></bus>\n' "$1" $((20 + RANDOM % 40)) \
    >"$base/qmx4sim.d/.d$1.tmp"
  mv "$base/qmx4sim.d/.d$1.tmp" "$base/qmx4sim.d/d$(printf %03d "$1").xml"
}

failures=0
fail() { echo "FAIL: $* (seed $seed)"; failures=$((failures + 1)); }
report() { awk -f "$(dirname "$0")/journal.awk" "$scratch/journal"; }
served() { report | grep -v '^sessions ' | sort; }

# Rounds of arrivals, each awaited and checked: a device missed in one round
# would otherwise be picked up by the next round's passes.
appeared=0
while [ "$appeared" -lt "$devices" ]; do
  for _ in 1 2 3 4 5; do
    [ "$appeared" -lt "$devices" ] || break
    appeared=$((appeared + 1))
    appear "$appeared"
    arrive
    ((RANDOM % 2)) && arrive
    sleep "$(ms $((RANDOM % 40)))"
  done
  wait
  expected=$(for i in $(seq "$appeared"); do printf 'D%03d\n' "$i"; done)
  [ "$(served)" = "$expected" ] ||
    { fail "after $appeared devices, downloads differ from one per device: $(diff <(echo "$expected") <(served) | grep '^[<>]' | tr '\n' ' ')"; break; }
done

sessions=$(report | sed -n 's/^sessions //p')
[ "${sessions%% *}" = ok ] || fail "library sessions overlapped"
bad=$(grep -vlx 0 "$scratch"/status/* 2>/dev/null | wc -l)
[ "$(ls "$scratch/status" | wc -l)" = "$arrivals" ] && [ "$bad" = 0 ] ||
  fail "$bad of $arrivals arrivals did not end with status 0: $(sort -u "$scratch/out" | head -n 5)"
echo "$appeared devices, $arrivals arrivals, ${sessions##* } passes (seed $seed)"
[ "$failures" = 0 ]
