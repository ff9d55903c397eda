#!/usr/bin/env bash
# The zorvad program as its users meet it: flags, configuration errors, its state folder and
# start-up failures. (policy_test.sh runs it on a replayed trace.)
# Usage: zorvad_test.sh PATH_TO_ZORVAD
set -uo pipefail
zorvad=$1
state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
export ZORVA_STATE_DIR="$state/parent/state/" ZORVA_LOG=stderr
failures=0
fail() { echo "FAIL $1"; [ $# -lt 2 ] || sed 's/^/    /' <<<"$2"; failures=$((failures + 1)); }
check() {  # check NAME EXPECTED_STATUS EXPECTED_TEXT COMMAND...; leaves the output in $out
  local status
  out=$("${@:4}" 2>&1)
  status=$?
  [ $status -eq "$2" ] && grep -qF -- "$3" <<<"$out" && echo "ok   $1" ||
    fail "$1: status $status (want $2), output:" "$out"
}
check version 0 "0." "$zorvad" --version
check help 0 "ZORVA_EVENT_SOURCE" "$zorvad" --help
check unknown-flag 2 "--bogus" "$zorvad" --bogus
# Each bad value's message is Config_test's; here, the status and the prefix.
touch "$state/file"
for bad in /proc/zorva "$state/file" "$state/file/sub"; do
  check "bad-state-dir $bad" 2 "zorvad: ZORVA_STATE_DIR=\"$bad\"" env ZORVA_STATE_DIR="$bad" "$zorvad"
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
check reclosed 1 "was open to other users (mode 755); made it 0700" \
  env ZORVA_EVENT_SOURCE="replay:$state/no-such.trace" "$zorvad"
[[ $out == "ZORVA_LOG: launch app: "*"made 0600: defaults.sqlite3"* ]] &&
  [ -z "$(find "$ZORVA_STATE_DIR" -perm /077)" ] || fail "reclosed: still open, or said before launch" "$out"
exit $((failures > 0))
