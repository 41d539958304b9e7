#!/usr/bin/env bash
# Runs the recipes for counting many files as printed: each ```bash block
# after a "<!-- recipe: NAME -->" line of README.md or doc/*.md, and the
# manual page's example after its ".\" recipe: NAME" line. They run on the
# licence texts, some 2,000 files of /usr/include, a file past the size
# counted alone, and files with awkward names and sizes: on one machine,
# over ssh to sshd on 127.0.0.1, and on a one-node Slurm on 127.0.0.1. Each
# must give the exact total (or table), leave the original files as they
# were and nothing in the folder it runs in, give zeros for a folder
# without files, and fail, saying so and printing no total, when a file
# cannot be read, a host lacks bytefreq or a task fails. It prints how long
# each took, beside reading the same files with xargs cat: figures only.
#
#   scale_recipes.sh SOURCE-DIRECTORY DIRECTORY-OF-BYTEFREQ
#
# ONLY=NAME in the environment runs recipe NAME alone; FILES=N takes the
# first N files of /usr/include (default 2000), for figures on more files.
#
# Needs root (Slurm's daemons, and sshd for a login as root), openssh-server,
# munge, Slurm (slurm-wlm) and python3; skips, saying why, without them. Every daemon it starts listens on 127.0.0.1 only and is
# stopped by its PID when it ends, also on failure.
set -uo pipefail
source=$(realpath "$1")
bin=$(realpath "$2")
skip() { echo "skipped: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "Slurm's daemons and sshd need root"
for program in sshd ssh ssh-keygen munged slurmctld slurmd sbatch setpriv python3; do
  command -v "$program" >/dev/null || [ -x "/usr/sbin/$program" ] ||
    skip "$program is not installed (openssh-server, munge, slurm-wlm, python3)"
done

t=$(mktemp -d /tmp/bytefreq-scale-XXXXXX)
chmod 755 "$t"
stop() {
  [ -f "$t/slurm/slurm.conf" ] && SLURM_CONF=$t/slurm/slurm.conf timeout 10 scancel --full -u root 2>/dev/null
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

# The data. "all": the licence texts, the first 2,000 files under
# /usr/include, a file of 17 MiB (counted alone) and "odd": names with a
# space, a line end, a leading "-", a comma and quotes, bytes that are not
# UTF-8, and files of 0, 10, 20 and 21 bytes. "empty": no files at all.
mkdir -p "$t/licences" "$t/all" "$t/odd" "$t/empty"
cp /usr/share/common-licenses/* "$t/licences"
(cd /usr/include && find . -type f -print0 | LC_ALL=C sort -z | head -z -n "${FILES:-2000}" |
  xargs -0 cp --parents -t "$t/all")
head -c $((17 << 20)) /dev/urandom >"$t/all/large"
for n in 0 10 20 21; do head -c "$n" /dev/urandom >"$t/odd/$n bytes"; done
printf 'one line\nand another' >"$t/odd/a
line end"
printf -- '-x' >"$t/odd/-leading dash"
head -c 300 /dev/urandom >"$t/odd/comma, \"quotes\""
head -c 300 /dev/urandom >"$t/odd/$(printf 'not utf-8 \xff\xfe')"
cp -r "$t/licences" "$t/odd" "$t/all/"
echo "data: $(find "$t/all" -type f -printf x | wc -c) files, $(du -sh "$t/all" | cut -f1)"

# The report the recipes owe for the folders given: every file counted
# alone, summed.
expected() {
  find "$@" -type f -exec "$bin/bytefreq" {} \; |
    awk '{ n[$1] += $2 } END { for (v = 0; v < 256; v++) printf "%d %.0f\n", v, n[v] }'
}
manifest() { (cd "$1" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 -r sha256sum); }

# Three sshd on 127.0.0.1: host1 and host2 have bytefreq on their PATH,
# host3 does not. Each login starts in a folder of its own, set by
# start_sshd.
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
ForceCommand cd /tmp && exec sh -c "\$SSH_ORIGINAL_COMMAND"
EOF
  echo "[127.0.0.1]:$((port + n)) $(cat "$t/ssh/host_key.pub")" >>"$t/ssh/known_hosts"
done
# The recipes name host1 and host2; `faulty` maps host2 to the host without
# bytefreq. The recipes' ssh is a script that reads the configuration of
# the run, $t/ssh/config.
mkdir "$t/bin"
printf '#!/bin/sh\nexec /usr/bin/ssh -F %s "$@"\n' "$t/ssh/config" >"$t/bin/ssh"
chmod 755 "$t/bin/ssh"
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

start_sshd() { # the folders the logins of host1, host2 and host3 start in
  local n
  for n in 1 2 3; do
    [ -f "$t/pids/sshd$n" ] && kill "$(cat "$t/pids/sshd$n")" && rm -f "$t/pids/sshd$n"
  done
  sleep 0.5
  for n in 1 2 3; do
    sed -i "s|^ForceCommand cd [^ ]*|ForceCommand cd ${!n}|" "$t/ssh/sshd$n"
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

# The recipe named $1: a ```bash block in the Markdown files, or the lines
# between .nf and .fi in the manual page, unescaped.
recipe() {
  awk -v name="$1" '$0 == "<!-- recipe: " name " -->" { found = 1; next }
    found && /^```bash$/ { inside = 1; next }
    inside && /^```$/ { exit }
    inside { print }' "$source/README.md" "$source"/doc/*.md
  awk -v name="$1" '$0 == ".\\\" recipe: " name { found = 1; next }
    found && $0 == ".nf" { inside = 1; next }
    inside && $0 == ".fi" { exit }
    inside { gsub(/\\-/, "-"); gsub(/\\\(aq/, "\047"); gsub(/\\e/, "\\"); print }' \
    "$source/man/bytefreq.1.in"
}
# bytefreq_total and bytefreq_sum, as the one-machine recipe defines them
# (the recipe but its last line, which counts data), and bytefreq_on.
functions=$(recipe one-machine | sed '$d'; recipe bytefreq-on)
recipe one-machine | tail -n 1 | grep -qx 'bytefreq_total data' ||
  fail "the one-machine recipe does not end by counting data"

# run NAME WANT DATA [DATA2] [OPTION...]: runs recipe NAME in a new
# folder holding DATA as data/, where host1's logins start too; for
# many-machines, host1's data/ is DATA and host2's DATA2, and the folder it
# runs in has none. It checks the exit status against WANT (ok or fail),
# the total (or for per-file, the table), that the originals are unchanged
# and that the recipe left nothing in the folder. OPTIONs: faulty (host2
# lacks bytefreq), unreadable (a file of DATA, or of DATA2, cannot be
# read), unlistable (a folder of DATA cannot be read).
run() {
  local name=$1 want=$2 data=$3 data2='' config=good unreadable=no dir status text start took
  [ -z "${ONLY:-}" ] || [ "$ONLY" == "$name" ] || return 0
  shift 3
  [ $# -gt 0 ] && [ "${1:0:1}" == / ] && data2=$1 && shift
  for option; do
    case $option in
    faulty) config=faulty ;; unreadable) unreadable=yes ;; unlistable) unreadable=folder ;;
    esac
  done
  text=$(recipe "$name")
  [ -n "$text" ] || { fail "no recipe $name"; return; }
  case $text in *bytefreq_total*) [ "$name" == one-machine ] || text=$functions$'\n'$text ;; esac
  dir=$(mktemp -d "$t/run-XXXXXX")
  chmod 755 "$dir"
  mkdir "$dir/work" "$dir/host2"
  local one=$dir/work two=$dir/host2
  [ "$name" == many-machines ] && one=$dir/host1 && mkdir "$one"
  cp -r "$data" "$one/data"
  [ -n "$data2" ] && cp -r "$data2" "$two/data"
  [ $unreadable == folder ] && chmod 000 "$one/data/licences"
  if [ $unreadable == yes ]; then
    chmod 000 "$(find "$([ -n "$data2" ] && echo "$two" || echo "$one")/data" -name GPL-3 | head -n 1)"
  fi
  { manifest "$one/data"; manifest "$two"; } >"$dir/before"
  find "$dir/work" -mindepth 1 -maxdepth 1 -printf '%P\n' | sort >"$dir/listing"
  start_sshd "$one" "$two" "$two" || { fail "sshd does not start"; return; }
  cp "$t/ssh/$config" "$t/ssh/config"
  start=$EPOCHREALTIME
  (cd "$dir/work" && HOME=$t/home0 PATH=$t/bin:$bin:$PATH \
    as_user timeout 600 bash -c "$text" >"$dir/out" 2>"$dir/err")
  status=$?
  took=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }')
  echo "$name, $want, $(basename "$data")${data2:+ and $(basename "$data2")} $*: status $status in $took s"
  [ "$want" == ok ] && [ "$data" == "$t/all" ] && [ -z "$data2" ] &&
    echo "$name $took" >>"$t/times"
  if [ "$want" == ok ]; then
    [ $status -eq 0 ] || fail "$name exited $status: $(head -c 2000 "$dir/err")"
    if [ "$name" == per-file ]; then
      python3 "$source/tests/check_table.py" "$dir/work/counts.csv" "$dir/work" ||
        fail "$name gave a wrong table"
    else
      diff <(expected "$data" ${data2:+"$data2"}) "$dir/out" >"$dir/diff" ||
        fail "$name gave a wrong total: $(head -c 1000 "$dir/diff")"
    fi
  else
    [ $status -ne 0 ] || fail "$name exited 0 where it should have failed"
    if [ -s "$dir/out" ] || [ -s "$dir/work/counts.csv" ]; then
      fail "$name printed a total where it failed"
    fi
    grep -q 'not every file was counted: no total' "$dir/err" || fail "$name did not say that it failed"
  fi
  chmod -R u+r "$dir"
  { manifest "$one/data"; manifest "$two"; } | diff "$dir/before" - >/dev/null ||
    fail "$name changed the original files"
  find "$dir/work" -mindepth 1 -maxdepth 1 ! -name counts.csv -printf '%P\n' | sort |
    diff "$dir/listing" - >"$dir/diff" || fail "$name left files in its folder: $(cat "$dir/diff")"
  local left
  left=$(find "$t"/home[123] -type f | head -3)
  [ -z "$left" ] || fail "$name left files on the hosts: $left"
}

mkdir "$t/home0"
for name in one-machine per-file ssh-shared slurm man-many-files; do
  run "$name" ok "$t/all"
  run "$name" fail "$t/all" unreadable
  run "$name" ok "$t/empty"
done
run one-machine fail "$t/all" unlistable
run ssh-shared fail "$t/all" faulty
run many-machines ok "$t/licences" "$t/all"
run many-machines fail "$t/licences" "$t/all" faulty
run many-machines fail "$t/licences" "$t/all" unreadable
run many-machines ok "$t/empty" "$t/empty"

# The floor: reading the same files, with as many readers as cores.
if [ -z "${ONLY:-}" ]; then
  files=$(find "$t/all" -type f -printf x | wc -c)
  start=$EPOCHREALTIME
  find "$t/all" -type f -print0 | xargs -0 -P "$(nproc)" -n 500 cat >/dev/null
  echo "xargs-cat $(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }')" >>"$t/times"
  echo
  echo "On $files files ($(du -sh "$t/all" | cut -f1)), $(nproc) cores, one run each (figures only):"
  awk -v n="$files" '{ printf "  %-15s %6.2f s, %.3f ms a file\n", $1, $2, 1000 * $2 / n }' "$t/times"
fi

[ $failures -eq 0 ] && echo "every recipe counted exactly and failed where it should"
[ $failures -eq 0 ]
