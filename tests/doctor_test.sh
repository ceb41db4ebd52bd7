#!/usr/bin/env bash
# qmx4-fwctl doctor on the builds of the stand-in with the traits of closed
# libraries (tests/closedlib), outside any sandbox: each is named, with the
# exit status, and --json stays one document whatever the library prints.
# Arguments: qmx4-fwctl, the directory of the variants, the example base.
set -u
fwctl=$1 variants=$2 example=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
scratch=$(mktemp -d "${TMPDIR:-/tmp}/qmx4-doctor.XXXXXX") && trap 'rm -rf "$scratch"' EXIT
cp -r "$example" "$scratch/base"

# trait | exit status | words of the cause (none: a pass can use it)
while IFS='|' read -r trait status words; do
  file=$(ls "$variants/$trait"/libqmx4* | head -n 1)
  json=$("$fwctl" doctor --json --library "$file" "$scratch/base" 2>"$scratch/err")
  got=$?
  [ "$got" = "$status" ] || fail "$trait: exit status $got, not $status"
  jq -e . <<<"$json" >/dev/null 2>&1 || { fail "$trait: no JSON: $(head -c 200 <<<"$json")"; continue; }
  cause=$(jq -r '.cause // ""' <<<"$json")
  if [ -z "$words" ]; then
    [ -z "$cause" ] || fail "$trait: a cause where none is: $cause"
  else
    grep -qF -- "$words" <<<"$cause" || fail "$trait: the cause '$cause' lacks '$words'"
  fi
  "$fwctl" doctor --table --library "$file" "$scratch/base" 2>/dev/null | grep -q '^session ' ||
    fail "$trait: the table has no session row"
done <<'EOF_TABLE'
home-cache|0|
chatty|0|
execstack|1|asks for an executable stack, which the service's MemoryDenyWriteExecute=yes refuses
needs-dependency|1|needs libqmx4licence.so.2, which is not installed
soname|1|has the SONAME libqmx4.so.1
elf32|1|is a 32-bit i386 library
own-device|1|/dev/qmx4ctl
EOF_TABLE
[ "$failures" = 0 ] || exit 1
echo "doctor names every trait of the closed libraries, in JSON too"
