#!/usr/bin/env bash
# The zorvad program as its users meet it: flags, configuration errors, start-up failures and a
# replayed trace, with the watched volume registered by zorvactl over a private bus.
# Usage: zorvad_test.sh PATH_TO_ZORVAD PATH_TO_ZORVACTL
set -uo pipefail
zorvad=$1
# shellcheck source=scripts/lib/private-bus.sh
source "$(dirname "$0")/../scripts/lib/private-bus.sh"
state=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$state"' EXIT
export ZORVA_STATE_DIR="$state/parent/state/" ZORVA_LOG=stderr
failures=0
fail() { echo "FAIL $1"; [ $# -lt 2 ] || sed 's/^/    /' <<<"$2"; failures=$((failures + 1)); }
check() {  # check NAME EXPECTED_STATUS EXPECTED_TEXT COMMAND...
  local out status
  out=$("${@:4}" 2>&1)
  status=$?
  [ $status -eq "$2" ] && grep -qF -- "$3" <<<"$out" && echo "ok   $1" ||
    fail "$1: status $status (want $2), output:" "$out"
}
check version 0 "0." "$zorvad" --version
check help 0 "ZORVA_EVENT_SOURCE" "$zorvad" --help
check unknown-flag 2 "--bogus" "$zorvad" --bogus
# Each bad value's message is Config_test's; here, the status and the prefix.
check url-with-query 2 'zorvad: ZORVA_BACKEND_URL="https://host?x=1": a base URL cannot have a query' \
  env ZORVA_BACKEND_URL='https://host?x=1' "$zorvad"
touch "$state/file"
for bad in /proc/zorva "$state/file" "$state/file/sub"; do
  check "bad-state-dir $bad" 2 "ZORVA_STATE_DIR=\"$bad\"" env ZORVA_STATE_DIR="$bad" "$zorvad"
done
if [ "$(id -u)" -eq 0 ]; then
  mkdir -m 755 "$state/foreign" && chown 65534 "$state/foreign"
  check foreign-state-dir 1 "ZORVA_STATE_DIR=\"$state/foreign\": the folder belongs to user 65534" \
    env ZORVA_STATE_DIR="$state/foreign" "$zorvad"
  # Whoever owns it can read the key or swap the files: left as it is, and used once closed.
  [ "$(stat -c %a "$state/foreign")" = 755 ] || fail "foreign-state-dir: its mode was changed"
  chmod 700 "$state/foreign"
  check foreign-closed 1 "Failed to create new ES client" env ZORVA_STATE_DIR="$state/foreign" \
    ZORVA_EVENT_SOURCE="replay:$state/none" "$zorvad"
fi
# The stores are open by the time the event source fails; a umask that takes nothing away still
# leaves every file the service made its own.
check replay-missing 1 "Failed to create new ES client" bash -c 'umask 000 && exec "$@"' - \
  env ZORVA_EVENT_SOURCE="replay:$state/no-such.trace" "$zorvad"
[ -f "$ZORVA_STATE_DIR/defaults.sqlite3" ] && [ -z "$(find "$ZORVA_STATE_DIR" -perm /077)" ] ||
  fail "private-state: no settings store, or open to others:" "$(ls -lR "$ZORVA_STATE_DIR")"
# As an earlier version left them: the service closes them again, and says so after its launch line.
chmod 755 "$ZORVA_STATE_DIR"
chmod 644 "$ZORVA_STATE_DIR/defaults.sqlite3"

# A trace on standard input, with /media/usb registered as volume 7 through the control
# interface once the service listens: the service reports the transfer out of it and the bad
# line, says when the input ends, and keeps running until it is stopped.
start_private_bus "$state"
mkfifo "$state/in" "$state/out"
# The writing end is held here, so the service sees its input end only when this script says so.
exec 4<>"$state/in"
ZORVA_BUS="$bus_address" ZORVA_EVENT_SOURCE=replay:- "$zorvad" <"$state/in" >"$state/out" 2>&1 4>&- &
pid=$!
exec 3<"$state/out"
seen=""
registered=no
# Lines may come in any order across queues: read until all have been seen (or a line fails to
# come for a long time, when something is broken and the checks below say what).
while IFS= read -r -t 30 line <&3; do
  seen+="$line"$'\n'
  if [ $registered = no ] && [[ $seen == *"XPC: listening"* ]]; then
    registered=yes
    "$2" --bus="$bus_address" add-volume 7 /media/usb 4>&- || fail "replay-stdin: add-volume failed"
    printf '%s\n' '{"event": "RENAME", "pid": 5, "ppid": 4, "executable": "/usr/bin/mv", "platform": true, "source": "/media/usb/a", "dir": "/tmp", "filename": "b"}' 'not json' >&4
    exec 4>&-
  fi
  [[ $seen == *"end of input"* && $seen == *"dispatch_main"* && $seen == *"REMOTE: track"* ]] && break
done
kill -0 "$pid" 2>/dev/null || fail "replay-stdin: the service stopped at the end of its input"
[[ $seen == "ZORVA_LOG: launch app: "* ]] || fail "replay-stdin: the log does not begin with the launch line:" "$seen"
[ -z "$(find "$ZORVA_STATE_DIR" -perm /077)" ] || fail "replay-stdin: still open to others"
for want in "dispatch_main" "XPC: listening" "XPC: new connection " \
  "was open to other users (mode 755); made it 0700" "made 0600: defaults.sqlite3" \
  "PathTracker: addPath: 7, /media/usb/" \
  "PathTracker.track: volumeId: 7, /a => /tmp/b" "REMOTE: track: RENAME: /media/usb/a, /tmp/b" \
  "ERROR: replay: line 2:" "replay: end of input after 2 lines"; do
  grep -qF -- "$want" <<<"$seen" || fail "replay-stdin: missing \"$want\" in:" "$seen"
done
[ "$failures" -eq 0 ] && echo "ok   replay-stdin"
exit $((failures > 0))
