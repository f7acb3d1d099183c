#!/usr/bin/env bash
# A one-node Slurm cluster on this machine, for the cluster tests and the
# cluster benchmark. Needs root (the daemons run as root here).
#
#   scripts/slurm-local.sh start   installs munge and slurm-wlm when missing,
#                                  starts munged with a key of its own, and
#                                  slurmctld and slurmd with a configuration
#                                  made for this host's name and CPUs, all in
#                                  one temporary folder; waits until the node
#                                  takes jobs
#   scripts/slurm-local.sh stop    stops the three daemons and every process
#                                  of the cluster's jobs (their slurmstepd
#                                  and what it started, also when slurmd
#                                  died first), and removes the folder:
#                                  nothing is left running
#   scripts/slurm-local.sh env     prints the line that points Slurm's
#                                  commands at this cluster:
#                                    eval "$(scripts/slurm-local.sh env)"
#
# The folder is $VEXAV_SLURM_DIR (default /tmp/vexav-slurm), the ports
# $VEXAV_SLURM_PORT (slurmctld, default 16817) and the one after it
# (slurmd), so that a second cluster can run beside the first. Nothing
# outside the folder is changed: the system's own munge key and Slurm
# configuration (if any) are not used and not touched.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

dir="${VEXAV_SLURM_DIR:-/tmp/vexav-slurm}"
conf="$dir/slurm.conf"
port="${VEXAV_SLURM_PORT:-16817}"

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

stop() {
  if [ -d "$dir" ]; then
    # Jobs still on the node end first, through Slurm.
    if [ -f "$conf" ] && command -v scancel >/dev/null 2>&1 && [ -s "$dir/slurmctld.pid" ]; then
      SLURM_CONF="$conf" timeout 10 scancel --user=root >/dev/null 2>&1 || true
    fi
    stop_pid_files "$dir/slurmd.pid" "$dir/slurmctld.pid" "$dir/munged.pid"
  fi
  stop_strays
  # What Slurm could not end: a job whose slurmd had died (slurmstepd and
  # the job's processes run on without it).
  stop_jobs
  rm -rf "$dir"
}

write_config() {
  local host cpus mem
  host="$(hostname -s)"
  cpus="$(nproc)"
  mem=$(($(awk '/^MemTotal:/ {print $2}' /proc/meminfo) / 1024 - 1024))
  [ "$mem" -gt 512 ] || mem=512
  cat >"$conf" <<EOF
# One-node cluster made by scripts/slurm-local.sh for $host.
ClusterName=vexav
SlurmctldHost=$host
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge.socket
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
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
SlurmdTimeout=60
MaxArraySize=${VEXAV_SLURM_MAX_ARRAY_SIZE:-1001}
NodeName=$host CPUs=$cpus RealMemory=$mem State=UNKNOWN
PartitionName=local Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
}

start() {
  [ "$(id -u)" -eq 0 ] || die "needs root: the daemons run as root"
  vexav_install_packages munge slurm-wlm
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
  write_config
  slurmctld -f "$conf" || die "slurmctld did not start: $(tail -n 5 "$dir/slurmctld.log")"
  slurmd -f "$conf" || die "slurmd did not start: $(tail -n 5 "$dir/slurmd.log")"
  local state=""
  for _ in $(seq 1 150); do
    state="$(SLURM_CONF="$conf" sinfo -h -N -o '%T' 2>/dev/null | head -n 1 || true)"
    case "$state" in
      idle | mixed | allocated) break ;;
    esac
    sleep 0.2
  done
  case "$state" in
    idle | mixed | allocated) ;;
    *)
      echo "slurm-local: the node did not come up (state '${state:-none}')" >&2
      tail -n 5 "$dir/slurmctld.log" "$dir/slurmd.log" >&2 || true
      stop
      exit 1
      ;;
  esac
  echo "slurm-local: one-node cluster up on $(hostname -s) with $(nproc) CPUs ($dir)"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  env) echo "export SLURM_CONF=$conf" ;;
  *)
    echo "usage: $0 start|stop|env" >&2
    exit 2
    ;;
esac
