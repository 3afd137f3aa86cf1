#!/bin/sh
# A one-node Slurm cluster on this machine, for trying the recipes and for CI (needs root and
# Debian's slurm-wlm and munge packages).
#
#   slurm-local.sh start DIR   writes a munge key and a slurm.conf into DIR, starts munged,
#                              slurmctld and slurmd, and waits until the node takes jobs;
#                              prints the line "export SLURM_CONF=DIR/slurm.conf"
#   slurm-local.sh stop DIR    stops the three daemons by the pid files in DIR
#
# Exit codes of start: 0 running, 77 cannot run here (not root, packages missing, a daemon that
# does not start: the reason is printed, the logs stay in DIR), 1 bad use.
set -u
cmd=${1:-}
DIR=${2:-}
if [ -z "$cmd" ] || [ -z "$DIR" ]; then
    echo "usage: $0 start|stop DIR" >&2
    exit 1
fi
mkdir -p "$DIR"
DIR=$(cd "$DIR" && pwd)

stop_all() {
    for name in slurmd slurmctld munged; do
        pidfile=$DIR/$name.pid
        [ -s "$pidfile" ] || continue
        pid=$(cat "$pidfile")
        kill "$pid" 2>/dev/null || continue
        i=0
        while kill -0 "$pid" 2>/dev/null && [ $i -lt 50 ]; do
            sleep 0.2
            i=$((i + 1))
        done
        kill -0 "$pid" 2>/dev/null && kill -9 "$pid" 2>/dev/null
        rm -f "$pidfile"
    done
}

cannot() {
    echo "slurm-local: cannot run a local Slurm cluster here: $*" >&2
    stop_all
    exit 77
}

if [ "$cmd" = stop ]; then
    stop_all
    exit 0
fi
[ "$cmd" = start ] || { echo "usage: $0 start|stop DIR" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || cannot "not root"
for program in munged slurmctld slurmd sbatch sinfo; do
    command -v "$program" >/dev/null 2>&1 || [ -x "/usr/sbin/$program" ] ||
        cannot "$program is missing (apt-get install slurm-wlm munge)"
done
PATH=$PATH:/usr/sbin

node=$(hostname -s)
cpus=$(nproc)
memory=$(awk '/MemTotal/ { print int($2 / 1024 * 0.8) }' /proc/meminfo)
# Ports of their own, so that a Slurm already installed on the machine is not disturbed.
port=${SLURM_LOCAL_PORT:-16817}
mkdir -p "$DIR/state" "$DIR/spool" "$DIR/log" "$DIR/munge"
chmod 700 "$DIR/munge"

# munge: a fresh key and a socket of our own.
[ -s "$DIR/munge/munge.key" ] || dd if=/dev/urandom of="$DIR/munge/munge.key" bs=1024 count=1 2>/dev/null
chmod 400 "$DIR/munge/munge.key"
munged --force --key-file="$DIR/munge/munge.key" --socket="$DIR/munge/munge.socket" \
    --pid-file="$DIR/munged.pid" --log-file="$DIR/log/munged.log" --seed-file="$DIR/munge/munged.seed" \
    >>"$DIR/log/munged.out" 2>&1 || cannot "munged did not start ($(tail -1 "$DIR/log/munged.log" 2>/dev/null))"

cat >"$DIR/slurm.conf" <<EOF
ClusterName=reflectivity-local
SlurmctldHost=$node
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$DIR/munge/munge.socket
CredType=cred/munge
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SchedulerType=sched/backfill
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
ReturnToService=2
StateSaveLocation=$DIR/state
SlurmdSpoolDir=$DIR/spool
SlurmctldPidFile=$DIR/slurmctld.pid
SlurmdPidFile=$DIR/slurmd.pid
SlurmctldLogFile=$DIR/log/slurmctld.log
SlurmdLogFile=$DIR/log/slurmd.log
SlurmctldTimeout=30
SlurmdTimeout=30
InactiveLimit=0
MinJobAge=300
KillWait=5
NodeName=$node CPUs=$cpus RealMemory=$memory State=UNKNOWN
PartitionName=local Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF="$DIR/slurm.conf"

slurmctld -c -f "$SLURM_CONF" >>"$DIR/log/slurmctld.out" 2>&1 ||
    cannot "slurmctld did not start ($(tail -1 "$DIR/log/slurmctld.log" 2>/dev/null))"
slurmd -f "$SLURM_CONF" >>"$DIR/log/slurmd.out" 2>&1 ||
    cannot "slurmd did not start ($(tail -1 "$DIR/log/slurmd.log" 2>/dev/null))"

# The node takes jobs once it is idle.
i=0
until sinfo -h -N -o "%T" 2>/dev/null | grep -qx idle; do
    i=$((i + 1))
    [ $i -le 60 ] || cannot "the node did not become idle in 30 s ($(sinfo -h -N -o '%T %E' 2>&1 | head -1))"
    sleep 0.5
done
echo "export SLURM_CONF=$SLURM_CONF"
