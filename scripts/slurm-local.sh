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
#   scripts/slurm-local.sh stop    stops the three daemons and removes the
#                                  folder: nothing is left running
#   scripts/slurm-local.sh env     prints the line that points Slurm's
#                                  commands at this cluster:
#                                    eval "$(scripts/slurm-local.sh env)"
#
# The folder is $VEXAV_SLURM_DIR (default /tmp/vexav-slurm). Nothing outside
# it is changed: the system's own munge key and Slurm configuration (if any)
# are not used and not touched.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

dir="${VEXAV_SLURM_DIR:-/tmp/vexav-slurm}"
conf="$dir/slurm.conf"

die() {
  echo "slurm-local: $*" >&2
  exit 1
}

# Ends the daemon whose pid file is given, waiting up to 10 s before SIGKILL.
stop_pid_file() {
  local file="$1" pid
  [ -s "$file" ] || return 0
  pid="$(cat "$file")"
  if kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$file"
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

stop() {
  if [ -d "$dir" ]; then
    # Jobs still on the node end first, through Slurm.
    if [ -f "$conf" ] && command -v scancel >/dev/null 2>&1 && [ -s "$dir/slurmctld.pid" ]; then
      SLURM_CONF="$conf" timeout 10 scancel --user=root >/dev/null 2>&1 || true
    fi
    stop_pid_file "$dir/slurmd.pid"
    stop_pid_file "$dir/slurmctld.pid"
    stop_pid_file "$dir/munged.pid"
  fi
  stop_strays
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
SlurmctldPort=$((16817 + 0))
SlurmdPort=$((16818 + 0))
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
NodeName=$host CPUs=$cpus RealMemory=$mem State=UNKNOWN
PartitionName=local Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
}

start() {
  [ "$(id -u)" -eq 0 ] || die "needs root: the daemons run as root"
  vexav_install_packages munge slurm-wlm
  stop
  mkdir -p "$dir/state" "$dir/spool"
  chmod 0700 "$dir"
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
