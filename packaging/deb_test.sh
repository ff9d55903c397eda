#!/usr/bin/env bash
# The Debian package on this machine, for real: installed, upgraded to a higher version made by
# repacking it, removed and purged. The machine is left as it was (purged) whatever happens.
# Off systemd the install must say that it did not start the service; under systemd the service
# must be enabled and running.
# Usage (as root): deb_test.sh OUT_DEB
set -uo pipefail
deb=$(realpath "$1")

if [ "$(id -u)" -ne 0 ]; then
  echo "skip: installing a package needs root"
  exit 77
fi
for present in /usr/sbin/zorvad /usr/bin/zorvactl /var/lib/zorva; do
  if [ -e "$present" ]; then
    echo "skip: $present is already on this machine, and the test would replace or remove it"
    exit 77
  fi
done
if dpkg-query -W zorva >/dev/null 2>&1 || getent group zorva >/dev/null; then
  echo "skip: zorva is already installed here (package or group), and the test would purge it"
  exit 77
fi

work=$(mktemp -d)
# None of these was here before (above): whatever a broken package leaves, they go.
restore() {
  dpkg --purge zorva >/dev/null 2>&1
  rm -rf /var/lib/zorva "$work"
  getent group zorva >/dev/null && groupdel zorva
}
trap restore EXIT
failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}
systemd=false
[ -d /run/systemd/system ] && systemd=true

# --- Install.
if ! dpkg -i "$deb" >"$work/install.log" 2>&1; then
  cat "$work/install.log"
  echo "FAIL dpkg -i $deb"
  exit 1
fi
version=$(dpkg-query -W -f='${Version}' zorva)
if $systemd; then
  [ "$(systemctl is-enabled zorvad)" = enabled ] || fail "the unit is not enabled"
  [ "$(systemctl is-active zorvad)" = active ] || fail "the service is not running"
else
  said=$(grep -c 'not started: systemd is not running' "$work/install.log")
  [ "$said" = 1 ] || fail "the install does not say once that it did not start zorvad:
$(cat "$work/install.log")"
fi

# Where the pages say things are: each program in its section's folder, each file of FILES that
# the package brings (the state folder is the service's own).
[ "$(man -w 8 zorvad 2>/dev/null)" = /usr/share/man/man8/zorvad.8.gz ] || fail "man -w 8 zorvad"
[ "$(man -w 1 zorvactl 2>/dev/null)" = /usr/share/man/man1/zorvactl.1.gz ] || fail "man -w zorvactl"
[ -x /usr/sbin/zorvad ] || fail "no /usr/sbin/zorvad, as for a page in section 8"
[ -x /usr/bin/zorvactl ] || fail "no /usr/bin/zorvactl, as for a page in section 1"
files=$(zcat /usr/share/man/man8/zorvad.8.gz /usr/share/man/man1/zorvactl.1.gz |
  sed -n '/^\.SH FILES/,/^\.SH/s/^\.I //p' | sed 's/\\-/-/g' | grep -v '^/var/lib/zorva' | sort -u)
[ -n "$files" ] || fail "the pages name no file under FILES"
for file in $files; do
  [ -f "$file" ] || fail "$file, named under FILES, is not there"
done

[ "$(/usr/sbin/zorvad --version)" = "$version" ] || fail "zorvad --version is not $version"
getent group zorva >/dev/null || fail "no group zorva after the install"

# Once the service is not running, the client says so in one line and exits 1.
if grep -q '^  status ' <<<"$(/usr/bin/zorvactl --help)"; then
  $systemd && systemctl stop zorvad
  /usr/bin/zorvactl status >"$work/status.out" 2>"$work/status.err"
  status=$?
  [ $status -eq 1 ] && [ "$(wc -l <"$work/status.err")" -eq 1 ] ||
    fail "zorvactl status without the service: exit $status, stderr: $(cat "$work/status.err")"
fi

# --- Upgrade to the same files under a higher version; the state folder is kept.
dpkg-deb -R "$deb" "$work/next"
sed -i "s/^Version: .*/Version: $version+1/" "$work/next/DEBIAN/control"
dpkg-deb --root-owner-group -b "$work/next" "$work/next.deb" >/dev/null
install -d -m 0700 /var/lib/zorva
echo kept >/var/lib/zorva/kept
if dpkg -i "$work/next.deb" >"$work/upgrade.log" 2>&1; then
  [ "$(dpkg-query -W -f='${Version}' zorva)" = "$version+1" ] || fail "the upgrade did not happen"
else
  fail "dpkg -i of version $version+1 over $version: $(cat "$work/upgrade.log")"
fi
[ "$(cat /var/lib/zorva/kept 2>/dev/null)" = kept ] || fail "the upgrade lost /var/lib/zorva/kept"

# --- Removal: nothing the package brought is left, but the state folder and folders that are not
# the package's alone (those other packages own too, "/", and /lib, a link on a merged /usr).
dpkg -L zorva | grep -vx '/\.' >"$work/files"
dpkg --remove zorva >"$work/remove.log" 2>&1 || fail "dpkg --remove: $(cat "$work/remove.log")"
while read -r path; do
  [ -e "$path" ] || [ -L "$path" ] || continue
  [ -d "$path" ] && { [ -L "$path" ] || dpkg-query -S "$path" >/dev/null 2>&1; } && continue
  fail "$path is left after dpkg --remove"
done <"$work/files"
[ -f /var/lib/zorva/kept ] || fail "dpkg --remove took the state folder"

# --- Purge: the state folder and the group go too.
dpkg --purge zorva >"$work/purge.log" 2>&1 || fail "dpkg --purge: $(cat "$work/purge.log")"
[ -e /var/lib/zorva ] && fail "/var/lib/zorva is left after dpkg --purge"
getent group zorva >/dev/null && fail "the group zorva is left after dpkg --purge"
leftovers=$(find /etc/systemd /var/lib/systemd -name 'zorvad*' 2>/dev/null)
[ -z "$leftovers" ] || fail "systemd's links and records of the unit are left: $leftovers"

if [ $failures -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "package $version: install, upgrade, removal and purge: all checks passed"
