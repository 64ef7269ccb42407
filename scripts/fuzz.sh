#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang) and runs each for a
# bounded time on its seed corpus and the regression inputs. New inputs go to
# a scratch corpus under build/fuzz, never into the repository; a crashing
# input is kept in build/fuzz/artifacts/.
# KVX_FUZZ_SECONDS: seconds per target (default 25).
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${KVX_FUZZ_SECONDS:-25}
targets=(frame_fuzzer frame_step_fuzzer proxy_header_fuzzer)

if ! cmake --preset fuzz >/dev/null || ! cmake --build --preset fuzz -j2; then
  echo "fuzz: BUILD FAILED"
  exit 1
fi

work=build/fuzz/run
artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"
failed=()
for t in "${targets[@]}"; do
  rm -rf "$work/$t"
  mkdir -p "$work/$t"
  log=build/fuzz/$t.log
  echo "=== fuzz: $t for $seconds s"
  if build/fuzz/fuzz/"$t" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/$t-" \
    "$work/$t" fuzz/corpus/"$t" fuzz/corpus/regressions >"$log" 2>&1; then
    runs=$(grep -m1 '^stat::number_of_executed_units' "$log" | awk '{print $2}')
    echo "=== fuzz: $t passed (${runs:-?} runs)"
  else
    tail -n 40 "$log"
    echo "=== fuzz: $t FAILED; input in $artifacts, log in $log"
    failed+=("$t")
  fi
done

if ((${#failed[@]})); then
  echo "Fuzzing FAILED: ${failed[*]}."
  exit 1
fi
echo "Fuzzing passed: ${targets[*]}, $seconds s each."
