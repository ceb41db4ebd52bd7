#!/usr/bin/env bash
# Runs the benchmarks of a Release build made with QMX4_BENCH=ON and writes
# their ratios to <build>/bench-results/summary.md:
#  1. the XML model against TinyXML itself (Google Benchmark, medians of 10
#     interleaved repetitions);
#  2. qmx4-fwload as a process, every figure a ratio of two commands timed
#     side by side (bench/pairtime: each round runs both once, in random
#     order, the simulated bus reset before each outside the timing):
#     the example run against a do-nothing program; passes over 16 and 127
#     devices and over 100 and 10,000 configured types against one over a
#     single device and type; a burst of 128 arrivals, coalesced and not,
#     against a single arrival (the helper alone, without systemd).
# BENCH_ROUNDS multiplies the number of rounds (default 1); BENCH_XML=0
# leaves out the XML model.
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
out=$build/bench-results
rm -rf "$out"
mkdir -p "$out"
scale=${BENCH_ROUNDS:-1}
pairtime=$build/bench/pairtime
fwload=$build/qmx4-fwload
pass=$build/qmx4-fwload-pass

if [ "${BENCH_XML:-1}" = 1 ]; then
  echo "== XML model (about two minutes)"
  "$build/bench/xelement_bench" --benchmark_enable_random_interleaving=true --benchmark_repetitions=10 \
    --benchmark_report_aggregates_only=true --benchmark_out="$out/xelement.csv" --benchmark_out_format=csv
fi

# A base directory with `types` configured types and a bus of `devices`
# unconfigured devices, one file each (bus.d, copied to qmx4sim.d before
# every run), all of the last type, so that every device is served and each
# lookup runs through the whole list. Each download takes `ms` milliseconds.
scenario() {
  local dir=$1 devices=$2 types=$3 ms=${4:-0}
  mkdir -p "$dir/data" "$dir/bus.d"
  head -c 4096 /dev/zero | tr '\0' 'F' >"$dir/data/fw.bin"
  awk -v n="$types" 'BEGIN {
    print "<service logging=\"true\" append=\"false\">"
    for (i = 1; i <= n; i++)
      printf "  <type name=\"Type %d\" fw=\"fw.bin\" type=\"1\" vid=\"4660\" pid=\"%d\" />\n", i, i
    print "</service>" }' >"$dir/data/service.xml"
  for i in $(seq "$devices"); do
    printf '<bus><device name="D%d" state="2" vid="4660" pid="%d" serial="S%d" downloadMs="%d" /></bus>\n' \
      "$i" "$types" "$i" "$ms" >"$dir/bus.d/d$(printf %03d "$i").xml"
  done
}
reset_bus="rm -rf qmx4sim.d && cp -r bus.d qmx4sim.d"

# pair NAME ROUNDS DIR PREPARE COMMAND... :: DIR PREPARE COMMAND...
# Times the two sides in interleaved rounds into $out/NAME.csv.
pair() {
  local name=$1 rounds=$2
  shift 2
  echo "   $name: $((rounds * scale)) rounds"
  "$pairtime" $((rounds * scale)) "$@" >"$out/$name.csv"
}

echo "== the program as a process"
example=$out/example
cp -r "$source_dir/example" "$example"
cp "$example/qmx4sim.xml" "$example/bus.xml"
reset_example="cp bus.xml qmx4sim.xml"
pair example 1000 "$example" "$reset_example" "$fwload" :: "$example" "$reset_example" "$build/qmx4-baseline"
grep -qx 'Unconfigured device found: QMX4 Loader' "$example/service.log" || { echo "example run served no device"; exit 1; }
# Instructions do not drift: one callgrind run of each, split by object.
for program in qmx4-fwload qmx4-baseline; do
  (cd "$example" && $reset_example &&
   valgrind --tool=callgrind --callgrind-out-file="$out/callgrind-$program.out" "$build/$program" >/dev/null 2>&1)
  awk -f "$source_dir/bench/objects.awk" "$out/callgrind-$program.out" >"$out/objects-$program"
done

for devices in 1 16 127; do
  scenario "$out/devices-$devices" "$devices" 1
done
scenario "$out/types-100" 1 100
scenario "$out/types-10000" 1 10000
one=("$out/devices-1" "$reset_bus" "$fwload")
for run in devices-16 devices-127 types-100 types-10000; do
  pair "$run" 600 "$out/$run" "$reset_bus" "$fwload" :: "${one[@]}"
done
for devices in 1 16 127; do
  served=$(grep -c '^Unconfigured device found' "$out/devices-$devices/service.log")
  [ "$served" = "$devices" ] || { echo "devices-$devices: served $served of $devices devices"; exit 1; }
done

# A burst as at boot: 128 arrivals at once, one device waiting for a 50 ms
# download, against a single arrival over the same bus; the helper alone,
# without systemd and its sandbox (the system test measures those live).
burst=$out/burst
scenario "$burst" 1 1 50
single=("$burst" "$reset_bus" "$source_dir/bench/burst.sh" 1 markers "$pass" "$fwload" "$burst/locks")
for mode in markers serial; do
  pair "burst-$mode" 150 "$burst" "$reset_bus" "$source_dir/bench/burst.sh" 128 "$mode" "$pass" "$fwload" "$burst/locks" \
    :: "${single[@]}"
done

"$source_dir/bench/summarize.sh" "$out" >"$out/summary.md"
{
  echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores, $(uname -sr)"
  echo "compiler: $(c++ --version | head -n 1)"
} >>"$out/summary.md"
echo
cat "$out/summary.md"
