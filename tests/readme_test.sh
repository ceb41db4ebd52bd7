#!/usr/bin/env bash
# The documents' example sessions, run as tests, so that what they show cannot
# go stale: every block indented by four blanks whose first line is a
# command ("$ ...") runs, command by command, in a fresh copy of the bundled
# example with the built programs first on PATH; what each command prints
# (standard output and error together) must be the lines below it, up to
# the next command.
# Arguments: the directory of the built programs, example/, the Markdown
# files (README.md, ...).
set -u
bin=$(cd "$1" && pwd) example=$2
shift 2
scratch=$(mktemp -d -t qmx4-readme.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

# One record per line: "S" starts a session, "C<command>" a command, "O<line>"
# a line it prints.
awk '
  /^    / { line = substr($0, 5)
            if (!inblock) { inblock = 1; session = (line ~ /^\$ /); if (session) print "S" }
            if (session) print (line ~ /^\$ / ? "C" substr(line, 3) : "O" line)
            next }
  /^[ \t]*$/ { if (inblock && session) print "O"; next }
  { inblock = 0 }
' "$@" >"$scratch/records"

failures=0 sessions=0 commands=0
check() {
  [ -n "${command:-}" ] || return 0
  commands=$((commands + 1))
  # Blank lines a block ends with belong to the Markdown, not to the output.
  sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' "$scratch/expected" >"$scratch/expected.trimmed"
  (cd "$dir" && PATH=$bin:$PATH bash -c "$command" >"$scratch/got" 2>&1)
  if ! diff -u "$scratch/expected.trimmed" "$scratch/got" >"$scratch/diff"; then
    echo "FAIL: session $sessions: \$ $command"
    sed 's/^/    /' "$scratch/diff"
    failures=$((failures + 1))
  fi
  command=
}
while IFS= read -r record; do
  case $record in
    S) check; sessions=$((sessions + 1)); dir=$scratch/session-$sessions; cp -r "$example" "$dir" ;;
    C*) check; command=${record#C}; : >"$scratch/expected" ;;
    O*) printf '%s\n' "${record#O}" >>"$scratch/expected" ;;
  esac
done <"$scratch/records"
check

[ "$sessions" -gt "$#" ] || { echo "FAIL: too few example sessions found in $*"; exit 1; }
echo "$sessions sessions, $commands commands in $*"
[ "$failures" = 0 ]
