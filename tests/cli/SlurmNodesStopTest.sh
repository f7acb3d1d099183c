#!/usr/bin/env bash
# scripts/slurm-local.sh on several nodes: `start --nodes 3` makes three
# nodes with host names and addresses of their own, and `stop` ends
# everything they ran and removes them. A cluster of its own (its own
# folder, port, namespaces and addresses, beside the one the other cluster
# tests use) runs a conversion task; the slurmd of the task's node is
# killed, so that only the sweep can end the task; after `stop` nothing of
# the task, no daemon and no namespace or bridge of the cluster may be
# left, and a second `stop` (after a crash, say) finds nothing to do.
#
#   SlurmNodesStopTest.sh SLURM_LOCAL_SCRIPT VEXAV_CONVERT VEXAV_MEDIAGEN
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

work="$(mktemp -d /tmp/vexav-nodestoptest-XXXXXX)"
export VEXAV_SLURM_DIR="$work/slurm" VEXAV_SLURM_PORT=16877
unset VEXAV_SLURM_NET VEXAV_SLURM_SUBNET
net="vx16877"
cleanup() {
  "$script" stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
running() {
  local state
  state="$(ps -o stat= -p "$1" 2>/dev/null)" || return 1
  [ -n "$state" ] && [ "${state:0:1}" != Z ]
}

"$script" start --nodes 3 >/dev/null || fail "the 3-node cluster did not start"
export SLURM_CONF="$VEXAV_SLURM_DIR/slurm.conf"
[ "$("$script" nodes | tr '\n' ' ')" = "node1 node2 node3 " ] ||
  fail "nodes: $("$script" nodes | tr '\n' ' ')"
for i in 1 2 3; do
  ip netns list | grep -q "^${net}n$i\b" || fail "no namespace ${net}n$i"
  # Its own host name and address, inside its namespace.
  pid="$(cat "$VEXAV_SLURM_DIR/slurmd-node$i.pid")"
  [ "$(nsenter --target "$pid" --uts hostname)" = "node$i" ] || fail "node$i's host name"
  ip -n "${net}n$i" -4 addr show | grep -q "inet 10\.65\.237\.$((10 + i))/24" ||
    fail "node$i's address: $(ip -n "${net}n$i" -4 addr show)"
done

"$mediagen" --size 640x480 --duration 10 --pattern textured "$work/clip.avi" >/dev/null ||
  fail "no clip"
mapfile -t submitted < <("$convert" --cluster slurm --detach --output-dir "$work/out" \
  "$work/clip.avi" 2>/dev/null)
[ "${#submitted[@]}" -eq 2 ] || fail "not submitted: ${submitted[*]}"
job_folder="${submitted[1]}"

task=""
for _ in $(seq 1 300); do
  task="$(pgrep -f -- "--cluster-task $job_folder" | head -n 1)"
  [ -n "$task" ] && break
  sleep 0.1
done
[ -n "$task" ] || fail "the task did not start"
stepd="$(ps -o ppid= -p "$task" | tr -d ' ')"
node="$(sed -n 's/.*"host":"\(node[0-9]\)".*/\1/p' "$job_folder/task-0.jsonl" 2>/dev/null | head -n 1)"
for _ in $(seq 1 100); do
  [ -n "$node" ] && break
  sleep 0.1
  node="$(sed -n 's/.*"host":"\(node[0-9]\)".*/\1/p' "$job_folder/task-0.jsonl" 2>/dev/null | head -n 1)"
done
[ -n "$node" ] || fail "the task's report names no node"
ip netns pids "${net}n${node#node}" | grep -qx "$task" || fail "the task does not run in $node's namespace"

# The node's slurmd dies under the task; the task runs on.
kill -9 "$(cat "$VEXAV_SLURM_DIR/slurmd-$node.pid")"
sleep 0.3
running "$task" || fail "the task ended before the test could stop the cluster"

"$script" stop >/dev/null 2>&1
left=""
for pid in "$task" "$stepd"; do
  running "$pid" && left+=" $(ps -o pid=,args= -p "$pid")"
done
for pid in $(pgrep -f -- "$VEXAV_SLURM_DIR/"); do
  running "$pid" && left+=" $(ps -o pid=,args= -p "$pid")"
done
[ -z "$left" ] || fail "still running after stop:$left"
[ -z "$(ip netns list | grep "^${net}n")" ] || fail "namespaces left: $(ip netns list)"
! ip link show "${net}br" >/dev/null 2>&1 || fail "the bridge ${net}br was left"
[ ! -e "$VEXAV_SLURM_DIR" ] || fail "$VEXAV_SLURM_DIR was not removed"
"$script" stop || fail "a second stop failed"
echo "PASS: 3 nodes with their own names and addresses; stop ended the task on $node" \
  "after its slurmd had died, and removed the namespaces and the bridge"
