#!/usr/bin/env bash
# Batches on a 3-node Slurm cluster while faults are injected at random
# moments, and a check of what every batch leaves. See bench/README.md
# ("Chaos on a 3-node cluster").
#
#   bench/chaos.sh [--seconds N] [--work DIR] [--seed S]
#
# For N seconds (default 3600) batches run one after another, alternately
# of whole files (3 to 6 clips, --retries 3) and of segmented files (1 or 2
# clips, --segments 3, --retries 3), each into an output folder of its own,
# while a second loop, every 3 to 15 s, does one of:
#   node-kill    a node dies: its slurmd and every process on it are killed
#                (scripts/slurm-local.sh kill-node); it comes back 5 to 30 s
#                later (revive-node)
#   slurmd-kill  only a node's slurmd dies (kill-slurmd): its tasks go on
#                unseen, the controller takes the node for dead after
#                SlurmdTimeout and the front end submits them again while
#                they may still write; slurmd comes back 5 to 30 s later
#   node-down    scontrol update state=down on a node, state=resume 3 to 15 s
#                later
#   task-cancel  scancel of one running task
#   front-kill   SIGKILL of the front end following the batch; the batch is
#                then followed with vexav-convert --cluster-status JOBFOLDER
#                --wait (again if that one is killed too)
# After each batch, every file must have ended either converted (the output
# decoded, with as many pictures as the source and a mean PSNR of at least
# 30 dB against it, and the same bytes as a conversion of the same file on
# this machine) or failed with a message (--json's result: "failed" with an
# error, "stopped" or "canceled"); every part a task kept, as named in a
# result (or in the front end's message when it submitted a stopped task
# again), is still there; and the output folder holds nothing else (no job
# folder, no segment piece, no reservation). At the end the cluster is
# stopped and nothing of it may run. The figures (batches, files, faults,
# outcomes, violations) are printed and written to WORK/summary.txt; every
# violation is listed with its batch in WORK/violations.txt. The exit status
# is 0 when there was none.
#
# The cluster is one of its own, beside the test clusters (other folder,
# ports, namespaces and addresses; override with VEXAV_SLURM_DIR,
# VEXAV_SLURM_PORT, VEXAV_SLURM_NET, VEXAV_SLURM_SUBNET). The programs are
# copied into WORK/bin first, so that a rebuild during the run changes
# nothing. Needs root.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

seconds=3600
work=""
seed=""
while [ "$#" -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --seed) seed="$2"; shift 2 ;;
    -h | --help) sed -n '2,40p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "chaos.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
[ "$(id -u)" -eq 0 ] || { echo "chaos.sh: needs root (Slurm's daemons, namespaces)" >&2; exit 1; }
[ -n "$seed" ] || seed=$$
RANDOM=$seed

export VEXAV_SLURM_DIR="${VEXAV_SLURM_DIR:-/tmp/vexav-chaos-slurm}"
export VEXAV_SLURM_PORT="${VEXAV_SLURM_PORT:-16917}"
export VEXAV_SLURM_NET="${VEXAV_SLURM_NET:-vxc}"
export VEXAV_SLURM_SUBNET="${VEXAV_SLURM_SUBNET:-10.231.47}"
slurm_local="$VEXAV_ROOT/scripts/slurm-local.sh"

[ -n "$work" ] || work="$(mktemp -d /tmp/vexav-chaos-XXXXXX)"
mkdir -p "$work"
work="$(cd "$work" && pwd)"
bin="$work/bin"
faults="$work/faults.log"
violations="$work/violations.txt"
: >"$faults"
: >"$violations"

log() { printf '%s %s\n' "$(date -u +%H:%M:%S)" "$*"; }

# The programs, built and copied.
cmake --build "$VEXAV_BUILD" -j2 --target vexav-convert vexav-mediagen >"$work/build.log" 2>&1 ||
  { echo "chaos.sh: the build failed (see $work/build.log)" >&2; exit 1; }
mkdir -p "$bin"
cp "$VEXAV_BUILD/bin/vexav-convert" "$VEXAV_BUILD/bin/vexav-mediagen" "$bin/"
convert="$bin/vexav-convert"
mediagen="$bin/vexav-mediagen"

# The sources (at 30000/1001 frames/s, the preset's rate, so that their
# pictures compare one to one with the outputs') and their conversions on
# this machine: one codec thread, as a task with one CPU converts.
src="$work/sources"
ref="$work/reference"
mkdir -p "$src" "$ref/whole" "$ref/segments"
whole=()
for i in 1 2 3 4 5 6 7 8; do
  size=320x240
  [ $((i % 3)) -eq 0 ] && size=640x480
  pattern=textured
  [ $((i % 2)) -eq 0 ] && pattern=moving
  "$mediagen" --size "$size" --rate 30000/1001 --duration $((2 + i % 5)) --pattern "$pattern" \
    "$src/w$i.avi" >/dev/null || { echo "chaos.sh: no clip w$i" >&2; exit 1; }
  whole+=("$src/w$i.avi")
done
segmented=()
for i in 1 2 3; do
  "$mediagen" --size 320x240 --rate 30000/1001 --duration $((6 + 2 * i)) --pattern textured \
    "$src/s$i.avi" >/dev/null || { echo "chaos.sh: no clip s$i" >&2; exit 1; }
  segmented+=("$src/s$i.avi")
done
"$convert" --codec-threads 1 --output-dir "$ref/whole" "${whole[@]}" >/dev/null 2>"$work/ref.log" &&
  "$convert" --segments 3 --jobs 2 --output-dir "$ref/segments" "${segmented[@]}" \
    >/dev/null 2>>"$work/ref.log" ||
  { echo "chaos.sh: the reference conversions failed (see $work/ref.log)" >&2; exit 1; }

# The cluster.
"$slurm_local" start --nodes 3 || { echo "chaos.sh: the cluster did not start" >&2; exit 1; }
eval "$("$slurm_local" env)"
nodes=(node1 node2 node3)

declare -A count=()
add() { count[$1]=$((${count[$1]:-0} + ${2:-1})); }
violation() {
  add violations
  log "VIOLATION batch $batch: $*" | tee -a "$violations"
}

# --- The fault loop (a process of its own) ---------------------------------
# It records each fault as one line "TIME KIND DETAIL" in faults.log; the
# front end it may kill is the one named in WORK/frontend.pid once its
# batch was submitted.
fault_loop() {
  local end=$1 kind node job pid dead_until=0
  RANDOM=$((seed + 1))
  while [ "$(date +%s)" -lt "$end" ]; do
    sleep $((3 + RANDOM % 13))
    [ -f "$work/stop-faults" ] && break
    kind=$((RANDOM % 5))
    node="${nodes[RANDOM % 3]}"
    case $kind in
      0 | 4)
        # One node dead at a time, so that two take the work meanwhile.
        [ "$(date +%s)" -ge "$dead_until" ] || continue
        local how=kill-node what=node-kill
        [ "$kind" = 4 ] && how=kill-slurmd what=slurmd-kill
        "$slurm_local" "$how" "$node" >/dev/null 2>&1 || continue
        local back=$((5 + RANDOM % 26))
        dead_until=$(($(date +%s) + back + 2))
        echo "$(date -u +%T) $what $node (back in $back s)" >>"$faults"
        (
          sleep "$back"
          "$slurm_local" revive-node "$node" >>"$work/revive.log" 2>&1 ||
            echo "$(date -u +%T) revive of $node failed" >>"$work/revive.log"
        ) &
        ;;
      1)
        scontrol update nodename="$node" state=down reason=chaos >/dev/null 2>&1 || continue
        local back=$((3 + RANDOM % 13))
        echo "$(date -u +%T) node-down $node (resumed in $back s)" >>"$faults"
        (
          sleep "$back"
          scontrol update nodename="$node" state=resume >/dev/null 2>&1 || true
        ) &
        ;;
      2)
        job="$(squeue -h -t RUNNING -o %i 2>/dev/null | shuf -n 1 --random-source=<(yes $RANDOM))"
        [ -n "$job" ] || continue
        scancel "$job" >/dev/null 2>&1 || continue
        echo "$(date -u +%T) task-cancel $job" >>"$faults"
        ;;
      3)
        [ -s "$work/frontend.pid" ] || continue
        pid="$(cat "$work/frontend.pid")"
        kill -9 "$pid" 2>/dev/null || continue
        echo "$(date -u +%T) front-kill $pid" >>"$faults"
        ;;
    esac
  done
  wait
}

# --- One batch ---------------------------------------------------------------
# Runs a front end (vexav-convert with the arguments after $1) with --json
# into the batch's files; its pid is offered to the fault loop once the batch
# is submitted (at once when $1 is "now": a follower). A front end that has
# not ended after 15 minutes is stopped (SIGTERM, taken as Ctrl-C). Sets rc.
run_front() {
  local when="$1" pid
  shift
  timeout -s TERM 900 "$convert" --json "$@" >>"$bdir/out.jsonl" 2>>"$bdir/err.txt" &
  pid=$!
  (
    if [ "$when" != now ]; then
      for _ in $(seq 1 600); do
        grep -q 'submitted job' "$bdir/err.txt" 2>/dev/null && break
        kill -0 "$pid" 2>/dev/null || exit 0
        sleep 0.1
      done
    fi
    # The program itself, not timeout above it.
    local child
    child="$(pgrep -P "$pid" -f "$convert" | head -n 1)"
    echo "${child:-$pid}" >"$work/frontend.pid"
  ) &
  local offer=$!
  wait "$pid"
  rc=$?
  kill "$offer" 2>/dev/null
  wait "$offer" 2>/dev/null
  rm -f "$work/frontend.pid"
  [ "$rc" -ne 124 ] || violation "a front end had not ended after 900 s: stopped"
}

# The results the JSON lines of the batch hold for file $1 (basename),
# other than "converting": one line per result, its status, output and
# error fields separated by the unit separator (0x1f).
json_results() {
  python3 - "$bdir/out.jsonl" "$1" <<'PY'
import json, os, sys
path, name = sys.argv[1], sys.argv[2]
for line in open(path, errors="replace"):
    try:
        v = json.loads(line)
    except ValueError:
        continue
    if os.path.basename(v.get("file", "")) != name or v.get("status") == "converting":
        continue
    print("%s\x1f%s\x1f%s" % (v.get("status") or "", v.get("output") or "", v.get("error") or ""))
PY
}

# Checks a converted output $1 against its source $2 and reference $3.
check_output() {
  local out="$1" source="$2" reference="$3" line frames_out frames_src mean
  line="$("$mediagen" --psnr "$out" "$source" 2>&1 | tail -n 1)"
  read -r _ frames_out frames_src _ mean _ <<<"$line"
  if [ "$frames_out" != "$frames_src" ] || [ -z "$mean" ] ||
    ! awk -v m="$mean" 'BEGIN { exit !(m >= 30) }'; then
    violation "$(basename "$out"): decoded as '$line'"
    return
  fi
  if cmp -s "$out" "$reference"; then add identical; else violation "$(basename "$out"): not the bytes of the conversion here"; fi
}

batch=0
check_batch() {
  local kind="$1"
  shift
  local source name stem final results status output error
  local -A allowed=()
  for source in "$@"; do
    name="$(basename "$source")"
    stem="${name%.avi}"
    final="$bdir/out/$stem (MPEG-4 Video).mp4"
    results="$(json_results "$name")"
    # A part named as kept by any result must still be there.
    while IFS=$'\x1f' read -r status output error; do
      [ -n "$output" ] || continue
      allowed["$output"]=1
      [ -e "$output" ] || violation "$name: the part or output $output named in a result is gone"
    done <<<"$results"
    # So must a part that a task kept before the front end submitted it
    # again (named in the front end's message, not in a result).
    while IFS= read -r output; do
      allowed["$output"]=1
      [ -e "$output" ] || violation "$name: the part $output kept before a retry is gone"
    done < <(grep -F "$name: " "$bdir/err.txt" 2>/dev/null |
      sed -n 's/.*; the part it converted before is kept as \(.*\)$/\1/p')
    add files
    if [ -e "$final" ]; then
      allowed["$final"]=1
      add converted
      check_output "$final" "$source" "$ref/$kind/$stem (MPEG-4 Video).mp4"
      continue
    fi
    status="$(cut -d $'\x1f' -f1 <<<"$results" | grep -v '^done$' | tail -n 1)"
    error="$(tail -n 1 <<<"$results" | cut -d $'\x1f' -f3)"
    case "$status" in
      failed)
        if [ -n "$error" ]; then add failed; else violation "$name: failed without a message"; fi
        ;;
      stopped) add stopped ;;
      canceled) add canceled ;;
      *) violation "$name: no output and no result (results: $(echo $results))" ;;
    esac
  done
  # Nothing else in the output folder.
  if [ -d "$bdir/out" ]; then
    local entry
    while IFS= read -r -d '' entry; do
      [ -n "${allowed[$entry]:-}" ] || violation "stray $(basename "$entry") in the output folder"
    done < <(find "$bdir/out" -mindepth 1 -maxdepth 1 -print0)
  fi
}

run_batch() {
  local kind files=() args=() job_folder follows=0 i n
  batch=$((batch + 1))
  bdir="$work/batches/$batch"
  mkdir -p "$bdir"
  if [ $((batch % 2)) -eq 1 ]; then
    kind=whole
    n=$((3 + RANDOM % 4))
    mapfile -t files < <(printf '%s\n' "${whole[@]}" | shuf -n "$n" --random-source=<(yes $RANDOM))
    args=(--cluster slurm --retries 3 --output-dir "$bdir/out")
  else
    kind=segments
    n=$((1 + RANDOM % 2))
    mapfile -t files < <(printf '%s\n' "${segmented[@]}" | shuf -n "$n" --random-source=<(yes $RANDOM))
    args=(--cluster slurm --retries 3 --segments 3 --output-dir "$bdir/out")
  fi
  add "batches_$kind"
  run_front submitted "${args[@]}" "${files[@]}"
  # A killed front end: the batch is followed from its job folder, until a
  # follower is not killed.
  while [ "$rc" -eq 137 ] && [ "$follows" -lt 20 ]; do
    job_folder="$(sed -n 's/.*job folder \(.*\)). Assumed.*/\1/p' "$bdir/err.txt" | head -n 1)"
    [ -n "$job_folder" ] || break
    if [ ! -d "$job_folder" ]; then
      # Killed after it had settled the batch (or while removing the folder).
      rc=0
      break
    fi
    follows=$((follows + 1))
    add follows
    echo "--- follow $follows" >>"$bdir/err.txt"
    run_front now --cluster-status "$job_folder" --wait
  done
  case "$rc" in
    0 | 1) ;;
    *) violation "the front end ended with status $rc (see $bdir/err.txt)" ;;
  esac
  check_batch "$kind" "${files[@]}"
  log "batch $batch ($kind, ${#files[@]} files): status $rc, $follows follows;" \
    "converted ${count[converted]:-0} failed ${count[failed]:-0} stopped ${count[stopped]:-0}" \
    "violations ${count[violations]:-0} so far"
}

start_time=$(date +%s)
end_time=$((start_time + seconds))
log "chaos: $seconds s on 3 nodes, seed $seed, work folder $work"
fault_loop "$end_time" &
faults_pid=$!
while [ "$(date +%s)" -lt "$end_time" ]; do
  run_batch
done
touch "$work/stop-faults"
wait "$faults_pid"
elapsed=$(($(date +%s) - start_time))
batches=$batch

# Nothing may run after stop.
"$slurm_local" stop
sleep 1
left="$(pgrep -af "$bin/vexav-convert|$VEXAV_SLURM_DIR/" | grep -v pgrep || true)"
if [ -n "$left" ]; then
  batch=end
  violation "still running after stop: $left"
fi
if ip netns list 2>/dev/null | grep -q "^${VEXAV_SLURM_NET}n[0-9]"; then
  batch=end
  violation "namespaces left after stop: $(ip netns list | grep "^${VEXAV_SLURM_NET}n" | tr '\n' ' ')"
fi

for kind in node-kill slurmd-kill node-down task-cancel front-kill; do
  count[$kind]="$(grep -c " $kind " "$faults" || true)"
done
{
  echo "chaos run: $elapsed s on 3 nodes (seed $seed)"
  echo "batches: $batches (${count[batches_whole]:-0} of whole files, ${count[batches_segments]:-0} segmented)"
  echo "files: ${count[files]:-0}"
  echo "faults: ${count[node-kill]} node kills (slurmd and its tasks), ${count[slurmd-kill]} slurmd kills (its tasks going on)," \
    "${count[node-down]} nodes set down and back," \
    "${count[task-cancel]} tasks cancelled, ${count[front-kill]} front ends killed (${count[follows]:-0} follows with --cluster-status --wait)"
  echo "outcomes: ${count[converted]:-0} converted (${count[identical]:-0} with the bytes of the local conversion)," \
    "${count[failed]:-0} failed with a message, ${count[stopped]:-0} stopped with a message, ${count[canceled]:-0} canceled"
  echo "violations: ${count[violations]:-0}"
} | tee "$work/summary.txt"
[ "${count[violations]:-0}" -eq 0 ]
