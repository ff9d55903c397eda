#!/usr/bin/env bash
# How reliably zorvad catches the ways people take files off a removable drive, with the real
# tools: each way is run REPEATS times into another filesystem (a tmpfs) and into the same
# filesystem outside the watched folder, and the audit events the backend received are counted
# per destination file. A copy is caught when exactly one event names the file the tool ended
# with, with the right source and volume. A few rows that must report nothing come last.
#
#   sudo bench/detection/run.sh [BUILD_DIR (out/release)] [REPEATS (20)]
#
# The "stick" is a 64 MiB ext4 image on a loop device; the watched volume is STICK/vol (id 7),
# the same-filesystem destination STICK/out. Everything started is stopped, unmounted and
# removed on exit; DETECT_KEEP_LOGS=FOLDER keeps the service's log, the backend's request log and
# what each row expected there for a closer look.
set -uo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/lib/private-bus.sh
source "$repo/scripts/lib/private-bus.sh"
build=$(realpath -m "${1:-$repo/out/release}")
repeats=${2:-20}
volume_id=7
device_key=demo-key

die() {
  echo "run.sh: $*" >&2
  exit 1
}

[[ $EUID -eq 0 ]] || die "must be run as root (fanotify, loop devices, mount)"
[[ $repeats =~ ^[1-9][0-9]*$ ]] || die "REPEATS must be a positive number, not '$repeats'"
zorvad=$build/service/zorvad
zorvactl=$build/control/zorvactl
devbackend=$build/backend/devbackend/zorva-devbackend
for program in "$zorvad" "$zorvactl" "$devbackend"; do
  [[ -x $program ]] || die "$program not found; build with ninja -C ${build#"$repo"/}"
done
for tool in mkfs.ext4 mount umount losetup dbus-daemon openssl rsync tar dd bash awk; do
  command -v "$tool" >/dev/null || die "$tool not found"
done
python=$(python3 -c 'import sys; print(sys.executable)' 2>/dev/null) || python=""
# jq when the machine has it, python3 otherwise, for the backend's JSON lines.
json_tool=python3
command -v jq >/dev/null && json_tool=jq

scratch=$(mktemp -d /tmp/zorva-detect.XXXXXX) || die "mktemp failed"
scratch=$(realpath "$scratch")  # the service reports resolved paths
stick=$scratch/stick
cross=$scratch/tmpfs
vol=$stick/vol
same=$stick/out
image=$scratch/stick.img
pids=()
busy=()

cleanup() {
  set +e
  local pid dev mnt i
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null; done
  # zorvad first: its marks and files are on the mounts about to go.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null
    wait "${pids[i]}" 2>/dev/null
  done
  wait 2>/dev/null
  if [[ -n ${DETECT_KEEP_LOGS:-} ]] && mkdir -p "$DETECT_KEEP_LOGS"; then
    cp "$scratch"/*.log "$scratch"/*.jsonl "$scratch"/*.tsv "$scratch"/*.err "$DETECT_KEEP_LOGS/" \
      2>/dev/null
  fi
  for mnt in "$stick" "$cross"; do
    mountpoint -q "$mnt" 2>/dev/null && { umount "$mnt" 2>/dev/null || umount -l "$mnt"; }
  done
  # mount -o loop normally detaches on unmount; a lazy unmount may leave it behind.
  for dev in $(losetup -j "$image" -n -O NAME 2>/dev/null); do losetup -d "$dev"; done
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Bounded waits, so that a service that never gets there cannot hang the run.
wait_for() {  # wait_for SECONDS WHAT TEST...
  local steps=$(($1 * 10)) what=$2
  shift 2
  while ((steps-- > 0)); do
    "$@" && return 0
    sleep 0.1
  done
  [[ -s ${zorvad_log:-} ]] && tail -n 5 "$zorvad_log" >&2
  die "gave up waiting for $what"
}
file_has() { grep -qF -- "$2" "$1" 2>/dev/null; }

echo "== Setting up: 64 MiB ext4 stick, a tmpfs, a private bus, the backend, zorvad"
truncate -s 64M "$image" || die "truncate failed"
mkfs.ext4 -q -F "$image" || die "mkfs.ext4 failed"
mkdir -p "$stick" "$cross"
mount -o loop "$image" "$stick" || die "mounting the stick failed"
mount -t tmpfs -o size=256M zorva-detect "$cross" || die "mounting the tmpfs failed"
mkdir -p "$vol" "$same" "$stick/stage" "$scratch/state"

start_private_bus "$scratch"
pids+=("$bus_pid")
[[ -n $bus_address ]] || die "the private bus did not start"
bus=$bus_address

openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$scratch/key.pem" -out "$scratch/cert.pem" \
  2>/dev/null || die "openssl could not make a certificate"
backend_log=$scratch/backend.jsonl
"$devbackend" --port 0 --cert "$scratch/cert.pem" --key "$scratch/key.pem" --log "$backend_log" \
  --valid-token "$device_key" >"$scratch/backend.out" 2>&1 &
pids+=($!)
wait_for 10 "the backend" file_has "$scratch/backend.out" listening
backend=$(sed -n 's/^listening //p' "$scratch/backend.out" | head -n 1)

zorvad_log=$scratch/zorvad.log
ZORVA_EVENT_SOURCE=fanotify ZORVA_BUS="$bus" ZORVA_BACKEND_URL="$backend" \
  ZORVA_ANALYTICS_URL="$backend" ZORVA_CA_FILE="$scratch/cert.pem" \
  ZORVA_STATE_DIR="$scratch/state" ZORVA_LOG=stderr "$zorvad" 2>"$zorvad_log" &
pids+=($!)
wait_for 30 "zorvad's control interface" file_has "$zorvad_log" "XPC: listening"

ctl() { "$zorvactl" --bus "$bus" "$@"; }
ctl token "$device_key" >/dev/null || die "zorvactl token failed"
ctl add-volume "$volume_id" "$vol" >/dev/null || die "zorvactl add-volume failed"
wait_for 30 "the volume registration" file_has "$zorvad_log" "PathTracker: addPath: $volume_id,"
# Uploads wait for the backend to confirm the key.
is_running() { [[ $(ctl is-running 2>/dev/null) == true ]]; }
wait_for 30 "the backend to accept the device key" is_running

sh_name=$(basename "$(readlink -f /bin/sh)")
echo "stick: $stick ($(losetup -j "$image" -n -O NAME)), tmpfs: $cross, /bin/sh: $sh_name"
echo "zorvad: $zorvad, $repeats repeats per row, JSON read with $json_tool"

# Files on a real stick were written long before anyone copies them. Here each row runs its ways
# twice: the "make" pass writes the sources in a staging folder beside the watched one, and once
# the service has seen those writes they are renamed in, so that the only opens it tracks are
# the tools' own (a writer's open read late would otherwise be tracked too, under the script's
# process, and be paired with the tools). The "run" pass then runs the tools.
# Sizes never repeat within a run and contents are random, so an event can match one copy only.
stage=$stick/stage
pass="make"
next_size=3000
# new_file PATH: in the make pass, writes the file (in the staging folder when PATH is in the
# watched one) and returns 1, which ends the way there; in the run pass, its size goes to REPLY.
new_file() {
  if [[ $pass == run ]]; then
    REPLY=$(stat -c %s "$1")
    return 0
  fi
  local path=$1
  [[ $path == "$vol/"* ]] && path=$stage/${path#"$vol/"}
  REPLY=$next_size
  next_size=$((next_size + 13))
  head -c "$REPLY" /dev/urandom >"$path"
  return 1
}
new_folder() {  # new_folder PATH: five files f1..f5
  [[ $pass == run ]] && return 0
  local k
  mkdir -p "$stage/${1#"$vol/"}"
  for k in 1 2 3 4 5; do new_file "$1/f$k"; done
  return 1
}
move_in() {
  sleep 1
  if compgen -G "$stage/*" >/dev/null; then mv "$stage"/* "$vol"/; fi
}

# Each row's files carry its tag (r07-...), which is how events are assigned to rows later.
expected=$scratch/expected.tsv
rows=$scratch/rows.tsv
: >"$expected"
: >"$rows"
expect() { printf '%s\t%s\t%s\n' "$tag" "$1" "$2" >>"$expected"; }  # expect SOURCE DEST
expect_folder() {  # expect_folder SOURCE_FOLDER DEST_FOLDER: one event per file
  local k
  for k in 1 2 3 4 5; do expect "$1/f$k" "$2/f$k"; done
}

# The ways. Each gets the destination folder and a fresh name, has its source files made under
# the watched folder, runs the tool and says which events it expects.
way_cp() {
  new_file "$vol/$2.bin" || return 0
  cp "$vol/$2.bin" "$1/" && expect "/$2.bin" "$1/$2.bin"
}
way_mv() {
  new_file "$vol/$2.bin" || return 0
  mv "$vol/$2.bin" "$1/" && expect "/$2.bin" "$1/$2.bin"
}
way_mv_folder() {
  new_folder "$vol/$2.d" || return 0
  mv "$vol/$2.d" "$1/" || return
  # Within one filesystem the folder is renamed as a whole: one event for the folder.
  if [[ $1 == "$same" ]]; then expect "/$2.d" "$1/$2.d"; else expect_folder "/$2.d" "$1/$2.d"; fi
}
way_rsync() {
  new_file "$vol/$2.bin" || return 0
  rsync "$vol/$2.bin" "$1/$2.copy" && expect "/$2.bin" "$1/$2.copy"
}
way_rsync_folder() {
  new_folder "$vol/$2.d" || return 0
  rsync -a "$vol/$2.d/" "$1/$2.d2/" && expect_folder "/$2.d" "$1/$2.d2"
}
way_sh_cat() {
  new_file "$vol/$2.bin" || return 0
  sh -c 'cat "$1" > "$2"' sh "$vol/$2.bin" "$1/$2.copy" && expect "/$2.bin" "$1/$2.copy"
}
way_bash_cat() {
  new_file "$vol/$2.bin" || return 0
  bash -c 'cat "$1" > "$2"' bash "$vol/$2.bin" "$1/$2.copy" && expect "/$2.bin" "$1/$2.copy"
}
way_tar() {
  new_folder "$vol/$2.d" || return 0
  mkdir -p "$1/$2.x"
  tar -cf - -C "$vol/$2.d" . | tar -xf - -C "$1/$2.x" && expect_folder "/$2.d" "$1/$2.x"
}
way_dd() {
  new_file "$vol/$2.bin" || return 0
  dd if="$vol/$2.bin" of="$1/$2.copy" status=none && expect "/$2.bin" "$1/$2.copy"
}
way_python() {
  new_file "$vol/$2.bin" || return 0
  "$python" -c '
import sys
source = open(sys.argv[1], "rb")
dest = open(sys.argv[2], "wb")
dest.write(source.read())
dest.close()
source.close()' "$vol/$2.bin" "$1/$2.copy" && expect "/$2.bin" "$1/$2.copy"
}

# Rows that must report nothing.
fp_other_bytes() {  # the same size as a file the writer's shell read, other bytes
  new_file "$vol/$2.bin" || return 0
  sh -c 'cat "$1" >/dev/null; head -c "$3" /dev/urandom > "$2"' sh "$vol/$2.bin" "$1/$2.other" \
    "$REPLY"
}
fp_into() {  # from the destination folder into the watched one
  new_file "$1/$2.bin" || return 0
  cp "$1/$2.bin" "$vol/$2.in"
}
fp_within() {
  new_file "$vol/$2.bin" || return 0
  mkdir -p "$vol/$2.sub"
  cp "$vol/$2.bin" "$vol/$2.sub/"
}

# Only audit-event uploads count: the same paths also travel in the service's log lines to the
# analytics endpoint.
backend_has_event() {
  grep -F '"path":"/api/1/audit_event"' "$backend_log" 2>/dev/null | grep -qF "$1\\\""
}

# Batches are uploaded one at a time, in the order their events were found, so once a copy made
# after a row's last one has arrived, the row's events have arrived too.
marker() {  # marker TAG; sets marker_note
  local name="m${1#r}.mark"
  marker_note=""
  head -c "$next_size" /dev/urandom >"$stage/$name"
  next_size=$((next_size + 13))
  # Its sleep also lets renames, which come from the second fanotify group, catch up.
  move_in
  cp "$vol/$name" "$cross/"
  local steps=600
  while ((steps-- > 0)); do
    backend_has_event "$cross/$name" && return 0
    sleep 0.1
  done
  marker_note="marker not seen in 60 s"
}

start_busy() {
  yes >/dev/null &
  busy+=($!)
  yes >/dev/null &
  busy+=($!)
}
stop_busy() {
  local pid
  for pid in "${busy[@]}"; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  busy=()
}

row_no=0
row() {  # row LABEL DEST_NAME DEST_FOLDER FUNCTION [busy]
  local label=$1 dest_name=$2 dest=$3 fn=$4 load=${5:-}
  row_no=$((row_no + 1))
  tag=$(printf 'r%02d' "$row_no")
  local i failures=0 started=$SECONDS
  pass="make"
  for ((i = 1; i <= repeats; i++)); do "$fn" "$dest" "$tag-$i"; done
  move_in
  pass=run
  [[ $load == busy ]] && start_busy
  for ((i = 1; i <= repeats; i++)); do
    "$fn" "$dest" "$tag-$i" 2>>"$scratch/tools.err" || failures=$((failures + 1))
  done
  marker "$tag"
  [[ $load == busy ]] && stop_busy
  local note=$marker_note
  ((failures > 0)) && note+="${note:+; }$failures tool runs failed (errors at the end)"
  printf '%s\t%s\t%s\t%s\n' "$tag" "$label" "$dest_name" "$note" >>"$rows"
  printf '  %-3s %-40s %-8s %3d s %s\n' "$tag" "$label" "$dest_name" $((SECONDS - started)) "$note"
  # The stick holds 64 MiB: each row's files go once its events are in.
  rm -rf "$vol/$tag-"* "$same/$tag-"* "$cross/$tag-"*
}

echo
echo "== Rows (each: $repeats runs, then a marker copy awaited at the backend)"
for target in "tmpfs $cross" "same-fs $same"; do
  read -r dest_name dest <<<"$target"
  row "cp file dest/" "$dest_name" "$dest" way_cp
  row "mv file dest/" "$dest_name" "$dest" way_mv
  if [[ $dest_name == same-fs ]]; then
    row "mv folder dest/ (1 event per folder)" "$dest_name" "$dest" way_mv_folder
  else
    row "mv folder dest/ (5 files)" "$dest_name" "$dest" way_mv_folder
  fi
  row "rsync a dest/b" "$dest_name" "$dest" way_rsync
  row "rsync -a dir/ dest/dir2/ (5 files)" "$dest_name" "$dest" way_rsync_folder
  row "sh -c 'cat a > b' ($sh_name)" "$dest_name" "$dest" way_sh_cat
  row "bash -c 'cat a > b'" "$dest_name" "$dest" way_bash_cat
  row "tar | tar (5 files)" "$dest_name" "$dest" way_tar
  row "tar | tar (5 files), 2 cores busy" "$dest_name" "$dest" way_tar busy
  row "dd if=a of=b (exits at once)" "$dest_name" "$dest" way_dd
  if [[ -n $python ]]; then
    row "python3 -c copy (exits at once)" "$dest_name" "$dest" way_python
  fi
done
for target in "tmpfs $cross" "same-fs $same"; do
  read -r dest_name dest <<<"$target"
  row "FP: same size, other bytes, after a read" "$dest_name" "$dest" fp_other_bytes
  row "FP: cp from dest into the watched folder" "$dest_name" "$dest" fp_into
done
row "FP: cp within the watched folder" "watched" "$vol" fp_within

# One line per event received: id, volume, source, destination. An event sent again after a
# failed upload carries the same id and is counted once.
events=$scratch/events.tsv
if [[ $json_tool == jq ]]; then
  jq -r 'select(.path == "/api/1/audit_event") | .body | (fromjson? // {}) | .event_list[]?
         | [(.audit_event_id | tostring), (.volume_id | tostring), .source, .dest] | @tsv' \
    "$backend_log" >"$events"
else
  python3 - "$backend_log" >"$events" <<'EOF'
import json, sys
for line in open(sys.argv[1], encoding="utf-8", errors="replace"):
    request = json.loads(line)
    if request.get("path") != "/api/1/audit_event":
        continue
    try:
        body = json.loads(request.get("body", ""))
    except ValueError:
        continue
    for event in body.get("event_list", []):
        print("\t".join(str(event.get(k)) for k in ("audit_event_id", "volume_id", "source", "dest")))
EOF
fi

echo
echo "== Results ($repeats runs per row; a copy is caught when exactly one event names its final"
echo "   destination with source below the watched folder and volume $volume_id)"
awk -F'\t' -v volume="$volume_id" -v log_file="$zorvad_log" '
  function dir_of(p) { sub(/\/[^\/]*$/, "", p); return p }
  function base_of(p) { sub(/^.*\//, "", p); return p }
  function row_of(s, d) {
    if (match(d, /\/r[0-9]+-/)) return substr(d, RSTART + 1, RLENGTH - 2)
    if (match(s, /\/r[0-9]+-/)) return substr(s, RSTART + 1, RLENGTH - 2)
    return ""
  }
  # A name the tool wrote on the way, such as rsync'"'"'s ".b.Xy12Zq" beside "b".
  function temporary(d,    dir, name, n, i, list) {
    dir = dir_of(d); name = base_of(d)
    n = split(bases[dir], list, "/")
    for (i = 1; i <= n; i++) if (list[i] != "" && name != list[i] && index(name, list[i])) return 1
    return 0
  }
  FILENAME == ARGV[1] { order[++rows] = $1; label[$1] = $2; dest[$1] = $3; note[$1] = $4; next }
  FILENAME == ARGV[2] {
    source_of[$3] = $2; row_for[$3] = $1; wanted[$1]++
    bases[dir_of($3)] = bases[dir_of($3)] "/" base_of($3)
    next
  }
  FILENAME == ARGV[3] {
    if ($1 in seen) { resent++; next }
    seen[$1] = 1; total++
    if (base_of($4) ~ /^m[0-9]+\.mark$/) { markers++; next }
    r = row_of($3, $4)
    if (r == "") { stray++; stray_list = stray_list "\n    " $3 " -> " $4; next }
    if ($4 in source_of) {
      hits[$4]++
      if ($3 == source_of[$4] && $2 == volume) right[$4]++
    } else if (temporary($4)) {
      temp[r]++
    } else {
      extra[r]++
    }
    next
  }
  END {
    for (d in source_of) {
      r = row_for[d]
      if (hits[d] == 1 && right[d] == 1) caught[r]++
      if (hits[d] > 1) extra[r] += hits[d] - 1
      if (hits[d] == 1 && right[d] != 1) wrong[r]++
    }
    # "PathTracker.open: tracking: PATH exec: EXEC": an empty (or null) EXEC is a process the
    # service could not describe.
    while ((getline line < log_file) > 0) {
      at = index(line, "PathTracker.open: tracking: ")
      if (!at) continue
      rest = substr(line, at + 28)
      cut = index(rest, " exec: ")
      if (!cut) continue
      path = substr(rest, 1, cut - 1); exec = substr(rest, cut + 7)
      sub(/[ \r]+$/, "", exec)
      r = match(path, /\/r[0-9]+-/) ? substr(path, RSTART + 1, RLENGTH - 2) : "(other)"
      tracked[r]++
      if (exec == "" || exec == "(null)") unknown[r]++
    }
    fmt = "%-4s %-40s %-8s %9s %6s %5s %6s %13s  %s\n"
    printf fmt, "row", "way", "dest", "caught", "extra", "temp", "wrong", "unknown exec", "note"
    for (i = 1; i <= rows; i++) {
      r = order[i]
      printf fmt, r, label[r], dest[r], (wanted[r] ? (caught[r] + 0) "/" wanted[r] : "- (0 ok)"),
        extra[r] + 0, temp[r] + 0, wrong[r] + 0, (unknown[r] + 0) "/" (tracked[r] + 0), note[r]
    }
    print ""
    print "caught: exactly one event for the final destination, right source and volume"
    print "extra:  events to no expected destination (false or duplicate events); in FP rows, all"
    print "temp:   events naming a temporary name beside an expected destination"
    print "wrong:  one event for the destination, but a wrong source or volume"
    print "unknown exec: watched-file opens tracked with an empty executable / all tracked opens"
    printf "\nevents received: %d (%d markers, %d sent again after a failed upload)", total, markers, resent + 0
    printf "; tracked opens outside the rows: %d, %d of them with no executable\n", tracked["(other)"] + 0, unknown["(other)"] + 0
    if (stray) printf "events belonging to no row: %d%s\n", stray, stray_list
  }' "$rows" "$expected" "$events"

errors=$(grep -ciE 'error|overflow' "$zorvad_log")
if ((errors > 0)); then
  echo
  echo "zorvad logged $errors error or overflow lines; the first few:"
  grep -iE 'error|overflow' "$zorvad_log" | head -n 5 | sed 's/^/    /'
fi
if [[ -s $scratch/tools.err ]]; then
  echo "tool errors (first few):"
  head -n 5 "$scratch/tools.err" | sed 's/^/    /'
fi
