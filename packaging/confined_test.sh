#!/usr/bin/env bash
# zorvad under its installed unit's capabilities, no new privileges, umask and ProtectSystem=strict,
# applied by hand since no systemd runs here. Files copied, moved and written out of a drive mounted
# later must reach the backend, the kernel must still filter, the service must log no error, and
# make no system call the unit's filter refuses.
# Usage: confined_test.sh BUILD_DIR PATH_TO_ZORVA_DEVBACKEND
set -uo pipefail
skip() { echo "skip: $*" && exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root: fanotify, mounts and capabilities"
[ -d /proc/sys/fs/fanotify ] || skip "this kernel has no fanotify"
unshare --mount true 2>/dev/null || skip "no mount namespace can be made here"
# shellcheck source=scripts/lib/private-bus.sh
source "$(dirname "$0")/../scripts/lib/private-bus.sh"
work=$(mktemp -d)
out=/tmp/zorva-confined.$$
confined=""
cleanup() {
  # The service, not strace, which ignores the signal. (read fails on the unended list, sets pid.)
  [ -n "$confined" ] && read -r pid 2>/dev/null <"/proc/$confined/task/$confined/children"
  # shellcheck disable=SC2046
  kill "${pid:-$confined}" $(jobs -p) 2>/dev/null
  wait 2>/dev/null
  # A service still letting go of a file keeps a mount busy; it must not outlive the test.
  for mount in "$work/drive" "$work"; do umount "$mount" 2>/dev/null || umount -l "$mount" 2>/dev/null; done
  rm -rf "$work" "$out".*
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL $*" && failures=$((failures + 1)); }
die() { echo "FAIL $*" && cat "$work/zorvad.log" 2>/dev/null && exit 1; }
seen() { for _ in $(seq 150); do grep -qF -- "$2" "$1" 2>/dev/null && return; sleep 0.1; done; return 1; }

root="$work/root"
DESTDIR="$root" cmake --install "$1" --prefix /usr >"$work/install.log" 2>&1 ||
  die "cmake --install: $(cat "$work/install.log")"
unit="$root/usr/lib/systemd/system/zorvad.service"
values() { sed -n "s/^$1=//p" "$unit"; }
read -r -a caps <<<"$(values CapabilityBoundingSet | tr '[:upper:]' '[:lower:]' | sed 's/cap_//g')"
[ ${#caps[@]} -gt 0 ] && [[ ${caps[*]} != *"~"* ]] || fail "no capability allow list to apply"
[ "$(values ProtectSystem)/$(values NoNewPrivileges)" = strict/yes ] || fail "no ProtectSystem=strict, NoNewPrivileges=yes"
# expand NAME...: the system calls of each name, with @groups expanded down to their calls.
expand() {
  for item in "$@"; do
    [[ $item == @* ]] || { echo "$item" && continue; }
    # shellcheck disable=SC2046
    expand $(systemd-analyze syscall-filter --no-pager "$item" 2>/dev/null |
      sed -n 's/^    \([@a-z0-9_-]*\)$/\1/p')
  done
}
allowed=$(values SystemCallFilter | grep -v '^~')
denied=$(values SystemCallFilter | sed -n 's/^~//p')
[ -n "$allowed" ] || fail "the unit has no system call allow list"
# shellcheck disable=SC2086
permitted=$(comm -23 <(expand $allowed | sort -u) <(expand $denied | sort -u))

# A folder whose mounts reach the service's namespace later, as the host's do under systemd.
mkdir -m 0700 "$work/state" && mkdir "$work/drive"
mount --bind "$work" "$work" && mount --make-private "$work" && mount --make-shared "$work" ||
  die "cannot make $work a shared mount"
start_private_bus "$work"
[ -n "$bus_address" ] || die "the private bus did not start"
# The backend over HTTPS: the service's TLS calls count too.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
  -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout "$work/key.pem" \
  -out "$work/cert.pem" 2>/dev/null || die "cannot make a certificate"
"$2" --port 0 --cert "$work/cert.pem" --key "$work/key.pem" --log "$work/backend.log" \
  >"$work/backend.out" 2>&1 &
seen "$work/backend.out" "listening " || die "the backend did not start"
backend=$(sed -n 's/^listening //p' "$work/backend.out")
# A shell started before the service, and with every capability, copies a file itself: the
# service can name its program only from /proc/PID/exe, which the kernel guards like ptrace.
mkfifo "$work/cue"
(read -r _ <"$work/cue" && IFS= read -r -d '' text <"$work/drive/written.txt"
  printf '%s' "$text" >"$out.written") &
shell_program=$(readlink "/proc/$!/exe")

# Inside: every mount read-only but the API filesystems and the state folder, then the unit's
# capabilities, umask and no new privileges, with strace counting the service's calls.
exec 5>"$work/syscalls"
ZORVA_BUS=$bus_address ZORVA_BACKEND_URL=$backend ZORVA_ANALYTICS_URL=$backend \
  ZORVA_CA_FILE="$work/cert.pem" ZORVA_STATE_DIR="$work/state" ZORVA_LOG=stderr \
  unshare --mount --propagation slave -- bash -c '
    set -e
    findmnt -rno TARGET | grep -Ev "^/(proc|sys|dev)(/|$)" | while read -r target; do
      mount -o remount,bind,ro "$(printf "%b" "$target")"
    done
    mount --bind "$ZORVA_STATE_DIR" "$ZORVA_STATE_DIR"
    mount -o remount,bind,rw "$ZORVA_STATE_DIR"
    umask "$1"
    exec setpriv --nnp --inh-caps=-all --ambient-caps=-all --bounding-set="$2" -- \
      strace -f -qq -c -U name -o /dev/fd/5 -- "$3"
  ' - "$(values UMask)" "-all$(printf ',+%s' "${caps[@]}")" "$root$(values ExecStart)" \
  >"$work/zorvad.log" 2>&1 5>&5 &
confined=$!
exec 5>&-
seen "$work/zorvad.log" "XPC: listening" || die "the confined service did not start"

mount -t tmpfs -o size=16m zorva-confined "$work/drive" || die "cannot mount a tmpfs drive"
seen "$work/zorvad.log" "fanotify: watching $work/drive (tmpfs) fully" ||
  die "the service did not watch the drive mounted on the host"
# Written by a family of their own, as a drive's files are, not by that of the copies.
(head -c 300000 /dev/urandom >"$work/drive/copied.bin" && head -c 200000 /dev/urandom >"$work/drive/moved.bin"
  head -c 100000 /dev/urandom | base64 -w 0 >"$work/drive/written.txt")
ctl() { "$root/usr/bin/zorvactl" --bus "$bus_address" "$@" >/dev/null || die "zorvactl $*"; }
ctl token confined-device-key
ctl add-volume 7 "$work/drive"
seen "$work/zorvad.log" "PathTracker: addPath: 7," || die "the volume was not registered"
cp "$work/drive/copied.bin" "$out.copied"
mv "$work/drive/moved.bin" "$out.moved"
echo go >"$work/cue"
for dest in "$out".{copied,moved,written}; do
  seen "$work/backend.log" "\"dest\\\":\\\"$dest\\\"" || fail "no audit event names $dest"
done
grep -qF "tracking: ${work,,}/drive/written.txt exec: $shell_program" "$work/zorvad.log" ||
  fail "the program of the shell started before the service is unknown"

# The state folder is bound onto itself, so its filesystem has two mounts there: the kernel must
# still drop the opens in its folders that hold no watched file (evictable ignore marks).
read -r service_pid <"/proc/$confined/task/$confined/children"
read -r major minor < <(stat -c '%Hd %Ld' "$work/state")
device=$(printf '%x' $((major << 20 | minor)))
ignore_marks=0
for flags in $(cat "/proc/$service_pid/fdinfo/"* 2>/dev/null | sed -n "s/.*sdev:$device mflags:\([0-9a-f]*\).*/\1/p"); do
  ((0x$flags & 0x200)) && ignore_marks=1
done
[ $ignore_marks = 1 ] || fail "no folder of the state folder's filesystem is filtered in the kernel"

# strace writes its count once the service stops. Errors, and the lines of a service that lost
# part of its sight, fail the test.
kill "$service_pid"
wait "$confined"
grep -E 'ERROR|cannot be read|could not be read|filtering is off' "$work/zorvad.log" &&
  fail "the service logged the lines above"
made=$(sed -n '/^---/,/^---/{/^---/d;p}' "$work/syscalls" | sort -u)
[ -n "$made" ] || fail "strace counted no system calls: $(cat "$work/syscalls")"
refused=$(comm -23 <(echo "$made") <(echo "$permitted"))
[ -z "$refused" ] || fail "system calls the unit's filter refuses: $(echo $refused)"
[ $failures -eq 0 ] || die "$failures failure(s)"
echo "confined service: $(echo "$made" | wc -l) distinct system calls, all checks passed"
