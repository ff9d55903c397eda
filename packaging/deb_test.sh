#!/usr/bin/env bash
# The Debian package on this machine, for real: installed, upgraded to a repacked higher version,
# removed and purged; the machine is left purged whatever happens.
# Usage (as root): deb_test.sh OUT_DEB
set -uo pipefail
deb=$(realpath "$1")
skip() { echo "skip: $*" && exit 77; }
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
for present in /usr/sbin/zorvad /usr/bin/zorvactl /var/lib/zorva; do [ -e "$present" ] && skip "$present is here"; done
dpkg-query -W zorva >/dev/null 2>&1 || getent group zorva >/dev/null &&
  skip "zorva is already installed here (package or group), and the test would purge it"
work=$(mktemp -d)
trap 'dpkg --purge zorva &>/dev/null; rm -rf /var/lib/zorva "$work"; getent group zorva >/dev/null && groupdel zorva' EXIT
failures=0
fail() { echo "FAIL $*" && failures=$((failures + 1)); }
run() { "${@:2}" >"$work/$1.log" 2>&1 || { fail "${*:2}: $(cat "$work/$1.log")" && return 1; }; }

run install dpkg -i "$deb" || exit 1
version=$(dpkg-query -W -f='${Version}' zorva)
if [ -d /run/systemd/system ]; then
  [ "$(systemctl is-enabled zorvad)" = enabled ] || fail "the unit is not enabled"
  [ "$(systemctl is-active zorvad)" = active ] || fail "the service is not running"
else
  [ "$(grep -c 'not started: systemd is not running' "$work/install.log")" = 1 ] ||
    fail "the install does not say once that it did not start zorvad: $(cat "$work/install.log")"
fi
# Each program where its page's section says, each file the pages name under FILES there.
[ "$(man -w 8 zorvad)" = /usr/share/man/man8/zorvad.8.gz ] && [ -x /usr/sbin/zorvad ] ||
  fail "zorvad and its page in section 8"
[ "$(man -w 1 zorvactl)" = /usr/share/man/man1/zorvactl.1.gz ] && [ -x /usr/bin/zorvactl ] ||
  fail "zorvactl and its page in section 1"
files=$(zcat /usr/share/man/man8/zorvad.8.gz /usr/share/man/man1/zorvactl.1.gz |
  sed -n '/^\.SH FILES/,/^\.SH/s/^\.I //p' | sed 's/\\-/-/g' | grep -v '^/var/lib/zorva' | sort -u)
[ -n "$files" ] || fail "the pages name no file under FILES"
for file in $files; do [ -f "$file" ] || fail "$file, named under FILES, is not there"; done
[ "$(/usr/sbin/zorvad --version)" = "$version" ] || fail "zorvad --version is not $version"
getent group zorva >/dev/null || fail "no group zorva after the install"

dpkg-deb -R "$deb" "$work/next"
sed -i "s/^Version: .*/Version: $version+1/" "$work/next/DEBIAN/control"
dpkg-deb --root-owner-group -b "$work/next" "$work/next.deb" >/dev/null
install -d -m 0700 /var/lib/zorva && echo kept >/var/lib/zorva/kept
run upgrade dpkg -i "$work/next.deb"
[ "$(dpkg-query -W -f='${Version}' zorva)" = "$version+1" ] || fail "the upgrade did not happen"
[ "$(cat /var/lib/zorva/kept)" = kept ] || fail "the upgrade lost /var/lib/zorva/kept"

# Removal: nothing the package brought is left but the state folder and folders that are not
# the package's alone (those other packages own too, "/", and /lib, a link on a merged /usr).
dpkg -L zorva | grep -vx '/\.' >"$work/files"
run remove dpkg --remove zorva
while read -r path; do
  [ -e "$path" ] || [ -L "$path" ] || continue
  [ -d "$path" ] && { [ -L "$path" ] || dpkg-query -S "$path" &>/dev/null; } && continue
  fail "$path is left after dpkg --remove"
done <"$work/files"
[ -f /var/lib/zorva/kept ] || fail "dpkg --remove took the state folder"
run purge dpkg --purge zorva
[ -e /var/lib/zorva ] && fail "/var/lib/zorva is left after dpkg --purge"
getent group zorva >/dev/null && fail "the group zorva is left after dpkg --purge"
leftovers=$(find /etc/systemd /var/lib/systemd -name 'zorvad*' 2>/dev/null)
[ -z "$leftovers" ] || fail "left after dpkg --purge: $leftovers"
[ $failures -eq 0 ] || { echo "$failures failure(s)" && exit 1; }
echo "package $version: install, upgrade, removal and purge: all checks passed"
