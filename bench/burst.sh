#!/usr/bin/env bash
# Starts N device arrivals at once in the working directory and waits until
# they are served, as udev and systemd serve them without the sandbox:
# either recorded as markers by qmx4-fwload-pass while a watcher runs a pass
# whenever markers wait, one at a time (what qmx4-fwload.path does), or
# each a whole pass in turn under flock (how the units ran passes before
# coalescing). Exit status 1 when an arrival or a pass failed.
# usage: burst.sh N markers|serial QMX4-FWLOAD-PASS QMX4-FWLOAD LOCK-DIR
set -u
n=$1 mode=$2 helper=$3 program=$4 locks=$5
mkdir -p "$locks/arrivals"
rm -f "$locks/done"
status=0
if [ "$mode" = markers ]; then
  # The watcher waits between looks on a FIFO of its own, without a process.
  [ -p "$locks/tick" ] || mkfifo "$locks/tick"
  (exec 9<>"$locks/tick"
   shopt -s nullglob
   while :; do
     waiting=("$locks"/arrivals/*)
     if [ ${#waiting[@]} -gt 0 ]; then
       "$helper" --lock-dir "$locks" "$program" >/dev/null || exit 1
     elif [ -e "$locks/done" ]; then
       exit 0
     else
       read -r -t 0.002 -u 9
     fi
   done) &
  watcher=$!
fi
pids=()
for i in $(seq "$n"); do
  if [ "$mode" = markers ]; then
    "$helper" --lock-dir "$locks" --arrival "1-$i" &
  else
    flock "$locks/serial" "$program" >/dev/null &
  fi
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
if [ "$mode" = markers ]; then
  touch "$locks/done"
  wait "$watcher" || status=1
fi
exit $status
