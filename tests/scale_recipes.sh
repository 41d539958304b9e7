#!/usr/bin/env bash
# Runs the README's recipes for counting many files, as printed there (each
# ```sh block after a "<!-- recipe: NAME -->" line), on the licence texts
# and some 2,000 files of /usr/include: on one machine, over ssh to two
# sshd on 127.0.0.1, and on a one-node Slurm on 127.0.0.1. Each must give
# the exact total, leave the original files as they were, and fail, saying
# so and printing no total, when a file cannot be read, a host lacks
# bytefreq or a task fails.
#
#   scale_recipes.sh README.md DIRECTORY-OF-BYTEFREQ
#
# ONLY=NAME in the environment runs recipe NAME alone.
#
# Needs root (Slurm's daemons, and sshd for a login as root), openssh-server,
# GNU parallel, rsync, munge and Slurm (slurm-wlm); skips, saying why,
# without them. Every daemon it starts listens on 127.0.0.1 only and is
# stopped by its PID when it ends, also on failure.
set -uo pipefail
readme=$(realpath "$1")
bin=$(realpath "$2")
skip() { echo "skipped: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "Slurm's daemons and sshd need root"
for program in sshd ssh ssh-keygen parallel rsync munged slurmctld slurmd sbatch setpriv; do
  command -v "$program" >/dev/null || [ -x "/usr/sbin/$program" ] ||
    skip "$program is not installed (openssh-server, parallel, rsync, munge, slurm-wlm)"
done

t=$(mktemp -d /tmp/bytefreq-scale-XXXXXX)
chmod 755 "$t"
pids=()
stop() {
  [ -f "$t/slurm/slurm.conf" ] && SLURM_CONF=$t/slurm/slurm.conf timeout 10 scancel --full -u root 2>/dev/null
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pidfile in "$t"/pids/*; do [ -f "$pidfile" ] && kill "$(cat "$pidfile")" 2>/dev/null; done
  sleep 1
  rm -rf "$t"
}
trap stop EXIT
mkdir "$t/pids"
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# Root reads any file; without these capabilities, here and in every daemon
# started below, a file of mode 000 cannot be read, as for any other user.
as_user() { setpriv --bounding-set=-dac_override,-dac_read_search "$@"; }

# The data: the licence texts and the first 2,000 files under /usr/include.
mkdir -p "$t/licences" "$t/all"
cp /usr/share/common-licenses/* "$t/licences"
(cd /usr/include && find . -type f -print0 | LC_ALL=C sort -z | head -z -n 2000 |
  xargs -0 cp --parents -t "$t/all")
cp -r "$t/licences" "$t/all/licences"
files=$(find "$t/all" -type f | wc -l)
echo "data: $files files, $(du -sh "$t/all" | cut -f1)"

# The report the recipes owe for a folder: every file counted alone, summed.
expected() {
  find "$1" -type f -exec "$bin/bytefreq" {} \; |
    awk '{ n[$1] += $2 } END { for (v = 0; v < 256; v++) print v, n[v] }'
}
manifest() { (cd "$1" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum); }

# Three sshd on 127.0.0.1: host1 and host2 have bytefreq on their PATH,
# host3 does not; host2's commands start in the data's own folder.
port=$((20000 + $$ % 20000))
mkdir -p "$t/ssh"
ssh-keygen -q -t ed25519 -N '' -f "$t/ssh/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$t/ssh/user_key"
mkdir -p /run/sshd
for n in 1 2 3; do
  mkdir -p "$t/home$n"
  path=$bin:/usr/bin:/bin
  [ $n -eq 3 ] && path=/usr/bin:/bin
  cat >"$t/ssh/sshd$n" <<EOF
ListenAddress 127.0.0.1
Port $((port + n))
HostKey $t/ssh/host_key
AuthorizedKeysFile $t/ssh/user_key.pub
AuthenticationMethods publickey
UsePAM no
PermitRootLogin prohibit-password
StrictModes no
PidFile $t/pids/sshd$n
SetEnv PATH=$path HOME=$t/home$n
EOF
  [ $n -eq 2 ] && echo "ForceCommand cd \$DATA_DIR && exec sh -c \"\$SSH_ORIGINAL_COMMAND\"" >>"$t/ssh/sshd$n"
  echo "[127.0.0.1]:$((port + n)) $(cat "$t/ssh/host_key.pub")" >>"$t/ssh/known_hosts"
done
# The recipes name host1 and host2; `faulty` maps host2 to the host without
# bytefreq.
for config in good faulty; do
  two=2
  [ $config == faulty ] && two=3
  cat >"$t/ssh/$config" <<EOF
Host host1
  Port $((port + 1))
Host host2
  Port $((port + two))
Host *
  HostName 127.0.0.1
  User root
  IdentityFile $t/ssh/user_key
  IdentitiesOnly yes
  UserKnownHostsFile $t/ssh/known_hosts
  StrictHostKeyChecking yes
  BatchMode yes
  ConnectTimeout 10
EOF
done

start_sshd() { # the folder host2's commands start in
  for n in 1 2 3; do
    [ -f "$t/pids/sshd$n" ] && kill "$(cat "$t/pids/sshd$n")" && rm -f "$t/pids/sshd$n"
  done
  sleep 0.5
  sed -i "s|^ForceCommand cd [^ ]*|ForceCommand cd $1|" "$t/ssh/sshd2"
  for n in 1 2 3; do
    as_user /usr/sbin/sshd -f "$t/ssh/sshd$n" -E "$t/ssh/sshd$n.log" || return 1
  done
  for n in 1 2 3; do
    for _ in $(seq 50); do [ -s "$t/pids/sshd$n" ] && break; sleep 0.1; done
  done
}

# A one-node Slurm: munged, slurmctld and slurmd, all on 127.0.0.1.
s=$t/slurm
mkdir -p "$s/munge" "$s/state" "$s/spool"
chmod 711 "$s/munge"
head -c 1024 /dev/urandom >"$s/munge/key"
chmod 400 "$s/munge/key"
munged -f --key-file="$s/munge/key" --socket="$s/munge/socket" --pid-file="$t/pids/munged" \
  --log-file="$s/munge/log" --seed-file="$s/munge/seed" || { fail "munged does not start"; exit 1; }
cat >"$s/slurm.conf" <<EOF
ClusterName=bytefreq
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort=$((port + 4))
SlurmdPort=$((port + 5))
AuthType=auth/munge
AuthInfo=socket=$s/munge/socket
CredType=cred/munge
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$s/state
SlurmdSpoolDir=$s/spool
SlurmctldPidFile=$t/pids/slurmctld
SlurmdPidFile=$t/pids/slurmd
SlurmctldLogFile=$s/slurmctld.log
SlurmdLogFile=$s/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
MpiDefault=none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SchedulerParameters=batch_sched_delay=0
# Finished jobs are forgotten after 2 s, not 300: then sbatch --wait can
# miss a task that failed early, and the recipe must see it anyway.
MinJobAge=2
ReturnToService=2
JobCompType=jobcomp/none
AccountingStorageType=accounting_storage/none
NodeName=localhost NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=batch Nodes=localhost Default=YES MaxTime=10 State=UP
EOF
export SLURM_CONF=$s/slurm.conf
if ! { slurmctld -i && as_user slurmd -N localhost; }; then fail "Slurm does not start"; exit 1; fi
for _ in $(seq 100); do sinfo -h -o %t 2>/dev/null | grep -qx idle && break; sleep 0.2; done

# The recipe named $1, from the README.
recipe() {
  awk -v name="$1" '$0 == "<!-- recipe: " name " -->" { found = 1; next }
    found && /^```sh$/ { inside = 1; next }
    inside && /^```$/ { exit }
    inside { print }' "$readme"
}

# run NAME DATA WANT [SSH-CONFIG]: runs recipe NAME in a new folder holding
# DATA as data/, and checks the exit status against WANT (ok or fail), the
# total, that the originals are unchanged and, for ok, that no copy is
# left on the hosts.
run() {
  local name=$1 data=$2 want=$3 config=${4:-good} dir status text
  [ -z "${ONLY:-}" ] || [ "$ONLY" == "$name" ] || return 0
  text=$(recipe "$name")
  [ -n "$text" ] || { fail "the README has no recipe $name"; return; }
  dir=$(mktemp -d "$t/run-XXXXXX")
  chmod 755 "$dir"
  cp -r "$data" "$dir/data"
  [ "$want" == fail ] && [ "$config" == good ] && chmod 000 "$(find "$dir/data" -type f | sed -n 7p)"
  manifest "$dir/data" >"$dir/before"
  start_sshd "$dir/data" || { fail "sshd does not start"; return; }
  local start=$EPOCHREALTIME
  (cd "$dir" && HOME=$t/home0 PATH=$bin:$PATH PARALLEL_SSH="ssh -F $t/ssh/$config" \
    as_user timeout 600 bash -c "$text" \
    >"$dir/out" 2>"$dir/err")
  status=$?
  local took
  took=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
  echo "$name on $(basename "$data"), $want: status $status in $took s"
  if [ "$want" == ok ]; then
    [ $status -eq 0 ] || fail "$name exited $status: $(head -c 2000 "$dir/err")"
    diff <(expected "$data") "$dir/out" >/dev/null || fail "$name gave a wrong total"
    local left
    left=$(find "$t"/home[123] -type f ! -path '*/.parallel/tmp/sshlogin/*' ! -name will-cite | head -3)
    [ -z "$left" ] || fail "$name left copies on the hosts: $left"
  else
    [ $status -ne 0 ] || fail "$name exited 0 where it should have failed"
    [ ! -s "$dir/out" ] || fail "$name printed a total where it failed"
    grep -q 'no total' "$dir/err" || fail "$name did not say that it failed"
  fi
  chmod -R u+r "$dir/data"
  diff "$dir/before" <(manifest "$dir/data") >/dev/null || fail "$name changed the original files"
}

mkdir "$t/home0"
run one-machine "$t/all" ok
run one-machine "$t/all" fail
run ssh-shared "$t/all" ok
run ssh-shared "$t/all" fail
run ssh-shared "$t/all" fail faulty
run ssh-copied "$t/licences" ok
run ssh-copied "$t/licences" fail faulty
run slurm "$t/all" ok
run slurm "$t/all" fail

[ $failures -eq 0 ] && echo "every recipe counted exactly and failed where it should"
[ $failures -eq 0 ]
