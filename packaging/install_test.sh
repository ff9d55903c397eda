#!/usr/bin/env bash
# What `cmake --install` places, staged under a temporary DESTDIR, checked statically (starting
# the unit needs a machine booted with systemd; confined_test.sh applies it by hand).
# Usage: install_test.sh BUILD_DIR [MAN]   (MAN: ON when the build made the manual pages)
set -uo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL $*" && failures=$((failures + 1)); }
staged() {  # staged PREFIX: an install with that prefix under $work/PREFIX, its log beside it
  local root="$work/${1//\//_}"
  # Said on stderr: the caller keeps stdout, the path, and its checks then fail on what is missing.
  DESTDIR="$root" cmake --install "$build" --prefix "$1" >"$root.log" 2>&1 ||
    echo "FAIL cmake --install --prefix $1: $(cat "$root.log")" >&2
  echo "$root"
}

root=$(staged /usr)
expected="usr/bin/zorvactl usr/lib/systemd/system/zorvad.service usr/lib/sysusers.d/zorva.conf
usr/sbin/zorvad usr/share/dbus-1/system.d/com.zorva.client.extension.xpc.conf"
[ "${2:-OFF}" = ON ] && expected+=" usr/share/man/man1/zorvactl.1 usr/share/man/man8/zorvad.8"
actual=$(cd "$root" && find . -type f -o -type l | sed 's#^\./##' | sort)
[ "$actual" = "$(tr ' ' '\n' <<<"$expected" | sort)" ] || fail "installed: $actual"
grep WARNING "$root.log" && fail "an install to /usr warns"

# The pages, made from the programs' help, name each command and variable; man reads them cleanly.
if [ "${2:-OFF}" = ON ]; then
  pages="$root/usr/share/man"
  commands=$("$root/usr/bin/zorvactl" --help | sed -n '/^Subcommands:$/,/^$/s/^  \([^ ]*\).*/\1/p')
  [ -n "$commands" ] || fail "zorvactl --help lists no commands"
  for command in $commands; do
    grep -q "^\.SS \"zorvactl ${command}[ \"]" "$pages/man1/zorvactl.1" || fail "no zorvactl $command"
  done
  for variable in $("$root/usr/sbin/zorvad" --help | grep -o '^  ZORVA_[A-Z_]*'); do
    sed -n '/^\.SH ENVIRONMENT/,/^\.SH/p' "$pages/man8/zorvad.8" | grep -q "^$variable\$" ||
      fail "zorvad(8) does not list $variable under ENVIRONMENT"
  done
  grep -q '^\.SH "EXIT STATUS"' "$pages/man1/zorvactl.1" || fail "zorvactl(1) has no EXIT STATUS"
  for page in man1/zorvactl.1 man8/zorvad.8; do
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l "$pages/$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man complains about $page: $warnings"
  done
fi

unit="$root/usr/lib/systemd/system/zorvad.service"
for line in ExecStart=/usr/sbin/zorvad StateDirectory=zorva StateDirectoryMode=0700 \
  Environment=ZORVA_BUS=system Type=dbus BusName=com.zorva.client.extension.xpc; do
  grep -qx -- "$line" "$unit" || fail "the unit lacks the line: $line"
done
# The service marks what its own mount table lists and names files by its own mounts: nothing
# may change its view of the mounts or the file tree, or hide the processes it reads in /proc.
grep -E '^(Private(Tmp|Mounts|Devices|Users)|TemporaryFileSystem|Root(Directory|Image)|Bind(ReadOnly)?Paths|ProtectProc|ProtectHome)=' "$unit" |
  grep -vxE 'Private[A-Za-z]*=(no|false|off|0)?|ProtectProc=default|ProtectHome=read-only' &&
  fail "the unit changes the service's view of the mounts, the file tree or the processes"

# Any complaint counts, as verify exits 0 for keys it ignores. An exposure of 10 is unconfined.
mkdir "$work/verify"
sed "s#^ExecStart=#ExecStart=$root#" "$unit" >"$work/verify/zorvad.service"
complaints=$(systemd-analyze verify "$work/verify/zorvad.service" 2>&1) && [ -z "$complaints" ] ||
  fail "systemd-analyze verify: $complaints"
security=$(systemd-analyze security --offline=true "$work/verify/zorvad.service" 2>&1)
exposure=$(sed -n 's/^.*Overall exposure level for zorvad.service: \([0-9.]*\) .*$/\1/p' <<<"$security")
awk -v e="${exposure:-10}" 'BEGIN { exit !(e < 5.0) }' || fail "exposure not below 5.0: $security"

# Another prefix: the unit follows it, and the install says the bus will not find its policy.
root=$(staged /opt/zorva)
grep -qx ExecStart=/opt/zorva/sbin/zorvad "$root/opt/zorva/lib/systemd/system/zorvad.service" &&
  [ -x "$root/opt/zorva/sbin/zorvad" ] || fail "an install to /opt/zorva: ExecStart"
grep -q 'The bus policy went to /opt/zorva/share/dbus-1/system.d' "$root.log" ||
  fail "an install to /opt/zorva does not warn about the bus policy: $(cat "$root.log")"
[ $failures -eq 0 ] || { echo "$failures failure(s)" && exit 1; }
echo "install layout: all checks passed"
