#!/usr/bin/env bash
# What `cmake --install` places, staged under a temporary DESTDIR: the files and nothing else, a
# unit that names zorvad where it was installed and keeps the state folder private, a group entry
# systemd-sysusers accepts, and a unit systemd-analyze finds nothing wrong with. Checked
# statically: enabling and starting the unit needs a machine booted with systemd.
# Usage: install_test.sh BUILD_DIR
set -uo pipefail
build=$1

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
