#!/usr/bin/env bash
# Runs the README's render-farm examples here, on localhost only, and checks that
# the frames their parts render with --chunk are byte for byte the frames of one
# process rendering the whole range: the Slurm job array on a one-node Slurm
# brought up for the purpose, and the GNU parallel line on this machine alone.
#
#   scripts/farm-check.sh LENSFLARE [README.md]
#
# Needs root (slurmd starts the tasks as the submitting user, and munged, slurmctld
# and slurmd run here as root), Debian's slurm-wlm, munge and parallel
# (install-deps.sh --with-farm). Exits 77, which CTest reports as skipped, when
# they are missing. Everything lives in one temporary folder: munge's key and
# socket, slurm.conf, the controller's state, the node's spool, logs and the
# frames. Every daemon is started here and stopped by its process id on any exit,
# after any job left in its queue is cancelled.
set -euo pipefail

lensflare=$(realpath "${1:?usage: farm-check.sh LENSFLARE [README.md]}")
readme=${2:-$(dirname "$0")/../README.md}
frames_first=1001
frames_last=1010
parts=4
# The frames each task of the array renders: ten in four parts, the first two
# parts taking the two left over.
task_frames=("1001 1002 1003" "1004 1005 1006" "1007 1008" "1009 1010")
step_timeout=60

say() { echo "farm-check: $*" >&2; }
for tool in munged mungekey slurmctld slurmd sbatch scontrol sinfo squeue scancel parallel; do
  command -v "$tool" >/dev/null 2>&1 || { say "$tool not found (install-deps.sh --with-farm); skipped"; exit 77; }
done
[ "$(id -u)" = 0 ] || { say "needs root to start slurmd; skipped"; exit 77; }

tmp=$(mktemp -d /tmp/lensflare-farm.XXXXXX)
daemons=()
waiting=
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  # Every job in this private cluster is this check's own.
  if [ -n "${SLURM_CONF:-}" ]; then
    local jobs
    jobs=$(timeout 10 squeue -h -o %A 2>/dev/null | sort -u || true)
    [ -z "$jobs" ] || timeout 10 scancel $jobs >/dev/null 2>&1 || true
  fi
  local pid
  if [ -n "$waiting" ]; then kill "$waiting" 2>/dev/null || true; fi
  for pid in "${daemons[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${daemons[@]}"; do
    # A daemon that does not stop within ten seconds is killed outright.
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$pid" 2>/dev/null || true
  done
  if [ "$status" != 0 ] && [ "$status" != 77 ]; then
    for log in "$tmp"/log/*; do [ -f "$log" ] && { say "--- $log"; tail -n 20 "$log" >&2; }; done
  fi
  rm -rf "$tmp"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Polls a command every fifth of a second until it succeeds, a daemon has died
# or $step_timeout seconds pass.
wait_for() {  # what command...
  local what=$1 pid; shift
  for _ in $(seq $((step_timeout * 5))); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    for pid in "${daemons[@]}"; do kill -0 "$pid" 2>/dev/null || { say "a daemon stopped before $what"; return 1; }; done
    sleep 0.2
  done
  say "timed out after ${step_timeout}s waiting for $what"
  return 1
}

# Runs a command for at most $1 seconds, waiting in the background so that a
# signal to this script is handled at once rather than when the command ends.
bounded() {  # seconds command...
  local seconds=$1; shift
  timeout "$seconds" "$@" &
  waiting=$!
  wait "$waiting"
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

mkdir -p "$tmp"/{munge,state,spool,log,frames,whole,slurm,parallel}

# munge: a fresh key, its socket in the folder (munged wants every folder above
# its socket searchable by all).
chmod 711 "$tmp" "$tmp/munge"
mungekey --create --keyfile="$tmp/munge/munge.key" >/dev/null
chmod 600 "$tmp/munge/munge.key"
munged --foreground --key-file="$tmp/munge/munge.key" --socket="$tmp/munge/munge.socket" \
  --pid-file="$tmp/munge/munged.pid" --seed-file="$tmp/munge/munge.seed" \
  --log-file="$tmp/log/munged.log" 2>"$tmp/log/munged.stderr" &
daemons+=($!)
wait_for "munged's socket" test -S "$tmp/munge/munge.socket"

# The smallest Slurm: one node with this machine's processors and memory.
cpus=$(nproc)
memory=$(awk '/^MemTotal:/ { print int($2 / 1024) }' /proc/meminfo)
ctld_port=$(free_port)
slurmd_port=$(free_port)
while [ "$slurmd_port" = "$ctld_port" ]; do slurmd_port=$(free_port); done
cat >"$tmp/slurm.conf" <<EOF
ClusterName=lensflare-check
SlurmctldHost=localhost
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$tmp/munge/munge.socket
StateSaveLocation=$tmp/state
SlurmdSpoolDir=$tmp/spool
SlurmctldPidFile=$tmp/slurmctld.pid
SlurmdPidFile=$tmp/slurmd.pid
SlurmctldLogFile=$tmp/log/slurmctld.log
SlurmdLogFile=$tmp/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/builtin
MpiDefault=none
ReturnToService=2
MailProg=/bin/true
NodeName=localhost NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=$memory State=UNKNOWN
PartitionName=check Nodes=localhost Default=YES MaxTime=10 State=UP
EOF
export SLURM_CONF=$tmp/slurm.conf

slurmctld -D -i -f "$SLURM_CONF" 2>"$tmp/log/slurmctld.stderr" &
daemons+=($!)
wait_for "slurmctld" scontrol ping
slurmd -D -N localhost -f "$SLURM_CONF" 2>"$tmp/log/slurmd.stderr" &
daemons+=($!)
wait_for "the node to be idle" bash -c '[ "$(sinfo -h -n localhost -o %T)" = idle ]'

# A small shot: ten dark 64x48 frames, keyed so that the frames differ in more
# than their rays.
"$lensflare" render -o "$tmp/frames/plate.%04d.png" --frames "$frames_first-$frames_last" --size 64x48 --quiet
printf '{"brightness": {"%d": 40, "%d": 250}, "lens": {"%d": 1, "%d": 3}}\n' \
  "$frames_first" "$frames_last" "$frames_first" "$((frames_first + 5))" >"$tmp/frames/flare.json"
"$lensflare" render "$tmp/frames/plate.%04d.png" -o "$tmp/whole/flare.%04d.png" --keys "$tmp/frames/flare.json" \
  --frames "$frames_first-$frames_last" --quiet

# The README's example that contains $1 (a sh block under "Render farms") in
# $script, with this check's binary, paths, shot and $2 as the output folder.
# Each substitution must apply, so the README cannot drift from what is tested.
script=
substitute() {  # from to
  grep -qF -- "$1" <<<"$script" || { say "the README's farm example no longer has \"$1\""; exit 1; }
  script=${script//"$1"/"$2"}
}
example() {  # marker output-folder
  script=$(awk -v want="$1" '/^### Render farms/ { farm = 1; next } farm && /^## / { exit }
    farm && /^```sh/ { block = ""; inside = 1; next }
    inside && /^```/ { inside = 0; if (index(block, want)) { printf "%s", block; exit } next }
    inside { block = block $0 "\n" }' "$readme")
  [ -n "$script" ] || { say "no example with \"$1\" in $readme's Render farms section"; exit 1; }
  substitute "lensflare render" "$lensflare render"
  substitute "/shots/sh010/plate.%04d.exr" "$tmp/frames/plate.%04d.png"
  substitute "/shots/sh010/flare/flare.%04d.exr" "$tmp/$2/flare.%04d.png"
  substitute "/shots/sh010/flare.json" "$tmp/frames/flare.json"
  substitute "--frames 1001-1240" "--frames $frames_first-$frames_last"
}
# Every frame of the range, each byte for byte the one process's.
same_as_whole() {  # folder
  [ "$(ls "$tmp/$1")" = "$(ls "$tmp/whole")" ] || { say "$1 wrote: $(ls "$tmp/$1" | tr '\n' ' ')"; exit 1; }
  for frame in $(seq "$frames_first" "$frames_last"); do
    cmp "$tmp/whole/flare.$frame.png" "$tmp/$1/flare.$frame.png"
  done
}

example "#SBATCH --array=" slurm
substitute "--array=0-9" "--array=0-$((parts - 1))"
substitute "--cpus-per-task=8" "--cpus-per-task=1"
# Progress lines, one per frame written, show which frames each task rendered.
substitute " --quiet" ""
printf '%s' "$script" >"$tmp/job.sh"
# sbatch --wait ends when every task of the array has, with the worst task's
# status.
bounded 240 sbatch --wait --quiet --chdir="$tmp" --output="$tmp/log/task-%a.out" --time=5 "$tmp/job.sh" ||
  { say "the job array failed or did not end within 240s"; exit 1; }
for task in $(seq 0 $((parts - 1))); do
  # Frames in flight finish in any order.
  rendered=$(sed -n 's/^lensflare: frame \([0-9]*\) written to .*/\1/p' "$tmp/log/task-$task.out" 2>/dev/null | sort -n | xargs)
  [ "$rendered" = "${task_frames[$task]}" ] ||
    { say "task $task rendered frames \"$rendered\", not \"${task_frames[$task]}\""; exit 1; }
done
same_as_whole slurm

# GNU parallel on this machine alone: two at a time instead of one on each host.
example "| parallel" parallel
substitute "-S render1,render2,render3 -j1" "-j2"
substitute "seq 0 9" "seq 0 $((parts - 1))"
substitute "--chunk {}/10" "--chunk {}/$parts"
printf '%s' "$script" >"$tmp/parallel.sh"
bounded 120 bash "$tmp/parallel.sh" </dev/null || { say "the GNU parallel example failed or did not end within 120s"; exit 1; }
same_as_whole parallel

say "frames $frames_first-$frames_last in $parts parts, by a Slurm job array and by GNU parallel, equal one process's"
