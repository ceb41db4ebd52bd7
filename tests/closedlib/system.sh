# shellcheck shell=bash
# The traits of closed device libraries, tried live under the shipped unit
# in the booted container (sourced by system_test.sh, after the README's
# first real device, which left the stand-in in /usr/local/lib as the
# vendor's library and one device type configured). Each variant is
# installed as the README's first step installs the vendor's library; then
# a pass under the shipped unit either serves the waiting device or fails
# with an error-priority journal line that names the cause; qmx4-fwctl
# doctor names it too and prints the fix, which must be the one in
# qmx4-fwload-library(7); with the fix applied the next pass serves the
# device. Everything is undone after each row.

# The table: trait | where it is installed | the journal's words (empty:
# served under the shipped unit) | doctor's words | the fix: drop-in lines
# (";" between them) or "!" and a shell command.
closed_table() {
  local lib=/usr/local/lib multiarch=$1
  cat <<EOF
execstack|$lib/libqmx4-1.5.1.so|asks for an executable stack|asks for an executable stack|MemoryDenyWriteExecute=no
needs-dependency|$lib/libqmx4-1.5.1.so|needs libqmx4licence.so.2|needs libqmx4licence.so.2|!cp /opt/closedlib/licence/libqmx4licence.so.2 $lib/ && ldconfig
soname|$lib/libqmx4.so.1|finds no libqmx4-1.5.1.so|has the SONAME libqmx4.so.1|!ln -s $lib/libqmx4.so.1 $multiarch/libqmx4-1.5.1.so
home-cache|$lib/libqmx4-1.5.1.so|||
tmp-cache|$lib/libqmx4-1.5.1.so|||
cwd-cache|$lib/libqmx4-1.5.1.so|||
own-device|$lib/libqmx4-1.5.1.so|cannot open /dev/qmx4ctl: Operation not permitted|sandbox refuses the library (DevicePolicy)|DeviceAllow=/dev/qmx4ctl rw
inet-socket|$lib/libqmx4-1.5.1.so|Address family not supported|sandbox refuses the library (RestrictAddressFamilies)|RestrictAddressFamilies=AF_INET
chatty|$lib/libqmx4-1.5.1.so|||
deaf-slow|$lib/libqmx4-1.5.1.so|||
elf32|$lib/libqmx4-1.5.1.so|finds no libqmx4-1.5.1.so|is a 32-bit i386 library|!cp /root/first-device/libqmx4-1.5.1.so $lib/ && ldconfig
elf32|$multiarch/libqmx4-1.5.1.so|another word size|is a 32-bit i386 library|!rm $multiarch/libqmx4-1.5.1.so && cp /root/first-device/libqmx4-1.5.1.so $lib/ && ldconfig
rawio|$lib/libqmx4-1.5.1.so|CAP_SYS_RAWIO|sandbox refuses the library (CapabilityBoundingSet)|CapabilityBoundingSet=CAP_SYS_RAWIO
EOF
}

closed_dropin=/etc/systemd/system/qmx4-fwload.service.d/closed-library.conf
closed_rows=/etc/systemd/system/qmx4-fwload.service.d/closed-rows.conf

# A pass by hand over one device that waits; prints "served" when it got
# its firmware.
closed_pass() {
  bus "$(device C 2 1)"
  inside systemctl start qmx4-fwload.service >/dev/null 2>&1
  inside grep -q 'state="3"' $base/qmx4sim.xml && echo served
}

# A mark in the journal, at error priority, and the error-priority lines
# since the mark $1 (a cursor taken with "journalctl -n 0 --show-cursor"
# was seen to lag behind the entries just written).
# Called as $(closed_mark), in a subshell: the mark is unique by its time.
closed_mark() {
  local mark
  mark="closed library row $(date +%s%N)"
  inside logger -p user.err -t qmx4-test "$mark"
  echo "$mark"
}
closed_errors() {
  inside journalctl --sync
  inside journalctl -q --no-pager -o cat -p err | sed -n "/^$1\$/,\$p" | grep -v "^$1\$"
}

closed_case() { # trait, installed as, journal words, doctor words, fix
  local trait=$1 file=$2 words=$3 said=$4 fix=$5 mark doctor listed
  inside sh -c "rm -f /usr/local/lib/libqmx4* && cp /opt/closedlib/$trait/libqmx4* $file && ldconfig"
  mark=$(closed_mark)
  doctor=$(inside qmx4-fwctl doctor --json)
  if [ -z "$words" ]; then
    [ "$(closed_pass)" = served ] || fail "$trait: not served under the shipped unit: $(closed_errors "$mark" | tail -n 3)"
    [ "$(jq -r .usable <<<"$doctor")" = true ] || fail "$trait: doctor says: $(jq -r .cause <<<"$doctor")"
    echo "$trait: served under the shipped unit; doctor: usable"
    return
  fi
  [ "$(closed_pass)" = served ] && fail "$trait: served under the shipped unit"
  closed_errors "$mark" | grep -F -- "$words" | grep -qF "qmx4-fwctl doctor" ||
    fail "$trait: no error line with '$words' and qmx4-fwctl doctor: $(closed_errors "$mark" | tail -n 2)"
  jq -r .cause <<<"$doctor" | grep -qF -- "$said" || fail "$trait: doctor's cause: $(jq -r .cause <<<"$doctor")"
  [ "$(jq -r .usable <<<"$doctor")" = false ] || fail "$trait: doctor says a pass can use it"
  # The companion by hand: where it cannot load the library, it says why
  # as doctor does (a file is there, so not "not installed").
  listed=$(inside qmx4-fwctl list --tsv 2>&1 >/dev/null) ||
    { grep -qF "cannot be loaded: " <<<"$listed" && grep -qF -- "$said" <<<"$listed"; } ||
    fail "$trait: qmx4-fwctl list says: $listed"
  if [ "${fix#!}" != "$fix" ]; then
    inside sh -c "${fix#!}" || fail "$trait: the fix failed: ${fix#!}"
  else
    [ "$(jq -r '.dropin | join(";")' <<<"$doctor")" = "$fix" ] ||
      fail "$trait: doctor's drop-in is '$(jq -r '.dropin | join(";")' <<<"$doctor")', not '$fix'"
    inside sh -c "printf '[Service]\n%s\n' '${fix//;/\\n}' >$closed_dropin && systemctl daemon-reload"
  fi
  [ "$(closed_pass)" = served ] || fail "$trait: not served after the fix: $(closed_errors "$mark" | tail -n 2)"
  echo "$trait: not served; journal: $(closed_errors "$mark" | grep -F -- "$words" | head -n 1 | cut -c1-160)"
  echo "$trait: doctor: $(jq -r .cause <<<"$doctor" | cut -c1-140); fix: ${fix}; served after it" \
    "(exposure $(exposure))"
  inside sh -c "rm -f $closed_dropin /usr/local/lib/libqmx4* $closed_multiarch/libqmx4*; systemctl daemon-reload"
}

closed_libraries() { # the directory of the variants (tests/closedlib in a build tree)
  closed_multiarch=/usr/lib/$(inside sh -c 'basename "$(dirname "$(ldd /bin/true | sed -n "s/.*libc.so.6 => \([^ ]*\).*/\1/p")")"')
  tar -C "$1" -c . | inside sh -c 'mkdir -p /opt/closedlib && tar -C /opt/closedlib -x'
  # The library's own device (the node of another driver's device), and
  # no retries: each row is one pass.
  inside mknod /dev/qmx4ctl c 10 200
  inside sh -c "printf '[Service]\nEnvironment=QMX4_RETRY_DELAYS=\nEnvironment=QMX4SIM_STARTUP_SECONDS=6\n' \
    >$closed_rows && systemctl daemon-reload"
  echo "--- closed libraries under the shipped unit (exposure $(exposure))"
  while IFS='|' read -r trait file words said fix; do
    closed_case "$trait" "$file" "$words" "$said" "$fix"
  done < <(closed_table "$closed_multiarch")
  closed_chatty
  closed_deaf
  inside sh -c "rm -f /usr/local/lib/libqmx4* $closed_rows /dev/qmx4ctl &&
    cp /root/first-device/libqmx4-1.5.1.so /usr/local/lib/ && ldconfig && systemctl daemon-reload"
}

# A library that prints 2 MB on standard output: the companion's JSON
# stays JSON.
closed_chatty() {
  inside sh -c "cp /opt/closedlib/chatty/libqmx4-1.5.1.so /usr/local/lib/ && ldconfig"
  inside qmx4-fwctl list --json 2>/dev/null | jq -e '.devices | length == 1' >/dev/null ||
    fail "chatty: qmx4-fwctl list --json is no JSON of one device"
  inside qmx4-fwctl doctor --json 2>/dev/null | jq -e .usable >/dev/null || fail "chatty: qmx4-fwctl doctor --json"
}

# A library that ignores SIGTERM and takes seconds to start: a stop kills
# it within the stop timeout, on record.
closed_deaf() {
  local mark
  # Its start-up outlasts the 5 s a stop gives the downloader (the rows'
  # drop-in, the last one read, sets it).
  inside sh -c "cp /opt/closedlib/deaf-slow/libqmx4-1.5.1.so /usr/local/lib/ && ldconfig &&
    sed -i s/STARTUP_SECONDS=6/STARTUP_SECONDS=20/ $closed_rows && systemctl daemon-reload"
  mark=$(closed_mark)
  inside systemctl start --no-block qmx4-fwload.service
  for _ in $(seq 100); do [ "$(prop qmx4-fwload.service ActiveState)" = activating ] && break; sleep 0.1; done
  sleep 1
  inside systemctl stop qmx4-fwload.service
  closed_errors "$mark" | grep -qF "the downloader ignored SIGTERM for 5 s and was killed with SIGKILL" ||
    fail "deaf-slow: the journal does not say the downloader ignored the stop: $(closed_errors "$mark" | tail -n 2)"
  echo "deaf-slow: stopped: $(closed_errors "$mark" | grep -F ignored | head -n 1)"
}
