#!/usr/bin/env bash
# What a fanotify listener costs the programs it watches, and itself, on a filesystem nothing else
# touches. A workload runs on CPU 0 with, in turn, no listener, the bare fd-mode reader (the
# floor), zorvad with the workload under no watched root ("zorvad"), zorvad with a root over it
# ("zorvad-root") and fatrace on CPU 1, in alternating rounds; then each listener drains a flood of
# 50,000 file reads. Every figure is set against the bare reader and "none" of the same run.
#
#   sudo bench/fanotify/run.sh [BENCH_BUILD_DIR] [ZORVAD] [ZORVACTL]
#
# BENCH_BUILD_DIR holds fanotify_bare_reader and fanotify_workload (default out/release/bench),
# ZORVAD is the program (default out/release/service/zorvad) and ZORVACTL the client that
# registers the root, on a private bus (default out/release/control/zorvactl); the defaults are
# under the repository. FBENCH_ROUNDS (3), FBENCH_SECONDS (3) and FBENCH_FLOOD_FILES (50000) resize it.
# Last, fanotify_process_storm (when BENCH_BUILD_DIR has it) forks FBENCH_STORM_RATE (10000)
# processes a second for FBENCH_STORM_SECONDS (10) without and with the fanotify source.
# Workload and listener run at nice FBENCH_NICE (-10), so that other programs on a shared machine
# take less of their CPUs; the time a listener still waited for its CPU is printed beside it.
set -uo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
bench=$(realpath -m "${1:-$repo/out/release/bench}")
zorvad=$(realpath -m "${2:-$repo/out/release/service/zorvad}")
zorvactl=$(realpath -m "${3:-$repo/out/release/control/zorvactl}")
# shellcheck source=scripts/lib/private-bus.sh
source "$repo/scripts/lib/private-bus.sh"
rounds=${FBENCH_ROUNDS:-3}
seconds=${FBENCH_SECONDS:-3}
flood_files=${FBENCH_FLOOD_FILES:-50000}
niceness=${FBENCH_NICE:--10}
listeners=(none bare zorvad zorvad-root fatrace)

die() {
  echo "run.sh: $*" >&2
  exit 1
}

[[ $EUID -eq 0 ]] || die "must be run as root (fanotify, loop devices, mount)"
for program in fanotify_bare_reader fanotify_workload; do
  [[ -x $bench/$program ]] || die "$bench/$program not found; build the targets or pass the folder"
done
[[ $(nproc) -ge 2 ]] || die "needs 2 CPUs: the workload on CPU 0, the listener on CPU 1"
for tool in taskset losetup mkfs.ext4 mount umount awk; do
  command -v "$tool" >/dev/null || die "$tool not found"
done
have_fatrace=yes
command -v fatrace >/dev/null || have_fatrace=no

tmp=$(mktemp -d /tmp/zorva-fbench.XXXXXX) || die "mktemp failed"
mnt=$tmp/mnt
loopdev=""
listener_pid=""
bus_pid=""

cleanup() {
  set +e
  if [[ -n $listener_pid ]]; then
    kill -KILL "$listener_pid" 2>/dev/null
    wait "$listener_pid" 2>/dev/null
  fi
  [[ -n $bus_pid ]] && kill "$bus_pid" 2>/dev/null
  if mountpoint -q "$mnt" 2>/dev/null; then
    umount "$mnt" 2>/dev/null || umount -l "$mnt"
  fi
  [[ -n $loopdev ]] && losetup -d "$loopdev"
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Sleeping with a read timeout on a private pipe instead of sleep(1): no program is started, so a
# listener that watches every filesystem sees nothing from the script while it waits.
mkfifo "$tmp/nap"
exec {nap_fd}<>"$tmp/nap"
nap() { read -r -t "$1" -u "$nap_fd" _ || true; }

# A zombie still answers kill -0: its state letter is what tells that a listener has died.
alive() {
  local line
  read -r line 2>/dev/null <"/proc/$1/stat" || return 1
  line=${line##*) }
  [[ ${line%% *} != Z ]]
}

# Summed over threads, as zorvad has several. The second field, time runnable but not running,
# shows wake-up latency and other programs on CPU 1.
cpu_ns() {
  local total=0 waited=0 file ns wait rest
  for file in /proc/"$1"/task/*/schedstat; do
    read -r ns wait rest 2>/dev/null <"$file" && total=$((total + ns)) && waited=$((waited + wait))
  done
  REPLY=$total
  WAITED=$waited
}

# zorvad does not count its records; the bytes it has read bound them.
read_bytes() {
  local key value
  REPLY=0
  while read -r key value; do
    [[ $key == rchar: ]] && REPLY=$value
  done 2>/dev/null <"/proc/$1/io"
}

# The records a listener gets depend on its init flags and mark masks, so they are shown.
describe_marks() {
  local pid=$1 file
  for file in /proc/"$pid"/fdinfo/*; do
    awk -v fd="${file##*/}" '
      /^fanotify flags:/ { flags = $2 " " $3 }
      /^fanotify (sdev|mnt_id|ino):/ { marks++; kind[$2 ~ /^sdev/ ? "filesystem" : $2 ~ /^mnt_id/ ? "mount" : "inode"]++; masks[$4]++ }
      END {
        if (flags == "") exit
        line = "fd " fd ": " flags ", " marks + 0 " marks ("
        sep = ""
        for (k in kind) { line = line sep kind[k] " " k; sep = ", " }
        line = line "), masks:"
        for (m in masks) line = line " " m
        print line
      }' "$file" 2>/dev/null
  done
}

has_mark() {
  grep -qsE '^fanotify (sdev|mnt_id|ino):' /proc/"$1"/fdinfo/* 2>/dev/null
}

# Bounded, so that a listener hanging at start cannot hang the run.
wait_until() {  # wait_until PID LIMIT TEST...
  local pid=$1 steps=$(($2 * 20))
  shift 2
  while ((steps-- > 0)); do
    "$@" && return 0
    alive "$pid" || return 1
    nap 0.05
  done
  return 1
}

file_has() { [[ -f $1 ]] && grep -qF -- "$2" "$1"; }

# A listener has drained the queue when it stops using CPU: under 0.5 ms in 50 ms, up to 5 s.
drain() {
  local pid=$1 previous now steps=100
  cpu_ns "$pid"
  previous=$REPLY
  while ((steps-- > 0)); do
    nap 0.05
    alive "$pid" || return
    cpu_ns "$pid"
    now=$REPLY
    ((now - previous < 500000)) && return
    previous=$now
  done
}

stop_listener() {  # stop_listener SIGNAL; the exit status goes to REPLY
  local steps=100
  kill -"$1" "$listener_pid" 2>/dev/null
  while ((steps-- > 0)) && alive "$listener_pid"; do nap 0.05; done
  alive "$listener_pid" && kill -KILL "$listener_pid" 2>/dev/null
  wait "$listener_pid" 2>/dev/null
  REPLY=$?
  listener_pid=""
}

zorvad_state=unknown  # unknown, available or the reason it is not
zorvad_reason=""
zorvad_runs=0

# A listener that cannot run here (zorvad without its fanotify source, no fatrace) is skipped with
# a reason, not fatal.
start_listener() {
  local name=$1 base=$2
  listener_pid=""
  case $name in
    bare)
      nice -n "$niceness" taskset -c 1 "$bench/fanotify_bare_reader" "$mnt" \
        >"$base.out" 2>"$base.err" &
      listener_pid=$!
      wait_until "$listener_pid" 5 file_has "$base.err" "ready" && return 0
      ;;
    zorvad | zorvad-root)
      [[ $zorvad_state == unknown || $zorvad_state == available ]] || return 1
      if [[ ! -x $zorvad ]]; then
        zorvad_state="not available"
        zorvad_reason="$zorvad not found"
        return 1
      fi
      if [[ $name == zorvad-root && -z $bus_address ]]; then
        [[ $described == *" zorvad-root-missing "* ]] ||
          echo "  zorvad-root: not available ($bus_reason)"
        described+="zorvad-root-missing "
        return 1
      fi
      zorvad_runs=$((zorvad_runs + 1))
      mkdir -p "$tmp/zorva-state-$zorvad_runs"
      env ZORVA_EVENT_SOURCE=fanotify ZORVA_LOG=stderr ZORVA_BUS="${bus_address:-session}" \
        ZORVA_STATE_DIR="$tmp/zorva-state-$zorvad_runs" \
        nice -n "$niceness" taskset -c 1 "$zorvad" >"$base.out" 2>"$base.err" &
      listener_pid=$!
      if wait_until "$listener_pid" 10 file_has "$base.err" "dispatch_main"; then
        zorvad_state=available
        [[ $name == zorvad ]] && return 0
        # The whole test filesystem becomes a watched volume, as a stick would be.
        wait_until "$listener_pid" 10 file_has "$base.err" "XPC: listening" &&
          "$zorvactl" --bus="$bus_address" add-volume 7 "$mnt" >/dev/null 2>&1 &&
          wait_until "$listener_pid" 10 file_has "$base.err" "addPath: 7" && return 0
        echo "  zorvad-root: the root could not be registered: $(tail -n 1 "$base.err")"
      else
        zorvad_state="not available"
        zorvad_reason=$(grep -m1 -E 'ERROR|Failed|zorvad:' "$base.err" || tail -n 1 "$base.err")
        [[ -n $zorvad_reason ]] || zorvad_reason="no dispatch_main line within 10 s"
      fi
      ;;
    fatrace)
      [[ $have_fatrace == yes ]] || return 1
      # fatrace will not write over an existing file, and -c watches the filesystem of its
      # working directory.
      rm -f "$base.out"
      (cd "$mnt" && exec nice -n "$niceness" taskset -c 1 fatrace -c -o "$base.out") 2>"$base.err" &
      listener_pid=$!
      wait_until "$listener_pid" 5 has_mark "$listener_pid" && return 0
      ;;
  esac
  if [[ -n $listener_pid ]]; then
    kill -KILL "$listener_pid" 2>/dev/null
    wait "$listener_pid" 2>/dev/null
    listener_pid=""
  fi
  return 1
}

value_of() {  # value_of KEY FILE: the number after KEY= in FILE
  sed -nE "s/.*(^| )$1=([0-9.]+).*/\\2/p" "$2" | head -n 1
}

# fatrace prints "comm(pid): FLAGS path", the path "(deleted)" once the file is gone. The
# folder's own open and close are left out, as the bare reader's mask (no FAN_ONDIR) leaves them.
count_fatrace() {  # count_fatrace FILE PREFIX -> "lines oc opens closes"
  awk -v prefix="$2" '
    {
      rest = substr($0, index($0, "): ") + 3)
      flags = rest; sub(/ .*/, "", flags)
      path = rest; sub(/^[^ ]+ +/, "", path)
      lines++
      if (index(path, prefix) != 1 && path != "(deleted)") next
      if (flags ~ /[OC]/) oc++
      if (flags ~ /O/) opens++
      if (flags ~ /C/) closes++
    }
    END { print lines + 0, oc + 0, opens + 0, closes + 0 }' "$1"
}

fmt() { printf "%'.0f" "$1"; }

results=$tmp/results.tsv
: >"$results"
described=" "

# zorvad's overflow lines carry a running total, "(N so far)"; without one, lines are counted.
zorvad_overflows() {
  awk 'tolower($0) ~ /overflow/ {
         lines++
         if (match($0, /\([0-9]+ so far\)/)) { n = substr($0, RSTART + 1) + 0; if (n > most) most = n }
       }
       END { print (most > 0 ? most : lines + 0) }' "$1"
}

measure() {
  local phase=$1 name=$2 round=$3 base="$tmp/$1-$2-$3"
  local workload_args dir
  if [[ $phase == mix ]]; then
    dir=$mnt/work
    workload_args=(mix "$dir" --seconds "$seconds")
  else
    dir=$mnt/flood
    workload_args=(flood "$dir" "$flood_files")
  fi
  local pid="" cpu0=0 io0=0 wait0=0 idle=""
  if [[ $name != none ]]; then
    if ! start_listener "$name" "$base"; then
      if [[ $name == zorvad && $described != *" zorvad-missing "* ]]; then
        described+="zorvad-missing "
        echo "  zorvad: not available ($zorvad_reason)"
      fi
      return 0
    fi
    pid=$listener_pid
    cpu_ns "$pid"
    if [[ $name == zorvad* ]]; then
      # zorvad sees the whole machine: what it spends with the workload idle is the share of
      # its figures that other programs cause.
      cpu0=$REPLY
      nap 0.5
      cpu_ns "$pid"
      idle=$(((REPLY - cpu0) * 2 / 1000))
    fi
    cpu0=$REPLY
    wait0=$WAITED
    read_bytes "$pid"
    io0=$REPLY
  fi

  nice -n "$niceness" taskset -c 0 "$bench/fanotify_workload" "${workload_args[@]}" \
    >"$base.workload" ||
    die "workload failed: $(cat "$base.workload")"

  local cpu=0 io=0 early=no status=0 waited=0
  if [[ -n $pid ]]; then
    alive "$pid" && drain "$pid"
    if alive "$pid"; then
      cpu_ns "$pid"
      cpu=$((REPLY - cpu0))
      waited=$((WAITED - wait0))
      read_bytes "$pid"
      io=$((REPLY - io0))
      # Described after the measurement: the programs doing it would be events for zorvad.
      if [[ $described != *" $name "* ]]; then
        described+="$name "
        describe_marks "$pid" | sed "s/^/    $name fanotify /"
      fi
    else
      early=yes  # its CPU time went with it
      cpu=-1
    fi
    case $name in
      fatrace) stop_listener INT ;;  # fatrace flushes and exits on SIGINT; SIGTERM just kills it
      *) stop_listener TERM ;;
    esac
    status=$REPLY
  fi

  local ops ops_per_s
  ops=$(value_of ops "$base.workload")
  ops_per_s=$(value_of ops_per_s "$base.workload")
  [[ -n $ops && -n $ops_per_s ]] || die "no figures from the workload: $(cat "$base.workload")"
  # oc is kept apart from records because fatrace also gets reads, writes and folder events, and
  # only records with an open or close compare with the bare reader's. -1: the listener won't say.
  local records=-1 bound=0 oc=-1 opens=-1 closes=-1 overflows=-1 note=""
  case $name in
    bare)
      if [[ -n $(value_of records "$base.out") ]]; then
        records=$(value_of records "$base.out")
        opens=$(value_of opens "$base.out")
        closes=$(($(value_of close_write "$base.out") + $(value_of close_nowrite "$base.out")))
        overflows=$(value_of overflows "$base.out")
        oc=$records
      else
        note="no counts (status $status): $(tr '\n' ' ' <"$base.err" | cut -c1-100)"
      fi
      ;;
    fatrace)
      read -r records oc opens closes < <(count_fatrace "$base.out" "$dir/")
      # fatrace may read on past an overflow without a word: lost records then show only as
      # missing ones.
      if [[ $early == yes ]] || grep -qi overflow "$base.err"; then
        overflows=1
        note="exited during the run (status $status): $(tr '\n' ' ' <"$base.err" | cut -c1-100)"
      fi
      ;;
    zorvad | zorvad-root)
      # It does not say how many records it read; every record is at least 24 bytes, so
      # read() bytes / 24 bounds them from above (its other reads count too).
      if [[ $early == no ]]; then
        records=$((io / 24))
        bound=1
      fi
      overflows=$(zorvad_overflows "$base.err")
      note="records <= read() bytes / 24; overflows from its log; CPU with the workload idle:"
      note+=" ${idle:-?} µs/s"
      [[ $early == yes ]] && note+="; exited during the run (status $status)"
      ;;
  esac
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$phase" "$name" "$round" \
    "$ops_per_s" "$ops" "$cpu" "$records" "$oc" "$opens" "$closes" "$overflows" "$bound" \
    "$note" >>"$results"

  local line
  line=$(printf '  %-5s %-11s %-2s %9s ops/s' "$phase" "$name" "$round" "$(fmt "$ops_per_s")")
  if [[ -n $pid ]]; then
    line+=$(awk -v cpu="$cpu" -v ops="$ops" -v rec="$records" -v oc="$oc" -v ov="$overflows" \
      -v waited="$waited" -v bound="$bound" 'BEGIN {
        le = bound ? "<=" : ""; ge = bound ? ">=" : ""
        if (cpu >= 0) printf "  cpu %6.3f s (queued %4.0f ms)  %5.2f µs/op", cpu / 1e9, waited / 1e6, cpu / 1e3 / ops
        else printf "  cpu n/a (exited)"
        if (rec > 0) printf "  %s%d records (%s%.2f/op)", le, rec, le, rec / ops
        if (rec > 0 && cpu >= 0) printf " %s%.2f µs/record", ge, cpu / 1e3 / rec
        if (oc >= 0 && oc != rec) printf "  open/close records %4.2f/op", oc / ops
        printf "  overflows %s", ov < 0 ? "?" : ov
      }')
  fi
  echo "$line"
  [[ $name == bare ]] && echo "    bare read() bytes / 24 = $((io / 24)) (checks the zorvad bound)"
  [[ -n $note ]] && echo "    $name: $note"
  return 0
}

echo "== Setting up a 512 MiB ext4 image on a loop device"
mkdir -p "$mnt"
truncate -s 512M "$tmp/fs.img" || die "truncate failed"
# Inode tables and journal are written now, so no background initialisation runs later; inline
# data keeps the flood's small files inside their inodes.
mkfs.ext4 -q -F -N 131072 -O inline_data -E lazy_itable_init=0,lazy_journal_init=0 \
  "$tmp/fs.img" || die "mkfs.ext4 failed"
loopdev=$(losetup -f --show "$tmp/fs.img") || die "losetup failed"
# noatime: the flood's first reads would otherwise write inodes that later reads do not.
mount -o noatime "$loopdev" "$mnt" || die "mount failed"
mkdir "$mnt/work" "$mnt/flood"
"$bench/fanotify_workload" prepare "$mnt/work" >/dev/null || die "workload prepare failed"

# zorvad-root's root is registered over the control interface, on a bus of the run's own.
bus_address=""
bus_reason=""
if ! command -v dbus-daemon >/dev/null; then
  bus_reason="dbus-daemon not found"
elif [[ ! -x $zorvactl ]]; then
  bus_reason="$zorvactl not found"
else
  start_private_bus "$tmp"
  [[ -n $bus_address ]] || bus_reason="the private bus did not start"
fi

read -r load_before _ </proc/loadavg
echo "machine: $(nproc) CPUs, $(uname -r), $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"
echo "mount: $mnt ($loopdev), workload on CPU 0, listener on CPU 1, both at nice $niceness"
echo "zorvad: $zorvad"
echo "        (marks every filesystem: activity elsewhere on the machine is in its CPU time;"
echo "        the bare reader and fatrace see this mount only)"
if [[ $have_fatrace == no ]]; then echo "fatrace: not installed"; fi

# What else happens on the machine during the run, as zorvad would see it on the root filesystem.
taskset -c 1 "$bench/fanotify_bare_reader" / >"$tmp/background.out" 2>"$tmp/background.err" &
listener_pid=$!
if wait_until "$listener_pid" 5 file_has "$tmp/background.err" ready; then
  nap 1
  stop_listener TERM
  echo "background on /: $(value_of records "$tmp/background.out") open/close records in 1 s"
else
  stop_listener KILL
fi

echo
echo "== Mix: (a) open+read+close, (b) open+write+close, (c) create+write+close+rename+unlink"
echo "   ${seconds} s per run, ${rounds} rounds. Each operation makes an open and a close record:"
echo "   2.00/op, or 1.00/op when the kernel merges each close into its open still in the queue;"
echo "   below 1.00 the listener lags and records of earlier operations on the same file merged too"
for ((round = 1; round <= rounds; round++)); do
  for name in "${listeners[@]}"; do measure mix "$name" "$round"; done
done

echo
echo "== Flood: $(fmt "$flood_files") files made beforehand, each opened, read and closed once"
"$bench/fanotify_workload" flood-prepare "$mnt/flood" "$flood_files" >/dev/null ||
  die "flood-prepare failed"
for name in "${listeners[@]}"; do measure flood "$name" 1; done

[[ $zorvad_state == available ]] || echo "zorvad: not available (${zorvad_reason:-not run})"
read -r load_after _ </proc/loadavg
echo "load average (1 min) before: $load_before, after: $load_after. \"queued\": time the listener"
echo "was runnable but not running, the wake-up latency of each read plus other programs on CPU 1"

storm_rate=${FBENCH_STORM_RATE:-10000}
storm_seconds=${FBENCH_STORM_SECONDS:-10}
storm_figures=$tmp/storm.figures
: >"$storm_figures"
echo
echo "== Storm: $(fmt "$storm_rate") processes/s for $storm_seconds s, first with no listener, then"
echo "   with the fanotify source following every process (the storm itself runs on both CPUs)"
if [[ -x $bench/fanotify_process_storm ]]; then
  # Its scratch folder goes in ours, so an interrupted run leaves nothing behind.
  TMPDIR=$tmp nice -n "$niceness" taskset -c 1 "$bench/fanotify_process_storm" "$storm_rate" \
    "$storm_seconds" >"$tmp/storm.out" 2>&1
  storm_status=$?
  cat "$tmp/storm.out"
  grep '^storm ' "$tmp/storm.out" >"$storm_figures"
  ((storm_status == 0)) || echo "  fanotify_process_storm exited with status $storm_status"
else
  echo "  $bench/fanotify_process_storm not found: skipped"
fi

echo
echo "== Summary (medians over rounds; ratios against the bare reader and \"none\" of this run)"
awk -F'\t' -v files="$flood_files" '
  function median(list,    n, a, i, j, t) {
    n = split(list, a, " ")
    if (n == 0) return -1
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] + 0 < a[i] + 0) { t = a[i]; a[i] = a[j]; a[j] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  function add(map, key, value) { map[key] = map[key] (map[key] == "" ? "" : " ") value }
  function num(v, f, prefix) { return v < 0 ? "n/a" : prefix sprintf(f, v) }
  function verdict(ok) { return ok ? "met" : "missed" }
  $1 == "mix" {
    l = $2; seen[l] = 1
    add(opss, l, $4)
    if (l != "none" && $6 >= 0) add(usop, l, $6 / 1e3 / $5)
    if ($7 > 0 && $6 >= 0) add(usrec, l, $6 / 1e3 / $7)
    if ($7 > 0) add(recop, l, $7 / $5)
    if ($8 >= 0) add(ocop, l, $8 / $5)
    if ($12) bound[l] = 1
    ov[l] += $11 > 0 ? $11 : 0
    if ($11 >= 0) ovknown[l] = 1
  }
  $1 == "flood" {
    l = $2; fseen[l] = 1; fops[l] = $4; frec[l] = $7; fopen[l] = $9; fclose[l] = $10; fov[l] = $11
    fbound[l] = $12
  }
  END {
    none = median(opss["none"]); bare_rec = median(usrec["bare"]); bare_op = median(usop["bare"])
    bare_slow = median(opss["bare"]) > 0 ? none / median(opss["bare"]) : -1
    printf "%-11s %9s %9s %10s %9s %8s %9s %17s %9s\n", "listener", "ops/s", "slowdown", "µs/record",
      "vs bare", "µs/op", "vs bare", "records/op", "overflows"
    n = split("none bare zorvad zorvad-root fatrace", order, " ")
    for (i = 1; i <= n; i++) {
      l = order[i]
      if (!(l in seen)) { printf "%-11s %s\n", l, "not run" (l ~ /^zorvad/ ? " (not available)" : ""); continue }
      o = median(opss[l]); slow[l] = none / o
      if (l == "none") { printf "%-11s %9.0f %8.2fx %10s %9s %8s %9s %17s %9s\n", l, o, 1, "-", "-", "-", "-", "-", "-"; continue }
      ge = bound[l] ? ">=" : ""; le = bound[l] ? "<=" : ""
      ur = (l in usrec) ? median(usrec[l]) : -1; uo = (l in usop) ? median(usop[l]) : -1
      rr[l] = (ur > 0 && bare_rec > 0) ? ur / bare_rec : -1; ro[l] = (uo > 0 && bare_op > 0) ? uo / bare_op : -1
      rop = (l in ocop) ? median(ocop[l]) : (l in recop) ? median(recop[l]) : -1
      printf "%-11s %9.0f %8.2fx %10s %9s %8s %9s %17s %9s\n", l, o, slow[l], num(ur, "%.2f", ge),
        num(rr[l], "%.2fx", ge), num(uo, "%.2f"), num(ro[l], "%.2fx"),
        (rop < 0 ? "n/a" : sprintf("%s%.2f (2 or 1)", le, rop)), (ov[l] > 0 || (l in ovknown) ? ov[l] : "n/a")
    }
    print "  records/op: 2 when no record merged, 1 when each close merged into its open; lower means"
    print "  the listener lagged and later operations on the same file merged into waiting records."
    print "  zorvad: the workload under no watched root; zorvad-root: under one. The kernel drops opens"
    print "  and unmodified closes in folders zorvad has marked as holding no watched file; its"
    print "  modified closes, renames and deletions still come."
    print "  zorvad does not count its records: read() bytes / 24 bounds them from above (every record"
    print "  is at least 24 bytes), so its µs/record is a lower bound."
    print "  fatrace: records/op counts records with O or C, but fatrace also subscribes to reads,"
    print "  writes, creates, deletes and moves whatever -f says, and its µs/record is per record of"
    print "  any kind. It does not report queue overflows (n/a): the flood shows them as lost records."
    print ""
    printf "%-11s %9s %12s %12s %12s %10s %s\n", "flood", "ops/s", "records", "opens", "closes", "overflows", "verdict"
    for (i = 1; i <= n; i++) {
      l = order[i]
      if (!(l in fseen)) continue
      if (l == "none") { printf "%-11s %9.0f\n", l, fops[l]; continue }
      counted = fopen[l] >= 0
      # A listener that does not count overflows (fatrace) shows them as missing records.
      exact = counted && fopen[l] == files && fclose[l] == files && fov[l] <= 0
      v = !counted ? (fov[l] == 0 ? "no overflow; records not counted" : fov[l] > 0 ? "overflowed" : "unknown") : exact ? "exact" : fopen[l] < files ? "records lost" : "extra records"
      # Fewer than one record per file cannot carry every open and close.
      if (l == "zorvad") {
        # Reads under no root are dropped in the kernel: fewer records is the point.
        v = (fov[l] > 0 ? "overflowed" : "no overflow") "; reads dropped in the kernel"
      } else if (!counted && fbound[l] && frec[l] >= 0 && frec[l] < files) {
        v = v "; records lost: read at most " frec[l]; lost[l] = 1
      }
      printf "%-11s %9.0f %12s %12s %12s %10s %s\n", l, fops[l], num(frec[l], "%d", fbound[l] ? "<=" : ""),
        num(fopen[l], "%d"), num(fclose[l], "%d"), fov[l] < 0 ? "n/a" : fov[l], v
      fok[l] = counted ? exact : (fov[l] > 0 || lost[l]) ? 0 : -1
    }
    printf "  expected: opens = closes = %d, records %d (none merged) down to %d (each open merged\n", files, 2 * files, files
    print "  with its close), no overflow"
    print ""
    print "Targets (zorvad; fatrace beside it for reference):"
    if ("zorvad" in seen) {
      printf "  %-11s CPU per operation <= 0.3x bare: %s, %s\n", "zorvad", num(ro["zorvad"], "%.2fx"),
        verdict(ro["zorvad"] >= 0 && ro["zorvad"] <= 0.3)
      printf "  %-11s slowdown <= 1.15x no listener: %.2fx, %s (the bare reader: %.2fx)\n", "zorvad",
        slow["zorvad"], verdict(slow["zorvad"] <= 1.15), bare_slow
      if ("zorvad" in fseen) printf "  %-11s flood: %s\n", "zorvad", (fov["zorvad"] > 0 ? "overflowed" : "no overflow")
    } else {
      printf "  %-11s not run\n", "zorvad"
    }
    for (i = 4; i <= 5; i++) {
      l = order[i]
      if (!(l in seen)) { printf "  %-11s not run\n", l; continue }
      if (l == "zorvad-root") {
        printf "  %-11s CPU per operation <= 2.2x bare: %s, %s\n", l, num(ro[l], "%.2fx"),
          verdict(ro[l] >= 0 && ro[l] <= 2.2)
      } else if (rr[l] > 0 && !bound[l]) {
        printf "  %-11s CPU per record <= 2x bare: %.2fx, %s\n", l, rr[l], verdict(rr[l] <= 2)
      } else {
        printf "  %-11s CPU per operation: %s the bare reader'"'"'s\n", l, num(ro[l], "%.2fx")
      }
      rel = slow[l] / bare_slow
      printf "  %-11s slowdown against the bare reader'"'"'s: %.2fx / %.2fx = %.2fx\n", l, slow[l], bare_slow, rel
      if (!(l in fseen)) printf "  %-11s flood: not run\n", l
      else if (fok[l] < 0) printf "  %-11s flood exact with no overflow: no overflow reported, records not counted\n", l
      else printf "  %-11s flood exact with no overflow: %s\n", l, verdict(fok[l])
    }
  }' "$results"

echo
if [[ -s $storm_figures ]]; then
  storm() { value_of "$1" "$storm_figures"; }
  storm_title="Storm, $(fmt "$(storm rate_target)") processes/s for $(storm seconds) s"
  echo "$storm_title (ratios against the same storm with no listener):"
  printf '  processes/s: %s with the source, %s with none: slowdown %sx; CPU per process of the\n' \
    "$(fmt "$(storm rate)")" "$(fmt "$(storm base_rate)")" "$(storm rate_ratio)"
  printf '    storm %s µs against %s µs (%sx)\n' "$(storm cpu_us_per_proc)" \
    "$(storm base_cpu_us_per_proc)" "$(storm proc_cpu_ratio)"
  printf '  probe opens seen %s of %s; wrong ppid %s, wrong executable %s\n' \
    "$(fmt "$(storm seen_opens)")" "$(fmt "$(storm expected_opens)")" "$(storm wrong_ppid)" \
    "$(storm wrong_exe)"
  printf '  process table %s before, at most %s, %s after; connector losses %s, /proc look-ups %s\n' \
    "$(storm table_before)" "$(storm table_max)" "$(storm table_after)" "$(storm losses)" \
    "$(storm proc_reads)"
  printf '  reader CPU %s µs per process event (%s applied), %s µs per process made\n' \
    "$(storm us_per_event)" "$(fmt "$(storm received)")" "$(storm us_per_proc)"
else
  echo "Storm: not run"
fi
