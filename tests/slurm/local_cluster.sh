# shellcheck shell=bash
# A throw-away single-node Slurm cluster on this machine, for the Slurm test and benchmark.
# Source this file, then:
#   cluster_start DIR    munged + slurmctld + slurmd with every file under DIR, loopback only;
#                        exports SLURM_CONF. Returns 1 (with the daemons' logs shown) on failure.
#   cluster_wait_job ID SECONDS
#                        waits until job ID (every task of an array) has left the queue
#   cluster_stop         cancels what is left of our jobs, stops the daemons it started (by
#                        their process ids) and forgets them; safe to call twice
# Needs root (SlurmUser=root) and the Debian packages slurm-wlm and munge.

cluster_pids=()
cluster_dir=""

# Whether nothing listens on TCP port $1.
_cluster_port_free() {
  if command -v ss >/dev/null 2>&1; then
    [ -z "$(ss -Htln "( sport = :$1 )" 2>/dev/null)" ]
  else
    ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
  fi
}

# Two free ports away from Slurm's own (6817/6818), so that a real cluster on this machine and
# other copies of this test can run at the same time.
_cluster_pick_ports() {
  for _ in $(seq 50); do
    local base=$((20000 + (RANDOM % 2000) * 10))
    if _cluster_port_free "$base" && _cluster_port_free "$((base + 1))"; then
      cluster_ctld_port=$base
      cluster_slurmd_port=$((base + 1))
      return 0
    fi
  done
  echo "no free port pair found" >&2
  return 1
}

# Waits up to $1 seconds for the command that follows to succeed.
_cluster_until() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  until "$@" >/dev/null 2>&1; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}

_cluster_show_logs() {
  local log
  for log in "$cluster_dir"/log/*.log; do
    [ -s "$log" ] || continue
    echo "--- $log (last lines)" >&2
    tail -n 25 "$log" >&2
  done
}

_cluster_queue_empty() { [ -z "$(timeout 10 squeue -h -o %A 2>/dev/null)" ]; }
_cluster_ctld_up() { timeout 5 scontrol ping 2>/dev/null | grep -q "is UP"; }
_cluster_node_idle() { [ "$(timeout 5 sinfo -h -N -o %T 2>/dev/null)" = "idle" ]; }
# Whether process $1 runs (a zombie, which has exited but not been waited for, does not).
_cluster_alive() {
  local stat
  read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}
_cluster_dead() { ! _cluster_alive "$1"; }

cluster_start() {
  cluster_dir=$1
  local host
  host=$(hostname -s)
  mkdir -p "$cluster_dir"/{etc,log,run,state,spool}
  chmod 711 "$cluster_dir"  # munged wants its socket reachable
  _cluster_pick_ports || return 1

  # munged with its own key, socket, pid and seed file, so that it neither needs nor disturbs
  # a munged of the machine.
  local key=$cluster_dir/etc/munge.key
  cluster_munge_socket=$cluster_dir/run/munge.socket
  dd if=/dev/urandom of="$key" bs=1024 count=1 status=none && chmod 400 "$key"
  munged --foreground --force --key-file="$key" --socket="$cluster_munge_socket" \
    --pid-file="$cluster_dir/run/munged.pid" --seed-file="$cluster_dir/state/munged.seed" \
    --log-file="$cluster_dir/log/munged.log" >"$cluster_dir/log/munged.out" 2>&1 &
  cluster_pids+=($!)
  if ! _cluster_until 20 sh -c "munge -n -S '$cluster_munge_socket' | unmunge -S '$cluster_munge_socket'"; then
    echo "munged did not start" >&2
    _cluster_show_logs
    return 1
  fi

  local cpus memory
  cpus=$(nproc)
  # Leave some memory to the machine; slurmd refuses a node that claims more than it has.
  memory=$(awk '/^MemTotal:/ {print int($2 / 1024 * 0.9)}' /proc/meminfo)
  export SLURM_CONF=$cluster_dir/etc/slurm.conf
  cat >"$SLURM_CONF" <<EOF
ClusterName=tarntest
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$cluster_ctld_port
SlurmdPort=$cluster_slurmd_port
CommunicationParameters=NoInAddrAny,NoCtldInAddrAny
MailProg=/bin/true
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$cluster_munge_socket
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$cluster_dir/state
SlurmdSpoolDir=$cluster_dir/spool
SlurmctldPidFile=$cluster_dir/run/slurmctld.pid
SlurmdPidFile=$cluster_dir/run/slurmd.pid
SlurmctldLogFile=$cluster_dir/log/slurmctld.log
SlurmdLogFile=$cluster_dir/log/slurmd.log
PlugStackConfig=$cluster_dir/etc/plugstack.conf
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
MpiDefault=none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
ReturnToService=2
SlurmctldTimeout=30
SlurmdTimeout=30
MinJobAge=600
NodeName=$host NodeAddr=127.0.0.1 NodeHostname=$host CPUs=$cpus RealMemory=$memory State=UNKNOWN
PartitionName=local Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
  : >"$cluster_dir/etc/plugstack.conf"

  slurmctld -D -c -f "$SLURM_CONF" >"$cluster_dir/log/slurmctld.out" 2>&1 &
  cluster_pids+=($!)
  if ! _cluster_until 30 _cluster_ctld_up; then
    echo "slurmctld did not start" >&2
    _cluster_show_logs
    return 1
  fi
  slurmd -D -f "$SLURM_CONF" >"$cluster_dir/log/slurmd.out" 2>&1 &
  cluster_pids+=($!)
  if ! _cluster_until 60 _cluster_node_idle; then
    echo "slurmd did not register its node" >&2
    timeout 5 sinfo -N -l >&2
    _cluster_show_logs
    return 1
  fi
}

cluster_wait_job() {
  local job=$1 seconds=$2
  local deadline=$((SECONDS + seconds))
  while [ -n "$(timeout 10 squeue -h -j "$job" -o %i 2>/dev/null)" ]; do
    if ((SECONDS >= deadline)); then
      echo "job $job still queued after $seconds s" >&2
      timeout 10 squeue -j "$job" >&2
      return 1
    fi
    sleep 0.25
  done
}

cluster_stop() {
  if [ -n "${SLURM_CONF:-}" ] && ((${#cluster_pids[@]})) && _cluster_alive "${cluster_pids[-1]}"; then
    local jobs
    mapfile -t jobs < <(timeout 10 squeue -h -o %A 2>/dev/null | sort -u)
    if ((${#jobs[@]})); then
      timeout 10 scancel "${jobs[@]}" 2>/dev/null
      _cluster_until 30 _cluster_queue_empty
    fi
  fi
  # slurmd first, munged last: the daemons talk to each other while stopping.
  local i pid
  for ((i = ${#cluster_pids[@]} - 1; i >= 0; i--)); do
    pid=${cluster_pids[i]}
    _cluster_alive "$pid" || continue
    kill -TERM "$pid" 2>/dev/null
    _cluster_until 15 _cluster_dead "$pid" || kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  cluster_pids=()
}
