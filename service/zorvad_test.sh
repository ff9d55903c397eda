#!/usr/bin/env bash
# The zorvad program as its users meet it: flags, configuration errors, start-up failures and a
# replayed trace. Usage: zorvad_test.sh PATH_TO_ZORVAD
set -uo pipefail
zorvad=$1
state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
export ZORVA_STATE_DIR="$state/state" ZORVA_LOG=stderr
failures=0

check() {  # check NAME EXPECTED_STATUS EXPECTED_TEXT -- command...
  local name=$1 want=$2 text=$3
  shift 4
  local out status
  out=$("$@" 2>&1)
  status=$?
  if [ "$status" -ne "$want" ] || ! grep -qF -- "$text" <<<"$out"; then
    echo "FAIL $name: status $status (want $want), output:"
    printf '%s\n' "$out" | sed 's/^/    /'
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

check version 0 "0." -- "$zorvad" --version
check help 0 "ZORVA_EVENT_SOURCE" -- "$zorvad" --help
check unknown-flag 2 "--bogus" -- "$zorvad" --bogus
check bad-bus 2 'zorvad: ZORVA_BUS="nowhere"' -- env ZORVA_BUS=nowhere "$zorvad"
check bad-url 2 "ZORVA_BACKEND_URL" -- env ZORVA_BACKEND_URL=ftp://x "$zorvad"
check missing-ca 2 "ZORVA_CA_FILE" -- env ZORVA_CA_FILE="$state/none.pem" "$zorvad"
check bad-state-dir 2 "ZORVA_STATE_DIR" -- env ZORVA_STATE_DIR=/proc/zorva "$zorvad"
check replay-missing 1 "Failed to create new ES client" -- \
  env ZORVA_EVENT_SOURCE="replay:$state/no-such.trace" "$zorvad"

# A trace on standard input, with /media/usb saved as watched volume 7: the service loads the
# root, reports the transfer out of it and the bad line, says when the input ends, and keeps
# running until it is stopped.
mkdir -p "$ZORVA_STATE_DIR"
sqlite3 "$ZORVA_STATE_DIR/defaults.sqlite3" \
  "CREATE TABLE IF NOT EXISTS defaults(key TEXT PRIMARY KEY NOT NULL, value TEXT NOT NULL);
   INSERT OR REPLACE INTO defaults VALUES('ZORVA_WATCH_PATHS',
     '{\"/media/usb/\": {\"path\": \"/media/usb/\", \"volumeId\": 7}}');"
printf '%s\n' \
  '{"event": "RENAME", "pid": 5, "ppid": 4, "executable": "/usr/bin/mv", "platform": true, "source": "/media/usb/a", "dir": "/tmp", "filename": "b"}' \
  'not json' >"$state/trace"
mkfifo "$state/out"
ZORVA_EVENT_SOURCE=replay:- "$zorvad" <"$state/trace" >"$state/out" 2>&1 &
pid=$!
exec 3<"$state/out"
seen=""
# Events may flow before start-up logs its last line: read until all have been seen (or a line
# fails to come for a long time, when something is broken and the checks below say what).
while IFS= read -r -t 30 line <&3; do
  seen+="$line"$'\n'
  [[ $seen == *"end of input"* && $seen == *"dispatch_main"* && $seen == *"REMOTE: track"* ]] &&
    break
done
running=no
kill -0 "$pid" 2>/dev/null && running=yes
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
exec 3<&-
for want in "launch app: " "dispatch_main" "PathTracker.init: load: 7: /media/usb/" \
  "PathTracker.track: volumeId: 7, /a => /tmp/b" "REMOTE: track: RENAME: /media/usb/a, /tmp/b" \
  "ERROR: replay: line 2:" "replay: end of input after 2 lines"; do
  if ! grep -qF -- "$want" <<<"$seen"; then
    echo "FAIL replay-stdin: missing \"$want\" in:"
    printf '%s' "$seen" | sed 's/^/    /'
    failures=$((failures + 1))
  fi
done
if [ "$running" != yes ]; then
  echo "FAIL replay-stdin: the service stopped at the end of its input"
  failures=$((failures + 1))
fi
[ "$failures" -eq 0 ] && echo "ok   replay-stdin"
exit $((failures > 0))
