#!/usr/bin/env bash
# Builds the release program and the load generator, then runs the standard
# scenarios, each against a fresh copy of the program in a fresh program
# directory, inside a private network namespace: archiving on, event log to a
# JSON file. Prints one table. KVX_BENCH_CLEAN=1 rebuilds from scratch;
# KVX_BENCH_SCENARIOS picks some of "latency throughput idle" (default: all);
# KVX_BENCH_PROGRAM runs another build of the program (for comparisons);
# KVX_BENCH_DIR is where the program directories are made (default /tmp).
#
#   1 client COM      latency: one connection, one frame at a time
#   50 clients COM    throughput, against the archive-file limit of this run
#   10000 idle        CPU time and resident memory with idle connections
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [[ "${1:-}" != "--inner" ]]; then
  bash scripts/deps.sh >/dev/null
  cmake --preset release >/dev/null
  clean=()
  if [[ "${KVX_BENCH_CLEAN:-0}" == 1 ]]; then clean=(--clean-first); fi
  cmake --build --preset release --target KvxTCPServer kvx_bench -j2 "${clean[@]}"
  work=$(mktemp -d "${KVX_BENCH_DIR:-/tmp}/kvx_bench.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo |
    cut -d: -f2- | sed 's/^ //'), kernel $(uname -r); load: $(cut -d' ' -f1-3 /proc/loadavg)"
  unshare -rn bash "$0" --inner "$work"
  exit $?
fi

# Inside the namespace from here on.
work=$2
ip link set lo up
ip route add default dev lo
ulimit -n "$(ulimit -Hn)"
program=${KVX_BENCH_PROGRAM:-$root/build/release/src/KvxTCPServer}
bench=$root/build/release/bench/kvx_bench
results=()
pid=

stop_service() {
  if [[ -n "$pid" ]]; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=
  fi
}
trap stop_service EXIT

# run_scenario NAME BENCH-ARGS...: a fresh program directory and service.
run_scenario() {
  local name=$1
  shift
  local dir=$work/${name// /_}
  mkdir -p "$dir"
  cp "$program" "$dir/KvxTCPServer"
  if [[ -n "${watch:-}" ]]; then
    # The template is written at the first start; the HTTP endpoint is
    # added to it, and the service started again with it.
    KVX_EVENT_LOG="$dir/events.json" "$dir/KvxTCPServer" >"$dir/stdout" 2>&1 &
    pid=$!
    while [[ ! -s "$dir/KvxTCPConfig.xml" ]]; do sleep 0.1; done
    sleep 0.5
    stop_service
    sed -i "s#</KaveroMMserver>#<MetricsPort>$watch</MetricsPort>\r\n&#" \
      "$dir/KvxTCPConfig.xml"
  fi
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
  echo "$out" | grep -v '^RESULT'
  results+=("$(echo "$out" | grep '^RESULT' || echo "RESULT label=$name errors=failed")")
  stop_service
}

# The probe's files go with the work directory at the end, so that no file
# is deleted while a later scenario runs.
archive() { echo "--archive-dir $work/${1// /_}/KvxTCPIP/XML --archive-keep 1"; }

# The config file is written at the first start; the defaults listen on
# 127.0.0.1:9200 with archiving on.
scenarios=" ${KVX_BENCH_SCENARIOS:-latency throughput watched idle} "
if [[ "$scenarios" == *" latency "* ]]; then
  run_scenario "1 client COM" --connections 1 --frames 3000 --pipeline 1 \
    $(archive "1 client COM") --archive-frames 3000
fi
if [[ "$scenarios" == *" throughput "* ]]; then
  run_scenario "50 clients COM" --connections 50 --frames 200 --pipeline 1 \
    $(archive "50 clients COM") --archive-frames 5000
fi
# The same two loads with the HTTP endpoint on and scraped every second.
if [[ "$scenarios" == *" watched "* ]]; then
  watch=9100
  run_scenario "1 client watch" --connections 1 --frames 3000 --pipeline 1 \
    $(archive "1 client watch") --archive-frames 3000
  run_scenario "50 clients watch" --connections 50 --frames 200 --pipeline 1 \
    $(archive "50 clients watch") --archive-frames 5000
  watch=
fi
if [[ "$scenarios" == *" idle "* ]]; then
  run_scenario "10000 idle" --connections 0 --idle 10000 --seconds 10 \
    --sources 8
fi

field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$2"; }
echo
printf '| %-15s | %8s | %6s | %6s | %6s | %7s | %6s | %13s | %6s | %8s |\n' \
  scenario "frames/s" "p50 us" "p90 us" "p99 us" "max us" errors \
  "archive ratio" "CPU %" "RSS MiB"
printf '|%s|\n' "-----------------|----------|--------|--------|--------|---------|--------|---------------|--------|----------"
for r in "${results[@]}"; do
  name=$(sed -n 's/^RESULT label=\(.*\) fps=.*/\1/p' <<<"$r")
  rss=$(field rss_kib "$r")
  ratio=$(field ratio "$r")
  if [[ "$(field fps "$r")" == 0 ]]; then
    printf '| %-15s | %8s | %6s | %6s | %6s | %7s | %6s | %13s | %6s | %8s |\n' \
      "$name" - - - - - "$(field errors "$r")" - "$(field cpu "$r")" \
      "$(awk -v k="$rss" 'BEGIN{printf "%.1f", k/1024}')"
  else
    printf '| %-15s | %8s | %6s | %6s | %6s | %7s | %6s | %13s | %6s | %8s |\n' \
      "$name" "$(field fps "$r")" "$(field p50 "$r")" "$(field p90 "$r")" \
      "$(field p99 "$r")" "$(field max "$r")" "$(field errors "$r")" \
      "$ratio %" "$(field cpu "$r")" \
      "$(awk -v k="$rss" 'BEGIN{printf "%.1f", k/1024}')"
  fi
done
