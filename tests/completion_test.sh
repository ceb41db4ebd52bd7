#!/usr/bin/env bash
# The companion's bash completion as bash-completion runs it: the script
# "qmx4-fwctl completion bash" prints, sourced, then its function called
# with COMP_WORDS and COMP_CWORD set as bash sets them for a <TAB> after
# the words given; what it leaves in COMPREPLY must be what it should offer.
# Argument: qmx4-fwctl.
set -u
fwctl=$(realpath "$1")
scratch=$(mktemp -d -t qmx4-completion.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
"$fwctl" completion bash >"$scratch/qmx4-fwctl" || { echo "FAIL: qmx4-fwctl completion bash"; exit 1; }
# shellcheck source=/dev/null
. "$scratch/qmx4-fwctl"
cd "$scratch" && mkdir base bases && touch bare file.prom || exit 1

failures=0
# What a <TAB> after "qmx4-fwctl WORDS..." offers, sorted; the last word is
# the one being completed.
offers() {
  COMP_WORDS=(qmx4-fwctl "$@") COMP_CWORD=$# COMPREPLY=()
  _qmx4_fwctl
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}
expect() {
  local want=$1 got
  shift
  got=$(offers "$@")
  [ "$got" = "$want" ] || { echo "FAIL: qmx4-fwctl $* <TAB> offers '$got', not '$want'"; failures=$((failures + 1)); }
}
expect "list" l
expect "check completion" c
expect "--help --json --lock-dir --table --tsv --wait" list --
expect "--generic --help --output" rules --
expect "file.prom" metrics --output f
expect "base bases" --lock-dir /run list b
expect "base bases" check -- b
expect "" list --wait ""
expect "rules" --output list r
expect "bash" completion ""
[ "$failures" = 0 ] || exit 1
echo "the completion offers commands, each command's options, directories and files"
