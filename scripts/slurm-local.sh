#!/usr/bin/env bash
# A Slurm cluster on this machine, of one node or of several, for the
# cluster tests, the cluster benchmark and the chaos run. Needs root (the
# daemons run as root here, and the nodes of a larger cluster are network
# namespaces).
#
#   scripts/slurm-local.sh start [--nodes N]
#                                  installs munge and slurm-wlm (and iproute2)
#                                  when missing, starts munged with a key of
#                                  its own, and slurmctld and N slurmd (default
#                                  1) with a configuration made for them, all
#                                  in one temporary folder; waits until every
#                                  node takes jobs.
#                                  One node is this machine itself. With N > 1
#                                  each node is a network namespace and a host
#                                  name of its own (node1, node2, ...), joined
#                                  to the controller by a veth pair on a
#                                  bridge that leads nowhere else; the nodes
#                                  share this machine's files
#   scripts/slurm-local.sh stop    stops every daemon and every process of
#                                  the cluster's jobs (their slurmstepd and
#                                  what it started, also when slurmd died
#                                  first, and everything inside the nodes'
#                                  namespaces), removes the namespaces, the
#                                  bridge and the folder: nothing is left
#                                  running. Also works after a crash
#   scripts/slurm-local.sh env     prints the line that points Slurm's
#                                  commands at this cluster:
#                                    eval "$(scripts/slurm-local.sh env)"
#   scripts/slurm-local.sh nodes   prints the nodes' names, one a line
#   scripts/slurm-local.sh kill-node NAME
#                                  the node dies as a machine does: its slurmd
#                                  and every process on it are killed at once
#                                  (SIGKILL); the controller finds out when the
#                                  node stops answering (SlurmdTimeout)
#   scripts/slurm-local.sh kill-slurmd NAME
#                                  only the node's slurmd dies (SIGKILL): the
#                                  processes of its jobs go on, unseen by the
#                                  controller, which takes the node for dead
#                                  once it stops answering (SlurmdTimeout)
#   scripts/slurm-local.sh revive-node NAME
#                                  starts the slurmd of a killed node (or of a
#                                  node whose slurmd alone was killed) again;
#                                  it registers and takes jobs again
#
# The folder is $VEXAV_SLURM_DIR (default /tmp/vexav-slurm), the ports
# $VEXAV_SLURM_PORT (slurmctld, default 16817) and the one after it
# (slurmd). The nodes of a larger cluster are the namespaces
# ${VEXAV_SLURM_NET}n<i> (default: vx<port>n1, vx<port>n2, ...), with the
# addresses $VEXAV_SLURM_SUBNET.<10+i> (default 10.<port / 256>.<port % 256>,
# 10.65.177.x for port 16817) on the bridge ${VEXAV_SLURM_NET}br, which has
# the controller's address $VEXAV_SLURM_SUBNET.1; so a second cluster runs
# beside the first when it sets another folder and port, and stop ends only
# the nodes of its own cluster. SlurmdTimeout is $VEXAV_SLURMD_TIMEOUT (default 60 s on one
# node, 10 s on several, so that a node that dies is found out quickly).
# Nothing outside the folder is changed: the system's own munge key and
# Slurm configuration (if any) are not used and not touched, and nothing is
# routed between the bridge and any other network.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

dir="${VEXAV_SLURM_DIR:-/tmp/vexav-slurm}"
conf="$dir/slurm.conf"
port="${VEXAV_SLURM_PORT:-16817}"
# Names and addresses follow from the port unless given, so that clusters
# on other ports never touch each other's nodes.
net="${VEXAV_SLURM_NET:-vx$port}"
subnet="${VEXAV_SLURM_SUBNET:-10.$((port / 256 % 256)).$((port % 256))}"
bridge="${net}br"

die() {
  echo "slurm-local: $*" >&2
  exit 1
}

# Ends the daemons whose pid files are given: SIGTERM to all of them at
# once (each takes a second or two to shut down), SIGKILL for any still
# running after 10 s.
stop_pid_files() {
  local file pid pids=""
  for file in "$@"; do
    [ -s "$file" ] || continue
    pid="$(cat "$file")"
    kill "$pid" 2>/dev/null && pids+="$pid "
    rm -f "$file"
  done
  for _ in $(seq 1 100); do
    local alive=""
    for pid in $pids; do
      running "$pid" && alive+="$pid "
    done
    pids="$alive"
    [ -n "$pids" ] || return 0
    sleep 0.1
  done
  kill -9 $pids 2>/dev/null || true
}

# Ends the daemons whose command line names this folder: those whose pid
# file is gone (the folder was removed under them) would otherwise run on.
stop_strays() {
  local name pid
  for name in slurmd slurmctld munged; do
    for pid in $(pgrep -x "$name" 2>/dev/null || true); do
      if tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF "$dir/"; then
        kill "$pid" 2>/dev/null || true
        sleep 1
        kill -9 "$pid" 2>/dev/null || true
      fi
    done
  done
}

# Whether slurmstepd $1 works for this cluster: its working directory is
# the folder, or it holds a file of it open (slurmd's log). The paths stay
# readable, with " (deleted)", once the folder is gone.
stepd_of_this_cluster() {
  local pid="$1" fd
  case "$(readlink "/proc/$pid/cwd" 2>/dev/null)" in
    "$dir" | "$dir/"* | "$dir (deleted)") return 0 ;;
  esac
  for fd in "/proc/$pid/fd/"*; do
    case "$(readlink "$fd" 2>/dev/null)" in
      "$dir/"*) return 0 ;;
    esac
  done
  return 1
}

# Whether process $1 belongs to a job of this cluster: Slurm puts the
# job's id and the cluster's configuration into every job's environment.
job_of_this_cluster() {
  grep -qzxF "SLURM_CONF=$conf" "/proc/$1/environ" 2>/dev/null &&
    grep -qz '^SLURM_JOB_ID=' "/proc/$1/environ" 2>/dev/null
}

# The processes of this cluster's jobs: each slurmstepd of it with every
# process of its session, each process whose environment makes it one of
# the jobs (also when its slurmstepd is gone), and whatever these started.
# This script and the processes above it are never among them.
job_processes() {
  local pid ppid sid p mine=" " sessions=" " picked=" " more=1
  p=$$
  while [ -n "$p" ] && [ "$p" -gt 1 ]; do
    mine+="$p "
    p="$(ps -o ppid= -p "$p" 2>/dev/null | tr -d ' ')"
  done
  for pid in $(pgrep -x slurmstepd 2>/dev/null || true); do
    stepd_of_this_cluster "$pid" || continue
    picked+="$pid "
    sessions+="$(ps -o sid= -p "$pid" 2>/dev/null | tr -d ' ') "
  done
  while read -r pid sid; do
    case "$mine$picked" in *" $pid "*) continue ;; esac
    if [[ "$sessions" == *" $sid "* ]] || job_of_this_cluster "$pid"; then picked+="$pid "; fi
  done < <(ps -eo pid=,sid=)
  while [ "$more" = 1 ]; do
    more=0
    while read -r pid ppid; do
      case "$mine$picked" in *" $pid "*) continue ;; esac
      if [[ "$picked" == *" $ppid "* ]]; then
        picked+="$pid "
        more=1
      fi
    done < <(ps -eo pid=,ppid=)
  done
  echo $picked
}

# Whether process $1 still runs (a zombie has ended: it only waits to be
# reaped).
running() {
  local state
  state="$(ps -o stat= -p "$1" 2>/dev/null)" || return 1
  [ -n "$state" ] && [ "${state:0:1}" != Z ]
}

# Ends the processes of this cluster's jobs: SIGTERM to the jobs' own
# processes (a conversion stops and keeps its part), SIGKILL for what is
# left of them after 5 s, and for the slurmstepd processes, which without
# their slurmd would only wait for it.
stop_jobs() {
  local pids jobs="" stepds="" alive p
  pids="$(job_processes)"
  [ -n "$pids" ] || return 0
  for p in $pids; do
    if [ "$(ps -o comm= -p "$p" 2>/dev/null)" = slurmstepd ]; then
      stepds+="$p "
    else
      jobs+="$p "
    fi
  done
  [ -z "$jobs" ] || kill $jobs 2>/dev/null || true
  for _ in $(seq 1 50); do
    alive=""
    for p in $jobs; do
      running "$p" && alive+="$p "
    done
    jobs="$alive"
    [ -n "$jobs" ] || break
    sleep 0.1
  done
  kill -9 $jobs $stepds 2>/dev/null || true
  # SIGKILL takes a moment to end a process: stop returns once it has.
  for _ in $(seq 1 50); do
    alive=""
    for p in $jobs $stepds; do
      running "$p" && alive+="$p "
    done
    [ -n "$alive" ] || return 0
    sleep 0.1
  done
}

# The namespaces of this cluster's nodes that exist now (also those of a
# cluster whose folder is gone).
node_namespaces() {
  command -v ip >/dev/null 2>&1 || return 0
  ip netns list 2>/dev/null | awk '{print $1}' | grep -E "^${net}n[0-9]+\$" || true
}

# Kills (SIGKILL) every process inside namespace $1 and waits until they
# have ended.
kill_namespace() {
  local pids alive p
  for _ in $(seq 1 50); do
    pids="$(ip netns pids "$1" 2>/dev/null | tr '\n' ' ')"
    alive=""
    for p in $pids; do
      running "$p" && alive+="$p "
    done
    [ -n "$alive" ] || return 0
    kill -9 $alive 2>/dev/null || true
    sleep 0.1
  done
}

# Removes the nodes' namespaces (with the veth pairs in them) and the
# bridge, once nothing runs in them any more.
remove_nodes() {
  local ns
  for ns in $(node_namespaces); do
    kill_namespace "$ns"
    ip netns del "$ns" 2>/dev/null || true
  done
  if command -v ip >/dev/null 2>&1 && ip link show "$bridge" >/dev/null 2>&1; then
    ip link del "$bridge" 2>/dev/null || true
  fi
}

stop() {
  if [ -d "$dir" ]; then
    # Jobs still on the nodes end first, through Slurm.
    if [ -f "$conf" ] && command -v scancel >/dev/null 2>&1 && [ -s "$dir/slurmctld.pid" ]; then
      SLURM_CONF="$conf" timeout 10 scancel --user=root >/dev/null 2>&1 || true
    fi
    stop_pid_files "$dir"/slurmd*.pid "$dir/slurmctld.pid" "$dir/munged.pid"
  fi
  stop_strays
  # What Slurm could not end: a job whose slurmd had died (slurmstepd and
  # the job's processes run on without it).
  stop_jobs
  # Whatever is left inside a node: nothing there is anyone else's.
  remove_nodes
  rm -rf "$dir"
}

# The configuration of a cluster of $1 nodes: this machine itself when
# one, else node1..node$1 at $subnet.11, .12, ... with one CPU each (so that
# a batch spreads over them) and a share of the memory.
write_config() {
  local nodes="$1" host cpus mem timeout i
  host="$(hostname -s)"
  cpus="$(nproc)"
  mem=$(($(awk '/^MemTotal:/ {print $2}' /proc/meminfo) / 1024 - 1024))
  [ "$mem" -gt 512 ] || mem=512
  if [ "$nodes" -eq 1 ]; then
    timeout="${VEXAV_SLURMD_TIMEOUT:-60}"
  else
    timeout="${VEXAV_SLURMD_TIMEOUT:-10}"
  fi
  {
    echo "# $nodes-node cluster made by scripts/slurm-local.sh on $host."
    echo "ClusterName=vexav"
    if [ "$nodes" -eq 1 ]; then
      echo "SlurmctldHost=$host"
      echo "SlurmdPidFile=$dir/slurmd.pid"
      echo "SlurmdLogFile=$dir/slurmd.log"
      echo "SlurmdSpoolDir=$dir/spool"
    else
      echo "SlurmctldHost=$host($subnet.1)"
      echo "SlurmdPidFile=$dir/slurmd-%n.pid"
      echo "SlurmdLogFile=$dir/slurmd-%n.log"
      echo "SlurmdSpoolDir=$dir/spool/%n"
    fi
    cat <<CONF
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge.socket
StateSaveLocation=$dir/state
SlurmctldPidFile=$dir/slurmctld.pid
SlurmctldLogFile=$dir/slurmctld.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SwitchType=switch/none
MpiDefault=none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
# Finished jobs stay visible to scontrol for 5 minutes: the front end reads
# why a task ended from there when the cluster keeps no accounting.
MinJobAge=300
KillWait=15
SchedulerParameters=sched_interval=1
SlurmctldTimeout=30
SlurmdTimeout=$timeout
MaxArraySize=${VEXAV_SLURM_MAX_ARRAY_SIZE:-1001}
CONF
    if [ "$nodes" -eq 1 ]; then
      echo "NodeName=$host CPUs=$cpus RealMemory=$mem State=UNKNOWN"
      echo "PartitionName=local Nodes=$host Default=YES MaxTime=INFINITE State=UP"
    else
      mem=$((mem / nodes))
      [ "$mem" -gt 256 ] || mem=256
      for i in $(seq 1 "$nodes"); do
        echo "NodeName=node$i NodeHostname=node$i NodeAddr=$subnet.$((10 + i)) CPUs=1" \
          "RealMemory=$mem State=UNKNOWN"
      done
      echo "PartitionName=local Nodes=node[1-$nodes] Default=YES MaxTime=INFINITE State=UP"
    fi
  } >"$conf"
}

# The namespace of node $1 (node<i>); fails for a name of no node.
node_namespace() {
  case "$1" in
    node[1-9] | node[1-9][0-9]) echo "${net}n${1#node}" ;;
    *) return 1 ;;
  esac
}

# Makes the bridge with the controller's address, and per node a namespace
# joined to it by a veth pair. No route leads anywhere else.
make_nodes() {
  local nodes="$1" i ns
  ip link add "$bridge" type bridge || die "cannot make the bridge $bridge"
  ip addr add "$subnet.1/24" dev "$bridge"
  ip link set "$bridge" up
  for i in $(seq 1 "$nodes"); do
    ns="${net}n$i"
    ip netns add "$ns" || die "cannot make the namespace $ns"
    ip link add "${net}h$i" type veth peer name "${net}v$i" netns "$ns" ||
      die "cannot make the veth pair of $ns"
    ip link set "${net}h$i" master "$bridge"
    ip link set "${net}h$i" up
    ip -n "$ns" link set lo up
    ip -n "$ns" addr add "$subnet.$((10 + i))/24" dev "${net}v$i"
    ip -n "$ns" link set "${net}v$i" up
  done
}

# Starts the slurmd of node $1 inside its namespace, with the node's name as
# the host name there (a UTS namespace of its own).
start_node() {
  local name="$1" ns
  ns="$(node_namespace "$name")" || die "no node '$name'"
  ip netns list 2>/dev/null | awk '{print $1}' | grep -qxF "$ns" || die "node $name is not made"
  mkdir -p "$dir/spool/$name"
  # nsenter, not `ip netns exec`: that one mounts a /sys of its own, without
  # the cgroup file systems slurmd reads.
  nsenter --net="/run/netns/$ns" unshare --uts \
    sh -c 'hostname "$1" && exec slurmd -N "$1" -f "$2"' sh "$name" "$conf" ||
    die "slurmd of $name did not start: $(tail -n 5 "$dir/slurmd-$name.log" 2>/dev/null)"
}

# Kills node $1 as a machine dies: its slurmd and every process in it.
kill_node() {
  local ns
  ns="$(node_namespace "$1")" || die "no node '$1'"
  ip netns list 2>/dev/null | awk '{print $1}' | grep -qxF "$ns" || die "node $1 is not made"
  kill_namespace "$ns"
  rm -f "$dir/slurmd-$1.pid"
}

# Kills the slurmd of node $1 alone (SIGKILL) and waits until it has
# ended; the node's other processes run on.
kill_slurmd() {
  local ns pid file="$dir/slurmd-$1.pid"
  ns="$(node_namespace "$1")" || die "no node '$1'"
  [ -s "$file" ] || die "no slurmd of node $1 runs"
  pid="$(cat "$file")"
  kill -9 "$pid" 2>/dev/null || die "no slurmd of node $1 runs"
  for _ in $(seq 1 50); do
    running "$pid" || break
    sleep 0.1
  done
  rm -f "$file"
}

node_names() {
  [ -f "$conf" ] || return 0
  SLURM_CONF="$conf" sinfo -h -N -o '%N' 2>/dev/null | sort -u
}

start() {
  local nodes=1
  while [ "$#" -gt 0 ]; do
    case "$1" in
      --nodes)
        [ "$#" -ge 2 ] || die "--nodes needs a number"
        nodes="$2"
        shift 2
        ;;
      --nodes=*)
        nodes="${1#--nodes=}"
        shift
        ;;
      *) die "start: unknown argument '$1'" ;;
    esac
  done
  [[ "$nodes" =~ ^[1-9][0-9]?$ ]] || die "--nodes takes 1 to 99, not '$nodes'"
  [ "$(id -u)" -eq 0 ] || die "needs root: the daemons run as root"
  if [ "$nodes" -eq 1 ]; then
    vexav_install_packages munge slurm-wlm
  else
    vexav_install_packages munge slurm-wlm iproute2
  fi
  stop
  mkdir -p "$dir/state" "$dir/spool"
  # Others may pass through (not list): a job of another user runs its
  # script from the spool folder, and its commands read slurm.conf.
  chmod 0711 "$dir"
  # A key of its own, readable by root alone.
  head -c 1024 /dev/urandom >"$dir/munge.key"
  chmod 0400 "$dir/munge.key"
  munged --force --key-file="$dir/munge.key" --socket="$dir/munge.socket" \
    --pid-file="$dir/munged.pid" --log-file="$dir/munged.log" \
    --seed-file="$dir/munged.seed" ||
    die "munged did not start: $(tail -n 3 "$dir/munged.log" 2>/dev/null)"
  write_config "$nodes"
  [ "$nodes" -eq 1 ] || make_nodes "$nodes"
  slurmctld -f "$conf" || die "slurmctld did not start: $(tail -n 5 "$dir/slurmctld.log")"
  if [ "$nodes" -eq 1 ]; then
    slurmd -f "$conf" || die "slurmd did not start: $(tail -n 5 "$dir/slurmd.log")"
  else
    local i
    for i in $(seq 1 "$nodes"); do
      start_node "node$i"
    done
  fi
  local states="" up=0
  for _ in $(seq 1 300); do
    states="$(SLURM_CONF="$conf" sinfo -h -N -o '%T' 2>/dev/null || true)"
    up="$(grep -cxE 'idle|mixed|allocated' <<<"$states" || true)"
    [ "$up" -lt "$nodes" ] || break
    sleep 0.2
  done
  if [ "$up" -lt "$nodes" ]; then
    echo "slurm-local: $up of $nodes nodes came up (states: $(echo ${states:-none}))" >&2
    tail -n 5 "$dir/slurmctld.log" "$dir"/slurmd*.log >&2 || true
    stop
    exit 1
  fi
  if [ "$nodes" -eq 1 ]; then
    echo "slurm-local: one-node cluster up on $(hostname -s) with $(nproc) CPUs ($dir)"
  else
    echo "slurm-local: $nodes-node cluster up, node1..node$nodes at $subnet.11.. ($dir)"
  fi
}

case "${1:-}" in
  start)
    shift
    start "$@"
    ;;
  stop) stop ;;
  env) echo "export SLURM_CONF=$conf" ;;
  nodes) node_names ;;
  kill-node)
    [ -n "${2:-}" ] || die "kill-node needs a node's name"
    kill_node "$2"
    ;;
  kill-slurmd)
    [ -n "${2:-}" ] || die "kill-slurmd needs a node's name"
    kill_slurmd "$2"
    ;;
  revive-node)
    [ -n "${2:-}" ] || die "revive-node needs a node's name"
    start_node "$2"
    ;;
  *)
    echo "usage: $0 start [--nodes N] | stop | env | nodes | kill-node NAME | kill-slurmd NAME | revive-node NAME" >&2
    exit 2
    ;;
esac
