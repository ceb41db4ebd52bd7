#!/usr/bin/env bash
# Turns the CSV files that bench/run.sh leaves in a directory into Markdown
# tables of ratios (medians throughout).
set -euo pipefail
out=$1

if [ -f "$out/xelement.csv" ]; then
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
fi

# The spread of a paired run: "<median first ms> <median second ms> <min>
# <median> <max> <median difference / per, in us> <rounds>" over the
# per-round ratios and differences (per: for a cost per device or type).
column_median() { sort -g | awk '{ x[NR] = $1 } END { print NR % 2 ? x[(NR + 1) / 2] : (x[NR / 2] + x[NR / 2 + 1]) / 2 }'; }
pairs() {
  local csv=$out/$1.csv per=${2:-1}
  local ratios
  ratios=$(awk -F, '{ print $2 / $3 }' "$csv" | sort -g)
  echo "$(cut -d, -f2 "$csv" | column_median | awk '{ printf "%.2f", $1 * 1000 }')" \
       "$(cut -d, -f3 "$csv" | column_median | awk '{ printf "%.2f", $1 * 1000 }')" \
       "$(head -n 1 <<<"$ratios")" "$(column_median <<<"$ratios")" "$(tail -n 1 <<<"$ratios")" \
       "$(awk -F, -v per="$per" '{ print ($2 - $3) / per * 1e6 }' "$csv" | column_median | awk '{ printf "%.1f", $1 }')" \
       "$(wc -l <"$csv")"
}
row() {
  local label=$1 name=$2 goal=$3 per=${4:-1}
  pairs "$name" "$per" | awk -v l="$label" -v g="$goal" '{
    printf "| %s | %.2f ms | %.2f ms | %.2f / **%.2f** / %.2f | %s | %d |\n", l, $1, $2, $3, $4, $5, g, $7 }'
}

echo
echo "### The program as a process"
echo
echo "Each row times two commands side by side: every round runs both once, in"
echo "random order, with the simulated bus reset before each outside the timing."
echo "Ratios are per round, first over second: minimum / **median** / maximum."
echo
echo "| first against second | first (median) | second (median) | ratio | goal | rounds |"
echo "|---|---|---|---|---|---|"
row "example run against a do-nothing program" example "<= 1.5"
row "pass over 16 devices against 1" devices-16 ""
row "pass over 127 devices against 1" devices-127 "<= 4"
row "pass with 100 types against 1" types-100 ""
row "pass with 10,000 types against 1" types-10000 ""
row "128 arrivals as markers, against 1 (helper alone)" burst-markers "<= 2"
row "128 arrivals, each a pass, against 1" burst-serial ""
echo
echo "Cost of one more device (median per-round difference): $(pairs devices-16 15 | cut -d' ' -f6) us from 1 to 16," \
     "$(pairs devices-127 126 | cut -d' ' -f6) us from 1 to 127; of one more type: $(pairs types-10000 9999 | cut -d' ' -f6) us."
echo
echo "Instructions of the example run and the do-nothing program (callgrind), by the"
echo "object whose code executed them; the differences add up to the total's."
echo
echo "| object | example run | do-nothing | difference |"
echo "|---|---|---|---|"
awk 'FNR == 1 { file++ } { n[file, $2] += $1; names[$2] = 1; total[file] += $1 }
  END {
    for (o in names) printf "| %s | %d | %d | %d |\n", o, n[1, o], n[2, o], n[1, o] - n[2, o] | "sort -t\"|\" -k5 -rn"
    close("sort -t\"|\" -k5 -rn")
    printf "| **total** | **%d** | **%d** | **%d** (ratio %.2f) |\n", total[1], total[2], total[1] - total[2], total[1] / total[2]
  }' "$out/objects-qmx4-fwload" "$out/objects-qmx4-baseline"
echo
