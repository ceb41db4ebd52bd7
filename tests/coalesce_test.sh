#!/usr/bin/env bash
# Passes under stress, as udev and systemd run them: devices appear on a
# simulated bus (one file each) at random moments, each followed by its
# arrival marker as the udev rule makes it (some by two), while a watcher
# does what qmx4-fwload.path does (a pass whenever markers wait, one at a
# time, looking again after each) and passes by hand start at random
# moments of their own. After every round, once no marker waits and no
# pass runs, every device that appeared must have got exactly one
# download; in the end no two library sessions may have overlapped and
# every pass must have ended with status 0.
# Arguments: qmx4-fwload-pass, qmx4-fwload, the stand-in's directory;
# optionally the number of devices (default 40) and a random seed.
set -u
helper=$(realpath "$1") fwload=$(realpath "$2") standin_dir=$(realpath "$3") devices=${4:-40} seed=${5:-$$}
RANDOM=$seed
scratch=$(mktemp -d -t qmx4-coalesce.XXXXXX)
locks=$scratch/locks
base=$scratch/base
mkdir -p "$base/data" "$base/qmx4sim.d" "$scratch/status"
printf 'firmware' >"$base/data/a.bin"
echo '<service><type name="A" fw="a.bin" type="1" vid="4660" pid="1"/></service>' >"$base/data/service.xml"

ms() { printf '0.%03d' "$1"; }
passes=0
pass() {
  passes=$((passes + 1))
  (cd "$base" && QMX4SIM_JOURNAL=$scratch/journal LD_LIBRARY_PATH=$standin_dir \
     "$helper" --lock-dir "$locks" "$fwload" >>"$scratch/out" 2>&1
   echo $? >"$scratch/status/$1-$passes")
}
# What qmx4-fwload.path does: a pass whenever the arrivals directory is not
# empty, one at a time, looking again after each.
watch() {
  while [ ! -e "$scratch/stop" ]; do
    if [ -n "$(ls -A "$locks/arrivals" 2>/dev/null)" ]; then pass path; else sleep 0.005; fi
  done
}
# Passes by hand, beside the watcher's, at random moments.
byHand() {
  while [ ! -e "$scratch/stop" ]; do sleep "$(ms $((RANDOM % 300)))"; pass hand; done
}
watch & watcher=$!
byHand & hand=$!
trap 'touch "$scratch/stop"; wait; rm -rf "$scratch"' EXIT

# A device appears whole (its file renamed into place), then udev records it.
arrivals=0
appear() {
  printf '<bus><device name="D%03d" state="2" vid="4660" pid="1" downloadMs="%d"/></bus>\n' "$1" $((20 + RANDOM % 40)) \
    >"$base/qmx4sim.d/.d$1.tmp"
  mv "$base/qmx4sim.d/.d$1.tmp" "$base/qmx4sim.d/d$(printf %03d "$1").xml"
  for _ in $(seq $((1 + RANDOM % 2))); do
    "$helper" --lock-dir "$locks" --arrival "001-$1" || echo "arrival $1 not recorded" >>"$scratch/out"
    arrivals=$((arrivals + 1))
  done
}
# Settled: no marker waits and no pass holds the lock, so every arrival so
# far has had a pass that listed the devices after it. Only a pass that
# hangs takes two minutes.
settle() {
  for _ in $(seq 12000); do
    [ -z "$(ls -A "$locks/arrivals" 2>/dev/null)" ] && flock -n "$locks/pass" true &&
      [ -z "$(ls -A "$locks/arrivals" 2>/dev/null)" ] && return 0
    sleep 0.01
  done
  return 1
}

failures=0
fail() { echo "FAIL: $* (seed $seed)"; failures=$((failures + 1)); }
report() { awk -f "$(dirname "$0")/journal.awk" "$scratch/journal"; }
served() { report | grep -v '^sessions ' | sort; }

appeared=0
while [ "$appeared" -lt "$devices" ]; do
  for _ in 1 2 3 4 5; do
    [ "$appeared" -lt "$devices" ] || break
    appeared=$((appeared + 1))
    appear "$appeared"
    sleep "$(ms $((RANDOM % 40)))"
  done
  settle || { fail "arrivals still waiting after two minutes"; break; }
  expected=$(for i in $(seq "$appeared"); do printf 'D%03d\n' "$i"; done)
  [ "$(served)" = "$expected" ] ||
    { fail "after $appeared devices, downloads differ from one per device: $(diff <(echo "$expected") <(served) | grep '^[<>]' | tr '\n' ' ')"; break; }
done
touch "$scratch/stop"
wait "$watcher" "$hand"

sessions=$(report | sed -n 's/^sessions //p')
[ "${sessions%% *}" = ok ] || fail "library sessions overlapped"
bad=$(grep -vlx 0 "$scratch"/status/* 2>/dev/null | wc -l)
[ "$bad" = 0 ] && ! grep -q 'not recorded' "$scratch/out" ||
  fail "$bad passes did not end with status 0: $(grep -v '^\(arrivals\|log\|pass ended\):' "$scratch/out" | sort -u | head -n 5)"
echo "$appeared devices, $arrivals arrivals, $(ls "$scratch/status" | grep -c '^path') passes for arrivals" \
     "and $(ls "$scratch/status" | grep -c '^hand') by hand, ${sessions##* } sessions (seed $seed)"
[ "$failures" = 0 ]
