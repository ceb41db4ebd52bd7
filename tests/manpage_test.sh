#!/usr/bin/env bash
# The options each command's --help lists (generated from the options
# themselves) against those the man page's OPTIONS section gives that
# command, so that the hand-written page cannot drift from the program.
# Arguments: qmx4-fwctl, its man page.
set -u
fwctl=$1 page=$2
failures=0
# The options the OPTIONS section gives a command: each entry's first line
# names its options and, in parentheses, the commands that take them.
man_options() {
  sed -n '/^\.SH OPTIONS/,/^\.SH "/p' "$page" | awk '/^\.TP/ { getline; print }' |
    while IFS= read -r line; do
      case ", $(sed -n 's/.*(\(.*\)).*/\1/p' <<<"$line")," in
        *", $1,"*) grep -oE '\\-\\-[a-z][a-z\\-]*' <<<"$line" | tr -d '\\' ;;
      esac
    done | grep -vx -- --help | sort -u
}
help_options() { "$fwctl" "$1" --help | grep -E '^ +-' | grep -oE -- '--[a-z][a-z-]*' | grep -vx -- --help | sort -u; }
for command in check list info set-user-id rules metrics doctor history completion; do
  if ! diff <(help_options $command) <(man_options $command) >/dev/null; then
    echo "FAIL: $command: --help lists $(help_options $command | tr '\n' ' '); the man page $(man_options $command | tr '\n' ' ')"
    failures=$((failures + 1))
  fi
done
[ "$(man_options list | wc -l)" -gt 2 ] || { echo "FAIL: no options found in the man page's OPTIONS section"; exit 1; }
[ "$failures" = 0 ] || exit 1
echo "the man page gives every command the options its --help lists"
