#!/usr/bin/env bash
# Smoke test of the load generator against the real service: a few frames
# of each kind on two pipelining connections must all be answered correctly,
# and the archive files of the COM frames must all be there.
# Runs only inside a private network namespace (as ctest is run by
# scripts/test.sh); skipped elsewhere (exit 77).
set -euo pipefail
program=$1
bench=$2
if grep -qvE '^\s*(Inter-|face|lo:)' /proc/net/dev; then
  echo "not in a private network namespace: skipped"
  exit 77
fi
dir=$(mktemp -d /tmp/kvx_bench_smoke.XXXXXX)
pid=
cleanup() {
  if [[ -n "$pid" ]]; then kill -TERM "$pid" 2>/dev/null || true; wait "$pid" || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT
cp "$program" "$dir/"
KVX_EVENT_LOG="$dir/events.json" "$dir/KvxTCPServer" >"$dir/out" 2>&1 &
pid=$!
# 40 COM frames: exactly 40 raw and 40 decoded archive files, counted by the
# load generator itself.
"$bench" --pid "$pid" --connections 2 --frames 20 --pipeline 3 --timeout 30 \
  --count-dir "$dir/KvxTCPIP/XML" --expect-files 40
"$bench" --pid "$pid" --connections 1 --frames 5 --type ABC --timeout 30
