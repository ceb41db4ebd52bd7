#!/usr/bin/env bash
# Starts N device arrivals at once in the working directory and waits until
# they are served, as udev and systemd serve them without the sandbox:
# either recorded as markers by qmx4-fwload-pass, with a pass whenever
# markers wait, one at a time (what qmx4-fwload.path does), or each a whole
# pass in turn under flock (how the units ran passes before coalescing).
# Exit status 1 when an arrival or a pass failed.
# usage: burst.sh N markers|serial QMX4-FWLOAD-PASS QMX4-FWLOAD LOCK-DIR
set -u
n=$1 mode=$2 helper=$3 program=$4 locks=$5
mkdir -p "$locks"
pids=()
for i in $(seq "$n"); do
  if [ "$mode" = markers ]; then
    "$helper" --lock-dir "$locks" --arrival "1-$i" &
  else
    flock "$locks/serial" "$program" >/dev/null &
  fi
  pids+=($!)
done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
if [ "$mode" = markers ]; then
  while [ -n "$(ls -A "$locks/arrivals")" ]; do
    "$helper" --lock-dir "$locks" "$program" >/dev/null || status=1
  done
fi
exit $status
