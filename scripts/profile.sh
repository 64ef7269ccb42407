#!/usr/bin/env bash
# Profiles the release program under a load of `kvx_bench` and prints, per
# thread of the service, where its CPU time goes: each system call by name
# (the kernel function under the system-call entry) and user space, as
# shares of the thread's samples; then the user-space functions of the io
# threads.
#
#   sudo bash scripts/profile.sh [CONNECTIONS [FRAMES]]    (default 50 1000)
#
# As in scripts/bench.sh, the service runs inside a private network
# namespace (its broadcasts and its listener never leave it) on a fresh
# ext4 file system mounted in a mount namespace of the script's own. perf
# itself runs outside the network namespace and only observes the service's
# process: inside an unprivileged namespace the kernel (with the usual
# perf_event_paranoid of 2) gives user-space samples only, and most of a
# frame's time is spent in the kernel. perf samples the CPU clock (10 kHz,
# call graphs by frame pointer), since a virtual machine often has no
# hardware counters; sampling slows the service, so take the shares, not
# the rates.
#
# Environment: KVX_PROFILE_OUT keeps perf.data there (default: removed).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
connections=${1:-50}
frames=${2:-1000}

if [[ "${KVX_PROFILE_STAGE:-}" == inner ]]; then
  # Inside the network namespace: the service and the load. Nothing but
  # loopback may be reachable from here.
  if ip -o link show | grep -qv ': lo:'; then
    echo "profile.sh: not in a private network namespace" >&2
    exit 1
  fi
  ip link set lo up
  ip route add default dev lo
  ulimit -n "$(ulimit -Hn)"
  work=$KVX_PROFILE_WORK
  cd "$work"
  KVX_EVENT_LOG="$work/events.json" ./KvxTCPServer >"$work/stdout" 2>&1 &
  pid=$!
  echo "$pid" >"$work/pid.tmp"
  mv "$work/pid.tmp" "$work/pid"
  # perf attaches meanwhile.
  while [[ ! -e "$work/perf.ready" ]]; do sleep 0.1; done
  sleep 0.5
  "$root/build/release/bench/kvx_bench" --pid "$pid" --label profile \
    --connections "$connections" --frames "$frames" --pipeline 1 |
    grep -v '^RESULT' || true
  kill -TERM "$pid"
  wait "$pid" || true
  exit 0
fi

if [[ "${KVX_PROFILE_STAGE:-}" == mounted ]]; then
  # In the script's own mount namespace: a fresh file system for the run.
  source "$root/scripts/fresh_fs.sh"
  mount_fresh_fs /tmp 2G
  work=$fresh_mnt/work
  cp "$root/build/release/src/KvxTCPServer" "$work/"
  KVX_PROFILE_STAGE=inner KVX_PROFILE_WORK=$work \
    unshare -rn bash "$0" "$connections" "$frames" &
  inner=$!
  while [[ ! -e "$work/pid" ]]; do sleep 0.05; done
  pid=$(cat "$work/pid")
  sleep 1  # the service has started its threads
  perf record -q -e cpu-clock -F 10000 -g -p "$pid" -o "$KVX_PROFILE_DATA" \
    >/dev/null 2>&1 &
  perf_pid=$!
  sleep 1
  touch "$work/perf.ready"
  wait "$inner"
  wait "$perf_pid" || true
  exit 0
fi

if [[ $EUID -ne 0 ]]; then
  echo "profile.sh: run as root (perf needs the kernel's samples)" >&2
  exit 1
fi
bash scripts/deps.sh >/dev/null
command -v perf >/dev/null || {
  apt-get update -q >/dev/null
  apt-get install -y -q linux-perf >/dev/null
}
cmake --preset release >/dev/null
cmake --build --preset release --target KvxTCPServer kvx_bench -j2
data=${KVX_PROFILE_OUT:-$(mktemp /tmp/kvx_profile.XXXXXX)}
[[ -n "${KVX_PROFILE_OUT:-}" ]] || trap 'rm -f "$data"' EXIT
KVX_PROFILE_STAGE=mounted KVX_PROFILE_DATA=$data unshare -m bash "$0" \
  "$connections" "$frames"

echo
echo "Per thread (name, id, samples): the shares by system call or user space"
perf script -i "$data" -F comm,tid,ip,sym 2>/dev/null | awk '
BEGIN { RS = "" }
{
  n = split($0, line, "\n")
  split(line[1], head, " ")
  thread = head[1] " " head[2]
  total[thread]++
  where = "user space"
  for (i = 2; i <= n; i++) {
    if (line[i] ~ /do_syscall_64/) {
      if (i == 2) { where = "system call entry"; break }
      split(line[i - 1], frame, " ")
      where = frame[2]
      sub(/\+.*/, "", where)
      sub(/^__x64_sys_/, "", where)
      sub(/^ksys_/, "", where)
      if (where == "exit_to_user_mode_loop") where = "rescheduled"
      break
    }
  }
  if (where == "user space" && line[2] ~ /^[[:space:]]*ffffffff/) {
    where = "kernel, other"
  }
  count[thread SUBSEP where]++
}
END {
  for (key in count) {
    split(key, part, SUBSEP)
    printf "%-16s %6s %7d %5.1f %%  %s\n", substr(part[1], 1, index(part[1], " ") - 1),
      substr(part[1], index(part[1], " ") + 1), total[part[1]],
      100 * count[key] / total[part[1]], part[2]
  }
}' | sort -k1,2 -k4,4nr | awk '$4 >= 0.5'

echo
echo "User space of the io threads (KvxTCPServer): the functions sampled"
perf report -i "$data" --comm KvxTCPServer --no-children --sort dso,sym \
  -g none -q 2>/dev/null | grep -v '\[k\]' | head -25
