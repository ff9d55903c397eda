#!/usr/bin/env bash
# The zorvad program as its users meet it: flags, configuration errors, start-up failures and a
# replayed trace, with the watched volume registered by zorvactl over a private bus.
# Usage: zorvad_test.sh PATH_TO_ZORVAD PATH_TO_ZORVACTL
set -uo pipefail
zorvad=$1
zorvactl=$2
# shellcheck source=scripts/lib/private-bus.sh
source "$(dirname "$0")/../scripts/lib/private-bus.sh"
state=$(mktemp -d)
bus_pid=""
trap '[ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null; rm -rf "$state"' EXIT
export ZORVA_STATE_DIR="$state/state" ZORVA_LOG=stderr
failures=0
fail() {  # fail WHAT [OUTPUT]
  echo "FAIL $1"
  [ $# -lt 2 ] || printf '%s\n' "$2" | sed 's/^/    /'
  failures=$((failures + 1))
}
check() {  # check NAME EXPECTED_STATUS EXPECTED_TEXT -- command...
  local name=$1 want=$2 text=$3
  shift 4
  local out status
  out=$("$@" 2>&1)
  status=$?
  if [ "$status" -ne "$want" ] || ! grep -qF -- "$text" <<<"$out"; then
    fail "$name: status $status (want $want), output:" "$out"
  else
    echo "ok   $name"
  fi
}

check version 0 "0." -- "$zorvad" --version
check help 0 "ZORVA_EVENT_SOURCE" -- "$zorvad" --help
check unknown-flag 2 "--bogus" -- "$zorvad" --bogus
check bad-bus 2 'zorvad: ZORVA_BUS="nowhere"' -- env ZORVA_BUS=nowhere "$zorvad"
check bad-url 2 "ZORVA_BACKEND_URL" -- env ZORVA_BACKEND_URL=ftp://x "$zorvad"
check url-with-query 2 'zorvad: ZORVA_BACKEND_URL="https://host?x=1": a base URL cannot have a query' \
  -- env ZORVA_BACKEND_URL='https://host?x=1' "$zorvad"
check missing-ca 2 "ZORVA_CA_FILE" -- env ZORVA_CA_FILE="$state/none.pem" "$zorvad"
check bad-state-dir 2 "ZORVA_STATE_DIR" -- env ZORVA_STATE_DIR=/proc/zorva "$zorvad"
if [ "$(id -u)" -eq 0 ]; then
  mkdir -m 755 "$state/foreign"
  chown 65534 "$state/foreign"
  check foreign-state-dir 1 "ZORVA_STATE_DIR=\"$state/foreign\": the folder belongs to user 65534" \
    -- env ZORVA_STATE_DIR="$state/foreign" "$zorvad"
fi
# The stores are open by the time the event source fails; a umask that takes nothing away still
# leaves every file the service made its own.
check replay-missing 1 "Failed to create new ES client" -- bash -c 'umask 000 && exec "$@"' - \
  env ZORVA_EVENT_SOURCE="replay:$state/no-such.trace" "$zorvad"
open_to_others=$(find "$ZORVA_STATE_DIR" -perm /077)
if [ ! -f "$ZORVA_STATE_DIR/defaults.sqlite3" ] || [ -n "$open_to_others" ]; then
  fail "private-state: open to others: ${open_to_others:-(nothing; no settings store)}"
else
  echo "ok   private-state"
fi
# As an earlier version left them: the service closes them again, and says so after its launch line.
chmod 755 "$ZORVA_STATE_DIR"
chmod 644 "$ZORVA_STATE_DIR/defaults.sqlite3"

# A trace on standard input, with /media/usb registered as volume 7 through the control
# interface once the service listens: the service reports the transfer out of it and the bad
# line, says when the input ends, and keeps running until it is stopped.
start_private_bus "$state"
address=$bus_address
printf '%s\n' \
  '{"event": "RENAME", "pid": 5, "ppid": 4, "executable": "/usr/bin/mv", "platform": true, "source": "/media/usb/a", "dir": "/tmp", "filename": "b"}' \
  'not json' >"$state/trace"
mkfifo "$state/in" "$state/out"
# The writing end is held here, so the service sees its input end only when this script says so.
exec 4<>"$state/in"
ZORVA_BUS="$address" ZORVA_EVENT_SOURCE=replay:- "$zorvad" <"$state/in" >"$state/out" 2>&1 4>&- &
pid=$!
exec 3<"$state/out"
seen=""
registered=no
# Lines may come in any order across queues: read until all have been seen (or a line fails to
# come for a long time, when something is broken and the checks below say what).
while IFS= read -r -t 30 line <&3; do
  seen+="$line"$'\n'
  if [ "$registered" = no ] && [[ $seen == *"XPC: listening"* ]]; then
    registered=yes
    "$zorvactl" --bus="$address" add-volume 7 /media/usb 4>&- ||
      fail "replay-stdin: zorvactl add-volume failed"
    cat "$state/trace" >&4
    exec 4>&-
  fi
  [[ $seen == *"end of input"* && $seen == *"dispatch_main"* && $seen == *"REMOTE: track"* ]] &&
    break
done
running=no
kill -0 "$pid" 2>/dev/null && running=yes
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
exec 3<&-
[[ $seen == "ZORVA_LOG: launch app: "* ]] ||
  fail "replay-stdin: the log does not begin with the launch line:" "$seen"
open_to_others=$(find "$ZORVA_STATE_DIR" -perm /077)
[ -z "$open_to_others" ] || fail "replay-stdin: still open to others: $open_to_others"
for want in "launch app: " "dispatch_main" "XPC: listening" "XPC: new connection " \
  "was open to other users (mode 755); made it 0700" "made 0600: defaults.sqlite3" \
  "PathTracker: addPath: 7, /media/usb/" \
  "PathTracker.track: volumeId: 7, /a => /tmp/b" "REMOTE: track: RENAME: /media/usb/a, /tmp/b" \
  "ERROR: replay: line 2:" "replay: end of input after 2 lines"; do
  grep -qF -- "$want" <<<"$seen" || fail "replay-stdin: missing \"$want\" in:" "$seen"
done
[ "$running" = yes ] || fail "replay-stdin: the service stopped at the end of its input"
[ "$failures" -eq 0 ] && echo "ok   replay-stdin"
exit $((failures > 0))
