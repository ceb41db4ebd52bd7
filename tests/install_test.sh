#!/usr/bin/env bash
# Installs the build into a scratch DESTDIR and checks what an administrator
# gets: the file layout, a program without a build-tree RUNPATH, unit files
# that systemd accepts, a udev rule that names the installed template unit,
# the man pages and documents, and a pass started the way the
# units start it that works and waits for any pass already running.
# Arguments: the build directory, the install prefix, library, unit,
# tmpfiles and rules directories, 1 or 0 for whether the stand-in library
# is installed, and the directory of the built stand-in.
set -u
build=$1 prefix=$2 libdir=$3 unitdir=$4 tmpfilesdir=$5 rulesdir=$6 standin=$7 standin_dir=$8
# As root, systemd-analyze writes under /run/systemd: then the test runs
# with a throwaway /run of its own. Another user cannot write there.
if [ "$(id -u)" = 0 ]; then
  # shellcheck source=tests/private_mounts.sh
  . "$(dirname "$0")/private_mounts.sh"
  private_mounts "$0" "$@"
fi
stage=$(mktemp -d -t qmx4-install.XXXXXX)
trap 'rm -rf "$stage"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

DESTDIR=$stage cmake --install "$build" >"$stage/install.log" || { cat "$stage/install.log"; fail "cmake --install"; exit 1; }
root=$stage$prefix
units=$stage$unitdir
rules=$stage$rulesdir

for f in $prefix/bin/qmx4-fwload $prefix/bin/qmx4-fwctl $prefix/libexec/qmx4-fwload/qmx4-fwload-pass \
         $prefix/libexec/qmx4-fwload/qmx4-fwload-probe $prefix/share/man/man7/qmx4-fwload-library.7 \
         $unitdir/qmx4-fwload.service $unitdir/qmx4-fwload.path $tmpfilesdir/qmx4-fwload.conf \
         $rulesdir/60-qmx4-fwload.rules \
         $prefix/share/man/man8/qmx4-fwload.8 $prefix/share/man/man8/qmx4-fwctl.8 \
         $prefix/share/doc/qmx4-fwload/example/data/service.xml $prefix/share/doc/qmx4-fwload/example/qmx4sim.xml \
         $prefix/share/doc/qmx4-fwload/examples/qmx4-fwload-alerts.yml $prefix/share/bash-completion/completions/qmx4-fwctl; do
  [ -f "$stage$f" ] || fail "not installed: $f"
done
if [ "$standin" = 1 ]; then
  [ -f "$stage$libdir/libqmx4-1.5.1.so" ] || fail "stand-in library not installed in $libdir"
  library_dir=$stage$libdir
else
  [ -e "$stage$libdir/libqmx4-1.5.1.so" ] && fail "stand-in library installed although switched off"
  library_dir=$standin_dir
fi
for program in bin/qmx4-fwload bin/qmx4-fwctl libexec/qmx4-fwload/qmx4-fwload-pass libexec/qmx4-fwload/qmx4-fwload-probe; do
  readelf -d "$root/$program" | grep -qE '\((RUNPATH|RPATH)\)' && fail "installed $program keeps a RUNPATH"
done
# Another prefix at install time: the programs are found there.
cmake --install "$build" --prefix "$stage/elsewhere" >"$stage/install.log" 2>&1 || fail "cmake --install --prefix: $(tail -n 2 "$stage/install.log")"
readelf -d "$stage/elsewhere/bin/qmx4-fwload" 2>/dev/null | grep -qE '\((RUNPATH|RPATH)\)' &&
  fail "cmake --install --prefix left a RUNPATH in qmx4-fwload"

# The unit files: accepted by systemd with no warning at all (checked on
# copies that name the staged programs), and starting the installed program
# through the companion from the fixed base directory.
if command -v systemd-analyze >/dev/null; then
  mkdir "$stage/verify"
  for unit in qmx4-fwload.service qmx4-fwload.path; do
    sed "s|$prefix/|$root/|g" "$units/$unit" >"$stage/verify/$unit"
  done
  verify=$(cd "$stage/verify" && MANPATH=$root/share/man systemd-analyze verify \
           ./qmx4-fwload.path ./qmx4-fwload.service 2>&1) || fail "systemd-analyze verify failed"
  [ -z "$verify" ] || fail "systemd-analyze verify: $verify"
else
  echo "systemd-analyze not found: unit files not verified"
fi
exec_start=$(sed -n 's/^ExecStart=//p' "$units/qmx4-fwload.service")
helper=$prefix/libexec/qmx4-fwload/qmx4-fwload-pass
# The helper writes the events file that ExecStopPost= counts, and its
# priorities reach the journal.
events=/tmp/qmx4-fwload.events
case $exec_start in
  "$helper --timeout "[1-9]*" --events $events $prefix/bin/qmx4-fwload") ;;
  *) fail "qmx4-fwload.service: unexpected ExecStart=$exec_start" ;;
esac
case $(sed -n 's/^ExecStopPost=//p' "$units/qmx4-fwload.service") in
  "-$prefix/bin/qmx4-fwctl metrics --ended $events --output /var/lib/prometheus/node-exporter/qmx4_fwload.prom "*) ;;
  *) fail "qmx4-fwload.service: ExecStopPost= does not count the pass's events" ;;
esac
grep -qx 'KillMode=mixed' "$units/qmx4-fwload.service" || fail "a stop goes to every process of the service"
grep -q '^SyslogLevelPrefix=no' "$units/qmx4-fwload.service" && fail "qmx4-fwload.service turns the journal's priority prefixes off"
grep -qx 'WorkingDirectory=%S/qmx4-fwload' "$units/qmx4-fwload.service" || fail "the base directory is not /var/lib/qmx4-fwload"
watched=$(sed -n 's/^DirectoryNotEmpty=//p' "$units/qmx4-fwload.path")
grep -qx "d $watched 0755 root root -" "$stage$tmpfilesdir/qmx4-fwload.conf" || fail "tmpfiles.d does not make $watched"
# The rule records arrivals with the installed helper, in the directory the path unit watches.
run=$(grep -o 'RUN+="[^"]*"' "$rules/60-qmx4-fwload.rules" | sed 's/^RUN+="//; s/"$//')
[ "$run" = "$helper --arrival \$env{BUSNUM}-\$env{DEVNUM}" ] || fail "udev rule runs '$run'"
[ "$watched" = /run/qmx4-fwload/arrivals ] || fail "the path unit watches $watched"

# The man pages (the docs test renders them from the source tree).
for page in man8/qmx4-fwload.8 man8/qmx4-fwctl.8 man8/qmx4-fwload-pass.8 man5/qmx4-fwload-service.xml.5; do
  [ -f "$root/share/man/$page" ] || fail "man page $page not installed"
done
if [ "$standin" = 1 ] && [ ! -f "$root/share/man/man5/qmx4sim.xml.5" ]; then
  fail "the stand-in's man page is not installed with it"
fi
for doc in companion.md hotplug.md; do
  [ -f "$root/share/doc/qmx4-fwload/$doc" ] || fail "doc/$doc not installed"
done

# The companion where no device library is installed: help, check and rules
# work; a command that needs a device says in one line why it cannot.
if [ "$standin" = 0 ] && ! /sbin/ldconfig -p 2>/dev/null | grep -q 'libqmx4-1\.5\.1\.so'; then
  fwctl=$root/bin/qmx4-fwctl example=$root/share/doc/qmx4-fwload/example
  "$fwctl" --help >/dev/null || fail "qmx4-fwctl --help without the device library"
  "$fwctl" check --tsv "$example" >/dev/null || fail "qmx4-fwctl check without the device library"
  "$fwctl" rules "$example" >/dev/null || fail "qmx4-fwctl rules without the device library"
  listed=$("$fwctl" list --lock-dir "$stage/locks" "$example" 2>&1)
  [ $? = 1 ] && [ "$listed" = "qmx4-fwctl: the device library is not installed: libqmx4-1.5.1.so: cannot open shared object file: No such file or directory" ] ||
    fail "qmx4-fwctl list without the device library: $listed"
  # JSON's error is the message without the program's name.
  listed=$("$fwctl" list --json --lock-dir "$stage/locks" "$example" 2>/dev/null)
  [ "$listed" = '{"error":"the device library is not installed: libqmx4-1.5.1.so: cannot open shared object file: No such file or directory","refused":null}' ] ||
    fail "qmx4-fwctl list --json without the device library: $listed"
fi

# Passes as the units run them, on a copy of the installed example; the
# locks and markers move into the scratch directory.
base=$stage/base
cp -r "$root/share/doc/qmx4-fwload/example" "$base"
command=$(sed -n 's/^ExecStart=//p' "$units/qmx4-fwload.service")
command=${command//$prefix\//$root/}
command=${command/ --timeout / --lock-dir $stage/locks --timeout }
# The retries the unit sets.
export "$(sed -n 's/^Environment=\(QMX4_RETRY_DELAYS=\)/\1/p' "$units/qmx4-fwload.service")"
command=${command/ --events \/tmp\// --events $stage/}
pass() { (cd "$base" && QMX4SIM_JOURNAL=$stage/journal LD_LIBRARY_PATH=$library_dir $command >>"$stage/out" 2>&1); }
"$root/libexec/qmx4-fwload/qmx4-fwload-pass" --lock-dir "$stage/locks" --arrival 001-005 || fail "recording an arrival"
pass || fail "example pass exited with $?: $(cat "$stage/out")"
grep -qx 'Unconfigured device found: QMX4 Loader' "$base/service.log" || fail "example pass served no device"
grep -qx 'arrivals: 001-005' "$stage/out" || fail "the pass did not report its arrival: $(cat "$stage/out")"
[ -z "$(ls -A "$stage/locks/arrivals")" ] || fail "the pass left its arrival marker"

# Two passes close together: the second starts while the first is in its
# download, waits for the lock, and then finds the device configured.
cat >"$base/qmx4sim.xml" <<'EOF'
<bus><device name="Slow" state="2" vid="4660" pid="1" firmwareType="1" downloadMs="1500"/></bus>
EOF
: >"$stage/journal"
pass & first=$!
for _ in $(seq 100); do grep -q '^KoOpen' "$stage/journal" && break; sleep 0.05; done
pass & second=$!
wait $first || fail "first of two passes failed"
wait $second || fail "second of two passes failed"
sessions=$(sed 's/(.*//' "$stage/journal" | grep -E '^(KoInitEx|KoDeInit|KoInt0)$' | tr '\n' ' ')
[ "$sessions" = "KoInitEx KoInt0 KoDeInit KoInitEx KoDeInit " ] || fail "passes overlapped or downloaded twice: $sessions"

[ "$failures" = 0 ] || exit 1
echo "installed layout, units, rule, man pages and serialised passes are as expected"
