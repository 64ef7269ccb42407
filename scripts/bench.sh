#!/usr/bin/env bash
# Builds the release program and the load generator, then runs the standard
# scenarios, each against a fresh copy of the program in a fresh program
# directory, inside a private network namespace: archiving on, event log to a
# JSON file. Prints one table per run.
#
# Run as root, every run gets a file system of its own: a fresh ext4 image,
# loop-mounted in a mount namespace of this script's own (never in the
# machine's mount table) and removed at the end, so that files deleted
# elsewhere on the machine do not decide the figures. Otherwise the program
# directories are made in KVX_BENCH_DIR (default /tmp).
#
# Environment: KVX_BENCH_CLEAN=1 rebuilds from scratch; KVX_BENCH_SCENARIOS
# picks some of "latency throughput sync files watched tls balanced idle"
# (default: all);
# KVX_BENCH_PROGRAM runs another build of the program (for comparisons);
# KVX_BENCH_DIR is where the program directories (or, as root, the file
# system images) are made; KVX_BENCH_RUNS repeats everything (default 1);
# KVX_BENCH_FRESH_FS=0 skips the file system of its own even as root.
#
#   1 client COM      latency: one connection, one frame at a time
#   50 clients COM    throughput, against the archive-file limit of this run
#   50 clients sync   the same with ArchiveSync True
#   50x600 files      50 x 600 frames, 4 outstanding: counts the files left
#   1 client watch    the first two with the HTTP endpoint scraped every
#   50 clients watch  second
#   10000 idle        CPU time and resident memory with idle connections
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
base=${KVX_BENCH_DIR:-/tmp}

# Table output: the RESULT lines of kvx_bench, one file per run.
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$2"; }
label() { sed -n 's/^RESULT label=\(.*\) fps=.*/\1/p' <<<"$1"; }
row() { printf '| %-16s | %8s | %6s | %6s | %6s | %7s | %6s | %8s | %9s | %9s | %8s | %6s | %7s |\n' "$@"; }
mib() { awk -v k="$1" 'BEGIN{printf "%.1f", k/1024}'; }
quotient() { awk -v a="$1" -v b="$2" 'BEGIN{if (a > 0 && b > 0) printf "%.2f", a/b; else printf "-"}'; }
percent() { awk -v a="$1" -v b="$2" 'BEGIN{if (a > 0 && b > 0) printf "%.1f", 100*a/b; else printf "-"}'; }
# median VALUES...: the middle one (the mean of the two middle ones).
median() {
  { printf '%s\n' "$@" | grep -v '^-*$' || true; } | sort -g |
    awk '{v[NR]=$1} END{if (NR==0) print "-"; else if (NR%2) print v[(NR+1)/2];
      else printf "%g\n", (v[NR/2]+v[NR/2+1])/2}'
}
# find FILE LABEL: that scenario's RESULT line of the run.
find_result() { grep "^RESULT label=$2 fps=" "$1" | head -1 || true; }

print_table() {
  local file=$1
  row scenario "frames/s" "p50 µs" "p90 µs" "p99 µs" "max µs" errors \
    "ratio %" "svc µs/fr" "probe µs/f" quotient "CPU %" "RSS MiB"
  printf '|%s|\n' "------------------|---------:|-------:|-------:|-------:|--------:|-------:|---------:|----------:|----------:|---------:|-------:|--------:"
  local r name svc probe
  while read -r r; do
    name=$(label "$r")
    if [[ "$(field fps "$r")" == 0 ]]; then
      row "$name" - - - - - "$(field errors "$r")" - - - - \
        "$(field cpu "$r")" "$(mib "$(field rss_kib "$r")")"
      continue
    fi
    svc=$(field service_us "$r")
    probe=$(field probe_us "$r")
    if [[ "$(field limit "$r")" == 0 ]]; then probe=-; fi
    row "$name" "$(field fps "$r")" "$(field p50 "$r")" "$(field p90 "$r")" \
      "$(field p99 "$r")" "$(field max "$r")" "$(field errors "$r")" \
      "$([[ $probe == - ]] && echo - || field ratio "$r")" "$svc" "$probe" \
      "$(quotient "$svc" "$probe")" "$(field cpu "$r")" \
      "$(mib "$(field rss_kib "$r")")"
  done <"$file"
}

# The comparisons of one run below its table; appends the run's figures to
# the arrays the medians are taken from.
print_notes() {
  local file=$1 off on files
  off=$(find_result "$file" "50 clients COM")
  on=$(find_result "$file" "50 clients sync")
  files=$(find_result "$file" "50x600 files")
  if [[ -n "$off" ]]; then
    ratios+=("$(field ratio "$off")")
    quotients+=("$(quotient "$(field service_us "$off")" "$(field probe_us "$off")")")
  fi
  if [[ -n "$on" && -n "$off" ]]; then
    local share
    share=$(percent "$(field fps "$on")" "$(field fps "$off")")
    shares+=("$share")
    echo "ArchiveSync True: $(field fps "$on") frames/s, p99 $(field p99 "$on") µs" \
      "= $share % of ArchiveSync off ($(field fps "$off") frames/s, p99" \
      "$(field p99 "$off") µs); $(field syncs "$on") syncs issued"
  fi
  if [[ -n "$files" ]]; then
    echo "50 x 600 frames, 4 outstanding: $(field raw_files "$files") TCP_COMx_" \
      "and $(field decoded_files "$files") TCP_COM_ files left (30000 each" \
      "expected; errors $(field errors "$files"))"
  fi
  local one
  one=$(find_result "$file" "1 client COM")
  if [[ -n "$one" ]]; then
    p50s+=("$(field p50 "$one")")
    p99s+=("$(field p99 "$one")")
  fi
}

print_tables() {
  local results=$1 runs=$2 run
  ratios=() quotients=() shares=() p50s=() p99s=()
  for ((run = 1; run <= runs; ++run)); do
    echo
    if [[ $runs -gt 1 ]]; then echo "run $run:"; fi
    print_table "$results/run$run"
    print_notes "$results/run$run"
  done
  if [[ $runs -gt 1 ]]; then
    echo
    echo "median of $runs runs: 50 clients COM archive ratio $(median "${ratios[@]}") %," \
      "CPU quotient service/probe $(median "${quotients[@]}");" \
      "ArchiveSync True $(median "${shares[@]}") % of off;" \
      "1 client p50 $(median "${p50s[@]}") µs, p99 $(median "${p99s[@]}") µs"
  fi
}

# --mounted RESULTS: as root, in the script's own mount namespace: a fresh
# ext4 file system for one run, then the run inside the network namespace.
if [[ "${1:-}" == "--mounted" ]]; then
  # Sparse; about 1 GiB is written. One inode per 8 KiB: every scenario's
  # files (about 220,000 small files) fit.
  source "$root/scripts/fresh_fs.sh"
  mount_fresh_fs "$base" 4G
  mnt=$fresh_mnt
  echo "file system: fresh ext4 on $(findmnt -n -o SOURCE "$mnt"), $(df -h --output=size "$mnt" | tail -1 | tr -d ' '), $(df --output=itotal "$mnt" | tail -1 | tr -d ' ') inodes"
  unshare -rn bash "$0" --inner "$mnt/work" "$2"
  exit $?
fi

if [[ "${1:-}" != "--inner" ]]; then
  bash scripts/deps.sh >/dev/null
  cmake --preset release >/dev/null
  clean=()
  if [[ "${KVX_BENCH_CLEAN:-0}" == 1 ]]; then clean=(--clean-first); fi
  cmake --build --preset release --target KvxTCPServer kvx_bench -j2 "${clean[@]}"
  results=$(mktemp -d "$base/kvx_bench_results.XXXXXX")
  work=
  finish() {
    rm -rf "$results"
    if [[ -n "$work" ]]; then rm -rf "$work"; fi
  }
  trap finish EXIT
  echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo |
    cut -d: -f2- | sed 's/^ //'), kernel $(uname -r); $(date '+%Y-%m-%d %H:%M')"
  runs=${KVX_BENCH_RUNS:-1}
  fresh=0
  if [[ $EUID -eq 0 && "${KVX_BENCH_FRESH_FS:-1}" != 0 ]]; then fresh=1; fi
  for ((run = 1; run <= runs; ++run)); do
    echo "=== run $run of $runs; load average $(cut -d' ' -f1-3 /proc/loadavg)"
    if [[ $fresh == 1 ]]; then
      unshare -m bash "$0" --mounted "$results/run$run"
    else
      work=$(mktemp -d "$base/kvx_bench.XXXXXX")
      echo "file system: $(findmnt -n -o SOURCE,FSTYPE -T "$work")"
      unshare -rn bash "$0" --inner "$work" "$results/run$run"
      rm -rf "$work"
      work=
    fi
    echo "load average at the end of run $run: $(cut -d' ' -f1-3 /proc/loadavg)"
  done
  print_tables "$results" "$runs"
  exit 0
fi

# Inside the network namespace from here on; nothing but loopback may be
# reachable.
work=$2
result_file=$3
if ip -o link show | grep -qv ': lo:'; then
  echo "bench.sh: not in a private network namespace" >&2
  exit 1
fi
ip link set lo up
ip route add default dev lo
ulimit -n "$(ulimit -Hn)"
program=${KVX_BENCH_PROGRAM:-$root/build/release/src/KvxTCPServer}
bench=$root/build/release/bench/kvx_bench
: >"$result_file"
pid=

stop_service() {
  if [[ -n "$pid" ]]; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=
  fi
}
trap stop_service EXIT

# The template is written at the first start; `extra` (optional elements)
# is added to it, and the service started again with it.
configure() {
  local dir=$1
  KVX_EVENT_LOG="$dir/events.json" "$dir/KvxTCPServer" >"$dir/stdout" 2>&1 &
  pid=$!
  local tries=0
  while [[ ! -s "$dir/KvxTCPConfig.xml" ]] && ((tries++ < 300)); do
    sleep 0.1
  done
  sleep 0.5
  stop_service
  sed -i "s#</KaveroMMserver>#$extra\r\n&#" "$dir/KvxTCPConfig.xml"
}

# run_scenario NAME BENCH-ARGS...: a fresh program directory and service.
run_scenario() {
  local name=$1
  shift
  local dir=$work/${name// /_}
  mkdir -p "$dir"
  cp "$program" "$dir/KvxTCPServer"
  if [[ -n "${extra:-}" ]]; then configure "$dir"; fi
  KVX_EVENT_LOG="$dir/events.json" "$dir/KvxTCPServer" >"$dir/stdout" 2>&1 &
  pid=$!
  echo "--- $name (service pid $pid)"
  local scraper=
  if [[ -n "${watch:-}" ]]; then
    # Scraped every second for the whole scenario, as Prometheus would.
    (while sleep 1; do
      curl -s -o /dev/null "http://127.0.0.1:$watch/metrics" || true
    done) &
    scraper=$!
  fi
  local out
  out=$("$bench" --pid "$pid" --label "$name" "$@" 2>&1) || true
  if [[ -n "$scraper" ]]; then
    kill "$scraper" 2>/dev/null || true
    wait "$scraper" 2>/dev/null || true
    grep -q 'metrics werd met succes gestart' "$dir/events.json" ||
      echo "$name: the HTTP endpoint did not start" >&2
  fi
  echo "$out" | grep -v '^RESULT' || true
  local result
  result=$(echo "$out" | grep '^RESULT' || echo "RESULT label=$name fps=0 errors=failed")
  stop_service
  if [[ "$extra" == *ArchiveSync* ]]; then
    # The entry at stop tells how many syncs were issued.
    local syncs
    syncs=$(grep -o '[0-9]* keer naar schijf gesynchroniseerd' \
      "$dir/events.json" | grep -o '^[0-9]*' || echo 0)
    echo "syncs issued: $syncs"
    result+=" syncs=$syncs"
  fi
  echo "$result" >>"$result_file"
}

# The probe's files go with the work directory at the end, so that no file
# is deleted while a later scenario runs.
archive() { echo "--archive-dir $work/${1// /_}/KvxTCPIP/XML --archive-keep 1"; }

# The config file is written at the first start; the defaults listen on
# 127.0.0.1:9200 with archiving on.
extra=
watch=
scenarios=" ${KVX_BENCH_SCENARIOS:-latency throughput sync files watched tls balanced idle} "
if [[ "$scenarios" == *" latency "* ]]; then
  run_scenario "1 client COM" --connections 1 --frames 3000 --pipeline 1 \
    $(archive "1 client COM") --archive-frames 3000
fi
if [[ "$scenarios" == *" throughput "* ]]; then
  run_scenario "50 clients COM" --connections 50 --frames 200 --pipeline 1 \
    $(archive "50 clients COM") --archive-frames 5000
fi
# The same load with every frame's files synced before its reply, right
# after the one without, on the same file system.
if [[ "$scenarios" == *" sync "* ]]; then
  extra="<ArchiveSync>True</ArchiveSync>"
  run_scenario "50 clients sync" --connections 50 --frames 200 --pipeline 1 \
    $(archive "50 clients sync") --archive-frames 5000
  extra=
fi
# Every answered frame leaves its two files, none replaced: 30,000 each.
if [[ "$scenarios" == *" files "* ]]; then
  run_scenario "50x600 files" --connections 50 --frames 600 --pipeline 4 \
    --count-dir "$work/50x600_files/KvxTCPIP/XML" --expect-files 30000
fi
# The first two loads with the HTTP endpoint on and scraped every second.
if [[ "$scenarios" == *" watched "* ]]; then
  watch=9100
  extra="<MetricsPort>$watch</MetricsPort>"
  run_scenario "1 client watch" --connections 1 --frames 3000 --pipeline 1 \
    $(archive "1 client watch") --archive-frames 3000
  run_scenario "50 clients watch" --connections 50 --frames 200 --pipeline 1 \
    $(archive "50 clients watch") --archive-frames 5000
  watch=
  extra=
fi
# The first two loads over TLS: a certificate for 127.0.0.1 made for the
# run, the listener speaking TLS only (kvx_bench: one thread a connection).
if [[ "$scenarios" == *" tls "* ]]; then
  certs=$work/certs
  mkdir -p "$certs"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=127.0.0.1" \
    -addext "subjectAltName=IP:127.0.0.1" -keyout "$certs/key.pem" \
    -out "$certs/cert.pem" 2>/dev/null
  extra="<TLSCertificate>$certs/cert.pem</TLSCertificate><TLSKey>$certs/key.pem</TLSKey>"
  run_scenario "1 client TLS" --connections 1 --frames 3000 --pipeline 1 \
    --tls 1 --ca "$certs/cert.pem" \
    $(archive "1 client TLS") --archive-frames 3000
  run_scenario "50 clients TLS" --connections 50 --frames 200 --pipeline 1 \
    --tls 1 --ca "$certs/cert.pem" \
    $(archive "50 clients TLS") --archive-frames 5000
  extra=
fi
# The 50-client load through the balancer recipe (deploy/haproxy) to two
# gateways that read its PROXY header, on this one machine: the cost of the
# balancer's hop beside "50 clients COM" of the same run.
if [[ "$scenarios" == *" balanced "* ]] && command -v haproxy >/dev/null; then
  name="50 clients balanced"
  dir=$work/${name// /_}
  pids=()
  for n in 1 2; do
    mkdir -p "$dir/gw$n"
    cp "$program" "$dir/gw$n/KvxTCPServer"
    extra="<ProxyProtocol>True</ProxyProtocol>"
    configure "$dir/gw$n"
    sed -i "s#<Port>9200</Port>#<Port>920$n</Port>#" "$dir/gw$n/KvxTCPConfig.xml"
    KVX_EVENT_LOG="$dir/gw$n/events.json" "$dir/gw$n/KvxTCPServer" \
      >"$dir/gw$n/stdout" 2>&1 &
    pids+=($!)
  done
  extra=
  # The recipe for loopback: no system log, chroot, user or daemon mode.
  sed -e '/^ *log \/dev\/log/d' -e '/^ *chroot /d' -e '/^ *user /d' \
    -e '/^ *group /d' -e '/^ *daemon/d' -e 's#bind :9200#bind 127.0.0.1:9200#' \
    -e 's#maxconn 100000#maxconn 1000#' \
    -e 's#server gw1 .*#server gw1 127.0.0.1:9201#' \
    -e 's#server gw2 .*#server gw2 127.0.0.1:9202#' \
    "$root/deploy/haproxy/haproxy.cfg" >"$dir/haproxy.cfg"
  haproxy -db -f "$dir/haproxy.cfg" >"$dir/haproxy.log" 2>&1 &
  balancer=$!
  sleep 4  # the health checks mark both gateways up (rise 3, inter 1s)
  echo "--- $name (gateways ${pids[*]}, balancer $balancer)"
  out=$("$bench" --pid "${pids[0]}" --label "$name" --timeout 60 --connections 50 \
    --frames 200 --pipeline 1 2>&1) || true
  echo "$out" | grep -v '^RESULT' || true
  echo "$out" | grep '^RESULT' >>"$result_file" ||
    echo "RESULT label=$name fps=0 errors=failed" >>"$result_file"
  kill -TERM "$balancer" "${pids[@]}" 2>/dev/null || true
  wait "$balancer" "${pids[@]}" 2>/dev/null || true
fi
if [[ "$scenarios" == *" idle "* ]]; then
  run_scenario "10000 idle" --connections 0 --idle 10000 --seconds 10 \
    --sources 8
fi
