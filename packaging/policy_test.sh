#!/usr/bin/env bash
# The system bus policy on a private copy of the system bus, with programs run as other users
# (so as root): only root owns the name, root and the group "zorva" may call, others are refused.
# The service runs on a trace replayed from its standard input, end to end.
# Usage: policy_test.sh PATH_TO_ZORVAD PATH_TO_ZORVACTL PATH_TO_POLICY
set -uo pipefail
zorvad=$1
skip() { echo "SKIP: $*" && exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root to run clients as other users"
for tool in dbus-daemon busctl setpriv groupadd; do command -v $tool >/dev/null || skip "no $tool"; done
work=$(mktemp -d)
chmod 755 "$work"  # the bus socket must be reachable for the unprivileged users
created_group=no  # the package's sysusers entry makes it; a test machine may lack it
getent group zorva >/dev/null || { groupadd --system zorva && created_group=yes; } || exit 1
trap 'kill $(jobs -p) 2>/dev/null; wait; [ $created_group = yes ] && groupdel zorva; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL $*" && failures=$((failures + 1)); }
seen() { for _ in $(seq 300); do grep -q "$2" "$1" 2>/dev/null && return; sleep 0.1; done; return 1; }

# The system bus's own configuration, its own socket, in the foreground, with only this policy.
sed -e "s#<listen>.*</listen>#<listen>unix:path=$work/system_bus_socket</listen>#" \
  -e '/<user>/d;/<fork\/>/d;/<pidfile>/d;/<syslog\/>/d;/<servicehelper>/d' \
  -e '/<standard_system_servicedirs\/>/d;/<includedir>/d;/<include /d' \
  -e "s#</busconfig>#  <include>$3</include>\n</busconfig>#" \
  /usr/share/dbus-1/system.conf >"$work/system.conf"
dbus-daemon --config-file="$work/system.conf" --nofork --print-address=1 >"$work/address" \
  2>"$work/bus.log" &
seen "$work/address" unix || { echo "FAIL: the bus did not start" && exit 1; }
address=$(head -n 1 "$work/address")
as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
as_member=(setpriv --reuid=nobody --regid=nogroup --groups=zorva)

# start_service NAME [PREFIX...]: zorvad on a trace written to descriptor 4, logging to
# $work/NAME.log, until its control interface listens or gives up.
start_service() {
  mkdir -m 700 "$work/state-$1" && chown nobody "$work/state-$1"
  mkfifo "$work/in-$1"
  exec 4<>"$work/in-$1"
  ZORVA_BUS="$address" ZORVA_STATE_DIR="$work/state-$1" ZORVA_LOG=stderr \
    ZORVA_EVENT_SOURCE=replay:- "${@:2}" "$zorvad" <"$work/in-$1" 2>"$work/$1.log" 4>&- &
  seen "$work/$1.log" 'XPC: listening\|XPC: no listener\|XPC: threw'
}
# Owning the name is refused to an ordinary user, who then runs without a control interface.
start_service nobody "${as_nobody[@]}"
grep -q "ERROR: XPC: no listener" "$work/nobody.log" &&
  grep -q "XPC: cannot own com.zorva.client.extension.xpc" "$work/nobody.log" ||
  fail "zorvad as nobody: $(cat "$work/nobody.log")"
exec 4>&-
start_service root
service=$!
grep -q "XPC: listening" "$work/root.log" || fail "zorvad as root: $(cat "$work/root.log")"

check() {  # check NAME EXPECTED_STATUS EXPECTED_TEXT COMMAND...
  local out status
  out=$("${@:4}" 2>&1 4>&-)
  status=$?
  [ $status -eq "$2" ] && grep -qF -- "$3" <<<"$out" && echo "ok   $1" ||
    fail "$1: status $status (want $2), output: $out"
}
ctl=("$2" --bus="$address")
to=(busctl --address="$address" call com.zorva.client.extension.xpc /com/zorva/client/extension)
check root-zorvactl 0 pong "${ctl[@]}" ping
check member-busctl 0 'b false' "${as_member[@]}" "${to[@]}" com.zorva.ZorvaServerXPCProtocol IsRunning
check nobody-zorvactl 1 "zorvactl: the service cannot be reached" "${as_nobody[@]}" "${ctl[@]}" ping
check nobody-token 1 "cannot be reached" "${as_nobody[@]}" "${ctl[@]}" token stolen
grep "SaveDeviceToken\|stolen" "$work/root.log" && fail "a refused token reached the service"
check root-status 0 '"deviceKeyHeld"' "${ctl[@]}" status --json
check member-status 0 'uptime' "${as_member[@]}" "${ctl[@]}" status
check nobody-status 1 "Access denied" "${as_nobody[@]}" "${to[@]}" com.zorva.Status1 GetStatus

# A member watching a volume is told of a change the service sees under it.
"${as_member[@]}" "${ctl[@]}" watch 7 /media/usb >"$work/changes" 2>"$work/watch.log" 4>&- &
seen "$work/watch.log" 'watching volume'
echo '{"event": "LINK", "pid": 5, "ppid": 4, "executable": "/usr/bin/ln", "platform": true, "source": "/media/usb/a", "target_dir": "/media/usb", "target_filename": "b"}' >&4
seen "$work/changes" . && [ "$(cat "$work/changes")" = /media/usb/b ] && echo "ok   member-watch" ||
  fail "member-watch: changes \"$(cat "$work/changes")\", watch said: $(cat "$work/watch.log")"
# A transfer out of it and a bad line are logged, the end of input said, and the service runs on.
printf '%s\n' '{"event": "RENAME", "pid": 5, "ppid": 4, "executable": "/usr/bin/mv", "platform": true, "source": "/media/usb/a", "dir": "/tmp", "filename": "b"}' 'not json' >&4
exec 4>&-
seen "$work/root.log" "replay: end of input after 3 lines" && kill -0 $service &&
  [[ $(cat "$work/root.log") == "ZORVA_LOG: launch app: "*"REMOTE: track: RENAME: /media/usb/a, /tmp/b, /usr/bin/mv"* ]] &&
  grep -q "ERROR: replay: line 3:" "$work/root.log" && echo "ok   replay" || fail "replay: $(cat "$work/root.log")"
exit $((failures > 0))
