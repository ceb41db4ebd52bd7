#!/usr/bin/env bash
# Turns the CSV files that bench/run.sh leaves in a directory into Markdown
# tables of ratios (medians throughout).
set -euo pipefail
out=$1

echo "### XML model (median time, ratio to TinyXML's own work on the same text)"
echo
awk -F, '
  /_median"?,/ {
    name = $1; gsub(/"/, "", name); sub(/_median$/, "", name); sub(/\/manual_time$/, "", name)
    split(name, part, "/"); t[part[1], part[2]] = $3; unit = $5; gsub(/"/, "", unit)
  }
  function label(bytes) { return bytes >= 1048576 ? bytes / 1048576 " MB" : bytes / 1024 " KB" }
  END {
    printf "| document | TinyXML parse | fromString | ratio (goal <= 1.5) | depth check | ratio (goal <= 0.33) | TinyXML print | toString | ratio |\n"
    printf "|---|---|---|---|---|---|---|---|---|\n"
    n = split("1024 1048576 10485760", order, " ")
    for (i = 1; i <= n; i++) {
      s = order[i]
      printf "| %s | %.1f %s | %.1f %s | %.2f | %.1f %s | %.2f | %.1f %s | %.1f %s | %.2f |\n", label(s),
        t["TinyXmlParse", s], unit, t["XElementRead", s], unit, t["XElementRead", s] / t["TinyXmlParse", s],
        t["DepthCheck", s], unit, t["DepthCheck", s] / t["TinyXmlParse", s],
        t["TinyXmlPrint", s], unit, t["XElementWrite", s], unit, t["XElementWrite", s] / t["TinyXmlPrint", s]
    }
  }' "$out/xelement.csv"

median_ms() { awk -F, 'NR == 2 { printf "%.2f", $4 * 1000 }' "$1"; }

echo
echo "### The program as a process"
echo
echo "| round | example run (median) | do-nothing baseline (median) | ratio |"
echo "|---|---|---|---|"
for csv in "$out"/example-*.csv; do
  round=${csv##*example-}
  awk -F, -v r="${round%.csv}" 'NR == 2 { run = $4 } NR == 3 { base = $4 }
    END { printf "| %s | %.2f ms | %.2f ms | %.2f |\n", r, run * 1000, base * 1000, run / base }' "$csv"
done
ratios=$(for csv in "$out"/example-*.csv; do awk -F, 'NR == 2 { run = $4 } NR == 3 { printf "%f\n", run / $4 }' "$csv"; done | sort -n)
echo
echo "Median ratio over the rounds (goal <= 1.5): $(sed -n 3p <<<"$ratios" | awk '{ printf "%.2f", $1 }')"
run_instructions=$(cat "$out/instructions-qmx4-fwload")
base_instructions=$(cat "$out/instructions-qmx4-baseline")
echo
echo "Instructions (callgrind, dynamic loading included): example run $run_instructions," \
     "baseline $base_instructions, ratio $(awk -v a="$run_instructions" -v b="$base_instructions" 'BEGIN { printf "%.2f", a / b }')."
echo

echo "### Scaling: every device served, each matched by the last configured type"
echo
# The medians, in ms, of the scaling runs named devices-types, on one line.
medians() { for run in "$@"; do median_ms "$out/scale-$run.csv"; echo; done | paste -sd' '; }

echo "| devices \\ types | 1 | 100 | 10000 | per type, 1 to 10000 |"
echo "|---|---|---|---|---|"
for d in 1 16 127; do
  medians "$d-1" "$d-100" "$d-10000" | awk -v d="$d" '{
    printf "| %d | %.2f ms | %.2f ms | %.2f ms | %.2f us |\n", d, $1, $2, $3, ($3 - $1) * 1000 / 9999 }'
done
echo
echo "| types | per device, 1 to 16 | per device, 16 to 127 |"
echo "|---|---|---|"
for t in 1 100 10000; do
  medians "1-$t" "16-$t" "127-$t" | awk -v t="$t" '{ printf "| %d | %.3f ms | %.3f ms |\n", t, ($2 - $1) / 15, ($3 - $2) / 111 }'
done
echo
