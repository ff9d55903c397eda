#!/usr/bin/env bash
# The log functions' lines as a real journald keeps them: the text as every other writer shows it,
# and the fields selectable whatever bytes their values hold (a line break, an "=", a byte that is
# not UTF-8), none able to add a field of its own. Without a running journald it starts one in
# namespaces of its own, on a tmpfs no service started meanwhile takes for the machine's journal,
# which the kernel ends with the namespace however this script ends.
# Usage: log_journal_test.sh PATH_TO_LOG_JOURNAL_PROBE
set -uo pipefail
probe=${*: -1}
journald=/lib/systemd/systemd-journald
socket=/run/systemd/journal/socket

skip() { echo "SKIP: $*" && exit 77; }

if [ "${1:-}" != --private ]; then
  for tool in journalctl jq; do command -v $tool >/dev/null || skip "$tool is missing"; done
  if ! { [ -S "$socket" ] && timeout 10 journalctl --sync 2>/dev/null; }; then
    [ "$(id -u)" -eq 0 ] || skip "no journald runs, and starting one here needs root"
    [ -x "$journald" ] || skip "no journald runs, and $journald is missing"
    unshare --mount --pid --fork --propagation private true 2>/dev/null ||
      skip "no journald runs, and namespaces to start one in cannot be made here"
    exec unshare --mount --pid --fork --kill-child --mount-proc --propagation private \
      "$0" --private "$probe"
  fi
else
  mount -t tmpfs -o mode=0755 tmpfs /run || exit 1
  mkdir -p /run/systemd/journal /run/log/journal
  [ -d /var/log/journal ] && { mount -t tmpfs -o mode=0755 tmpfs /var/log/journal || exit 1; }
  "$journald" >/run/journald.log 2>&1 &
  journald_pid=$!
  trap 'kill "$journald_pid" 2>/dev/null; wait "$journald_pid"' EXIT
  # Lines sent before journald makes its socket would be lost; nothing else tells when a daemon
  # that is not under systemd is ready, so it is polled for, at most 10 s.
  for _ in $(seq 200); do
    [ -S "$socket" ] || ! kill -0 "$journald_pid" 2>/dev/null && break
    sleep 0.05
  done
  [ -S "$socket" ] || skip "journald cannot run here: $(tr '\n' ' ' </run/journald.log)"
fi

failures=0
expect() { # expect NAME WANT GOT
  [ "$2" == "$3" ] && echo "ok   $1" && return
  echo "FAIL $1: want $(printf '%q' "$2"), got $(printf '%q' "$3")" && failures=$((failures + 1))
}

source=$'/media/usb/Report %@ 7\nZORVA_VOLUME_ID=9\xff.txt'
dest=$'/tmp/a=b\tc.txt'
since=$(date +%s)
"$probe" "$source" "$dest" /usr/bin/mv &
pid=$!
wait "$pid" || { echo "FAIL the probe exited with status $?" && exit 1; }
journalctl --sync

# The probe's lines, selected as an operator would select lines.
mine=(-t zorvad "_PID=$pid" --since "@$since")
value() { # value NAME MATCH...: the bytes of field NAME of the lines that MATCH select
  journalctl "${mine[@]}" "${@:2}" -o cat --output-fields="$1"
  echo . # keeps trailing line breaks through $( )
}
expect "three lines, each with only its own fields" \
  '{"p":"5","z":["ZORVA_DESTINATION","ZORVA_EXE","ZORVA_KIND","ZORVA_PID","ZORVA_SOURCE","ZORVA_VOLUME_ID"]}
{"p":"3","z":["ZORVA_KIND"]}
{"p":"5","z":[]}' \
  "$(journalctl "${mine[@]}" -o json |
    jq -c '{p: .PRIORITY, z: [keys[] | select(startswith("ZORVA_"))]}')"
expect "the transfer's text, source and destination, as they were" \
  "ZORVA_LOG: PathTracker.track: volumeId: 7, $source => $dest"$'\n.\n'"$source"$'\n.\n'"$dest"$'\n.' \
  "$(for f in MESSAGE ZORVA_SOURCE ZORVA_DESTINATION; do value $f ZORVA_VOLUME_ID=7; done)"
expect "the rest of the transfer's fields, each once" '["7","/usr/bin/mv","4242","rename"]' \
  "$(journalctl "${mine[@]}" ZORVA_VOLUME_ID=7 -o json |
    jq -c '[.ZORVA_VOLUME_ID, .ZORVA_EXE, .ZORVA_PID, .ZORVA_KIND]')"
expect "a value cannot add a field" "" "$(journalctl "${mine[@]}" ZORVA_VOLUME_ID=9 -o cat)"
expect "the fault line's text, selected by its kind" \
  "ZORVA_LOG: ERROR: settings $dest cannot be opened: locked"$'\n.' \
  "$(value MESSAGE ZORVA_KIND=store)"

echo "$failures failed"
[ "$failures" -eq 0 ]
