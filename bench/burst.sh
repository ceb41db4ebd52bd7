#!/usr/bin/env bash
# Starts N device arrivals at once in the working directory and waits for
# them all, as udev and systemd do at boot: either coalesced through
# qmx4-fwload-pass, or each a whole pass in turn under flock (how the units
# ran passes before coalescing). Exit status 1 when an arrival failed.
# usage: burst.sh N coalesced|serial QMX4-FWLOAD-PASS QMX4-FWLOAD LOCK-DIR
set -u
n=$1 mode=$2 pass=$3 program=$4 locks=$5
mkdir -p "$locks"
pids=()
for _ in $(seq "$n"); do
  if [ "$mode" = coalesced ]; then
    "$pass" --lock-dir "$locks" "$program" >/dev/null &
  else
    flock "$locks/serial" "$program" >/dev/null &
  fi
  pids+=($!)
done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
exit $status
