#!/usr/bin/env bash
# scripts/slurm-local.sh stop ends everything its cluster started, also when
# slurmd died first: a second one-node cluster (its own folder and ports,
# beside the one the other cluster tests use) runs a conversion task, its
# slurmd is killed, and after `stop` neither the task's slurmstepd nor the
# `vexav-convert --cluster-task` process may be left.
#
#   SlurmStopTest.sh SLURM_LOCAL_SCRIPT VEXAV_CONVERT VEXAV_MEDIAGEN
#
# Needs root and Slurm's daemons. Skipped (exit 77) without SLURM_CONF, as
# the other cluster tests are, unless VEXAV_CLUSTER_REQUIRED=1.
set -uo pipefail

script="$1" convert="$2" mediagen="$3"

if [ -z "${SLURM_CONF:-}" ] || [ "$(id -u)" -ne 0 ] || ! command -v slurmd >/dev/null; then
  if [ "${VEXAV_CLUSTER_REQUIRED:-0}" = "1" ]; then
    echo "FAIL: no Slurm to test with (SLURM_CONF='${SLURM_CONF:-}', uid $(id -u))" >&2
    exit 1
  fi
  echo "skipped: needs root, Slurm and SLURM_CONF (scripts/slurm-local.sh start)"
  exit 77
fi

work="$(mktemp -d /tmp/vexav-stoptest-XXXXXX)"
export VEXAV_SLURM_DIR="$work/slurm" VEXAV_SLURM_PORT=16837
# Its nodes named after its port, whatever the cluster under test set.
unset VEXAV_SLURM_NET VEXAV_SLURM_SUBNET
cleanup() {
  "$script" stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
# Whether process $1 still runs (a zombie has ended).
running() {
  local state
  state="$(ps -o stat= -p "$1" 2>/dev/null)" || return 1
  [ -n "$state" ] && [ "${state:0:1}" != Z ]
}

"$script" start >/dev/null || fail "the second cluster did not start"
export SLURM_CONF="$VEXAV_SLURM_DIR/slurm.conf"

# A clip whose conversion takes a few seconds on one CPU.
"$mediagen" --size 640x480 --duration 10 --pattern textured "$work/clip.avi" >/dev/null ||
  fail "no clip"
mapfile -t submitted < <("$convert" --cluster slurm --detach --output-dir "$work/out" \
  "$work/clip.avi" 2>/dev/null)
[ "${#submitted[@]}" -eq 2 ] || fail "not submitted: ${submitted[*]}"
job_folder="${submitted[1]}"

# The task runs: its program, and the slurmstepd above it.
task=""
for _ in $(seq 1 300); do
  task="$(pgrep -f -- "--cluster-task $job_folder" | head -n 1)"
  [ -n "$task" ] && break
  sleep 0.1
done
[ -n "$task" ] || fail "the task did not start"
stepd="$(ps -o ppid= -p "$task" | tr -d ' ')"
[ "$(ps -o comm= -p "$stepd")" = slurmstepd ] || fail "the task's parent is not slurmstepd"

# slurmd dies under it; the task and its slurmstepd run on.
kill -9 "$(cat "$VEXAV_SLURM_DIR/slurmd.pid")"
sleep 0.3
running "$task" || fail "the task ended before the test could stop the cluster"

"$script" stop >/dev/null 2>&1
left=""
for pid in "$task" "$stepd"; do
  running "$pid" && left+=" $(ps -o pid=,args= -p "$pid")"
done
stray=""
for pid in $(pgrep -f -- "--cluster-task $job_folder"); do
  running "$pid" && stray+=" $pid"
done
[ -z "$left$stray" ] || fail "still running after stop:$left $stray"
[ ! -e "$VEXAV_SLURM_DIR" ] || fail "$VEXAV_SLURM_DIR was not removed"
echo "PASS: stop ended slurmstepd ($stepd) and the task ($task) after slurmd had died"
