#!/usr/bin/env bash
# What `cmake --install` places, staged under a temporary DESTDIR: the files and nothing else, a
# unit that names zorvad where it was installed and keeps the state folder private, a group entry
# systemd-sysusers accepts, and a unit systemd-analyze finds nothing wrong with, that confines the
# service (exposure below 5.0) without giving it a file tree of its own. Checked statically:
# enabling and starting the unit needs a machine booted with systemd (confined_test.sh applies
# its restrictions by hand).
# Usage: install_test.sh BUILD_DIR [MAN]   (MAN: ON when the build made the manual pages)
set -uo pipefail
build=$1
man=${2:-OFF}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

# install PREFIX: stages an install with that prefix under $work/PREFIX-as-a-name.
install_with_prefix() {
  local root="$work/root$(echo "$1" | tr / _)"
  mkdir -p "$root"
  if ! DESTDIR="$root" cmake --install "$build" --prefix "$1" >"$root.log" 2>&1; then
    cat "$root.log"
    fail "cmake --install --prefix $1"
  fi
  echo "$root"
}

# --- The layout a Debian machine expects with --prefix /usr.
root=$(install_with_prefix /usr)
expected="usr/bin/zorvactl
usr/lib/systemd/system/zorvad.service
usr/lib/sysusers.d/zorva.conf
usr/sbin/zorvad
usr/share/dbus-1/system.d/com.zorva.client.extension.xpc.conf"
if [ "$man" = ON ]; then
  expected=$(printf '%s\n' "$expected" usr/share/man/man1/zorvactl.1 usr/share/man/man8/zorvad.8 |
    sort)
fi
actual=$(cd "$root" && find . -type f -o -type l | sed 's#^\./##' | sort)
[ "$actual" = "$expected" ] || fail "installed files:
$actual
expected:
$expected"
for program in usr/sbin/zorvad usr/bin/zorvactl; do
  [ -x "$root/$program" ] || fail "$program is not executable"
done
"$root/usr/sbin/zorvad" --version >/dev/null || fail "the installed zorvad does not run"
grep -q 'WARNING' "$root.log" && fail "an install to /usr warns: $(cat "$root.log")"

# The pages are made from the programs' help: each command and each variable the help names must
# have come through, and man must read the pages without a complaint.
if [ "$man" = ON ]; then
  pages="$root/usr/share/man"
  commands=$("$root/usr/bin/zorvactl" --help | sed -n '/^Subcommands:$/,/^$/s/^  \([^ ]*\).*/\1/p')
  [ -n "$commands" ] || fail "zorvactl --help lists no commands"
  for command in $commands; do
    grep -q "^\.SS \"zorvactl $command[ \"]" "$pages/man1/zorvactl.1" ||
      fail "zorvactl(1) has no section for the command $command"
  done
  for variable in $("$root/usr/sbin/zorvad" --help | grep -o '^  ZORVA_[A-Z_]*'); do
    sed -n '/^\.SH ENVIRONMENT/,/^\.SH/p' "$pages/man8/zorvad.8" | grep -q "^$variable\$" ||
      fail "zorvad(8) does not list $variable under ENVIRONMENT"
  done
  grep -q '^\.SH "EXIT STATUS"' "$pages/man1/zorvactl.1" || fail "zorvactl(1) has no EXIT STATUS"
  if command -v man >/dev/null; then
    for page in man1/zorvactl.1 man8/zorvad.8; do
      warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
        man --warnings -E UTF-8 -l "$pages/$page" 2>&1 >/dev/null)
      [ -z "$warnings" ] || fail "man complains about $page: $warnings"
    done
  fi
fi

unit="$root/usr/lib/systemd/system/zorvad.service"
expect_line() {
  grep -qx -- "$2" "$1" || fail "$(basename "$1") lacks the line: $2"
}
expect_line "$unit" "ExecStart=/usr/sbin/zorvad"
expect_line "$unit" "StateDirectory=zorva"
expect_line "$unit" "StateDirectoryMode=0700"
expect_line "$unit" "Environment=ZORVA_BUS=system"
expect_line "$unit" "Type=dbus"
expect_line "$unit" "BusName=com.zorva.client.extension.xpc"
# The service marks what its own mount table lists and names files by its own mounts: none of the
# options that change its view of the mounts or the file tree, or hide the processes it reads in
# /proc, may be set.
for option in PrivateTmp PrivateMounts PrivateDevices PrivateUsers; do
  value=$(sed -n "s/^$option=//p" "$unit")
  [[ -z $value || $value =~ ^(no|false|off|0)$ ]] || fail "the unit sets $option=$value"
done
grep -E '^(TemporaryFileSystem|RootDirectory|RootImage|BindPaths|BindReadOnlyPaths)=' "$unit" &&
  fail "the unit gives the service a file tree of its own"
grep -E '^ProtectProc=' "$unit" | grep -qvx 'ProtectProc=default' &&
  fail "the unit hides other processes: $(grep '^ProtectProc=' "$unit")"
grep -E '^ProtectHome=' "$unit" | grep -qvx 'ProtectHome=read-only' &&
  fail "the unit hides home folders: $(grep '^ProtectHome=' "$unit")"
policy="$root/usr/share/dbus-1/system.d/com.zorva.client.extension.xpc.conf"
grep -q '<allow own="com.zorva.client.extension.xpc"/>' "$policy" ||
  fail "the bus policy does not let the service own the name the unit waits for"
grep -q '<policy group="zorva">' "$policy" || fail "the bus policy has no rule for group zorva"

# The unit as systemd reads it. Off a systemd machine only the file can be checked, against the
# staged program; any complaint counts, as verify exits 0 for keys it ignores.
if command -v systemd-analyze >/dev/null; then
  mkdir -p "$work/verify"
  sed "s#^ExecStart=/usr/sbin/zorvad#ExecStart=$root/usr/sbin/zorvad#" "$unit" \
    >"$work/verify/zorvad.service"
  complaints=$(systemd-analyze verify "$work/verify/zorvad.service" 2>&1)
  status=$?
  [ $status -eq 0 ] && [ -z "$complaints" ] ||
    fail "systemd-analyze verify (exit $status): $complaints"
  # How much the unit leaves the service, as systemd scores it: 10 is unconfined.
  security=$(systemd-analyze security --offline=true "$work/verify/zorvad.service" 2>&1)
  exposure=$(sed -n 's/^.*Overall exposure level for zorvad.service: \([0-9.]*\) .*$/\1/p' \
    <<<"$security")
  [ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e < 5.0) }' ||
    fail "exposure ${exposure:-(not found)}, want below 5.0: $security"
else
  echo "note: systemd-analyze is not installed; the unit is checked by its lines only"
fi

# The group, as the package's sysusers entry creates it, in the staged root's own /etc.
if command -v systemd-sysusers >/dev/null; then
  mkdir -p "$root/etc"
  systemd-sysusers --root="$root" >"$work/sysusers.log" 2>&1 ||
    fail "systemd-sysusers: $(cat "$work/sysusers.log")"
  grep -q '^zorva:' "$root/etc/group" 2>/dev/null || fail "no group zorva after systemd-sysusers"
else
  echo "note: systemd-sysusers is not installed; the group entry is not checked"
fi

# --- Another prefix: the unit follows it, and the install says the bus will not find its policy.
root=$(install_with_prefix /opt/zorva)
expect_line "$root/opt/zorva/lib/systemd/system/zorvad.service" "ExecStart=/opt/zorva/sbin/zorvad"
[ -x "$root/opt/zorva/sbin/zorvad" ] || fail "no /opt/zorva/sbin/zorvad"
grep -q 'The bus policy went to /opt/zorva/share/dbus-1/system.d' "$root.log" ||
  fail "an install to /opt/zorva does not warn about the bus policy: $(cat "$root.log")"

if [ $failures -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "install layout: all checks passed"
