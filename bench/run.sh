#!/usr/bin/env bash
# Runs the benchmarks of a Release build made with QMX4_BENCH=ON and writes
# their ratios to <build>/bench-results/summary.md:
#  1. the XML model against TinyXML itself (Google Benchmark, medians of 10
#     interleaved repetitions);
#  2. qmx4-fwload as a process (hyperfine, no shell in between): the example
#     run against a program that links the same libraries and does nothing,
#     then passes over 1, 16 and 127 devices with 1, 100 and 10,000 types.
# Every timed pass starts from the same bus: hyperfine restores it first.
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
out=$build/bench-results
rm -rf "$out"
mkdir -p "$out"
runs=${BENCH_RUNS:-100}

echo "== XML model (about two minutes)"
"$build/bench/xelement_bench" --benchmark_enable_random_interleaving=true --benchmark_repetitions=10 \
  --benchmark_report_aggregates_only=true --benchmark_out="$out/xelement.csv" --benchmark_out_format=csv

# A base directory with `types` configured types and a bus of `devices`
# unconfigured devices, all of the last type, so that every device is served
# and each lookup runs through the whole list.
scenario() {
  local dir=$1 devices=$2 types=$3
  mkdir -p "$dir/data"
  head -c 4096 /dev/zero | tr '\0' 'F' >"$dir/data/fw.bin"
  awk -v n="$types" 'BEGIN {
    print "<service logging=\"true\" append=\"false\">"
    for (i = 1; i <= n; i++)
      printf "  <type name=\"Type %d\" fw=\"fw.bin\" type=\"1\" vid=\"4660\" pid=\"%d\" />\n", i, i
    print "</service>" }' >"$dir/data/service.xml"
  awk -v n="$devices" -v pid="$types" 'BEGIN {
    print "<bus>"
    for (i = 1; i <= n; i++)
      printf "  <device name=\"D%d\" state=\"2\" vid=\"4660\" pid=\"%d\" firmwareType=\"1\" serial=\"S%d\" />\n", i, pid, i
    print "</bus>" }' >"$dir/bus.xml"
  cp "$dir/bus.xml" "$dir/qmx4sim.xml"
}

# hyperfine in the base directory, exporting its CSV to $out/<name>.csv.
time_in() {
  local dir=$1 name=$2
  shift 2
  (cd "$dir" && hyperfine -N --style basic --warmup 10 --runs "$runs" --prepare "cp $dir/bus.xml $dir/qmx4sim.xml" \
     --export-csv "$out/$name.csv" "$@")
}

# A run takes about 2 ms, so drift on a shared machine moves single
# comparisons by a third either way: five rounds, each timing both, and
# instruction counts, which do not drift.
echo "== the example run against the do-nothing baseline"
example=$out/example
cp -r "$source_dir/example" "$example"
cp "$example/qmx4sim.xml" "$example/bus.xml"
for round in 1 2 3 4 5; do
  time_in "$example" "example-$round" "$build/qmx4-fwload" "$build/qmx4-baseline"
done
grep -qx 'Unconfigured device found: QMX4 Loader' "$example/service.log" || { echo "example run served no device"; exit 1; }
for program in qmx4-fwload qmx4-baseline; do
  cp "$example/bus.xml" "$example/qmx4sim.xml"
  (cd "$example" && valgrind --tool=callgrind --callgrind-out-file=/dev/null "$build/$program" 2>&1) |
    sed -n 's/.*Collected : *//p' >"$out/instructions-$program"
done

echo "== scaling"
for devices in 1 16 127; do
  for types in 1 100 10000; do
    dir=$out/scale-$devices-$types
    scenario "$dir" "$devices" "$types"
    time_in "$dir" "scale-$devices-$types" "$build/qmx4-fwload"
    served=$(grep -c '^Unconfigured device found' "$dir/service.log")
    [ "$served" = "$devices" ] || { echo "$dir: served $served of $devices devices"; exit 1; }
  done
done

"$source_dir/bench/summarize.sh" "$out" >"$out/summary.md"
{
  echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores, $(uname -sr)"
  echo "compiler: $(c++ --version | head -n 1); $(hyperfine --version)"
} >>"$out/summary.md"
echo
cat "$out/summary.md"
