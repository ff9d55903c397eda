#!/usr/bin/env bash
# The system bus policy as installed, on a private copy of the system bus: only root owns the
# service's name; root and members of the group "zorva" may call it, its status included; anyone
# else is refused; the service may tell a client of changes. Needs root (it runs programs as other users).
# Usage: policy_test.sh PATH_TO_ZORVAD PATH_TO_ZORVACTL PATH_TO_POLICY
set -uo pipefail
zorvad=$1
zorvactl=$2
policy=$3

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: needs root to run clients as other users"
  exit 77
fi
for program in dbus-daemon busctl setpriv groupadd; do
  if ! command -v "$program" >/dev/null; then
    echo "SKIP: $program is not installed"
    exit 77
  fi
done

work=$(mktemp -d)
chmod 755 "$work"  # the bus socket must be reachable for the unprivileged users
pids=()
created_group=no
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  [ "$created_group" = yes ] && groupdel zorva
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

# The group exists on an installed system (the package's sysusers entry); a test machine may
# lack it.
if ! getent group zorva >/dev/null; then
  groupadd --system zorva || exit 1
  created_group=yes
fi

# The system bus's own configuration, with its own socket, in the foreground, as the current
# user, and with this policy in place of every installed one.
sed -e "s#<listen>.*</listen>#<listen>unix:path=$work/system_bus_socket</listen>#" \
  -e '/<user>/d' -e '/<fork\/>/d' -e '/<pidfile>/d' -e '/<syslog\/>/d' \
  -e '/<servicehelper>/d' -e '/<standard_system_servicedirs\/>/d' \
  -e '/<includedir>/d' -e '/<include /d' \
  -e "s#</busconfig>#  <include>$policy</include>\n</busconfig>#" \
  /usr/share/dbus-1/system.conf >"$work/system.conf"
mkfifo "$work/address"
dbus-daemon --config-file="$work/system.conf" --nofork --print-address=1 >"$work/address" \
  2>"$work/bus.log" &
pids+=($!)
if ! read -r -t 30 address <"$work/address"; then
  echo "FAIL: the bus did not start:"
  cat "$work/bus.log"
  exit 1
fi

as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
as_member=(setpriv --reuid=nobody --regid=nogroup --groups=zorva)

# Starts zorvad as the given user (a command prefix) and waits for its control interface to
# listen or give up; its log is in $work/zorvad-$1.log.
start_service() {  # start_service NAME [command prefix...]
  local name=$1
  shift
  local log="$work/zorvad-$name.log"
  # Closed to others: a folder of another user that others may enter is refused.
  mkdir -m 700 "$work/state-$name"
  chown nobody "$work/state-$name"
  mkfifo "$work/in-$name"
  exec 4<>"$work/in-$name"
  ZORVA_BUS="$address" ZORVA_STATE_DIR="$work/state-$name" ZORVA_LOG=stderr \
    ZORVA_EVENT_SOURCE=replay:- "$@" "$zorvad" <"$work/in-$name" 2>"$log" 4>&- &
  pids+=($!)
  for _ in $(seq 300); do
    grep -q 'XPC: listening\|XPC: no listener\|XPC: threw' "$log" && return
    sleep 0.1
  done
}

# Owning the name: refused to an ordinary user, who then runs without a control interface.
start_service nobody "${as_nobody[@]}"
grep -q "ERROR: XPC: no listener" "$work/zorvad-nobody.log" ||
  fail "zorvad as nobody: expected \"XPC: no listener\" in: $(cat "$work/zorvad-nobody.log")"
grep -q "XPC: cannot own com.zorva.client.extension.xpc" "$work/zorvad-nobody.log" ||
  fail "zorvad as nobody: no reason given"
exec 4>&-

start_service root
grep -q "XPC: listening" "$work/zorvad-root.log" ||
  fail "zorvad as root: not listening: $(cat "$work/zorvad-root.log")"

check() {  # check NAME EXPECTED_STATUS EXPECTED_TEXT -- command...
  local name=$1 want=$2 text=$3
  shift 4
  local out status
  out=$("$@" 2>&1 4>&-)
  status=$?
  if [ "$status" -ne "$want" ] || ! grep -qF -- "$text" <<<"$out"; then
    fail "$name: status $status (want $want), output: $out"
  else
    echo "ok   $name"
  fi
}
call=(busctl --address="$address" call com.zorva.client.extension.xpc /com/zorva/client/extension
  com.zorva.ZorvaServerXPCProtocol)
check root-zorvactl 0 pong -- "$zorvactl" --bus="$address" ping
check root-busctl 0 's "pong"' -- "${call[@]}" Ping s hi
check member-zorvactl 0 pong -- "${as_member[@]}" "$zorvactl" --bus="$address" ping
check member-busctl 0 'b false' -- "${as_member[@]}" "${call[@]}" IsRunning
check nobody-zorvactl 1 "zorvactl: the service cannot be reached" -- \
  "${as_nobody[@]}" "$zorvactl" --bus="$address" ping
check nobody-busctl 1 "Access denied" -- "${as_nobody[@]}" "${call[@]}" Ping s hi
check nobody-token 1 "cannot be reached" -- \
  "${as_nobody[@]}" "$zorvactl" --bus="$address" token stolen
grep -q "SaveDeviceToken\|stolen" "$work/zorvad-root.log" && fail "a refused token reached the service"
status_call=(busctl --address="$address" call com.zorva.client.extension.xpc
  /com/zorva/client/extension com.zorva.Status1 GetStatus)
check root-status 0 '"deviceKeyHeld"' -- "$zorvactl" --bus="$address" status --json
check member-status 0 'uptime' -- "${as_member[@]}" "$zorvactl" --bus="$address" status
check member-status-busctl 0 's "{' -- "${as_member[@]}" "${status_call[@]}"
check nobody-status 1 "Access denied" -- "${as_nobody[@]}" "${status_call[@]}"
check nobody-zorvactl-status 1 "cannot be reached" -- \
  "${as_nobody[@]}" "$zorvactl" --bus="$address" status

# A member watching a volume is told of a change the service sees under it.
"${as_member[@]}" "$zorvactl" --bus="$address" watch 7 /media/usb >"$work/changes" \
  2>"$work/watch.log" 4>&- &
pids+=($!)
for _ in $(seq 300); do
  grep -q 'watching volume' "$work/watch.log" && break
  sleep 0.1
done
echo '{"event": "LINK", "pid": 5, "ppid": 4, "executable": "/usr/bin/ln", "platform": true, "source": "/media/usb/a", "target_dir": "/media/usb", "target_filename": "b"}' >&4
for _ in $(seq 300); do
  [ -s "$work/changes" ] && break
  sleep 0.1
done
if [ "$(cat "$work/changes")" = /media/usb/b ]; then
  echo "ok   member-watch"
else
  fail "member-watch: changes \"$(cat "$work/changes")\", watch said: $(cat "$work/watch.log")"
fi
exec 4>&-

exit $((failures > 0))
